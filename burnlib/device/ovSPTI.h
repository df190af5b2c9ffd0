// The ASPI entry points emulated over the Linux SCSI pass-through (SG_IO).
// Drive slots are indexed by letter: C..Z stand for /dev/sr0 .. /dev/sr23.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

inline constexpr int kSPTISlots = 26;
// LUN of a drive whose system reported no SCSI address, until the scan ends.
inline constexpr uint8_t kSPTINoAddressLun = 250;
// Target id given to letters that are not CD/DVD drives, so no lookup matches.
inline constexpr uint8_t kSPTINotADriveTarget = 120;

struct TSPTIDrive {
  // The adapter number the scan gives the drive: kernel SCSI hosts numbered
  // densely from 0, so a host of 10 or more still has a one-digit adapter.
  uint8_t ha = 0;
  // The kernel's SCSI host number (-1: the system reported no address). Kept
  // to tell the drive's host; commands open the slot's device node.
  int host = -1;
  uint8_t tgt = 0;
  uint8_t lun = 0;
  uint8_t driveNo = 0;   // 0 = A
  bool present = false;
  int fd = -1;           // open handle of the drive, -1 when closed
  uint8_t inqData[40] = {};
};

// Gives the present drives of the table their adapter numbers: the distinct
// kernel hosts in increasing order become adapters 0, 1, 2 ...; drives that
// reported no address go on one extra adapter after them (LUN 0, targets as
// numbered during the scan). Returns the adapter count.
uint8_t AssignSPTIAdapters(TSPTIDrive *drives, int count);

// When set, the emulation closes a drive's handle after every command.
extern std::atomic<bool> SPTIAutoClose;

// Fills the drive table (once until DoneSPTI); returns the number of drives
// found, 0 when the table was already filled.
uint8_t InitSPTI();
// Closes every open handle and clears the table.
void DoneSPTI();

uint32_t SPTIGetSupportInfo();
uint32_t SPTISendCommand(void *srb);

// The letter of the present slot with this address, or 127 when none.
char SPTIDriveLetter(uint8_t ha, uint8_t target, uint8_t lun);
// The device node a slot letter stands for ("/dev/sr0" for C); empty for
// letters outside C..Z.
std::string SPTIDevicePath(char letter);
// A copy of one slot (letter A..Z), for callers that show the table.
TSPTIDrive SPTISlot(char letter);
// The SCSI address the system reports for a device node.
bool SPTIQueryAddress(const std::string &path, uint8_t &ha, uint8_t &target, uint8_t &lun);
