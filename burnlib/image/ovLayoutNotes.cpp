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

std::string RenamedNote(const TInsertNote &n) { return n.SourcePath + " stored as \"" + n.Detail + "\""; }

std::string RenamedSummary(const TOrvBurner &b) {
  size_t count = 0;
  const TInsertNote *first = nullptr;
  for (const TInsertNote &n : b.InsertNotes) {
    if (n.Kind != TInsertNoteKind::Renamed)
      continue;
    if (!first)
      first = &n;
    ++count;
  }
  if (!first)
    return {};
  if (count == 1)
    return RenamedNote(*first);
  return std::to_string(count) + " names are changed to fit the image, the first: " + RenamedNote(*first);
}

std::string CompilationNote(const TOrvBurner &b) {
  const std::string cut = JolietCutNote(b), renamed = RenamedSummary(b);
  return cut.empty() ? renamed : renamed.empty() ? cut : cut + "; " + renamed;
}
