// Runs inside the QEMU guest: drives the emulated CD drive through the
// SG_IO pass-through of the device layer and checks what it reports.
//   sgio_guest SECTORS   (SECTORS = size of the ISO in the drive, in blocks)
// Exit status 0 when every check passed.
#include "ovDrvLib.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

int failures = 0;

void Check(bool ok, const std::string &what) {
  std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
  if (!ok)
    ++failures;
}

// host:channel:target:lun of sr0 as sysfs names it.
bool SysfsAddress(int &host, int &channel, int &target, int &lun) {
  char link[PATH_MAX] = {};
  const ssize_t n = ::readlink("/sys/block/sr0/device", link, sizeof link - 1);
  if (n <= 0)
    return false;
  const char *base = std::strrchr(link, '/');
  base = base ? base + 1 : link;
  return std::sscanf(base, "%d:%d:%d:%d", &host, &channel, &target, &lun) == 4;
}

} // namespace

int main(int argc, char **argv) {
  const uint32_t sectors = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 0;
  TSCSIDevice dev;
  const bool init = dev.InitializeASPI(true, "");
  Check(init, "InitializeASPI(true) installs a transport");
  Check(ASPILayerName() == "OVASPI32", "layer name is OVASPI32 (got '" + ASPILayerName() + "')");
  Check(dev.DeviceList.size() == 1, "one drive listed (" + std::to_string(dev.DeviceList.size()) + ")");
  if (dev.DeviceList.empty())
    return 1;
  const std::string ds = dev.DeviceList.front();
  std::printf("device string: '%s'\n", ds.c_str());

  // Scan: the slot of letter C is /dev/sr0 with the address sysfs reports.
  const TSPTIDrive slot = SPTISlot('C');
  Check(slot.present, "slot C (/dev/sr0) is present");
  int host = -1, channel = -1, target = -1, lun = -1;
  if (SysfsAddress(host, channel, target, lun)) {
    std::printf("sysfs address %d:%d:%d:%d\n", host, channel, target, lun);
    Check(slot.host == host && slot.tgt == target && slot.lun == lun, "slot address matches sysfs");
    // The only drive's host is the first adapter, whatever the kernel numbers it.
    Check(slot.ha == 0, "adapters are numbered densely from 0");
    const std::string prefix = std::to_string(slot.ha) + ":" + std::to_string(target) + ":" + std::to_string(lun) +
                               ",/dev/sr0 ";
    Check(ds.rfind(prefix, 0) == 0, "device string begins with '" + prefix + "'");
  } else {
    Check(false, "sysfs names the address of sr0");
  }
  Check(ds.size() == ds.find(' ') + 1 + 28, "vendor, product and revision take 28 characters");
  Check(ds.find("QEMU") != std::string::npos, "device string names the QEMU drive");
  Check(SPTIGetSupportInfo() == ((1u << 8) | static_cast<uint32_t>(slot.ha + 1)),
        "support info: completed, adapter count = highest adapter + 1");

  // The emulated adapter inquiry and device type.
  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  ha.SRB_HaId = slot.ha;
  Check(SPTISendCommand(&ha) == SS_COMP && ha.HA_Count == slot.ha + 1 && ha.HA_SCSI_ID == 7,
        "adapter inquiry: count and SCSI id");
  Check(std::string(reinterpret_cast<char *>(ha.HA_Identifier), 6) == "SPTI " + std::to_string(slot.ha),
        "adapter identifier 'SPTI n'");
  Check(ha.HA_Unique[0] == 7 && ha.HA_Unique[3] == 8 && ha.HA_Unique[4] == 0 && ha.HA_Unique[6] == 255,
        "alignment mask, maximum targets and transfer length");
  ha = SRB_HAInquiry{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  ha.SRB_HaId = static_cast<uint8_t>(slot.ha + 1);
  Check(SPTISendCommand(&ha) == SS_INVALID_HA, "adapter beyond the count is invalid");
  SRB_GDEVBlock gd{};
  gd.SRB_Cmd = SC_GET_DEV_TYPE;
  gd.SRB_HaId = slot.ha;
  gd.SRB_Target = slot.tgt;
  gd.SRB_Lun = slot.lun;
  Check(SPTISendCommand(&gd) == SS_COMP && gd.SRB_DeviceType == 5, "device type 5 at the drive's address");
  gd.SRB_Target = static_cast<uint8_t>(slot.tgt + 1);
  Check(SPTISendCommand(&gd) == SS_NO_DEVICE && gd.SRB_DeviceType == 31, "no device beside it");
  SRB_GetDiskInfo di{};
  di.SRB_Cmd = SC_GET_DISK_INFO;
  Check(SPTISendCommand(&di) == SS_ERR && di.SRB_Status == 0, "disk information is not offered");

  // Commands to an address without a drive fail with "NO DEVICE".
  dev.HaId = slot.ha;
  dev.Target = static_cast<uint8_t>(slot.tgt + 1);
  dev.Lun = 0;
  Check(!dev.TestUnitReady() && dev.ErrorText == "NO DEVICE", "no device: '" + dev.ErrorText + "'");

  dev.SelectDevice(ds);
  Check(dev.HaId == slot.ha && dev.Target == slot.tgt && dev.Lun == slot.lun, "SelectDevice sets the address");
  Check(dev.PeripheralType == 5, "INQUIRY peripheral type 5");
  Check(dev.DeviceDescription.size() == 30 && dev.DeviceDescription.rfind("QEMU", 0) == 0,
        "description '" + dev.DeviceDescription + "'");
  Check(dev.DriveLetter() == 'C', "drive letter C");
  std::printf("capabilities %06X, max read %u KB/s\n", dev.Capabilities, dev.DeviceMaxReadSpeed());
  Check(dev.HasCapability(capReadCDR) && !dev.HasCapability(capWriteCDR),
        "capabilities page: reads CD-R, writes nothing");

  Check(dev.TestUnitReady(5000), "TEST UNIT READY with a medium");
  Check(SPTISlot('C').fd >= 0, "the drive stays open between commands");
  dev.SetSPTIAutoClose(true);
  Check(dev.TestUnitReady(5000) && SPTISlot('C').fd < 0, "auto-close closes it after a command");
  dev.SetSPTIAutoClose(false);
  // INQUIRY is answered from the scan: 36 bytes, the rest stays clear.
  Check(dev.Inquiry() && dev.InquiryData[0] == 5 && dev.InquiryData[36] == 0 && dev.InquiryData[40] == 0,
        "INQUIRY answered from the 36 captured bytes");
  const uint8_t type = dev.GetDiscType();
  Check(type == dtCDROM, "disc type CD-ROM (got " + std::to_string(type) + ")");
  Check(dev.DiscStatus() == 2, "disc status closed (" + std::to_string(dev.DiscStatus()) + ")");
  Check(dev.SessionCount() == 1, "one session");
  Check(!dev.IsRewritable(), "not rewritable");

  TDisc disc;
  dev.GetDiscInfo(disc);
  Check(disc.Ready, "GetDiscInfo: ready");
  Check(disc.MediumName == "CD-ROM", "GetDiscInfo: medium '" + disc.MediumName + "'");
  Check(disc.Profile == 0x0008, "GetDiscInfo: profile 0008h");
  Check(disc.Status == 2, "GetDiscInfo: status complete");
  Check(disc.Capacity == sectors, "GetDiscInfo: capacity " + std::to_string(disc.Capacity));

  uint32_t lastLBA = 0, blockLen = 0;
  const bool capOk = dev.ReadCapacity(lastLBA, blockLen);
  Check(capOk && lastLBA + 1 == sectors && blockLen == 2048,
        "READ CAPACITY: last LBA " + std::to_string(lastLBA) + ", block " + std::to_string(blockLen));
  uint8_t pvd[2048] = {};
  Check(dev.Read10(16, 1, sizeof pvd, pvd) && pvd[0] == 1 && std::memcmp(pvd + 1, "CD001", 5) == 0,
        "READ (10) of LBA 16 returns the primary volume descriptor");
  const uint32_t isoSize = dev.ReadISOVolumeSize();
  Check(isoSize == sectors, "ReadISOVolumeSize " + std::to_string(isoSize));

  // The drive does not implement READ TRACK INFORMATION / READ FORMAT
  // CAPACITIES: the queries must still give sound answers.
  Check(!dev.ReadTrackInformation(1), "READ TRACK INFORMATION is refused by this drive");
  Check(dev.ErrorText.rfind("ILLEGAL REQUEST", 0) == 0, "refusal text '" + dev.ErrorText + "'");
  const uint32_t capacity = dev.DiscCapacity();
  Check(capacity == sectors, "DiscCapacity " + std::to_string(capacity));
  const uint32_t used = dev.UsedBlocks();
  Check(used + 1 == sectors, "UsedBlocks is the last LBA " + std::to_string(used));
  Check(dev.FreeBlocks() == 0, "FreeBlocks of a closed disc is 0");
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
