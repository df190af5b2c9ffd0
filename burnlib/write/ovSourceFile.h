// Reading the sources of an image: opening many files one after another at
// low cost, and copying a source into the image inside the kernel.
#pragma once

#include "ovStreamEx.h"

#include <cstdint>
#include <memory>
#include <string>

// A source opened for reading; the descriptor is closed with the stream.
class TSourceStream : public THandleStreamEx {
public:
  explicit TSourceStream(int Fd) : THandleStreamEx(Fd) {}
  ~TSourceStream() override;
  TSourceStream(const TSourceStream &) = delete;
  TSourceStream &operator=(const TSourceStream &) = delete;
};

// Opens the sources of one write in their order. Files of one folder
// usually follow each other, so the folder stays open and each file is
// opened relative to it instead of looking up its whole path again. A source
// holds a shared lock while it is open: a stream of this program that writes
// the file (an image being made) holds it exclusively, so a half-written
// image is refused as a source, and cannot start being rewritten while it is
// read. The access time is left alone where the owner permits it.
class TSourceOpener {
public:
  TSourceOpener() = default;
  ~TSourceOpener();
  TSourceOpener(const TSourceOpener &) = delete;
  TSourceOpener &operator=(const TSourceOpener &) = delete;

  // The opened source, or nullptr with errno set (EBUSY: being written).
  std::unique_ptr<TSourceStream> Open(const std::string &Path);
  // Closes the folder kept open (so it does not keep its file system busy).
  void Close();

private:
  int FolderFd(const std::string &Folder);

  std::string folder_;      // the folder folderFd_ belongs to
  int folderFd_ = -1;
  bool noAtime_ = true;     // O_NOATIME still worth trying
};

// Copies up to Count bytes from the position of In to the position of Out
// within the kernel (copy_file_range), so they do not pass through this
// process's memory; both positions move on by the bytes copied, which are
// returned. Fewer than Count: In ended, the kernel cannot copy
// between these two files (a pipe, a device, another file system), or the
// copy failed. The caller goes on with reads and writes from there, which
// find the end of In or report a real error as theirs.
int64_t KernelCopy(int In, int Out, int64_t Count);
