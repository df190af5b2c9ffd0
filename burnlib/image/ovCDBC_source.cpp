// Compact source paths: the folders files come from, each held once, and the
// packed file list a write reads.
#include "ovISOLib.h"
#include "ovSourceList.h"

#include <algorithm>
#include <cstring>

const std::string *TSourceFolders::Intern(const std::string &Path, size_t n) {
  if (last_ && last_->size() == n && Path.compare(0, n, *last_) == 0)
    return last_;
  last_ = &*set_.insert(Path.substr(0, n)).first;
  return last_;
}

void TSourceFolders::Clear() {
  last_ = nullptr;
  set_.clear();
}

void TFEntry::SetSource(TSourceFolders &Folders, const std::string &Path) {
  sourceName_.reset();
  sourceNameKind_ = kNameIsLong;
  if (Path.empty()) {
    sourceFolder_ = nullptr;
    return;
  }
  const size_t slash = Path.rfind('/');
  const size_t at = slash == std::string::npos ? 0 : slash + 1;
  sourceFolder_ = Folders.Intern(Path, at);
  const size_t n = Path.size() - at;
  if (n == LongName.size() && Path.compare(at, n, LongName) == 0)
    return;
  if (n + 1 == LongName.size() && LongName.back() == '.' && Path.compare(at, n, LongName, 0, n) == 0) {
    sourceNameKind_ = kNameIsLongUndotted;
    return;
  }
  sourceNameKind_ = kNameHeld;
  sourceName_ = std::make_unique<std::string>(Path, at);
}

void TFEntry::AppendSourceName(std::string &Out) const {
  if (sourceNameKind_ == kNameHeld)
    Out += *sourceName_;
  else
    Out.append(LongName, 0, LongName.size() - (sourceNameKind_ == kNameIsLongUndotted ? 1 : 0));
}

std::string TFEntry::SourcePath() const {
  if (!sourceFolder_)
    return std::string();
  std::string p;
  p.reserve(sourceFolder_->size() + LongName.size() + (sourceName_ ? sourceName_->size() : 0));
  p = *sourceFolder_;
  AppendSourceName(p);
  return p;
}

bool TFEntry::SourceIs(const std::string &Path) const {
  if (!sourceFolder_)
    return Path.empty();
  const std::string &f = *sourceFolder_;
  if (Path.size() < f.size() || Path.compare(0, f.size(), f) != 0)
    return false;
  if (sourceNameKind_ == kNameHeld)
    return Path.compare(f.size(), std::string::npos, *sourceName_) == 0;
  const size_t n = LongName.size() - (sourceNameKind_ == kNameIsLongUndotted ? 1 : 0);
  return Path.size() - f.size() == n && Path.compare(f.size(), n, LongName, 0, n) == 0;
}

// ---- TSourceList ----

TSourceList::TSourceList(std::initializer_list<TCacheSource> Items) { *this = Items; }

TSourceList &TSourceList::operator=(std::initializer_list<TCacheSource> Items) {
  *this = TSourceList();
  items_.reserve(Items.size());
  for (const TCacheSource &s : Items)
    push_back(s);
  return *this;
}

void TSourceList::push_back(const TCacheSource &s) {
  const size_t slash = s.Path.rfind('/');
  const size_t at = slash == std::string::npos ? 0 : slash + 1;
  Add(s.Path.substr(0, at), s.Path.data() + at, s.Path.size() - at, s.Size);
}

uint32_t TSourceList::FolderIndex(const std::string &Folder) {
  // Files come folder by folder: the last folder is the likely one.
  if (!folders_.empty() && folders_.back() == Folder)
    return static_cast<uint32_t>(folders_.size() - 1);
  auto it = folderIndex_.find(Folder);
  if (it != folderIndex_.end())
    return it->second;
  const auto k = static_cast<uint32_t>(folders_.size());
  folders_.push_back(Folder);
  folderIndex_.emplace(Folder, k);
  return k;
}

const char *TSourceList::Keep(const char *p, size_t n) {
  constexpr size_t kChunk = 256 * 1024;
  if (chunks_.empty() || chunkUsed_ + n > chunkSize_) {
    chunkSize_ = std::max(kChunk, n);
    chunks_.push_back(std::make_unique<char[]>(chunkSize_));
    chunkBytes_ += chunkSize_;
    chunkUsed_ = 0;
  }
  char *at = chunks_.back().get() + chunkUsed_;
  if (n > 0)
    std::memcpy(at, p, n);
  chunkUsed_ += n;
  return at;
}

void TSourceList::Add(const std::string &Folder, const char *Name, size_t NameLength, int64_t Size) {
  const uint32_t folder = FolderIndex(Folder);
  items_.push_back({Keep(Name, NameLength), folder, static_cast<uint32_t>(NameLength), Size});
}

TCacheSource TSourceList::operator[](size_t k) const {
  const TItem &i = items_[k];
  const std::string &f = folders_[i.Folder];
  TCacheSource s;
  s.Path.reserve(f.size() + i.NameLength);
  s.Path = f;
  s.Path.append(i.Name, i.NameLength);
  s.Size = i.Size;
  return s;
}
