// Small file helpers shared by the import tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace importtest {

namespace fs = std::filesystem;

// Runs a shell command quietly; its exit status.
inline int Shell(const std::string &cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

inline void Write(const fs::path &p, const std::string &data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

inline std::string Slurp(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

} // namespace importtest
