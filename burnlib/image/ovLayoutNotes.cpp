#include "ovLayoutNotes.h"

#include "ovCDBC.h"
#include "ovCDBC_layout.h"

std::string JolietCutNote(const TOrvBurner &b) {
  if (!b.JolietFileSystem)
    return {};
  size_t count = 0;
  const TFEntry *first = nullptr;
  for (const TFEntry *e : b.FileList) {
    if (!ovlayout::InJoliet(e) || !ovlayout::JolietNameCut(e))
      continue;
    if (!first)
      first = e;
    ++count;
  }
  if (!first)
    return {};
  std::string path = first->LongName;
  for (const TDEntry *d = first->Owner; d && d->Parent && d->Parent != d; d = d->Parent)
    path = d->LongName + "/" + path;
  return std::to_string(count) + (count == 1 ? " name is" : " names are") + " longer than a Joliet record holds (" +
         std::to_string(JolietMaxCharacters) + " characters) and shortened in the Joliet tree, the first: \"/" + path +
         "\"" + (b.RockRidge ? "; Rock Ridge keeps them whole" : "");
}
