#include "ovCDBC.h"

#include <filesystem>

void TTreeStore::Clear() {
  for (TFEntry *f : FileList)
    delete f;
  for (TDEntry *d : DirList)
    delete d;
  FileList.clear();
  DirList.clear();
  ISODirOrder.clear();
  JolietDirOrder.clear();
  SourceFolders.Clear();
}

TOrvBurner::TOrvBurner(TObject * /*Owner*/) {
  WritePostGap = true;
  ResetCompilation(65535, 8191);
  SetCacheSize(4194304);
  JolietFileSystem = true;
  FinalizeTrack = true;
  UnderrunProtection = true;
}

// The records are freed by store_, which is destroyed after every member
// that a running write may use.
TOrvBurner::~TOrvBurner() = default;

void TOrvBurner::SetCacheSize(int32_t Value) {
  if (Value < 2097152)
    cacheSize_ = 2097152;
  else
    cacheSize_ = Value - Value % 2048;
}

std::string DefaultVolumeLabel(const std::string &FirstSource) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string abs = fs::absolute(fs::path(FirstSource), ec).lexically_normal().string();
  const bool folder = !abs.empty() && abs.back() == '/';
  while (abs.size() > 1 && abs.back() == '/')
    abs.pop_back();
  const fs::path p(abs);
  return (folder || fs::is_directory(p, ec) ? p : p.parent_path()).filename().string();
}
