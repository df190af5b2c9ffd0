// Temporary: entry points of the library that are not built yet.
#include "ovCDBC.h"

bool TOrvBurner::ImportSession(int, TDEntry *) { return false; }
int TOrvBurner::ExtractFile(TFEntry *, const std::string &) { return 0; }
bool TOrvBurner::BurnCompilation() {
  if (OnWriteDone)
    OnWriteDone(this, "NOT AVAILABLE");
  return false;
}
bool TOrvBurner::BurnImageFile(const std::string &) {
  if (OnWriteDone)
    OnWriteDone(this, "NOT AVAILABLE");
  return false;
}
