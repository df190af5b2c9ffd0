// The ASPI surface of libwnaspi32.so: adapters, device types, asynchronous
// completion, abort, identity and persistence across a reload.
#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vrectest;

TEST_F(VrecTest, FirstUseCreatesDefaultDriveWithBlankRewritable) {
  struct stat st{};
  ASSERT_NE(stat((dir_ + "/drives").c_str(), &st), 0);
  EXPECT_EQ(lib_->Info(), (uint32_t(SS_COMP) << 8) | 1u);
  ASSERT_EQ(stat((dir_ + "/drives/vd0/settings").c_str(), &st), 0);
  // It is a writer with a blank rewritable disc: profile CD-RW, disc status empty, erasable.
  TReply cfg = Cmd({0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0}, 1, 114);
  ASSERT_TRUE(cfg.Good());
  EXPECT_EQ(Be16(cfg.Data, 6), 0x000A);
  TReply di = DiscInfo();
  ASSERT_TRUE(di.Good());
  EXPECT_EQ(di.Data[2] & 0x03, 0);
  EXPECT_TRUE(di.Data[2] & 0x10);
  TReply w = Write(0, 16);
  EXPECT_TRUE(w.Good());
}

TEST_F(VrecTest, NoDrivesMeansNoAdapters) {
  ASSERT_EQ(mkdir((dir_ + "/drives").c_str(), 0755), 0);
  EXPECT_EQ(lib_->Info(), uint32_t(SS_NO_ADAPTERS) << 8);
  SRB_HAInquiry q{};
  q.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(lib_->Send(&q), uint32_t(SS_INVALID_HA));
  EXPECT_EQ(q.HA_Count, 0);
  TReply r = Cmd({0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(r.Status, SS_NO_DEVICE);
}

TEST_F(VrecTest, AdapterDeviceTypeDiskInfoAndNames) {
  Drive("b", "dvd-writer", "DVD+R");
  Drive("a", "cdrw-writer", "CD-R");
  ASSERT_EQ(lib_->Info(), (uint32_t(SS_COMP) << 8) | 1u);
  SRB_HAInquiry q{};
  q.SRB_Cmd = SC_HA_INQUIRY;
  ASSERT_EQ(lib_->Send(&q), uint32_t(SS_COMP));
  EXPECT_EQ(q.HA_Count, 1);
  EXPECT_EQ(q.HA_SCSI_ID, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(q.HA_ManagerId), 16), "SKARVO VRECORDER");
  q.SRB_HaId = 1;
  EXPECT_EQ(lib_->Send(&q), uint32_t(SS_INVALID_HA));

  // Targets follow the order of addition: vd0 (the default drive) = 0, b = 1, a = 2.
  char name[16];
  ASSERT_EQ(lib_->DeviceName(0, 2, 0, name, sizeof name), 1);
  EXPECT_STREQ(name, "a");
  ASSERT_EQ(lib_->DeviceName(0, 1, 0, name, sizeof name), 1);
  EXPECT_STREQ(name, "b");
  EXPECT_EQ(lib_->DeviceName(0, 3, 0, name, sizeof name), 0);
  EXPECT_EQ(lib_->DeviceName(0, 0, 1, name, sizeof name), 0);

  SRB_GDEVBlock g{};
  g.SRB_Cmd = SC_GET_DEV_TYPE;
  g.SRB_Target = 1;
  EXPECT_EQ(lib_->Send(&g), uint32_t(SS_COMP));
  EXPECT_EQ(g.SRB_DeviceType, 5);
  g.SRB_Target = 5;
  EXPECT_EQ(lib_->Send(&g), uint32_t(SS_NO_DEVICE));

  SRB_GetDiskInfo di{};
  di.SRB_Cmd = SC_GET_DISK_INFO;
  di.SRB_Target = 1;
  ASSERT_EQ(lib_->Send(&di), uint32_t(SS_COMP));
  EXPECT_EQ(reinterpret_cast<uint8_t *>(&di)[11], 3);  // D:

  TReply r = Cmd({0x12, 0, 0, 0, 96, 0}, 1, 96, {}, 1);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(std::string(r.Data.begin() + 16, r.Data.begin() + 32), "DVD+-RW SV-1620 ");
  r = Cmd({0x12, 0, 0, 0, 96, 0}, 1, 96, {}, 2);
  EXPECT_EQ(std::string(r.Data.begin() + 16, r.Data.begin() + 32), "CD-RW SV-5232   ");
}

TEST_F(VrecTest, InquiryHasTheShapeOfARealWriter) {
  Drive("w", "dvd-writer", "none");
  std::string err;
  ASSERT_TRUE(vrec::SetSetting("w", "product", "CD-W512EB", err)) << err;
  TReply r = Cmd({0x12, 0, 0, 0, 128, 0}, 1, 128, {}, Target("w"));
  ASSERT_TRUE(r.Good());
  // Captured reply of a DVD writer: 05 80 00 32 5B, 96 bytes, identity at 8/16/32.
  EXPECT_EQ(r.Data[0], 0x05);
  EXPECT_EQ(r.Data[1], 0x80);
  EXPECT_EQ(r.Data[3], 0x32);
  EXPECT_EQ(r.Data[4], 0x5B);
  EXPECT_EQ(std::string(r.Data.begin() + 8, r.Data.begin() + 36), "SKARVO  CD-W512EB       1.00");
  EXPECT_EQ(r.Data[96], 0xEE);  // nothing beyond the 96 bytes is touched
  // The allocation length is respected.
  r = Cmd({0x12, 0, 0, 0, 36, 0}, 1, 96, {}, Target("w"));
  EXPECT_EQ(r.Data[35], '0');
  EXPECT_EQ(r.Data[36], 0xEE);
  // EVPD pages are not offered.
  r = Cmd({0x12, 1, 0x80, 0, 96, 0}, 1, 96, {}, Target("w"));
  EXPECT_EQ(r.Status, SS_ERR);
  EXPECT_EQ(r.Key, 5);
  EXPECT_EQ(r.Asc, 0x24);
}

TEST_F(VrecTest, SynchronousAndAsynchronousCompletion) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Target = t;
  srb.SRB_CDBLen = 6;
  srb.SRB_SenseLen = 24;
  // Without a post event the call completes before returning.
  EXPECT_EQ(lib_->Send(&srb), uint32_t(SS_COMP));
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  // With one, a command that takes no time completes before returning too,
  // and the event stays quiet.
  const int efd = eventfd(0, EFD_CLOEXEC);
  srb.SRB_Flags = SRB_EVENT_NOTIFY;
  srb.SRB_PostProc = efd;
  EXPECT_EQ(lib_->Send(&srb), uint32_t(SS_COMP));
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  pollfd p{efd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  // A command that takes time (a calibration: 1.5 s at clock 1, here 0.3 s)
  // returns pending, and the event is signalled once the status is set.
  setenv("SKARVO_VDRIVE_CLOCK", "5", 1);
  srb.SRB_CDBLen = 10;
  srb.CDBByte[0] = 0x54;
  srb.CDBByte[1] = 0x01;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lib_->Send(&srb), uint32_t(SS_PENDING));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE), SS_COMP);
  uint64_t v = 0;
  ASSERT_EQ(read(efd, &v, 8), 8);
  EXPECT_EQ(v, 1u);
  // A delayed request can be aborted before its time has come.
  EXPECT_EQ(lib_->Send(&srb), uint32_t(SS_PENDING));
  SRB_Abort a{};
  a.SRB_Cmd = SC_ABORT_SRB;
  a.SRB_ToAbort = &srb;
  EXPECT_EQ(lib_->Send(&a), uint32_t(SS_COMP));
  EXPECT_EQ(__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE), SS_ABORTED);
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  close(efd);
}

TEST_F(VrecTest, PendingForeverIsAbortable) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  std::string err;
  ASSERT_TRUE(vrec::AddFault("w", "pending count=1", err)) << err;
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Target = t;
  srb.SRB_CDBLen = 6;
  const int efd = eventfd(0, EFD_CLOEXEC);
  srb.SRB_Flags = SRB_EVENT_NOTIFY;
  srb.SRB_PostProc = efd;
  EXPECT_EQ(lib_->Send(&srb), uint32_t(SS_PENDING));
  pollfd p{efd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 300), 0);  // never completes by itself
  EXPECT_EQ(__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE), SS_PENDING);
  SRB_Abort a{};
  a.SRB_Cmd = SC_ABORT_SRB;
  a.SRB_ToAbort = &srb;
  EXPECT_EQ(lib_->Send(&a), uint32_t(SS_COMP));
  EXPECT_EQ(srb.SRB_Status, SS_ABORTED);
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  close(efd);
  // Aborting it again finds nothing; the fault was used up, the next command completes.
  EXPECT_EQ(lib_->Send(&a), uint32_t(SS_ABORT_FAIL));
  EXPECT_TRUE(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_NE(Log("w").find("status=PENDING"), std::string::npos);
}

TEST_F(VrecTest, UnloadWithRequestsInFlight) {
  Drive("w", "dvd-writer", "CD-R");
  std::string err;
  ASSERT_TRUE(vrec::AddFault("w", "pending count=1", err)) << err;
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Target = Target("w");
  srb.SRB_CDBLen = 6;
  const int efd = eventfd(0, EFD_CLOEXEC);
  srb.SRB_Flags = SRB_EVENT_NOTIFY;
  srb.SRB_PostProc = efd;
  EXPECT_EQ(lib_->Send(&srb), uint32_t(SS_PENDING));
  // Unloading joins the worker and releases the stalled request.
  lib_->Reload();
  pollfd p{efd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_EQ(srb.SRB_Status, SS_ABORTED);
  close(efd);
}

TEST_F(VrecTest, ManyThreadsShareOneDrive) {
  Drive("w", "dvd-writer", "DVD+RW", 0, "", true);
  const uint8_t t = Target("w");
  std::vector<std::thread> th;
  std::atomic<int> good{0};
  for (int i = 0; i < 4; ++i)
    th.emplace_back([&, i] {
      for (int k = 0; k < 8; ++k)
        if (Write(uint32_t((i * 8 + k) * 16), 16, 0x11, t).Good())
          ++good;
    });
  for (auto &x : th)
    x.join();
  EXPECT_EQ(good.load(), 32);
  TReply r = Read(17 * 16, 1, t);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(r.Data[0], uint8_t(17 * 16));
  EXPECT_EQ(r.Data[1], uint8_t((17 * 16) >> 8));
}

TEST_F(VrecTest, StatePersistsAcrossReload) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 27, 0x33, t).Good());
  ASSERT_TRUE(Cmd({0xBB, 0, 0xFF, 0xFF, 0x0B, 0x10, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // 2832 KB/s
  lib_->Reload();
  TReply ti = TrackInfo(1, t);
  ASSERT_TRUE(ti.Good());
  EXPECT_EQ(Be32(ti.Data, 12), 27u);  // next writable address kept
  TReply rd = Read(26, 1, t);
  ASSERT_TRUE(rd.Good());
  EXPECT_EQ(rd.Data[0], 26);
  EXPECT_EQ(rd.Data[5], 0x33);
  TReply ms = Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t);
  ASSERT_TRUE(ms.Good());
  EXPECT_EQ(Be16(ms.Data, 8 + 28), 2822);  // the 16x step at or below the request
}

TEST_F(VrecTest, UnknownOpcodeAndCommandLog) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  std::string err;
  ASSERT_TRUE(vrec::ClearLog("w", err));
  TReply r = Cmd({0xAD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, 1, 8, {}, t);
  EXPECT_EQ(r.Status, SS_ERR);
  EXPECT_EQ(r.TargStat, STATUS_CHKCOND);
  EXPECT_EQ(r.Sense[0], 0x70);
  EXPECT_EQ(r.Key, 5);
  EXPECT_EQ(r.Asc, 0x20);
  EXPECT_EQ(r.Sense[7], 10);
  ASSERT_TRUE(Write(0, 2, 1, t).Good());
  const std::string log = Log("w");
  EXPECT_NE(log.find("cmd=UNKNOWN cdb=AD0000000000000000080000 dir=in len=8 status=CHECK sense=05/20/00"), std::string::npos)
      << log;
  EXPECT_NE(log.find("cmd=WRITE(10) cdb=2A000000000000000200 dir=out len=4096 status=GOOD sense=00/00/00"),
            std::string::npos)
      << log;
}

TEST_F(VrecTest, TwoProcessesShareOneDrive) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  // Both processes append at the next writable address they read from the drive;
  // with the drive locked per command, every block lands exactly once.
  auto appendBlocks = [&](int count, uint8_t fill) {
    int done = 0;
    while (done < count) {
      TReply ti = Cmd({0x52, 1, 0, 0, 0, 0xFF, 0, 0, 40, 0}, 1, 40, {}, t, false);
      if (!ti.Good())
        return false;
      if (Write(Be32(ti.Data, 12), 1, fill, t).Good())
        ++done;  // a write that lost the race to the other process is refused and retried
    }
    return true;
  };
  // A synchronous command first: it waits for the worker to let go of the layer's lock,
  // so the child does not inherit it held.
  ASSERT_TRUE(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t, false).Good());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Synchronous calls only: the worker thread does not exist in the child.
    bool ok = true;
    for (int i = 0; i < 100 && ok; ++i) {
      TReply ti = Cmd({0x52, 1, 0, 0, 0, 0xFF, 0, 0, 40, 0}, 1, 40, {}, t, false);
      const uint32_t nwa = Be32(ti.Data, 12);
      std::vector<uint8_t> data(2048, 0xC1);
      TReply w = Cmd({0x2A, 0, uint8_t(nwa >> 24), uint8_t(nwa >> 16), uint8_t(nwa >> 8), uint8_t(nwa), 0, 0, 1, 0}, 2, 0,
                     data, t, false);
      if (!w.Good() && w.Asc != 0x21)
        ok = false;
      if (!w.Good())
        --i;
    }
    _exit(ok ? 0 : 1);
  }
  EXPECT_TRUE(appendBlocks(100, 0xA0));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  TReply ti = TrackInfo(1, t);
  ASSERT_EQ(Be32(ti.Data, 12), 200u);
  int mine = 0, theirs = 0;
  TReply rd = Read(0, 200, t);
  ASSERT_TRUE(rd.Good());
  for (int b = 0; b < 200; ++b) {
    const uint8_t v = rd.Data[size_t(b) * 2048 + 100];
    mine += v == 0xA0;
    theirs += v == 0xC1;
  }
  EXPECT_EQ(mine, 100);
  EXPECT_EQ(theirs, 100);
}

// A process keeps a drive's state between commands; changes made behind it,
// without the generation count the library's own saves bump, must show at
// its next command all the same.
TEST_F(VrecTest, ChangesBehindACachedDriveShowAtTheNextCommand) {
  Drive("w", "dvd-writer", "CD-R");
  uint8_t t = Target("w");
  const std::vector<uint8_t> tur = {0x00, 0, 0, 0, 0, 0};
  ASSERT_TRUE(Cmd(tur, 0, 0, {}, t).Good());
  const std::string path = dir_ + "/drives/w/settings";

  // Edited in place: a fault line appended.
  {
    std::ofstream out(path, std::ios::app);
    out << "fault = busy count=1\n";
  }
  TReply r = Cmd(tur, 0, 0, {}, t);
  EXPECT_EQ(r.TargStat, 8);
  EXPECT_TRUE(Cmd(tur, 0, 0, {}, t).Good());

  // Replaced by a new file renamed over it: the tray is open.
  std::string text;
  {
    std::ifstream in(path);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const size_t at = text.find("tray = closed");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 13, "tray = open");
  std::ofstream(path + ".new") << text;
  ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
  r = Cmd(tur, 0, 0, {}, t);
  EXPECT_EQ(r.Key, 2);
  EXPECT_EQ(r.Asc, 0x3A);

  // Removed and made again, with another medium: the new folder answers.
  std::string err;
  ASSERT_TRUE(vrec::RemoveDrive("w", err)) << err;
  Drive("w", "dvd-writer", "DVD+R");
  t = Target("w");
  r = Cmd({0x46, 2, 0, 0, 0, 0, 0, 0, 8, 0}, 1, 8, {}, t);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(Be16(r.Data, 6), 0x1B);
}
