#include "layout_helpers.h"

#include "ImageCheck.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace layout_test {

TTempDir::TTempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "skarvo-layout-XXXXXX").string();
  path_ = mkdtemp(tmpl.data());
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TFEntry *AddSynthetic(TOrvBurner &b, TDEntry *dir, const std::string &name, int64_t size, int32_t attr) {
  TSearchRec rec;
  rec.Name = name;
  rec.ShortName = ov::BaseAlias(name);
  rec.Size = size;
  rec.Attr = attr;
  rec.Time = ov::EncodeDateTime(2021, 6, 15, 10, 20, 30);
  if (b.AddFile(dir, rec, false, 0, "/nonexistent/synthetic/" + name) != 1)
    return nullptr;
  return b.FindFile(dir, name.find('.') == std::string::npos ? name + "." : name);
}

void WriteFile(const std::string &path, const std::string &data) {
  std::ofstream f(path, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

namespace {

void PutPadded(std::ofstream &out, const std::string &data, uint64_t bytes) {
  const uint64_t n = std::min<uint64_t>(data.size(), bytes);
  out.write(data.data(), static_cast<std::streamsize>(n));
  const uint64_t total = (bytes + 2047) / 2048 * 2048;
  const std::string zeros(static_cast<size_t>(total - n), '\0');
  out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
}

} // namespace

void WriteImage(TOrvBurner &b, const std::string &path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(b.HeaderImage.Memory()), b.HeaderImage.Size());
  if (b.Bootable)
    PutPadded(out, ReadFile(b.BootImage), uint64_t{b.BootImageSectors} * 2048);
  if (b.PadSectors > 0)
    PutPadded(out, "", static_cast<uint64_t>(b.PadSectors) * 2048);
  for (const TFEntry *e : b.FileList) {
    if (e->IsDir() || e->Imported || e->Size <= 0 || (e->RR && e->RR->DataOf))
      continue;  // a linked name shares the data of its group's first
    std::string data;
    if (std::filesystem::exists(e->SourcePath())) {
      data = ReadFile(e->SourcePath());
    } else {
      data.resize(static_cast<size_t>(e->Size));
      for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + (i + e->LongName.size()) % 26);
    }
    PutPadded(out, data, static_cast<uint64_t>(e->Size));
  }
  ASSERT_TRUE(out.good());
  out.close();
  ASSERT_EQ(std::filesystem::file_size(path), static_cast<uint64_t>(b.ImageEnd - b.SessionStart) * 2048)
      << "the session holds every sector from SessionStart up to ImageEnd";
}

int IsoCheck(const std::string &image, std::string *output, const std::string &options) {
  return check_test::CheckImageFile(image, output, options);
}

uint32_t LE32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint32_t BE32(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

} // namespace layout_test
