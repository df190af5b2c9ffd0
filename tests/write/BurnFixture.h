// Burns through the real virtual recorder: a private drive folder, a
// TOrvBurner that loads the recorder's ASPI library by path, a source tree,
// and the recorder's command log.
#pragma once

#include "../device/VDriveFixture.h"
#include "ovCDBC.h"
#include "ovDiscWrite.h"

#include <algorithm>
#include <chrono>
#include <random>

// The whole content of a file (empty when it cannot be read).
inline std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

class BurnTest : public VDriveTest {
protected:
  void SetUp() override {
    VDriveTest::SetUp();
    src_ = root_ + "/src";
    std::filesystem::create_directories(src_);
    saved_ = DiscWriteLimits;
    ov::SetTimeScale(0.001);  // the library's sleeps run 1000 times faster
  }
  void TearDown() override {
    burner_.reset();
    DiscWriteLimits = saved_;
    VDriveTest::TearDown();
  }

  // Drive "w" with a medium (a BD writer for BD media); its long operations
  // run fast too.
  void Drive(const std::string &media, bool formatted = false, uint32_t capacity = 0) {
    vrec::RemoveDrive("w", error_);
    burner_.reset();
    AddDrive("w", media.compare(0, 2, "BD") == 0 ? "bd-writer" : "dvd-writer");
    Insert("w", media, capacity, "", formatted);
    Setting("w", "clock", "2000");
  }

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
      burner_->OnWriteDone = [this](TObject *, const std::string &e) { ++done_, error_ = e; };
      EXPECT_TRUE(burner_->InitializeASPI(false, SKARVO_WNASPI32_PATH));
      for (const std::string &s : burner_->DeviceList)
        if (s.find(",w ") != std::string::npos)
          burner_->SelectDevice(s);
    }
    return *burner_;
  }

  void Compile() {
    TOrvBurner &b = Burner();
    b.ResetCompilation(65535, 8191);
    ASSERT_TRUE(b.InsertDir(b.Root(), src_ + "/", false, false, true));
  }

  // Waits for OnWriteDone, running the main thread's queue.
  bool WaitDone() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done_ == 0 && std::chrono::steady_clock::now() < until)
      ov::CheckSynchronize(10);
    return done_ != 0;
  }

  // Burns the compilation (or an image); the text OnWriteDone gave.
  std::string BurnAndWait(const std::string &image = "") {
    if (image.empty())
      Compile();
    done_ = 0;
    const bool started = image.empty() ? Burner().BurnCompilation() : Burner().BurnImageFile(image);
    if (!started)
      return done_ ? error_ : "NOT STARTED";
    EXPECT_TRUE(WaitDone());
    return error_;
  }

  size_t CountOp(const std::string &op) {
    size_t n = 0;
    for (const std::string &c : LoggedCdbs("w"))
      n += c.compare(0, 2, op) == 0;
    return n;
  }

  // The commands from the write thread's first READ BUFFER CAPACITY on: runs
  // of writes folded into "2A*k" (WRITE(12): "AA*k"), a run of READ DISC
  // INFORMATION polls (as long as the drive takes) into one "51", closes as
  // "5B:function/track" with "i" for the immediate bit, the opcode for the rest.
  std::string WriterSequence() {
    std::string out, last, write;
    int run = 0;
    for (const std::string &cdb : LoggedCdbs("w")) {
      std::string op = cdb.substr(0, 2);
      if (out.empty() && run == 0 && op != "5C")
        continue;
      if ((op == "2A" || op == "AA") && (run == 0 || op == write) && ++run) {
        write = op;
        continue;
      }
      if (run)
        out += write + "*" + std::to_string(run) + " ", run = 0, last = write;
      if (op == "2A" || op == "AA") {  // a run of the other write command
        write = op, run = 1;
        continue;
      }
      if (op == "5B")
        op += ":" + cdb.substr(5, 1) + "/" + cdb.substr(8, 4) + (cdb.substr(2, 2) == "01" ? "i" : "");
      if (op != "51" || last != "51")
        out += op + " ";
      last = op;
    }
    if (run)
      out += write + "*" + std::to_string(run) + " ";
    return out.empty() ? out : out.substr(0, out.size() - 1);
  }

  // The drive answers and its tray is not locked.
  void ExpectDriveUsable() {
    EXPECT_FALSE(TOrvBurner::WriteRunning());
    EXPECT_TRUE(Burner().TestUnitReady(5000)) << Burner().ErrorText;
    std::ifstream f(folder_ + "/w/settings");
    const std::string text((std::istreambuf_iterator<char>(f)), {});
    EXPECT_NE(text.find("prevent = 0"), std::string::npos);
  }

  std::string src_;
  std::unique_ptr<TOrvBurner> burner_;
  TDiscWriteLimits saved_;
  int done_ = 0;
  std::string error_;
};
