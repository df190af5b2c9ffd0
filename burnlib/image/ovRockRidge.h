// Rock Ridge (RRIP 1.12) over the System Use Sharing Protocol (SUSP 1.12):
// the entry signatures and field values shared by the writer of the primary
// tree and the reader, and the POSIX attributes one entry records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace iso::rr {

// ---- SUSP ----
// Every system use entry starts with a two-letter signature, its length
// (header included) and its version.
constexpr size_t kEntryHeader = 4;
constexpr uint8_t kEntryVersion = 1;
constexpr char kSP[2] = {'S', 'P'};  // sharing protocol indicator, root "." only
constexpr char kCE[2] = {'C', 'E'};  // continuation area
constexpr char kER[2] = {'E', 'R'};  // extension reference
constexpr char kST[2] = {'S', 'T'};  // terminator
constexpr char kPD[2] = {'P', 'D'};  // padding
// SP: length 7, check bytes BE EF, then the bytes skipped in each record.
constexpr uint8_t kSPLength = 7;
constexpr uint8_t kSPCheck1 = 0xBE, kSPCheck2 = 0xEF;
// CE: length 28, then block, offset and length, each both-endian 32.
constexpr uint8_t kCELength = 28;

// ---- RRIP ----
constexpr char kRR[2] = {'R', 'R'};  // RRIP 1.09 flags of what follows (read, not written)
constexpr char kPX[2] = {'P', 'X'};  // POSIX attributes
constexpr char kPN[2] = {'P', 'N'};  // device number
constexpr char kSL[2] = {'S', 'L'};  // symbolic link
constexpr char kNM[2] = {'N', 'M'};  // alternate (POSIX) name
constexpr char kCL[2] = {'C', 'L'};  // child link: where a relocated directory went
constexpr char kPL[2] = {'P', 'L'};  // parent link of a relocated directory
constexpr char kRE[2] = {'R', 'E'};  // relocated directory
constexpr char kTF[2] = {'T', 'F'};  // time stamps
constexpr char kSF[2] = {'S', 'F'};  // sparse file (read as unsupported)
// PX: 36 bytes in RRIP 1.10 (no serial number), 44 in RRIP 1.12.
constexpr uint8_t kPXLength110 = 36;
constexpr uint8_t kPXLength112 = 44;
// ER of RRIP 1.12 as the Linux peers write it.
constexpr const char *kERIdentifier = "IEEE_1282";
constexpr const char *kERDescriptor = "THE IEEE 1282 PROTOCOL PROVIDES SUPPORT FOR POSIX FILE SYSTEM SEMANTICS.";
constexpr const char *kERSource =
    "PLEASE CONTACT THE IEEE STANDARDS DEPARTMENT, PISCATAWAY, NJ, USA FOR THE 1282 SPECIFICATION.";
constexpr uint8_t kERVersion = 1;
// NM and SL component flags.
constexpr uint8_t kNameContinue = 0x01;
constexpr uint8_t kNameCurrent = 0x02;
constexpr uint8_t kNameParent = 0x04;
constexpr uint8_t kNameRoot = 0x08;  // SL component only
// TF flags: which stamps follow, and their form (17-byte when kTFLongForm).
constexpr uint8_t kTFCreation = 0x01;
constexpr uint8_t kTFModify = 0x02;
constexpr uint8_t kTFAccess = 0x04;
constexpr uint8_t kTFAttributes = 0x08;
constexpr uint8_t kTFBackup = 0x10;
constexpr uint8_t kTFExpiration = 0x20;
constexpr uint8_t kTFEffective = 0x40;
constexpr uint8_t kTFLongForm = 0x80;
// The folder that holds relocated directories, as the peers name it.
constexpr const char *kRelocationFolder = "rr_moved";

// POSIX file type bits of PX's mode (as st_mode).
constexpr uint32_t kTypeMask = 0170000;
constexpr uint32_t kTypeDirectory = 0040000;
constexpr uint32_t kTypeRegular = 0100000;
constexpr uint32_t kTypeSymlink = 0120000;
// Permission bits of PX's mode.
constexpr uint32_t kPermissionBits = 07777;  // set-id, sticky and rwx
constexpr uint32_t kSetIdBits = 06000;
constexpr uint32_t kWriteBits = 0222;
constexpr uint32_t kReadBits = 0444;
constexpr uint32_t kExecBits = 0111;

// What Rock Ridge records for one entry beyond its name.
struct TPosixAttrs {
  uint32_t Mode = 0;   // st_mode: type and permission bits
  uint32_t Links = 1;  // st_nlink
  uint32_t Uid = 0;
  uint32_t Gid = 0;
  uint64_t Serial = 0;  // file serial number (inode); 0 when not recorded
  // Seconds since 1970-01-01 UTC; Has* tells whether the stamp was recorded.
  int64_t ModifyTime = 0, AccessTime = 0, ChangeTime = 0;
  bool HasModify = false, HasAccess = false, HasChange = false;
  std::string LinkTarget;  // a symbolic link's target as recorded; "" otherwise
};

} // namespace iso::rr
