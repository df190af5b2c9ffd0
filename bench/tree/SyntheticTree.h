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

// dirs folders below the root (each folder has up to fanOut subfolders, so
// the tree is several levels deep) and files files spread evenly over the
// root and the folders. Names are long and share their first characters, as
// real collections do, so the aliases collide and get numbered.
inline TListing MakeListing(int dirs, int64_t files, int fanOut = 20) {
  TListing l;
  l.Folders.resize(static_cast<size_t>(dirs) + 1);
  const TDateTime when = ov::EncodeDateTime(2021, 6, 1, 12, 0, 0);
  char name[96];
  for (int i = 1; i <= dirs; ++i) {
    TFolder &f = l.Folders[static_cast<size_t>(i)];
    f.Parent = (i - 1) / fanOut;
    std::snprintf(name, sizeof name, "Project folder %06d", i);
    f.Rec.Name = name;
    f.Rec.Attr = ov::faDirectory;
    f.Rec.Time = when;
  }
  const size_t n = l.Folders.size();
  for (int64_t k = 0; k < files; ++k) {
    TFolder &f = l.Folders[static_cast<size_t>(k) % n];
    std::snprintf(name, sizeof name, "Quarterly report draft %07lld.document", static_cast<long long>(k));
    TSearchRec r;
    r.Name = name;
    r.Attr = ov::faArchive;
    r.Size = 1000 + (k * 7919) % 200000;
    r.Time = when;
    f.Files.push_back(std::move(r));
  }
  // Aliases as a listing of each folder gives them.
  for (size_t i = 0; i < n; ++i)
    ov::AssignAliases(l.Folders[i].Files);
  std::vector<std::vector<TSearchRec *>> subdirs(n);
  for (size_t i = 1; i < n; ++i)
    subdirs[static_cast<size_t>(l.Folders[i].Parent)].push_back(&l.Folders[i].Rec);
  for (auto &list : subdirs) {
    std::vector<TSearchRec> copy;
    for (TSearchRec *r : list)
      copy.push_back(*r);
    ov::AssignAliases(copy);
    for (size_t k = 0; k < list.size(); ++k)
      list[k]->ShortName = copy[k].ShortName;
  }
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

// Both steps: a compilation of dirs folders and files files.
inline bool FillSyntheticTree(TOrvBurner &b, int dirs, int64_t files) {
  return InsertListing(b, MakeListing(dirs, files));
}

} // namespace synthetic
