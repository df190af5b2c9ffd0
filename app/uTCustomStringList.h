// A string list whose items may carry an object; with OwnsObjects set the
// list frees an item's object when the item is deleted, cleared or the list
// is destroyed.
#pragma once

#include "ovDrvLib.h"  // TObject

#include <string>
#include <vector>

class TCustomStringList {
public:
  enum TSortType { stNone, stAscending, stDescending };

  TCustomStringList() = default;
  ~TCustomStringList() { Clear(); }
  TCustomStringList(const TCustomStringList &) = delete;
  TCustomStringList &operator=(const TCustomStringList &) = delete;

  bool OwnsObjects = true;
  TSortType SortType = stAscending;  // kept for callers; the list stays in insertion order

  int Count() const { return static_cast<int>(items_.size()); }
  int Add(const std::string &s) { return AddObject(s, nullptr); }
  int AddObject(const std::string &s, TObject *o);
  // Index of the first item with exactly this text, -1 when none.
  int IndexOf(const std::string &s) const;
  const std::string &Strings(int i) const { return items_.at(i).Text; }
  TObject *Objects(int i) const { return items_.at(i).Object; }
  void Delete(int i);
  void Clear();

private:
  struct TItem {
    std::string Text;
    TObject *Object = nullptr;
  };
  std::vector<TItem> items_;
};

// An in-memory text buffer that a list can own.
class TStringStream : public TObject {
public:
  std::string DataString;
};
