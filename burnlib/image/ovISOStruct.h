// On-disc structures of an ISO 9660 / Joliet / El Torito session: byte-order
// helpers, text padding, volume descriptors, path-table and directory records,
// the boot record and the boot catalog. Pure functions over byte buffers.
#pragma once

#include "ovDateTime.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t ISOSectorSize = 2048;

// ---- byte orders ----
void PutLE16(uint8_t *p, uint16_t v);
void PutBE16(uint8_t *p, uint16_t v);
void PutLE32(uint8_t *p, uint32_t v);
void PutBE32(uint8_t *p, uint32_t v);
// Little-endian copy followed by the big-endian one (4 or 8 bytes).
void PutBoth16(uint8_t *p, uint16_t v);
void PutBoth32(uint8_t *p, uint32_t v);

// ---- text ----
// The first Width characters of Text followed by spaces (Width bytes). A UTF-8
// sequence is never cut in half: a character that does not fit is replaced by
// the padding.
std::string PadText(const std::string &Text, int Width);
// The first Bytes/2 characters of Text followed by spaces, as big-endian UCS-2
// (Bytes bytes; an odd last byte stays zero).
std::string PadTextUCS2(const std::string &Text, int Bytes);
// UTF-8 to UCS-2. Characters outside the basic plane and malformed bytes become
// '_'. With JolietName set, control characters and the characters Joliet
// forbids in names (* / : ; ? \) become '_' too.
std::u16string TextToUCS2(const std::string &Text, bool JolietName = false);
// Number of UCS-2 characters TextToUCS2 gives, without building them.
size_t TextUCS2Length(const std::string &Text);
// ASCII letters upper-cased, every other byte kept.
std::string UpperText(const std::string &Text);
// d-characters of a text: ASCII letters upper-cased, digits kept, every other
// character (a whole UTF-8 sequence) one "_".
std::string DCharacters(const std::string &Text);

// ---- dates ----
// "yyyymmddhhnnss" followed by the first two digits of the milliseconds
// written with at least two digits: 16 characters.
std::string DescriptorDate(ov::TDateTime dt);
// Seven bytes of a directory record: years since 1900 (modulo 256), month,
// day, hour, minute, second, zone offset in 15-minute units. Descriptor
// dates carry the offset in effect at their own moment.
void PutRecordDate(uint8_t *p, ov::TDateTime dt, int8_t ZoneOffset);

// ---- directory records ----
// Longest identifier a record can hold (the length byte is 8 bits).
constexpr size_t ISOMaxIdentifier = 221;     // 33 + 221 = 254; 222 would need 256
constexpr size_t JolietMaxCharacters = 110;  // 34 + 2 * 110 = 254
// Flag of a record whose file goes on in the next record (multi-extent).
constexpr uint8_t kRecordMultiExtent = 0x80;
// Record length for an identifier of n bytes: 33 + n, plus a zero byte when n
// is even.
inline size_t DirRecordLength(size_t n) { return 33 + n + (n % 2 == 0 ? 1 : 0); }
// Writes one record at p and returns its length. Date is seven bytes or null
// (all zero).
size_t PutDirRecord(uint8_t *p, uint32_t Extent, uint32_t DataLength, const uint8_t *Date, uint8_t Flags,
                    const void *Name, size_t NameLen);

// ---- path tables ----
// Record length for an identifier of n bytes: 8 + n, plus a zero byte when n
// is odd.
inline size_t PathRecordLength(size_t n) { return 8 + n + (n % 2); }
size_t PutPathRecord(uint8_t *p, bool BigEndian, uint32_t Extent, uint16_t Parent, const void *Name,
                     size_t NameLen);

// ---- volume descriptors ----
struct TVolumeInfo {
  std::string System, Volume, VolumeSet, Publisher, Preparer, Application;
  std::string Copyright, Abstract, Bibliographic;
  uint32_t VolumeSpaceSize = 0;
  uint32_t PathTableSize = 0, PathTableL = 0, PathTableM = 0;
  uint32_t RootExtent = 0, RootSize = 0;
  ov::TDateTime Creation = 0, Modification = 0;
};
// Primary (type 1): upper-cased 8-bit texts padded with spaces; the volume
// identifier in d-characters. Bytes 88 to
// 119 stay zero: readers (libarchive among them) refuse a primary descriptor
// whose reserved field there is not zero, so the Joliet escape sequence goes
// into the supplementary descriptor only.
void PutPrimaryDescriptor(uint8_t *Sector, const TVolumeInfo &Info);
// Joliet supplementary (type 2): big-endian UCS-2 texts, escape "%/@".
void PutJolietDescriptor(uint8_t *Sector, const TVolumeInfo &Info);
void PutTerminator(uint8_t *Sector);

// ---- El Torito ----
void PutBootRecord(uint8_t *Sector, uint32_t CatalogAddress);
// Validation entry, initial entry; the rest of the sector zero.
void PutBootCatalog(uint8_t *Sector, uint32_t ImageAddress, uint32_t ImageSectors);
// 1, 2, 3 for the 1.2, 1.44 and 2.88 MB floppy sizes in 2048-byte sectors
// (600, 720, 1440), 4 (hard disk) for any other count.
uint8_t BootMediaType(uint32_t ImageSectors);
// Two's complement of the sum of the entry's sixteen little-endian words,
// taken with the checksum bytes (28, 29) counted as zero.
uint16_t ValidationChecksum(const uint8_t *Entry);
