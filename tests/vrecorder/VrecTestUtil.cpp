#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vrectest {

uint32_t Be32(const std::vector<uint8_t> &v, size_t at) {
  return (uint32_t(v.at(at)) << 24) | (uint32_t(v.at(at + 1)) << 16) | (uint32_t(v.at(at + 2)) << 8) | v.at(at + 3);
}
uint16_t Be16(const std::vector<uint8_t> &v, size_t at) { return uint16_t((v.at(at) << 8) | v.at(at + 1)); }
int64_t MsfToLba(const std::vector<uint8_t> &v, size_t at) {
  return int64_t(v.at(at)) * 4500 + v.at(at + 1) * 75 + v.at(at + 2) - 150;
}

TAspiLib::TAspiLib() { Reload(); }

TAspiLib::~TAspiLib() {
  if (handle_)
    dlclose(handle_);
}

void TAspiLib::Reload() {
  if (handle_)
    dlclose(handle_);
  handle_ = dlopen(WNASPI32_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    ADD_FAILURE() << dlerror();
    return;
  }
  Info = reinterpret_cast<PFN_GetASPI32SupportInfo>(dlsym(handle_, "GetASPI32SupportInfo"));
  Send = reinterpret_cast<PFN_SendASPI32Command>(dlsym(handle_, "SendASPI32Command"));
  DeviceName = reinterpret_cast<int (*)(uint8_t, uint8_t, uint8_t, char *, int)>(dlsym(handle_, "SkarvoGetDeviceName"));
}

void VrecTest::SetUp() {
  char tmpl[] = "/tmp/vrectest-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  setenv("SKARVO_VDRIVES", (dir_ + "/drives").c_str(), 1);
  setenv("SKARVO_VDRIVE_CLOCK", "1", 1);
  lib_ = new TAspiLib;
}

void VrecTest::TearDown() {
  delete lib_;
  lib_ = nullptr;
  const std::string cmd = "rm -rf '" + dir_ + "'";
  if (std::system(cmd.c_str()) != 0)
    ADD_FAILURE() << "cannot remove " << dir_;
}

TReply VrecTest::Cmd(std::vector<uint8_t> cdb, int dir, uint32_t len, const std::vector<uint8_t> &out, uint8_t target,
                     bool async) {
  TReply r;
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  std::vector<uint8_t> buf(dir == 2 ? out : std::vector<uint8_t>(len, 0xEE));
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = uint8_t(target / 8);
  srb.SRB_Target = uint8_t(target % 8);
  srb.SRB_Flags = uint8_t((async ? SRB_EVENT_NOTIFY : 0) | (dir == 1 ? SRB_DIR_IN : dir == 2 ? SRB_DIR_OUT : 0));
  srb.SRB_BufLen = uint32_t(buf.size());
  srb.SRB_BufPointer = buf.empty() ? nullptr : buf.data();
  srb.SRB_SenseLen = 24;
  srb.SRB_CDBLen = uint8_t(cdb.size());
  std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
  int efd = -1;
  if (async) {
    efd = eventfd(0, EFD_CLOEXEC);
    srb.SRB_PostProc = efd;
  }
  const uint32_t ret = lib_->Send(&srb);
  if (async && ret == SS_PENDING) {
    pollfd p{efd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 20000), 1) << "no completion event";
  }
  if (efd >= 0)
    close(efd);
  r.Status = __atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE);
  r.HaStat = srb.SRB_HaStat;
  r.TargStat = srb.SRB_TargStat;
  r.Sense.assign(srb.SenseArea, srb.SenseArea + 18);
  r.Key = srb.SenseArea[2] & 0x0F;
  r.Asc = srb.SenseArea[12];
  r.Ascq = srb.SenseArea[13];
  if (dir == 1)
    r.Data = buf;
  return r;
}

void VrecTest::Drive(const std::string &name, const std::string &model, const std::string &media, uint32_t capacity,
                     const std::string &image, bool formatted) {
  std::string err;
  ASSERT_TRUE(vrec::PrepareDrivesFolder(err)) << err;
  ASSERT_TRUE(vrec::AddDrive(name, model, "", "", "", err)) << err;
  lib_->Info();  // rescan
  if (media != "none")
    Insert(name, media, capacity, image, formatted);
  ASSERT_TRUE(vrec::ClearLog(name, err)) << err;
}

void VrecTest::Insert(const std::string &name, const std::string &media, uint32_t capacity, const std::string &image,
                      bool formatted) {
  std::string err;
  ASSERT_TRUE(vrec::InsertMedium(name, media, capacity, image, formatted, err)) << err;
  // The medium change's unit attention, taken as a host takes it.
  const TReply r = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, Target(name));
  EXPECT_EQ(r.Data[2] & 0x0F, 6);
  EXPECT_EQ(r.Data[12], 0x28);
}

uint8_t VrecTest::Target(const std::string &name) {
  std::vector<vrec::TDriveSummary> all;
  std::string err;
  EXPECT_TRUE(vrec::ListDrives(all, err));
  for (const vrec::TDriveSummary &d : all)
    if (d.Name == name)
      return uint8_t(d.Slot);
  ADD_FAILURE() << "no drive " << name;
  return 0xFF;
}

TReply VrecTest::Write(uint32_t lba, uint32_t blocks, uint8_t fill, uint8_t target) {
  std::vector<uint8_t> data(size_t(blocks) * 2048, fill);
  for (uint32_t b = 0; b < blocks; ++b) {  // each block carries its address
    data[size_t(b) * 2048] = uint8_t(lba + b);
    data[size_t(b) * 2048 + 1] = uint8_t((lba + b) >> 8);
    data[size_t(b) * 2048 + 2] = uint8_t((lba + b) >> 16);
  }
  return Cmd({0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, uint8_t(blocks >> 8),
              uint8_t(blocks), 0},
             2, 0, data, target);
}

TReply VrecTest::Read(uint32_t lba, uint32_t blocks, uint8_t target, bool fua) {
  return Cmd({0x28, uint8_t(fua ? 0x08 : 0), uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, uint8_t(blocks >> 8),
              uint8_t(blocks), 0},
             1, blocks * 2048, {}, target);
}

TReply VrecTest::TrackInfo(uint32_t number, uint8_t target, uint8_t addrType) {
  return Cmd({0x52, addrType, uint8_t(number >> 24), uint8_t(number >> 16), uint8_t(number >> 8), uint8_t(number), 0, 0, 40, 0},
             1, 40, {}, target);
}

TReply VrecTest::DiscInfo(uint8_t target) { return Cmd({0x51, 0, 0, 0, 0, 0, 0, 0, 56, 0}, 1, 56, {}, target); }

TReply VrecTest::Toc(int format, bool msf, uint8_t start, uint8_t target) {
  return Cmd({0x43, uint8_t(msf ? 2 : 0), uint8_t(format), 0, 0, 0, start, 0, 255, 0}, 1, 255, {}, target);
}

TReply VrecTest::ModeSelect05(const std::vector<uint8_t> &page, uint8_t target) {
  std::vector<uint8_t> list(8, 0);
  list.insert(list.end(), page.begin(), page.end());
  return Cmd({0x55, 0x10, 0, 0, 0, 0, 0, uint8_t(list.size() >> 8), uint8_t(list.size()), 0}, 2, 0, list, target);
}

TReply VrecTest::SetWriteType(int writeType, bool test, int multi, uint8_t target) {
  std::vector<uint8_t> p(52, 0);
  p[0] = 0x05;
  p[1] = 0x32;
  p[2] = uint8_t((test ? 0x10 : 0) | writeType);
  p[3] = uint8_t((multi << 6) | 0x04);
  p[4] = 0x08;
  p[15] = 150;
  return ModeSelect05(p, target);
}

TReply VrecTest::CloseSession(uint8_t target, bool imm) {
  return Cmd({0x5B, uint8_t(imm ? 1 : 0), 2, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, target);
}

std::string VrecTest::Log(const std::string &name) {
  std::string text, err;
  EXPECT_TRUE(vrec::ReadLog(name, text, err)) << err;
  return text;
}

}  // namespace vrectest
