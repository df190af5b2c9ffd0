// The on-disc structure writers, checked field by field.
#include "ovISOStruct.h"

#include "../platform/TestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

uint32_t LE32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint32_t BE32(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint16_t LE16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint16_t BE16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
std::string Bytes(const uint8_t *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

TEST(Text, PadTextCutsAndPadsWithSpaces) {
  EXPECT_EQ(PadText("MYDISC", 8), "MYDISC  ");
  EXPECT_EQ(PadText("ABCDEFGHIJ", 4), "ABCD");
  EXPECT_EQ(PadText("", 3), "   ");
  // A two-byte character that would be cut in half is left out.
  EXPECT_EQ(PadText("AB\xC3\xA9", 3), "AB ");
  EXPECT_EQ(PadText("AB\xC3\xA9", 4), "AB\xC3\xA9");
}

TEST(Text, PadTextUCS2IsBigEndianWithUCS2Spaces) {
  const std::string t = PadTextUCS2("A\xC3\xA9", 8);
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(t, std::string("\0A\0\xE9\0 \0 ", 8));
  // Characters past bytes/2 are dropped.
  EXPECT_EQ(PadTextUCS2("ABCDEF", 4), std::string("\0A\0B", 4));
  // An odd byte count leaves the last byte zero.
  EXPECT_EQ(PadTextUCS2("XYZ", 5), std::string("\0X\0Y\0", 5));
}

TEST(Text, UCS2ConversionReplacesWhatJolietCannotHold) {
  // U+1F600 lies outside the basic plane; 0xFF is not UTF-8.
  EXPECT_EQ(TextToUCS2("a\xF0\x9F\x98\x80" "b\xFF"), u"a_b_");
  EXPECT_EQ(TextUCS2Length("a\xF0\x9F\x98\x80" "b\xFF"), 4u);
  EXPECT_EQ(TextToUCS2("a:b;c*?\\/\x01.txt", true), u"a_b_c_____.txt");
  EXPECT_EQ(TextToUCS2("a:b", false), u"a:b");
  EXPECT_EQ(TextToUCS2("\xE2\x82\xAC"), u"\u20AC");
  // An overlong encoding of "/" must not sneak through as a slash.
  EXPECT_EQ(TextToUCS2("\xC0\xAF", true), u"__");
}

TEST(Dates, DescriptorDateKeepsTwoDigitsOfTheMilliseconds) {
  EXPECT_EQ(DescriptorDate(ov::EncodeDateTime(2024, 3, 9, 7, 5, 4, 5)), "2024030907050405");
  EXPECT_EQ(DescriptorDate(ov::EncodeDateTime(2024, 12, 31, 23, 59, 58, 573)), "2024123123595857");
  EXPECT_EQ(DescriptorDate(ov::EncodeDateTime(1999, 1, 1, 0, 0, 0, 0)), "1999010100000000");
}

TEST(Dates, RecordDateYearModulo256AndSignedZone) {
  uint8_t d[7];
  PutRecordDate(d, ov::EncodeDateTime(2023, 11, 5, 13, 45, 30), -20);
  EXPECT_EQ(d[0], 123);
  EXPECT_EQ(d[1], 11);
  EXPECT_EQ(d[2], 5);
  EXPECT_EQ(d[3], 13);
  EXPECT_EQ(d[4], 45);
  EXPECT_EQ(d[5], 30);
  EXPECT_EQ(static_cast<int8_t>(d[6]), -20);
  PutRecordDate(d, ov::EncodeDateTime(2160, 1, 1, 0, 0, 0), 4);
  EXPECT_EQ(d[0], (2160 - 1900) % 256);
}

TEST(Records, DirectoryRecordFieldsInBothByteOrders) {
  uint8_t r[64];
  std::memset(r, 0xCC, sizeof r);
  const uint8_t date[7] = {120, 1, 2, 3, 4, 5, 8};
  const size_t n = PutDirRecord(r, 0x01020304, 0x00A0B0C0, date, 3, "AB.TXT;1", 8);
  EXPECT_EQ(n, 42u); // 33 + 8 + padding byte
  EXPECT_EQ(r[0], 42);
  EXPECT_EQ(r[1], 0);
  EXPECT_EQ(LE32(r + 2), 0x01020304u);
  EXPECT_EQ(BE32(r + 6), 0x01020304u);
  EXPECT_EQ(LE32(r + 10), 0x00A0B0C0u);
  EXPECT_EQ(BE32(r + 14), 0x00A0B0C0u);
  EXPECT_EQ(Bytes(r + 18, 7), Bytes(date, 7));
  EXPECT_EQ(r[25], 3);
  EXPECT_EQ(r[26], 0);
  EXPECT_EQ(r[27], 0);
  EXPECT_EQ(LE16(r + 28), 1);
  EXPECT_EQ(BE16(r + 30), 1);
  EXPECT_EQ(r[32], 8);
  EXPECT_EQ(Bytes(r + 33, 8), "AB.TXT;1");
  EXPECT_EQ(r[41], 0);
  EXPECT_EQ(r[42], 0xCC) << "the writer must not touch the byte after the record";
  // An odd identifier needs no padding byte.
  EXPECT_EQ(PutDirRecord(r, 0, 0, nullptr, 0, "A.B;1", 5), 38u);
  EXPECT_EQ(DirRecordLength(ISOMaxIdentifier), 254u);
  EXPECT_GT(DirRecordLength(ISOMaxIdentifier + 1), 255u);
  EXPECT_EQ(34 + 2 * JolietMaxCharacters, 254u);
}

TEST(Records, PathTableRecordByteOrders) {
  uint8_t l[16], m[16];
  std::memset(l, 0xCC, sizeof l);
  EXPECT_EQ(PutPathRecord(l, false, 0x11223344, 0x0102, "DOCS", 4), 12u);
  EXPECT_EQ(l[0], 4);
  EXPECT_EQ(l[1], 0);
  EXPECT_EQ(LE32(l + 2), 0x11223344u);
  EXPECT_EQ(LE16(l + 6), 0x0102);
  EXPECT_EQ(Bytes(l + 8, 4), "DOCS");
  EXPECT_EQ(l[12], 0xCC);
  EXPECT_EQ(PutPathRecord(m, true, 0x11223344, 0x0102, "ABC", 3), 12u);
  EXPECT_EQ(BE32(m + 2), 0x11223344u);
  EXPECT_EQ(BE16(m + 6), 0x0102);
  EXPECT_EQ(m[11], 0);
  // The root: one zero byte of name plus padding, 10 bytes.
  const uint8_t root = 0;
  EXPECT_EQ(PutPathRecord(l, false, 20, 1, &root, 1), 10u);
}

class Descriptors : public ::testing::Test {
protected:
  TVolumeInfo Info() {
    TVolumeInfo v;
    v.System = "linux";
    v.Volume = "My Disc";
    v.VolumeSet = "set";
    v.Publisher = "pub";
    v.Copyright = "copy.txt";
    v.VolumeSpaceSize = 151;
    v.PathTableSize = 10;
    v.PathTableL = 18;
    v.PathTableM = 19;
    v.RootExtent = 20;
    v.RootSize = 2048;
    v.Creation = ov::EncodeDateTime(2020, 2, 29, 12, 0, 1, 20);
    v.Modification = ov::EncodeDateTime(2021, 3, 1, 0, 0, 0, 0);
    return v;
  }
  std::vector<uint8_t> s = std::vector<uint8_t>(2048, 0xCC);
};

TEST_F(Descriptors, PrimaryFields) {
  testenv::TScopedTimeZone utc("UTC");
  PutPrimaryDescriptor(s.data(), Info());
  EXPECT_EQ(s[0], 1);
  EXPECT_EQ(Bytes(&s[1], 5), "CD001");
  EXPECT_EQ(s[6], 1);
  EXPECT_EQ(s[7], 0);
  EXPECT_EQ(Bytes(&s[8], 32), PadText("LINUX", 32));
  EXPECT_EQ(Bytes(&s[40], 32), PadText("MY_DISC", 32)) << "d-characters only";
  EXPECT_EQ(LE32(&s[80]), 151u);
  EXPECT_EQ(BE32(&s[84]), 151u);
  EXPECT_EQ(Bytes(&s[88], 32), std::string(32, '\0')) << "reserved: no escape sequence in the primary descriptor";
  EXPECT_EQ(LE16(&s[120]), 1);
  EXPECT_EQ(BE16(&s[122]), 1);
  EXPECT_EQ(LE16(&s[124]), 1);
  EXPECT_EQ(BE16(&s[126]), 1);
  EXPECT_EQ(LE16(&s[128]), 2048);
  EXPECT_EQ(BE16(&s[130]), 2048);
  EXPECT_EQ(LE32(&s[132]), 10u);
  EXPECT_EQ(BE32(&s[136]), 10u);
  EXPECT_EQ(LE32(&s[140]), 18u);
  EXPECT_EQ(LE32(&s[144]), 0u);
  EXPECT_EQ(BE32(&s[148]), 19u);
  EXPECT_EQ(BE32(&s[152]), 0u);
  // Root record.
  EXPECT_EQ(s[156], 34);
  EXPECT_EQ(LE32(&s[158]), 20u);
  EXPECT_EQ(BE32(&s[162]), 20u);
  EXPECT_EQ(LE32(&s[166]), 2048u);
  EXPECT_EQ(BE32(&s[170]), 2048u);
  for (int i = 174; i < 181; ++i)
    EXPECT_EQ(s[i], 0) << "root date byte " << i;
  EXPECT_EQ(s[181], 2);
  EXPECT_EQ(LE16(&s[184]), 1);
  EXPECT_EQ(s[188], 1);
  EXPECT_EQ(s[189], 0);
  EXPECT_EQ(Bytes(&s[190], 128), PadText("SET", 128));
  EXPECT_EQ(Bytes(&s[318], 128), PadText("PUB", 128));
  EXPECT_EQ(Bytes(&s[446], 128), std::string(128, ' '));
  EXPECT_EQ(Bytes(&s[702], 37), PadText("COPY.TXT", 37));
  EXPECT_EQ(Bytes(&s[813], 17), std::string("2020022912000120") + '\0');
  EXPECT_EQ(Bytes(&s[830], 17), std::string("2021030100000000") + '\0');
  EXPECT_EQ(Bytes(&s[847], 17), std::string(16, '0') + '\0');
  EXPECT_EQ(Bytes(&s[864], 17), std::string(16, '0') + '\0');
  EXPECT_EQ(s[881], 1);
  EXPECT_EQ(Bytes(&s[1024], 8), "        ");
  for (int i : {72, 91, 119, 882, 1023, 1032, 2047})
    EXPECT_EQ(s[i], 0) << "byte " << i;
}

TEST_F(Descriptors, JolietFields) {
  PutJolietDescriptor(s.data(), Info());
  EXPECT_EQ(s[0], 2);
  EXPECT_EQ(Bytes(&s[1], 5), "CD001");
  EXPECT_EQ(s[6], 1);
  EXPECT_EQ(Bytes(&s[8], 32), PadTextUCS2("linux", 32));
  EXPECT_EQ(Bytes(&s[40], 32), PadTextUCS2("My Disc", 32));
  EXPECT_EQ(Bytes(&s[88], 3), "%/@");
  EXPECT_EQ(Bytes(&s[190], 128), PadTextUCS2("set", 128));
  EXPECT_EQ(Bytes(&s[702], 36), PadTextUCS2("copy.txt", 36));
  EXPECT_EQ(s[738], 0);
  EXPECT_EQ(Bytes(&s[739], 36), PadTextUCS2("", 36));
  EXPECT_EQ(s[775], 0);
  EXPECT_EQ(s[812], 0);
  EXPECT_EQ(s[881], 1);
  EXPECT_EQ(Bytes(&s[1024], 8), "        ");
}

TEST_F(Descriptors, Terminator) {
  PutTerminator(s.data());
  EXPECT_EQ(s[0], 255);
  EXPECT_EQ(Bytes(&s[1], 5), "CD001");
  EXPECT_EQ(s[6], 1);
  for (size_t i = 7; i < s.size(); ++i)
    ASSERT_EQ(s[i], 0) << i;
}

TEST(ElTorito, BootRecord) {
  std::vector<uint8_t> s(2048, 0xCC);
  PutBootRecord(s.data(), 0x12345);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(Bytes(&s[1], 5), "CD001");
  EXPECT_EQ(s[6], 1);
  EXPECT_EQ(Bytes(&s[7], 32), std::string("EL TORITO SPECIFICATION") + std::string(9, '\0'));
  EXPECT_EQ(Bytes(&s[39], 32), std::string(32, '\0'));
  EXPECT_EQ(LE32(&s[71]), 0x12345u);
  EXPECT_EQ(s[75], 0);
}

TEST(ElTorito, CatalogEntriesAndChecksum) {
  for (uint32_t sectors : {4u, 600u, 720u, 1440u, 721u}) {
    for (uint32_t address : {27u, 0xFFFFu, 0xABCDEF01u}) {
      std::vector<uint8_t> s(2048, 0xCC);
      PutBootCatalog(s.data(), address, sectors);
      uint32_t sum = 0;
      for (int i = 0; i < 32; i += 2)
        sum += LE16(&s[i]);
      EXPECT_EQ(sum % 65536, 0u) << "validation words must sum to zero";
      EXPECT_EQ(s[0], 1);
      EXPECT_EQ(s[1], 0);
      EXPECT_EQ(LE16(&s[2]), 0);
      EXPECT_EQ(Bytes(&s[4], 24), std::string("Orvane CD/DVD Burner") + std::string(4, '\0'));
      EXPECT_EQ(s[30], 0x55);
      EXPECT_EQ(s[31], 0xAA);
      EXPECT_EQ(s[32], 0x88);
      EXPECT_EQ(s[33], BootMediaType(sectors));
      EXPECT_EQ(LE16(&s[34]), 0);
      EXPECT_EQ(s[36], 0);
      EXPECT_EQ(s[37], 0);
      EXPECT_EQ(LE16(&s[38]), 1);
      EXPECT_EQ(LE32(&s[40]), address);
      for (size_t i = 44; i < s.size(); ++i)
        ASSERT_EQ(s[i], 0) << i;
    }
  }
}

} // namespace

TEST_F(Descriptors, VolumeLabelIsDCharactersInThePrimaryAndWholeInJoliet) {
  TVolumeInfo v = Info();
  v.Volume = "Été 2024 ü-x_9";
  PutPrimaryDescriptor(s.data(), v);
  // One "_" per character, never a byte of a UTF-8 sequence upper-cased.
  EXPECT_EQ(Bytes(&s[40], 32), PadText("_T__2024___X_9", 32));
  PutJolietDescriptor(s.data(), v);
  EXPECT_EQ(Bytes(&s[40], 32), PadTextUCS2("Été 2024 ü-x_9", 32));
  EXPECT_EQ(DCharacters("abc.DEF-123\xff"), "ABC_DEF_123_");
}

TEST_F(Descriptors, DescriptorDatesCarryTheirOwnOffset) {
  TVolumeInfo v = Info();
  v.Creation = ov::EncodeDateTime(2024, 1, 15, 12, 0, 0);
  v.Modification = ov::EncodeDateTime(2024, 7, 15, 12, 0, 0);
  {
    testenv::TScopedTimeZone tz("Asia/Kolkata");
    PutPrimaryDescriptor(s.data(), v);
    EXPECT_EQ(Bytes(&s[813], 16), "2024011512000000");
    EXPECT_EQ(s[829], 22);
    EXPECT_EQ(s[846], 22);
    EXPECT_EQ(s[863], 0) << "the unused expiration date";
  }
  testenv::TScopedTimeZone tz("Europe/Berlin");
  PutJolietDescriptor(s.data(), v);
  EXPECT_EQ(s[829], 4) << "winter";
  EXPECT_EQ(s[846], 8) << "summer";
}
