// Burns through the real virtual recorder: a private drive folder, a
// TOrvBurner that loads the recorder's ASPI library by path, a source tree,
// and the recorder's command log read back as (opcode, CDB) pairs.
#pragma once

#include "../device/VDriveFixture.h"
#include "ovCDBC.h"
#include "ovDiscWrite.h"

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

class BurnTest : public VDriveTest {
protected:
  void SetUp() override {
    VDriveTest::SetUp();
    src_ = root_ + "/src";
    std::filesystem::create_directories(src_);
    saved_ = DiscWriteLimits;
    // The library's sleeps run 1000 times faster; the drive's clock too.
    ov::SetTimeScale(0.001);
  }
  void TearDown() override {
    burner_.reset();
    DiscWriteLimits = saved_;
    VDriveTest::TearDown();
  }

  // A drive of the model with a medium; its long operations run fast.
  void Drive(const std::string &media, bool formatted = false, const std::string &model = "dvd-writer") {
    AddDrive("w", model);
    Insert("w", media, 0, "", formatted);
    Setting("w", "clock", "2000");
  }

  // A source file of n pseudo-random bytes.
  std::string Source(const std::string &name, size_t n, unsigned seed = 1) {
    const std::string p = src_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
      c = static_cast<char>(rng());
    std::ofstream(p, std::ios::binary) << s;
    return p;
  }

  TOrvBurner &Burner() {
    if (!burner_) {
      burner_ = std::make_unique<TOrvBurner>();
      burner_->OnDebugMessage = [this](TObject *, const std::string &m, uint8_t) { messages_.push_back(m); };
      burner_->OnWriteDone = [this](TObject *, const std::string &e) {
        ++done_;
        error_ = e;
      };
      EXPECT_TRUE(burner_->InitializeASPI(false, SKARVO_WNASPI32_PATH));
      for (const std::string &s : burner_->DeviceList)
        if (s.find(",w ") != std::string::npos)
          burner_->SelectDevice(s);
      EXPECT_NE(burner_->HaId, 254);
    }
    return *burner_;
  }

  // Fills the compilation with the source tree.
  void Compile() {
    TOrvBurner &b = Burner();
    b.ResetCompilation(65535, 8191);
    ASSERT_TRUE(b.InsertDir(b.Root(), src_ + "/", false, false, true));
    b.RemoveEmptyDirs();
  }

  // Waits for OnWriteDone, running the main thread's queue.
  bool WaitDone(std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (done_ == 0) {
      if (std::chrono::steady_clock::now() > until)
        return false;
      ov::CheckSynchronize(10);
    }
    return true;
  }

  // Burns the compilation; the text OnWriteDone gave ("" on success).
  std::string BurnAndWait() {
    Compile();
    done_ = 0;
    if (!Burner().BurnCompilation())
      return done_ ? error_ : "NOT STARTED";
    EXPECT_TRUE(WaitDone());
    return error_;
  }

  std::string BurnImageAndWait(const std::string &image) {
    done_ = 0;
    if (!Burner().BurnImageFile(image))
      return done_ ? error_ : "NOT STARTED";
    EXPECT_TRUE(WaitDone());
    return error_;
  }

  // The commands logged from the write thread's first READ BUFFER CAPACITY
  // on, as opcode names: "2A@lba+n" for writes, "5B:f/t" for closes, the
  // opcode in hex for the rest. Runs of writes are folded into "2A*k"; a run
  // of READ DISC INFORMATION polls (as long as the drive takes) into one.
  std::vector<std::string> WriterSequence(bool foldWrites = true) {
    std::vector<std::string> out;
    bool started = false;
    int run = 0;
    for (const std::string &cdb : LoggedCdbs("w")) {
      const std::string op = cdb.substr(0, 2);
      if (!started && op != "5C")
        continue;
      started = true;
      if (op == "2A" && foldWrites) {
        ++run;
        continue;
      }
      if (run) {
        out.push_back("2A*" + std::to_string(run));
        run = 0;
      }
      if (op == "5B")
        out.push_back("5B:" + cdb.substr(5, 1) + "/" + cdb.substr(8, 4) + (cdb.substr(2, 2) == "01" ? "i" : ""));
      else if (op == "2A")
        out.push_back("2A@" + std::to_string(std::stoul(cdb.substr(4, 8), nullptr, 16)) + "+" +
                      std::to_string(std::stoul(cdb.substr(14, 4), nullptr, 16)));
      else if (op != "51" || out.empty() || out.back() != "51")
        out.push_back(op);
    }
    if (run)
      out.push_back("2A*" + std::to_string(run));
    return out;
  }

  // True when the drive answers and its tray is not locked.
  void ExpectDriveUsable() {
    TOrvBurner &b = Burner();
    EXPECT_TRUE(b.TestUnitReady(5000) || b.SenseASC() != 0x04) << b.ErrorText;
    EXPECT_FALSE(TOrvBurner::WriteRunning());
    std::ifstream f(folder_ + "/w/settings");
    const std::string text((std::istreambuf_iterator<char>(f)), {});
    EXPECT_NE(text.find("prevent = 0"), std::string::npos) << text;
    EXPECT_EQ(text.find("prevent = 1"), std::string::npos) << text;
  }

  std::string src_;
  std::unique_ptr<TOrvBurner> burner_;
  TDiscWriteLimits saved_;
  int done_ = 0;
  std::string error_;
};
