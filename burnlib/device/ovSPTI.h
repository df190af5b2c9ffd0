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
  uint8_t ha = 0;
  uint8_t tgt = 0;
  uint8_t lun = 0;
  uint8_t driveNo = 0;   // 0 = A
  bool present = false;
  int fd = -1;           // open handle of the drive, -1 when closed
  uint8_t inqData[40] = {};
};

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
