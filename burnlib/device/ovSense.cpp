// The additional-sense texts and the command names of the debug log.
#include "ovDrvLib.h"

#include <algorithm>
#include <cstdio>

int SenseProgress(const uint8_t *sense, size_t length) {
  const TSenseData d = DecodeSense(sense, length);
  if (!d.Known || (d.Key != 0x2 && d.Key != 0x0))
    return -1;
  if (!d.Descriptor)
    return length >= 18 && (sense[15] & 0x80) ? (sense[16] << 8 | sense[17]) : -1;
  // Descriptor format: the sense key specific descriptor (type 02h).
  const size_t end = std::min(length, static_cast<size_t>(8) + (length > 7 ? sense[7] : 0));
  for (size_t i = 8; i + 1 < end; i += 2 + static_cast<size_t>(sense[i + 1]))
    if (sense[i] == 0x02 && i + 7 <= end && (sense[i + 4] & 0x80))
      return sense[i + 5] << 8 | sense[i + 6];
  return -1;
}

namespace {

struct TSenseEntry {
  uint8_t Asc;
  uint8_t Ascq;
  const char *Text;
};

const TSenseEntry kSense[] = {
    {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x00, 0x06, "I/O PROCESS TERMINATED"},
    {0x00, 0x11, "AUDIO PLAY OPERATION IN PROGRESS"},
    {0x00, 0x12, "AUDIO PLAY OPERATION PAUSED"},
    {0x00, 0x13, "AUDIO PLAY OPERATION SUCCESSFULLY COMPLETED"},
    {0x00, 0x14, "AUDIO PLAY OPERATION STOPPED DUE TO ERROR"},
    {0x00, 0x15, "NO CURRENT AUDIO STATUS TO RETURN"},
    {0x00, 0x16, "OPERATION IN PROGRESS"},
    {0x00, 0x17, "CLEANING REQUESTED"},
    {0x02, 0x00, "NO SEEK COMPLETE"},
    {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING CMD. REQUIRED"},
    {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
    {0x04, 0x04, "LOGICAL UNIT NOT READY, FORMAT IN PROGRESS"},
    {0x04, 0x07, "LOGICAL UNIT NOT READY, OPERATION IN PROGRESS"},
    {0x04, 0x08, "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS"},
    {0x04, 0x09, "LOGICAL UNIT NOT READY, SELF-TEST IN PROGRESS"},
    {0x05, 0x00, "LOGICAL UNIT DOES NOT RESPOND TO SELECTION"},
    {0x06, 0x00, "NO REFERENCE POSITION FOUND"},
    {0x07, 0x00, "MULTIPLE PERIPHERAL DEVICES SELECTED"},
    {0x08, 0x00, "LOGICAL UNIT COMMUNICATION FAILURE"},
    {0x08, 0x01, "LOGICAL UNIT COMMUNICATION TIME-OUT"},
    {0x08, 0x02, "LOGICAL UNIT COMMUNICATION PARITY ERROR"},
    {0x08, 0x03, "LOGICAL UNIT COMMUNICATION CRC ERROR (ULTRA-DMA/32)"},
    {0x08, 0x04, "UNREACHABLE COPY TARGET"},
    {0x09, 0x00, "TRACK FOLLOWING ERROR"},
    {0x09, 0x01, "TRACKING SERVO FAILURE"},
    {0x09, 0x02, "FOCUS SERVO FAILURE"},
    {0x09, 0x03, "SPINDLE SERVO FAILURE"},
    {0x09, 0x04, "HEAD SELECT FAULT"},
    {0x0A, 0x00, "ERROR LOG OVERFLOW"},
    {0x0B, 0x00, "WARNING"},
    {0x0B, 0x01, "WARNING - SPECIFIED TEMPERATURE EXCEEDED"},
    {0x0B, 0x02, "WARNING - ENCLOSURE DEGRADED"},
    {0x0C, 0x00, "WRITE ERROR"},
    {0x0C, 0x07, "WRITE ERROR - RECOVERY NEEDED"},
    {0x0C, 0x08, "WRITE ERROR - RECOVERY FAILED"},
    {0x0C, 0x09, "WRITE ERROR - LOSS OF STREAMING"},
    {0x0C, 0x0A, "WRITE ERROR - PADDING BLOCKS ADDED"},
    {0x0D, 0x00, "ERROR DETECTED BY THIRD PARTY TEMPORARY INITIATOR"},
    {0x0D, 0x01, "THIRD PARTY DEVICE FAILURE"},
    {0x0D, 0x02, "COPY TARGET DEVICE NOT REACHABLE"},
    {0x0D, 0x03, "INCORRECT COPY TARGET DEVICE TYPE"},
    {0x0D, 0x04, "COPY TARGET DEVICE DATA UNDERRUN"},
    {0x0D, 0x05, "COPY TARGET DEVICE DATA OVERRUN"},
    {0x11, 0x00, "UNRECOVERED READ ERROR"},
    {0x11, 0x01, "READ RETRIES EXHAUSTED"},
    {0x11, 0x02, "ERROR TOO LONG TO CORRECT"},
    {0x11, 0x05, "L-EC UNCORRECTABLE ERROR"},
    {0x11, 0x06, "CIRC UNRECOVERED ERROR"},
    {0x11, 0x0D, "DE-COMPRESSION CRC ERROR"},
    {0x11, 0x0E, "CANNOT DECOMPRESS USING DECLARED ALGORITHM"},
    {0x11, 0x0F, "ERROR READING UPC/EAN NUMBER"},
    {0x11, 0x10, "ERROR READING ISRC NUMBER"},
    {0x11, 0x11, "READ ERROR - LOSS OF STREAMING"},
    {0x14, 0x00, "RECORDED ENTITY NOT FOUND"},
    {0x14, 0x01, "RECORD NOT FOUND"},
    {0x15, 0x00, "RANDOM POSITIONING ERROR"},
    {0x15, 0x01, "MECHANICAL POSITIONING ERROR"},
    {0x15, 0x02, "POSITIONING ERROR DETECTED BY READ OF MEDIUM"},
    {0x17, 0x00, "RECOVERED DATA WITH NO ERROR CORRECTION APPLIED"},
    {0x17, 0x01, "RECOVERED DATA WITH RETRIES"},
    {0x17, 0x02, "RECOVERED DATA WITH POSITIVE HEAD OFFSET"},
    {0x17, 0x03, "RECOVERED DATA WITH NEGATIVE HEAD OFFSET"},
    {0x17, 0x04, "RECOVERED DATA WITH RETRIES AND/OR CIRC APPLIED"},
    {0x17, 0x05, "RECOVERED DATA USING PREVIOUS SECTOR ID"},
    {0x17, 0x07, "RECOVERED DATA WITHOUT ECC - RECOMMEND REASSIGNMENT"},
    {0x17, 0x08, "RECOVERED DATA WITHOUT ECC - RECOMMEND REWRITE"},
    {0x17, 0x09, "RECOVERED DATA WITHOUT ECC - DATA REWRITTEN"},
    {0x18, 0x00, "RECOVERED DATA WITH ERROR CORRECTION APPLIED"},
    {0x18, 0x01, "RECOVERED DATA WITH ERROR CORR. & RETRIES APPLIED"},
    {0x18, 0x02, "RECOVERED DATA - DATA AUTO-REALLOCATED"},
    {0x18, 0x03, "RECOVERED DATA WITH CIRC"},
    {0x18, 0x04, "RECOVERED DATA WITH L-EC"},
    {0x18, 0x05, "RECOVERED DATA - RECOMMEND REASSIGNMENT"},
    {0x18, 0x06, "RECOVERED DATA - RECOMMEND REWRITE"},
    {0x18, 0x08, "RECOVERED DATA WITH LINKING"},
    {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
    {0x1B, 0x00, "SYNCHRONOUS DATA TRANSFER ERROR"},
    {0x1D, 0x00, "MISCOMPARE DURING VERIFY OPERATION"},
    {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
    {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x21, 0x01, "INVALID ELEMENT ADDRESS"},
    {0x21, 0x02, "INVALID ADDRESS FOR WRITE"},
    {0x24, 0x00, "INVALID FIELD IN CDB"},
    {0x24, 0x01, "CDB DECRYPTION ERROR"},
    {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
    {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
    {0x26, 0x01, "PARAMETER NOT SUPPORTED"},
    {0x26, 0x02, "PARAMETER VALUE INVALID"},
    {0x26, 0x03, "THRESHOLD PARAMETERS NOT SUPPORTED"},
    {0x26, 0x04, "INVALID RELEASE OF PERSISTENT RESERVATION"},
    {0x26, 0x05, "DATA DECRYPTION ERROR"},
    {0x26, 0x06, "TOO MANY TARGET DESCRIPTORS"},
    {0x26, 0x07, "UNSUPPORTED TARGET DESCRIPTOR TYPE CODE"},
    {0x26, 0x08, "TOO MANY SEGMENT DESCRIPTORS"},
    {0x26, 0x09, "UNSUPPORTED SEGMENT DESCRIPTOR TYPE CODE"},
    {0x26, 0x0A, "UNEXPECTED INEXACT SEGMENT"},
    {0x26, 0x0B, "INLINE DATA LENGTH EXCEEDED"},
    {0x26, 0x0C, "INVALID OPERATION FOR COPY SOURCE OR DESTINATION"},
    {0x26, 0x0D, "COPY SEGMENT GRANULARITY VIOLATION"},
    {0x27, 0x00, "WRITE PROTECTED"},
    {0x27, 0x01, "HARDWARE WRITE PROTECTED"},
    {0x27, 0x02, "LOGICAL UNIT SOFTWARE WRITE PROTECTED"},
    {0x27, 0x03, "ASSOCIATED WRITE PROTECT"},
    {0x27, 0x04, "PERSISTENT WRITE PROTECT"},
    {0x27, 0x05, "PERMANENT WRITE PROTECT"},
    {0x27, 0x06, "CONDITIONAL WRITE PROTECT"},
    {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
    {0x28, 0x01, "IMPORT OR EXPORT ELEMENT ACCESSED"},
    {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x29, 0x01, "POWER ON OCCURRED"},
    {0x29, 0x02, "SCSI BUS RESET OCCURRED"},
    {0x29, 0x03, "BUS DEVICE RESET FUNCTION OCCURRED"},
    {0x29, 0x04, "DEVICE INTERNAL RESET"},
    {0x29, 0x05, "TRANSCEIVER MODE CHANGED TO SINGLE-ENDED"},
    {0x29, 0x06, "TRANSCEIVER MODE CHANGED TO LVD"},
    {0x2A, 0x00, "PARAMETERS CHANGED"},
    {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
    {0x2A, 0x02, "LOG PARAMETERS CHANGED"},
    {0x2A, 0x03, "RESERVATIONS PREEMPTED"},
    {0x2A, 0x04, "RESERVATIONS RELEASED"},
    {0x2A, 0x05, "REGISTRATIONS PREEMPTED"},
    {0x2B, 0x00, "COPY CANNOT EXECUTE SINCE HOST CANNOT DISCONNECT"},
    {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
    {0x2C, 0x03, "CURRENT PROGRAM AREA IS NOT EMPTY"},
    {0x2C, 0x04, "CURRENT PROGRAM AREA IS EMPTY"},
    {0x2C, 0x06, "PERSISTENT PREVENT CONFLICT"},
    {0x2E, 0x00, "INSUFFICIENT TIME FOR OPERATION"},
    {0x2F, 0x00, "COMMANDS CLEARED BY ANOTHER INITIATOR"},
    {0x30, 0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
    {0x30, 0x01, "CANNOT READ MEDIUM - UNKNOWN FORMAT"},
    {0x30, 0x02, "CANNOT READ MEDIUM - INCOMPATIBLE FORMAT"},
    {0x30, 0x03, "CLEANING CARTRIDGE INSTALLED"},
    {0x30, 0x04, "CANNOT WRITE MEDIUM - UNKNOWN FORMAT"},
    {0x30, 0x05, "CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT"},
    {0x30, 0x06, "CANNOT FORMAT MEDIUM - INCOMPATIBLE MEDIUM"},
    {0x30, 0x07, "CLEANING FAILURE"},
    {0x30, 0x08, "CANNOT WRITE - APPLICATION CODE MISMATCH"},
    {0x30, 0x09, "CURRENT SESSION NOT FIXATED FOR APPEND"},
    {0x30, 0x10, "MEDIUM NOT FORMATTED"},
    {0x31, 0x00, "MEDIUM FORMAT CORRUPTED"},
    {0x31, 0x01, "FORMAT COMMAND FAILED"},
    {0x31, 0x02, "ZONED FORMATTING FAILED DUE TO SPARE LINKING"},
    {0x34, 0x00, "ENCLOSURE FAILURE"},
    {0x35, 0x00, "ENCLOSURE SERVICES FAILURE"},
    {0x35, 0x01, "UNSUPPORTED ENCLOSURE FUNCTION"},
    {0x35, 0x02, "ENCLOSURE SERVICES UNAVAILABLE"},
    {0x35, 0x03, "ENCLOSURE SERVICES TRANSFER FAILURE"},
    {0x35, 0x04, "ENCLOSURE SERVICES TRANSFER REFUSED"},
    {0x37, 0x00, "ROUNDED PARAMETER"},
    {0x39, 0x00, "SAVING PARAMETERS NOT SUPPORTED"},
    {0x3A, 0x00, "MEDIUM NOT PRESENT"},
    {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
    {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
    {0x3A, 0x03, "MEDIUM NOT PRESENT - LOADABLE"},
    {0x3A, 0x04, "MEDIUM NOT PRESENT - MEDIUM AUXILIARY MEMORY ACCESSIBLE"},
    {0x3B, 0x0D, "MEDIUM DESTINATION ELEMENT FULL"},
    {0x3B, 0x0E, "MEDIUM SOURCE ELEMENT EMPTY"},
    {0x3B, 0x0F, "END OF MEDIUM REACHED"},
    {0x3B, 0x11, "MEDIUM MAGAZINE NOT ACCESSIBLE"},
    {0x3B, 0x12, "MEDIUM MAGAZINE REMOVED"},
    {0x3B, 0x13, "MEDIUM MAGAZINE INSERTED"},
    {0x3B, 0x14, "MEDIUM MAGAZINE LOCKED"},
    {0x3B, 0x15, "MEDIUM MAGAZINE UNLOCKED"},
    {0x3B, 0x16, "MECHANICAL POSITIONING OR CHANGER ERROR"},
    {0x3D, 0x00, "INVALID BITS IN IDENTIFY MESSAGE"},
    {0x3E, 0x00, "LOGICAL UNIT HAS NOT SELF-CONFIGURED YET"},
    {0x3E, 0x01, "LOGICAL UNIT FAILURE"},
    {0x3E, 0x02, "TIMEOUT ON LOGICAL UNIT"},
    {0x3E, 0x03, "LOGICAL UNIT FAILED SELF-TEST"},
    {0x3E, 0x04, "LOGICAL UNIT UNABLE TO UPDATE SELF-TEST LOG"},
    {0x3F, 0x00, "TARGET OPERATING CONDITIONS HAVE CHANGED"},
    {0x3F, 0x01, "MICROCODE HAS BEEN CHANGED"},
    {0x3F, 0x02, "CHANGED OPERATING DEFINITION"},
    {0x3F, 0x03, "INQUIRY DATA HAS CHANGED"},
    {0x3F, 0x04, "COMPONENT DEVICE ATTACHED"},
    {0x3F, 0x05, "DEVICE IDENTIFIER CHANGED"},
    {0x3F, 0x06, "REDUNDANCY GROUP CREATED OR MODIFIED"},
    {0x3F, 0x07, "REDUNDANCY GROUP DELETED"},
    {0x3F, 0x08, "SPARE CREATED OR MODIFIED"},
    {0x3F, 0x09, "SPARE DELETED"},
    {0x3F, 0x0A, "VOLUME SET CREATED OR MODIFIED"},
    {0x3F, 0x0B, "VOLUME SET DELETED"},
    {0x3F, 0x0C, "VOLUME SET DEASSIGNED"},
    {0x3F, 0x0D, "VOLUME SET REASSIGNED"},
    {0x3F, 0x0E, "REPORTED LUNS DATA HAS CHANGED"},
    {0x3F, 0x0F, "ECHO BUFFER OVERWRITTEN"},
    {0x3F, 0x10, "MEDIUM LOADABLE"},
    {0x3F, 0x11, "MEDIUM AUXILIARY MEMORY ACCESSIBLE"},
    {0x43, 0x00, "MESSAGE ERROR"},
    {0x44, 0x00, "INTERNAL TARGET FAILURE"},
    {0x45, 0x00, "SELECT OR RESELECT FAILURE"},
    {0x46, 0x00, "UNSUCCESSFUL SOFT RESET"},
    {0x47, 0x00, "SCSI PARITY ERROR"},
    {0x47, 0x01, "DATA PHASE CRC ERROR DETECTED"},
    {0x47, 0x02, "SCSI PARITY ERROR DETECTED DURING ST DATA PHASE"},
    {0x47, 0x03, "INFORMATION UNIT CRC ERROR DETECTED"},
    {0x47, 0x04, "ASYNCHRONOUS INFORMATION PROTECTION ERROR DETECTED"},
    {0x48, 0x00, "INITIATOR DETECTED ERROR MESSAGE RECEIVED"},
    {0x49, 0x00, "INVALID MESSAGE ERROR"},
    {0x4A, 0x00, "COMMAND PHASE ERROR"},
    {0x4B, 0x00, "DATA PHASE ERROR"},
    {0x4C, 0x00, "LOGICAL UNIT FAILED SELF-CONFIGURATION"},
    {0x4E, 0x00, "OVERLAPPED COMMANDS ATTEMPTED"},
    {0x51, 0x00, "ERASE FAILURE"},
    {0x51, 0x01, "ERASE FAILURE - INCOMPLETE ERASE OPERATION DETECTED"},
    {0x53, 0x00, "MEDIA LOAD OR EJECT FAILED"},
    {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
    {0x55, 0x02, "INSUFFICIENT RESERVATION RESOURCES"},
    {0x55, 0x03, "INSUFFICIENT RESOURCES"},
    {0x55, 0x04, "INSUFFICIENT REGISTRATION RESOURCES"},
    {0x57, 0x00, "UNABLE TO RECOVER TABLE-OF-CONTENTS"},
    {0x5A, 0x00, "OPERATOR REQUEST OR STATE CHANGE INPUT"},
    {0x5A, 0x01, "OPERATOR MEDIUM REMOVAL REQUEST"},
    {0x5A, 0x02, "OPERATOR SELECTED WRITE PROTECT"},
    {0x5A, 0x03, "OPERATOR SELECTED WRITE PERMIT"},
    {0x5B, 0x00, "LOG EXCEPTION"},
    {0x5B, 0x01, "THRESHOLD CONDITION MET"},
    {0x5B, 0x02, "LOG COUNTER AT MAXIMUM"},
    {0x5B, 0x03, "LOG LIST CODES EXHAUSTED"},
    {0x5D, 0x00, "FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0x01, "MEDIA FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0x02, "LOGICAL UNIT FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0x03, "SPARE AREA EXHAUSTION PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0xFF, "FAILURE PREDICTION THRESHOLD EXCEEDED (FALSE)"},
    {0x5E, 0x00, "LOW POWER CONDITION ON"},
    {0x5E, 0x01, "IDLE CONDITION ACTIVATED BY TIMER"},
    {0x5E, 0x02, "STANDBY CONDITION ACTIVATED BY TIMER"},
    {0x5E, 0x03, "IDLE CONDITION ACTIVATED BY COMMAND"},
    {0x5E, 0x04, "STANDBY CONDITION ACTIVATED BY COMMAND"},
    {0x63, 0x00, "END OF USER AREA ENCOUNTERED ON THIS TRACK"},
    {0x63, 0x01, "PACKET DOES NOT FIT IN AVAILABLE SPACE"},
    {0x64, 0x00, "ILLEGAL MODE FOR THIS TRACK"},
    {0x64, 0x01, "INVALID PACKET SIZE"},
    {0x65, 0x00, "VOLTAGE FAULT"},
    {0x6F, 0x00, "COPY PROTECTION KEY EXCHANGE FAILURE - AUTHENTICATION FAILURE"},
    {0x6F, 0x01, "COPY PROTECTION KEY EXCHANGE FAILURE - KEY NOT PRESENT"},
    {0x6F, 0x02, "COPY PROTECTION KEY EXCHANGE FAILURE - KEY NOT ESTABLISHED"},
    {0x6F, 0x03, "READ OF SCRAMBLED SECTOR WITHOUT AUTHENTICATION"},
    {0x6F, 0x04, "MEDIA REGION CODE IS MISMATCHED TO LOGICAL UNIT REGION"},
    {0x6F, 0x05, "DRIVE REGION MUST BE PERMANENT/REGION RESET COUNT ERROR"},
    {0x72, 0x00, "SESSION FIXATION ERROR"},
    {0x72, 0x01, "SESSION FIXATION ERROR WRITING LEAD-IN"},
    {0x72, 0x02, "SESSION FIXATION ERROR WRITING LEAD-OUT"},
    {0x72, 0x03, "SESSION FIXATION ERROR - INCOMPLETE TRACK IN SESSION"},
    {0x72, 0x04, "EMPTY OR PARTIALLY WRITTEN RESERVED TRACK"},
    {0x72, 0x05, "NO MORE TRACK RESERVATIONS ALLOWED"},
    {0x73, 0x00, "CD CONTROL ERROR"},
    {0x73, 0x01, "POWER CALIBRATION AREA ALMOST FULL"},
    {0x73, 0x02, "POWER CALIBRATION AREA IS FULL"},
    {0x73, 0x03, "POWER CALIBRATION AREA ERROR"},
    {0x73, 0x04, "PROGRAM MEMORY AREA UPDATE FAILURE"},
    {0x73, 0x05, "PROGRAM MEMORY AREA IS FULL"},
    {0x73, 0x06, "RMA/PMA IS ALMOST FULL"},
};

struct TCommandName {
  uint8_t Op;
  const char *Name;
};

const TCommandName kCommandNames[] = {
    {0x00, "TEST UNIT READY"},        {0x01, "REWIND UNIT"},
    {0x03, "REQUEST SENSE"},          {0x04, "FORMAT UNIT"},
    {0x12, "INQUIRY"},                {0x1B, "START STOP UNIT"},
    {0x1E, "PREVENT/ALLOW REMOVAL"},  {0x23, "READ FORMAT CAPACITIES"},
    {0x25, "READ CAPACITY"},          {0x28, "READ (10)"},
    {0x2A, "WRITE (10)"},             {0x2B, "SEEK (10)"},
    {0x2E, "WRITE AND VERIFY (10)"},  {0x2F, "VERIFY (10)"},
    {0x35, "SYNCHRONIZE CACHE"},      {0x42, "READ SUB-CHANNEL"},
    {0x43, "READ TOC/PMA/ATIP"},      {0x45, "PLAY AUDIO (10)"},
    {0x46, "GET CONFIGURATION"},      {0x47, "PLAY AUDIO MSF"},
    {0x4A, "GET EVENT/STATUS NOTIF"}, {0x4B, "PAUSE/RESUME"},
    {0x4E, "STOP PLAY/SCAN"},         {0x51, "READ DISC INFORMATION"},
    {0x52, "READ TRACK INFORMATION"}, {0x53, "RESERVE TRACK"},
    {0x54, "SEND OPC INFORMATION"},   {0x55, "MODE SELECT (10)"},
    {0x58, "REPAIR TRACK"},           {0x5A, "MODE SENSE (10)"},
    {0x5B, "CLOSE TRACK/SESSION"},    {0x5C, "READ BUFFER CAPACITY"},
    {0x5D, "SEND CUE SHEET"},         {0xA1, "BLANK"},
    {0xA2, "SEND EVENT"},             {0xA3, "SEND KEY"},
    {0xA4, "REPORT KEY"},             {0xA5, "PLAY AUDIO (12)"},
    {0xA6, "LOAD/UNLOAD CD/DVD"},     {0xA7, "SET READ AHEAD"},
    {0xA8, "READ (12)"},              {0xAA, "WRITE (12)"},
    {0xAC, "GET PERFORMANCE"},        {0xAD, "READ DVD STRUCTURE"},
    {0xB6, "SET STREAMING"},          {0xB9, "READ CD MSF"},
    {0xBA, "SCAN"},                   {0xBB, "SET CD SPEED"},
    {0xBD, "MECHANISM STATUS"},       {0xBE, "READ CD"},
    {0xBF, "SEND DVD STRUCTURE"},
};

struct TCommandNameTable {
  std::string Names[255];
  TCommandNameTable() {
    char hex[3];
    for (int op = 0; op < 255; ++op) {
      std::snprintf(hex, sizeof hex, "%02X", op);
      Names[op] = hex;
    }
    for (const TCommandName &n : kCommandNames) {
      std::string s = n.Name;
      s.resize(22, ' ');
      Names[n.Op] = s;
    }
  }
};

} // namespace

const std::string &CommandNames(uint8_t opcode) {
  static const TCommandNameTable table;
  static const std::string ff = "FF";
  return opcode < 255 ? table.Names[opcode] : ff;
}

const char *AdditionalSenseText(uint8_t asc, uint8_t ascq) {
  for (const TSenseEntry &e : kSense)
    if (e.Asc == asc && e.Ascq == ascq)
      return e.Text;
  return "";
}

int AdditionalSenseCount() { return static_cast<int>(sizeof kSense / sizeof kSense[0]); }

TSenseData DecodeSense(const uint8_t *sense, size_t length) {
  TSenseData d;
  if (!sense || length < 1)
    return d;
  const auto at = [&](size_t i) -> uint8_t { return i < length ? sense[i] : 0; };
  const uint8_t code = at(0) & 0x7F;  // bit 7: information field valid (fixed format)
  d.Known = code >= 0x70 && code <= 0x73;
  if (!d.Known)
    return d;
  d.Deferred = code == 0x71 || code == 0x73;
  d.Descriptor = code == 0x72 || code == 0x73;
  // Both formats carry the additional sense length in byte 7.
  const size_t additional = at(7);
  if (d.Descriptor) {
    d.Key = at(1) & 0x0F;
    d.Asc = at(2);
    d.Ascq = at(3);
    d.HasAdditional = length > 3;
  } else {
    d.Key = at(2) & 0x0F;
    d.Filemark = (at(2) & 0x80) != 0;
    d.EndOfMedium = (at(2) & 0x40) != 0;
    d.IllegalLength = (at(2) & 0x20) != 0;
    d.HasAdditional = additional != 0 && length > 13;
    if (d.HasAdditional) {
      d.Asc = at(12);
      d.Ascq = at(13);
    }
  }
  return d;
}

namespace {

const char *SenseKeyText(const TSenseData &d) {
  static const char *const keys[16] = {nullptr,          "RECOVERED ERROR", "NOT READY",     "MEDIUM ERROR",
                                       "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
                                       "ERASE CHECK",    nullptr,           "COPYABORTED",   "ABORTED COMMAND",
                                       nullptr,          "VOLUME OVERFLOW", "MISCOMPARE",    "RESERVED"};
  if (d.Key == 0)
    return d.Filemark        ? "FILEMARK"
           : d.EndOfMedium   ? "END OF MEDIA"
           : d.IllegalLength ? "ILLEGAL LENGTH"
                             : "NO ADDITIONAL SENSE INFORMATION";
  return keys[d.Key] ? keys[d.Key] : "CHECK CONDITION";
}

// The text of the status fields alone; "CHECK CONDITION" when the sense
// data decides.
std::string StatusText(uint8_t srbStatus, uint8_t haStat, uint8_t targStat) {
  switch (srbStatus) {
  case SS_PENDING:
  case SS_COMP: return "";
  case SS_ABORTED:
  case SS_ABORT_FAIL: return "OPERATION ABORTED BY USER";
  case SS_ERR:
    switch (haStat) {
    case 0x00:
      switch (targStat) {
      case 0x00:
      case 0x02: return "CHECK CONDITION";
      case 0x08: return "TARGET BUSY";
      case 0x18: return "TARGET RESERVATION CONFLICT";
      case 0x28: return "TARGET QUEUE FULL";
      default: return "UNKNOWN";
      }
    case 0x09: return "COMMAND TIMEOUT";
    case 0x0B: return "SRB TIMEOUT";
    case 0x0D: return "MESSAGE REJECT";
    case 0x0E: return "BUS RESET";
    case 0x0F: return "PARITY ERROR";
    case 0x10: return "REQUEST SENSE FAILED";
    case 0x11: return "SELECTION TIMEOUT";
    case 0x12: return "DATA OVERRUN";
    case 0x13: return "UNEXPECTED BUS FREE";
    default: return "UNKNOWN";
    }
  case 0x80: return "INVALID REQUEST";
  case 0x81: return "INVALID HOST ADAPTER";
  case 0x82: return "NO DEVICE";
  case 0xE0: return "INVALID SRB";
  case 0xE1: return "BUFFER ALIGNMENT";
  case 0xE5: return "ASPI IS BUSY";
  case 0xE6: return "BUFFER TOO BIG";
  default: return "UNKNOWN";
  }
}

} // namespace

std::string CommandErrorText(uint8_t srbStatus, uint8_t haStat, uint8_t targStat, const uint8_t *sense,
                             size_t senseLength) {
  std::string text = StatusText(srbStatus, haStat, targStat);
  if (text.empty())
    return text;
  const TSenseData d = DecodeSense(sense, senseLength);
  if (text == "CHECK CONDITION") {
    if (!sense || senseLength == 0 || sense[0] == 0)
      return "";
    if (!d.Known)
      return "UNKNOWN";
    text = SenseKeyText(d);
    if (d.Deferred)
      text = "DEFERRED " + text;
  }
  if (d.Known && d.HasAdditional) {
    std::string asc = AdditionalSenseText(d.Asc, d.Ascq);
    if (asc.empty())
      asc = std::to_string(d.Asc) + "," + std::to_string(d.Ascq);
    text += " (" + asc + ")";
  }
  return text;
}

TSenseAction CommandAction(uint8_t srbStatus, uint8_t haStat, uint8_t targStat, const uint8_t *sense,
                           size_t senseLength) {
  if (srbStatus == SS_COMP)
    return TSenseAction::GoOn;
  if (srbStatus != SS_ERR)
    return TSenseAction::Fail;
  // The host adapter lost the command (bus reset or free, parity, phase,
  // selection): there is no sense data, and no sign the drive is busy. A
  // time-out is the device layer's own verdict, and a length mismatch
  // would only happen again.
  if (haStat != 0)
    return haStat == HASTAT_TIMEOUT || haStat == HASTAT_COMMAND_TIMEOUT || haStat == HASTAT_DO_DU
               ? TSenseAction::Fail
               : TSenseAction::Resend;
  if (targStat == 0x08 || targStat == 0x28)
    return TSenseAction::Retry;
  // CHECK CONDITION without any sense data: the same.
  if (targStat == 0x02 && (!sense || senseLength == 0 || sense[0] == 0))
    return TSenseAction::Resend;
  const TSenseData d = DecodeSense(sense, senseLength);
  // A deferred error reports data an earlier command already lost: sending
  // this one again cannot bring it back.
  if (!d.Known || d.Deferred)
    return TSenseAction::Fail;
  switch (d.Key) {
  case 0x0:
  case 0x1: return TSenseAction::GoOn;
  case 0x6: return TSenseAction::Retry;
  case 0x2:
    // In progress, becoming ready, formatting, long write: the drive works.
    if (d.Asc == 0x04 && (d.Ascq == 0x00 || d.Ascq == 0x01 || d.Ascq == 0x04 || d.Ascq == 0x07 || d.Ascq == 0x08))
      return TSenseAction::Wait;
    return TSenseAction::Fail;
  default: return TSenseAction::Fail;
  }
}

uint8_t PolledSenseASC(const uint8_t *sense, size_t length) {
  if (length > 0 && sense[0] == 0xF0)
    return 0x04;
  return DecodeSense(sense, length).Asc;
}
