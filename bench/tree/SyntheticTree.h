// Synthetic listing records for filling a compilation without real files.
#pragma once

#include "ovCDBC.h"

#include <cstdio>
#include <string>
#include <vector>

namespace synthetic {

struct TFolder {
  int Parent = -1;                  // index of the parent folder, -1 for the root
  TSearchRec Rec;                   // the folder's own record (unused for the root)
  std::vector<TSearchRec> Files;    // listing of its files, aliases assigned
};

struct TListing {
  std::vector<TFolder> Folders;     // [0] is the root; parents come before children
  int64_t FileCount = 0;
};

// The records of the synthetic trees: folder i (1-based; its parent is
// (i - 1) / fanOut, 0 being the root) and file k. Names are long and share
// their first characters, as real collections do, so the aliases collide and
// get numbered.
inline TSearchRec FolderRec(int i) {
  char name[96];
  std::snprintf(name, sizeof name, "Project folder %06d", i);
  TSearchRec r;
  r.Name = name;
  r.Attr = ov::faDirectory;
  r.Time = ov::EncodeDateTime(2021, 6, 1, 12, 0, 0);
  return r;
}

inline TSearchRec FileRec(int64_t k) {
  char name[96];
  std::snprintf(name, sizeof name, "Quarterly report draft %07lld.document", static_cast<long long>(k));
  TSearchRec r;
  r.Name = name;
  r.Attr = ov::faArchive;
  r.Size = 1000 + (k * 7919) % 200000;
  r.Time = ov::EncodeDateTime(2021, 6, 1, 12, 0, 0);
  return r;
}

// Gives the folder records of one parent their aliases, as a listing of the
// parent would.
inline void AliasFolders(const std::vector<TSearchRec *> &list) {
  std::vector<TSearchRec> copy;
  for (TSearchRec *r : list)
    copy.push_back(*r);
  ov::AssignAliases(copy);
  for (size_t k = 0; k < list.size(); ++k)
    list[k]->ShortName = copy[k].ShortName;
}

// dirs folders below the root (each folder has up to fanOut subfolders, so
// the tree is several levels deep) and files files spread evenly over the
// root and the folders.
inline TListing MakeListing(int dirs, int64_t files, int fanOut = 20) {
  TListing l;
  l.Folders.resize(static_cast<size_t>(dirs) + 1);
  for (int i = 1; i <= dirs; ++i) {
    TFolder &f = l.Folders[static_cast<size_t>(i)];
    f.Parent = (i - 1) / fanOut;
    f.Rec = FolderRec(i);
  }
  const size_t n = l.Folders.size();
  for (int64_t k = 0; k < files; ++k)
    l.Folders[static_cast<size_t>(k) % n].Files.push_back(FileRec(k));
  // Aliases as a listing of each folder gives them.
  for (size_t i = 0; i < n; ++i)
    ov::AssignAliases(l.Folders[i].Files);
  std::vector<std::vector<TSearchRec *>> subdirs(n);
  for (size_t i = 1; i < n; ++i)
    subdirs[static_cast<size_t>(l.Folders[i].Parent)].push_back(&l.Folders[i].Rec);
  for (auto &list : subdirs)
    AliasFolders(list);
  l.FileCount = files;
  return l;
}

// Resets b with room for the listing and inserts it through AddDir and
// AddFile, as an insertion from local folders would. Returns false when an
// insertion failed.
inline bool InsertListing(TOrvBurner &b, const TListing &l) {
  const int64_t entries = l.FileCount + static_cast<int64_t>(l.Folders.size());
  b.ResetCompilation(static_cast<int32_t>(entries), static_cast<int32_t>(l.Folders.size()));
  std::vector<TDEntry *> made(l.Folders.size(), nullptr);
  std::vector<std::string> source(l.Folders.size());
  made[0] = b.Root();
  source[0] = "/synthetic/";
  bool ok = true;
  for (size_t i = 1; i < l.Folders.size(); ++i) {
    const TFolder &f = l.Folders[i];
    const size_t p = static_cast<size_t>(f.Parent);
    source[i] = source[p] + f.Rec.Name + "/";
    made[i] = b.AddDir(made[p], f.Rec, source[p] + f.Rec.Name);
    ok = ok && made[i] != nullptr;
  }
  for (size_t i = 0; i < l.Folders.size(); ++i)
    for (const TSearchRec &r : l.Folders[i].Files)
      ok = b.AddFile(made[i], r, false, 0, source[i] + r.Name) == 1 && ok;
  return ok;
}

// The same compilation as InsertListing(b, MakeListing(dirs, files, fanOut)),
// made as an insertion from local folders makes it: each folder's listing
// exists only while that folder is inserted, so the memory of the process
// is the compilation's own.
inline bool InsertFolderByFolder(TOrvBurner &b, int dirs, int64_t files, int fanOut = 20) {
  const size_t n = static_cast<size_t>(dirs) + 1;
  b.ResetCompilation(static_cast<int32_t>(files + static_cast<int64_t>(n)), static_cast<int32_t>(n));
  std::vector<TDEntry *> made(n, nullptr);
  std::vector<std::string> source(n);
  made[0] = b.Root();
  source[0] = "/synthetic/";
  bool ok = true;
  // Folders in order; the children of one parent are listed together.
  for (size_t first = 1; first < n; first += static_cast<size_t>(fanOut)) {
    const size_t p = (first - 1) / static_cast<size_t>(fanOut);
    std::vector<TSearchRec> recs;
    std::vector<TSearchRec *> list;
    for (size_t i = first; i < n && i < first + static_cast<size_t>(fanOut); ++i)
      recs.push_back(FolderRec(static_cast<int>(i)));
    for (TSearchRec &r : recs)
      list.push_back(&r);
    AliasFolders(list);
    for (size_t k = 0; k < recs.size(); ++k) {
      const size_t i = first + k;
      source[i] = source[p] + recs[k].Name + "/";
      made[i] = b.AddDir(made[p], recs[k], source[p] + recs[k].Name);
      ok = ok && made[i] != nullptr;
    }
  }
  for (size_t i = 0; i < n; ++i) {
    std::vector<TSearchRec> recs;
    for (int64_t k = static_cast<int64_t>(i); k < files; k += static_cast<int64_t>(n))
      recs.push_back(FileRec(k));
    ov::AssignAliases(recs);
    for (const TSearchRec &r : recs)
      ok = b.AddFile(made[i], r, false, 0, source[i] + r.Name) == 1 && ok;
  }
  return ok;
}

// Both steps: a compilation of dirs folders and files files.
inline bool FillSyntheticTree(TOrvBurner &b, int dirs, int64_t files) {
  return InsertListing(b, MakeListing(dirs, files));
}

} // namespace synthetic
