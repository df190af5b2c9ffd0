// Helpers of the layout tests: synthetic trees, whole images assembled from a
// prepared layout, and the external checkers.
#pragma once

#include "ImageCheck.h"
#include "ovCDBC.h"

#include <cstdint>
#include <string>
#include <vector>

namespace layout_test {

// A temporary folder removed with the object.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  const std::string &Path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Adds a file record without a file behind it; its data is a pattern.
TFEntry *AddSynthetic(TOrvBurner &b, TDEntry *dir, const std::string &name, int64_t size, int32_t attr = 0x20);
void WriteFile(const std::string &path, const std::string &data);
std::string ReadFile(const std::string &path);

// Header image, boot image, padding and file data, in the writer's order.
// Files that cannot be read get a pattern of their recorded size.
void WriteImage(TOrvBurner &b, const std::string &path);

using check_test::RunCommand;
// The structural checkers on an image (our own, and isocheck.py where the
// shared folder has it): 0 when none finds an error, with the reports in
// output.
int IsoCheck(const std::string &image, std::string *output, const std::string &options = "");

uint32_t LE32(const uint8_t *p);
uint32_t BE32(const uint8_t *p);

} // namespace layout_test
