// Reading the sources of an image: opening many files one after another at
// low cost, and reading a source by position without reading its holes.
#pragma once

#include "ovStreamEx.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/uio.h>

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

// Reads a source by position and leaves its holes unread: they are zeros
// that the caller fills in memory, or keeps as holes in an image file. A
// source of kSparseFrom bytes or more is asked once whether it has holes
// within the size the layout knows; only then are its runs looked up, as the
// reading reaches them. A file system that cannot tell has no holes.
class TSourceReader {
public:
  static constexpr int64_t kSparseFrom = 1 << 20;
  static constexpr int kMaxBuffers = 16;

  // Fd is read up to Size bytes, by position (its own position is not
  // used), or in order when it is a pipe.
  void Reset(int Fd, int64_t Size);
  bool Sparse() const { return sparse_; }
  // The run that starts at Pos: its length (1 to Max) and in Hole whether
  // it is a hole. Past the end of the file is a hole.
  int64_t Run(int64_t Pos, int64_t Max, bool &Hole);
  // Fills the Count (at most kMaxBuffers) buffers of Iov, Bytes in all,
  // with the source from Pos: data read, holes zeroed. Returns the bytes
  // filled, fewer when the source ended, or -1 with errno when a read failed.
  int64_t ReadV(const struct iovec *Iov, int Count, int64_t Pos, int64_t Bytes);
  int64_t Read(void *Buffer, int64_t Count, int64_t Pos);

private:
  void Locate(int64_t Pos);

  int fd_ = -1;
  bool sparse_ = false;
  bool pipe_ = false;   // read in order, without positions
  int64_t runStart_ = 0, runEnd_ = 0;   // the run last looked up
  bool runHole_ = false;
};
