// Test fixture: a private drive folder of the virtual recorder, drives set up
// through its management API, and a TSCSIDevice that loads the recorder's
// ASPI library by path.
#pragma once

#include "VRecorder.h"
#include "ovDrvLib.h"
#include "ovSync.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef SKARVO_WNASPI32_PATH
#error "SKARVO_WNASPI32_PATH must name the built libwnaspi32.so"
#endif

class VDriveTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-devtest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    folder_ = root_ + "/vdrives";
    std::filesystem::create_directories(folder_);
    ::setenv("SKARVO_VDRIVES", folder_.c_str(), 1);
  }

  void TearDown() override {
    dev_.reset();
    ov::SetTimeScale(1.0);
    ::unsetenv("SKARVO_VDRIVES");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  void AddDrive(const std::string &name, const std::string &model, const std::string &vendor = "",
                const std::string &product = "", const std::string &revision = "") {
    std::string err;
    ASSERT_TRUE(vrec::AddDrive(name, model, vendor, product, revision, err)) << err;
  }

  void Insert(const std::string &name, const std::string &media, uint32_t capacity = 0,
              const std::string &image = "", bool formatted = false) {
    std::string err;
    ASSERT_TRUE(vrec::InsertMedium(name, media, capacity, image, formatted, err)) << err;
  }

  void Setting(const std::string &name, const std::string &key, const std::string &value) {
    std::string err;
    ASSERT_TRUE(vrec::SetSetting(name, key, value, err)) << err;
  }

  void Fault(const std::string &name, const std::string &fault) {
    std::string err;
    ASSERT_TRUE(vrec::AddFault(name, fault, err)) << err;
  }

  void ClearLog(const std::string &name) {
    std::string err;
    ASSERT_TRUE(vrec::ClearLog(name, err)) << err;
  }

  // The CDBs (upper-case hex without blanks) the drive received, in order.
  std::vector<std::string> LoggedCdbs(const std::string &name) {
    std::string text, err;
    EXPECT_TRUE(vrec::ReadLog(name, text, err)) << err;
    std::vector<std::string> cdbs;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      const auto p = line.find(" cdb=");
      if (p == std::string::npos)
        continue;
      const auto e = line.find(' ', p + 5);
      cdbs.push_back(line.substr(p + 5, e - p - 5));
    }
    return cdbs;
  }

  std::vector<std::string> LogLines(const std::string &name) {
    std::string text, err;
    EXPECT_TRUE(vrec::ReadLog(name, text, err)) << err;
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
      lines.push_back(line);
    return lines;
  }

  // Loads the recorder by path and scans; every drive must exist by now.
  TSCSIDevice &Device() {
    if (!dev_) {
      dev_ = std::make_unique<TSCSIDevice>();
      dev_->OnDebugMessage = [this](TObject *, const std::string &m, uint8_t type) {
        messages_.push_back(m);
        types_.push_back(type);
      };
      EXPECT_TRUE(dev_->InitializeASPI(false, SKARVO_WNASPI32_PATH));
    }
    return *dev_;
  }

  // Selects the drive listed under this name.
  TSCSIDevice &Select(const std::string &name) {
    TSCSIDevice &d = Device();
    for (const std::string &s : d.DeviceList) {
      const auto comma = s.find(',');
      if (s.compare(comma + 1, name.size() + 1, name + " ") == 0) {
        d.SelectDevice(s);
        EXPECT_NE(d.HaId, 254) << s;
        return d;
      }
    }
    ADD_FAILURE() << "drive " << name << " not listed";
    return d;
  }

  // A file of `sectors` 2048-byte blocks with an ISO 9660 primary volume
  // descriptor at block 16 that gives `volumeSize` as the volume space size.
  std::string MakeImage(uint32_t sectors, uint32_t volumeSize) {
    const std::string path = root_ + "/image" + std::to_string(images_++) + ".iso";
    std::vector<uint8_t> data(static_cast<size_t>(sectors) * 2048, 0);
    uint8_t *pvd = data.data() + 16 * 2048;
    pvd[0] = 1;
    std::memcpy(pvd + 1, "CD001", 5);
    pvd[6] = 1;
    for (int i = 0; i < 4; ++i) {
      pvd[80 + i] = static_cast<uint8_t>(volumeSize >> (8 * i));
      pvd[87 - i] = static_cast<uint8_t>(volumeSize >> (8 * i));
    }
    uint8_t *term = data.data() + 17 * 2048;
    term[0] = 255;
    std::memcpy(term + 1, "CD001", 5);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data.data()), data.size());
    return path;
  }

  bool Logged(const std::string &m) const {
    for (const std::string &s : messages_)
      if (s == m)
        return true;
    return false;
  }

  std::string root_, folder_;
  std::unique_ptr<TSCSIDevice> dev_;
  std::vector<std::string> messages_;
  std::vector<uint8_t> types_;
  int images_ = 0;
};
