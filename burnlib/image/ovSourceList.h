// The source files of one write, packed: what the cache reads after the
// header, copied from the compilation so that nothing it reads changes under
// it, at a few dozen bytes per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// One file whose data follows the header: its local path and the byte count
// recorded in the layout.
struct TCacheSource {
  std::string Path;
  int64_t Size = 0;
};

class TSourceList {
public:
  TSourceList() = default;
  TSourceList(std::initializer_list<TCacheSource> Items);
  TSourceList(TSourceList &&) = default;
  TSourceList &operator=(TSourceList &&) = default;
  TSourceList &operator=(std::initializer_list<TCacheSource> Items);

  void reserve(size_t n) { items_.reserve(n); }
  // Appends the file Folder + Name ("" Folder for a bare name).
  void Add(const std::string &Folder, const char *Name, size_t NameLength, int64_t Size);
  void push_back(const TCacheSource &s);
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  TCacheSource operator[](size_t k) const;

  // Yields TCacheSource values (the paths are built on the way).
  class const_iterator {
  public:
    const_iterator(const TSourceList *l, size_t k) : l_(l), k_(k) {}
    TCacheSource operator*() const { return (*l_)[k_]; }
    const_iterator &operator++() {
      ++k_;
      return *this;
    }
    bool operator!=(const const_iterator &o) const { return k_ != o.k_; }
    bool operator==(const const_iterator &o) const { return k_ == o.k_; }

  private:
    const TSourceList *l_;
    size_t k_;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, items_.size()}; }

private:
  struct TItem {
    const char *Name;  // in one of chunks_
    uint32_t Folder;   // index in folders_
    uint32_t NameLength;
    int64_t Size;
  };
  const char *Keep(const char *p, size_t n);
  uint32_t FolderIndex(const std::string &Folder);

  std::vector<TItem> items_;
  std::vector<std::string> folders_;
  std::unordered_map<std::string, uint32_t> folderIndex_;
  // Names, packed in chunks that never move (no copy when the list grows).
  std::vector<std::unique_ptr<char[]>> chunks_;
  size_t chunkUsed_ = 0, chunkSize_ = 0, chunkBytes_ = 0;
};
