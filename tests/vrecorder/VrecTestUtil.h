// Test helpers: load libwnaspi32.so with dlopen and send hand-built SRBs.
#pragma once

#include "wnaspi32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vrectest {

// Result of one executed command.
struct TReply {
  uint8_t Status = 0;    // SRB_Status
  uint8_t HaStat = 0, TargStat = 0;
  uint8_t Key = 0, Asc = 0, Ascq = 0;
  std::vector<uint8_t> Sense;
  std::vector<uint8_t> Data;
  bool Good() const { return Status == SS_COMP; }
};

uint32_t Be32(const std::vector<uint8_t> &v, size_t at);
uint16_t Be16(const std::vector<uint8_t> &v, size_t at);
int64_t MsfToLba(const std::vector<uint8_t> &v, size_t at);  // M at `at`, S, F following

// The loaded library.
class TAspiLib {
public:
  TAspiLib();
  ~TAspiLib();
  void Reload();
  PFN_GetASPI32SupportInfo Info = nullptr;
  PFN_SendASPI32Command Send = nullptr;
  int (*DeviceName)(uint8_t, uint8_t, uint8_t, char *, int) = nullptr;

private:
  void *handle_ = nullptr;
};

// A fixture with its own drive folder ($SKARVO_VDRIVES) and the library loaded.
class VrecTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Executes a CDB on the drive at slot `target` (adapter target/8, target
  // target%8); dir 0 none, 1 in (len bytes), 2 out (data).
  TReply Cmd(std::vector<uint8_t> cdb, int dir = 0, uint32_t len = 0, const std::vector<uint8_t> &out = {},
             uint8_t target = 0, bool async = true);
  // Adds drive NAME of model and inserts a medium; returns its target number.
  void Drive(const std::string &name, const std::string &model, const std::string &media, uint32_t capacity = 0,
             const std::string &image = "", bool formatted = false);
  uint8_t Target(const std::string &name);  // the drive's slot
  // Loads a medium into an existing drive and takes the unit attention it raises.
  void Insert(const std::string &name, const std::string &media, uint32_t capacity = 0, const std::string &image = "",
              bool formatted = false);

  // Frequently used commands.
  TReply Write(uint32_t lba, uint32_t blocks, uint8_t fill = 0x5A, uint8_t target = 0);
  // fua: from the medium, not the drive's cache of the blocks written last.
  TReply Read(uint32_t lba, uint32_t blocks, uint8_t target = 0, bool fua = false);
  TReply TrackInfo(uint32_t number, uint8_t target = 0, uint8_t addrType = 1);
  TReply DiscInfo(uint8_t target = 0);
  TReply Toc(int format, bool msf = false, uint8_t start = 0, uint8_t target = 0);
  TReply ModeSelect05(const std::vector<uint8_t> &page, uint8_t target = 0);
  TReply SetWriteType(int writeType, bool test, int multi, uint8_t target = 0);
  TReply CloseSession(uint8_t target = 0, bool imm = false);
  std::string Log(const std::string &name);

  std::string dir_;
  TAspiLib *lib_ = nullptr;
};

}  // namespace vrectest
