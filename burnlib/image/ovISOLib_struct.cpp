// On-disc structures: byte orders, text padding, descriptors, records and the
// El Torito boot record and catalog.
#include "ovISOStruct.h"

#include "ovBytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

void PutLE16(uint8_t *p, uint16_t v) { ov::PutLE16(p, v); }
void PutBE16(uint8_t *p, uint16_t v) { ov::PutBE16(p, v); }
void PutLE32(uint8_t *p, uint32_t v) { ov::PutLE32(p, v); }
void PutBE32(uint8_t *p, uint32_t v) { ov::PutBE32(p, v); }
void PutBoth16(uint8_t *p, uint16_t v) { ov::PutBoth16(p, v); }
void PutBoth32(uint8_t *p, uint32_t v) { ov::PutBoth32(p, v); }

namespace {

// Length of the UTF-8 sequence starting at s[i] and its code point; a
// malformed sequence counts as one byte with code point 0xFFFFFFFF.
size_t DecodeUtf8(const std::string &s, size_t i, uint32_t &cp) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t c = b(i);
  size_t n;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    cp = 0xFFFFFFFF;
    return 1;
  }
  if (i + n > s.size()) {
    cp = 0xFFFFFFFF;
    return 1;
  }
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) {
      cp = 0xFFFFFFFF;
      return 1;
    }
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are malformed.
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) {
    cp = 0xFFFFFFFF;
    return 1;
  }
  return n;
}

void PutText(uint8_t *p, const std::string &Text, int Width) {
  const std::string t = PadText(Text, Width);
  std::memcpy(p, t.data(), t.size());
}

void PutUCS2(uint8_t *p, const std::string &Text, int Bytes) {
  const std::string t = PadTextUCS2(Text, Bytes);
  std::memcpy(p, t.data(), t.size());
}

// 16 characters of local time and the UTC offset in effect at that time.
void PutDate17(uint8_t *p, ov::TDateTime dt, bool zero) {
  const std::string d = zero ? std::string(16, '0') : DescriptorDate(dt);
  std::memcpy(p, d.data(), 16);
  p[16] = zero ? 0 : static_cast<uint8_t>(ov::UtcOffsetUnitsAt(dt));
}

// The fields the primary and the Joliet descriptor share.
void PutCommon(uint8_t *s, uint8_t type, const TVolumeInfo &v) {
  std::memset(s, 0, ISOSectorSize);
  s[0] = type;
  std::memcpy(s + 1, "CD001", 5);
  s[6] = 1;
  PutBoth32(s + 80, v.VolumeSpaceSize);
  PutBoth16(s + 120, 1);
  PutBoth16(s + 124, 1);
  PutBoth16(s + 128, static_cast<uint16_t>(ISOSectorSize));
  PutBoth32(s + 132, v.PathTableSize);
  PutLE32(s + 140, v.PathTableL);
  PutBE32(s + 148, v.PathTableM);
  const uint8_t root = 0;
  PutDirRecord(s + 156, v.RootExtent, v.RootSize, nullptr, 2, &root, 1);
  PutDate17(s + 847, 0, true);
  PutDate17(s + 864, 0, true);
  s[881] = 1;
  std::memset(s + 1024, ' ', 8);
}

} // namespace

std::string PadText(const std::string &Text, int Width) {
  std::string out;
  out.reserve(static_cast<size_t>(Width));
  size_t i = 0, chars = 0;
  while (i < Text.size() && chars < static_cast<size_t>(Width)) {
    uint32_t cp;
    const size_t n = DecodeUtf8(Text, i, cp);
    if (out.size() + n > static_cast<size_t>(Width))
      break;
    out.append(Text, i, n);
    i += n;
    ++chars;
  }
  out.resize(static_cast<size_t>(Width), ' ');
  return out;
}

std::u16string TextToUCS2(const std::string &Text, bool JolietName) {
  std::u16string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size();) {
    uint32_t cp;
    i += DecodeUtf8(Text, i, cp);
    if (cp > 0xFFFF)
      cp = '_';
    if (JolietName && (cp < 0x20 || cp == '*' || cp == '/' || cp == ':' || cp == ';' || cp == '?' || cp == '\\'))
      cp = '_';
    out.push_back(static_cast<char16_t>(cp));
  }
  return out;
}

size_t TextUCS2Length(const std::string &Text) {
  size_t n = 0;
  for (size_t i = 0; i < Text.size(); ++n) {
    uint32_t cp;
    i += DecodeUtf8(Text, i, cp);
  }
  return n;
}

std::string PadTextUCS2(const std::string &Text, int Bytes) {
  std::u16string u = TextToUCS2(Text);
  const size_t chars = static_cast<size_t>(Bytes) / 2;
  u.resize(std::min(u.size(), chars));
  u.resize(chars, u' ');
  std::string out(static_cast<size_t>(Bytes), '\0');
  for (size_t k = 0; k < chars; ++k) {
    out[2 * k] = static_cast<char>(u[k] >> 8);
    out[2 * k + 1] = static_cast<char>(u[k] & 0xFF);
  }
  return out;
}

std::string DCharacters(const std::string &Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size();) {
    uint32_t cp;
    i += DecodeUtf8(Text, i, cp);
    if (cp >= 'a' && cp <= 'z')
      out += static_cast<char>(cp - 'a' + 'A');
    else if ((cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9'))
      out += static_cast<char>(cp);
    else
      out += '_';
  }
  return out;
}

std::string UpperText(const std::string &Text) {
  std::string out = Text;
  for (char &c : out)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string DescriptorDate(ov::TDateTime dt) {
  const ov::TDateParts p = ov::DecodeDateTime(dt);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%02d", p.Year % 10000, p.Month, p.Day, p.Hour, p.Minute,
                p.Second, p.MSec);
  return std::string(buf, 16);
}

void PutRecordDate(uint8_t *p, ov::TDateTime dt, int8_t ZoneOffset) {
  const ov::TDateParts d = ov::DecodeDateTime(dt);
  p[0] = static_cast<uint8_t>((d.Year - 1900) & 0xFF);
  p[1] = static_cast<uint8_t>(d.Month);
  p[2] = static_cast<uint8_t>(d.Day);
  p[3] = static_cast<uint8_t>(d.Hour);
  p[4] = static_cast<uint8_t>(d.Minute);
  p[5] = static_cast<uint8_t>(d.Second);
  p[6] = static_cast<uint8_t>(ZoneOffset);
}

size_t PutDirRecord(uint8_t *p, uint32_t Extent, uint32_t DataLength, const uint8_t *Date, uint8_t Flags,
                    const void *Name, size_t NameLen) {
  const size_t len = DirRecordLength(NameLen);
  std::memset(p, 0, len);
  p[0] = static_cast<uint8_t>(len);
  PutBoth32(p + 2, Extent);
  PutBoth32(p + 10, DataLength);
  if (Date)
    std::memcpy(p + 18, Date, 7);
  p[25] = Flags;
  PutBoth16(p + 28, 1);
  p[32] = static_cast<uint8_t>(NameLen);
  std::memcpy(p + 33, Name, NameLen);
  return len;
}

size_t PutPathRecord(uint8_t *p, bool BigEndian, uint32_t Extent, uint16_t Parent, const void *Name,
                     size_t NameLen) {
  const size_t len = PathRecordLength(NameLen);
  p[0] = static_cast<uint8_t>(NameLen);
  p[1] = 0;
  if (BigEndian) {
    PutBE32(p + 2, Extent);
    PutBE16(p + 6, Parent);
  } else {
    PutLE32(p + 2, Extent);
    PutLE16(p + 6, Parent);
  }
  std::memcpy(p + 8, Name, NameLen);
  if (NameLen % 2)
    p[8 + NameLen] = 0;
  return len;
}

void PutPrimaryDescriptor(uint8_t *s, const TVolumeInfo &v) {
  PutCommon(s, 1, v);
  PutText(s + 8, UpperText(v.System), 32);
  PutText(s + 40, DCharacters(v.Volume), 32);
  PutText(s + 190, UpperText(v.VolumeSet), 128);
  PutText(s + 318, UpperText(v.Publisher), 128);
  PutText(s + 446, UpperText(v.Preparer), 128);
  PutText(s + 574, UpperText(v.Application), 128);
  PutText(s + 702, UpperText(v.Copyright), 37);
  PutText(s + 739, UpperText(v.Abstract), 37);
  PutText(s + 776, UpperText(v.Bibliographic), 37);
  PutDate17(s + 813, v.Creation, false);
  PutDate17(s + 830, v.Modification, false);
}

void PutJolietDescriptor(uint8_t *s, const TVolumeInfo &v) {
  PutCommon(s, 2, v);
  PutUCS2(s + 8, v.System, 32);
  PutUCS2(s + 40, v.Volume, 32);
  std::memcpy(s + 88, "\x25\x2F\x40", 3);
  PutUCS2(s + 190, v.VolumeSet, 128);
  PutUCS2(s + 318, v.Publisher, 128);
  PutUCS2(s + 446, v.Preparer, 128);
  PutUCS2(s + 574, v.Application, 128);
  // 18 characters; the 37th byte of each field stays zero.
  PutUCS2(s + 702, v.Copyright, 36);
  PutUCS2(s + 739, v.Abstract, 36);
  PutUCS2(s + 776, v.Bibliographic, 36);
  PutDate17(s + 813, v.Creation, false);
  PutDate17(s + 830, v.Modification, false);
}

void PutTerminator(uint8_t *s) {
  std::memset(s, 0, ISOSectorSize);
  s[0] = 255;
  std::memcpy(s + 1, "CD001", 5);
  s[6] = 1;
}

void PutBootRecord(uint8_t *s, uint32_t CatalogAddress) {
  std::memset(s, 0, ISOSectorSize);
  s[0] = 0;
  std::memcpy(s + 1, "CD001", 5);
  s[6] = 1;
  static const char kSystem[] = "EL TORITO SPECIFICATION";
  std::memcpy(s + 7, kSystem, sizeof kSystem - 1);
  PutLE32(s + 71, CatalogAddress);
}

uint8_t BootMediaType(uint32_t ImageSectors) {
  switch (ImageSectors) {
  case 600:
    return 1;
  case 720:
    return 2;
  case 1440:
    return 3;
  default:
    return 4;
  }
}

uint16_t ValidationChecksum(const uint8_t *e) {
  uint32_t sum = 0;
  for (int i = 0; i < 32; i += 2)
    if (i != 28)
      sum += static_cast<uint32_t>(e[i] | (e[i + 1] << 8));
  return static_cast<uint16_t>((0x10000 - (sum & 0xFFFF)) & 0xFFFF);
}

void PutBootCatalog(uint8_t *s, uint32_t ImageAddress, uint32_t ImageSectors) {
  std::memset(s, 0, ISOSectorSize);
  // Validation entry: header, platform 80x86, ID string, checksum, key bytes.
  s[0] = 1;
  s[1] = 0;
  static const char kId[] = "Orvane CD/DVD Burner";
  std::memcpy(s + 4, kId, sizeof kId - 1);
  s[30] = 0x55;
  s[31] = 0xAA;
  PutLE16(s + 28, ValidationChecksum(s));
  // Initial entry: bootable, emulation by image size, default load segment,
  // one virtual sector loaded.
  s[32] = 0x88;
  s[33] = BootMediaType(ImageSectors);
  PutLE16(s + 38, 1);
  PutLE32(s + 40, ImageAddress);
}
