#include "uTCustomStringList.h"

int TCustomStringList::AddObject(const std::string &s, TObject *o) {
  items_.push_back({s, o});
  return Count() - 1;
}

int TCustomStringList::IndexOf(const std::string &s) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].Text == s)
      return static_cast<int>(i);
  return -1;
}

void TCustomStringList::Delete(int i) {
  TObject *o = items_.at(i).Object;
  items_.erase(items_.begin() + i);
  if (OwnsObjects)
    delete o;
}

void TCustomStringList::Clear() {
  std::vector<TItem> old;
  old.swap(items_);
  if (OwnsObjects)
    for (TItem &it : old)
      delete it.Object;
}
