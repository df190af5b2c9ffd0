// Fuzz target: an input is a session from sector 16 on (the system area
// before it is zeros). It goes through the structural checker, the session
// tree in each of its name spaces and walked a folder at a time, the search
// for later sessions, and the import into a compilation with its layout.
#include "CraftedImage.h"

#include "ovCDBC.h"
#include "ovISOCheck.h"
#include "ovSessionTree.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  constexpr size_t kSystemArea = 16 * 2048;
  std::vector<uint8_t> image(kSystemArea + (Size + 2047) / 2048 * 2048, 0);
  if (Size > 0)
    std::memcpy(image.data() + kSystemArea, Data, Size);
  craft::TMemorySource source(image);

  iso::CheckImage(source, iso::TCheckOptions());
  iso::TSessionTree tree;
  std::string error;
  iso::ReadSessionTree(source, 0, iso::TTreeChoice::PreferRockRidge, tree, error);
  iso::ReadSessionTree(source, 0, iso::TTreeChoice::PreferJoliet, tree, error);
  iso::ReadSessionTree(source, 0, iso::TTreeChoice::Primary, tree, error);
  for (const std::string path : {"/", "/a", "/A/B;1"})
    iso::FindPath(tree, path);
  // The folder-at-a-time walk of `ls -R`, depth first.
  iso::TSessionWalk walk([](const std::string &) {});
  if (walk.Open(source, 0, iso::TTreeChoice::PreferRockRidge, error)) {
    std::function<void(const iso::TDirRecord &, uint32_t)> list = [&](const iso::TDirRecord &dir, uint32_t depth) {
      walk.List(dir, "/", depth, [&](iso::TEntry &e, const iso::TDirRecord &r, const iso::TEntryRock *) {
        if (e.Directory)
          list(r, depth + 1);
      });
    };
    list(walk.RootRecord(), 0);
  }
  std::vector<TSessionExtent> sessions;
  iso::FindImageSessions(source, sessions);

  TOrvBurner burner;
  burner.ResetCompilation(4096, 512);
  burner.ImportSource = &source;
  if (burner.ImportSession(-1, nullptr)) {
    burner.PrepareLayout(true, nullptr);
    burner.BuildHeader(true, nullptr);
  }
  return 0;
}
