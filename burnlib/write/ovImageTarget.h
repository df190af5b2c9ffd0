// The output of an image build: the image is written to a temporary file in
// the target's folder and renamed over the target only once it is complete
// and on the disk, so an existing image survives every failure. A lock on
// the target keeps a second build from writing the same image at once.
#pragma once

#include <string>
#include <sys/types.h>

class TImageTarget {
public:
  TImageTarget() = default;
  // Removes what this run created, unless Commit succeeded.
  ~TImageTarget();
  TImageTarget(const TImageTarget &) = delete;
  TImageTarget &operator=(const TImageTarget &) = delete;

  // Checks that the image can be made at Path (its folder exists and may be
  // written, Path is no folder and no device) and takes the lock. A target
  // that does not exist yet is created empty to carry the lock. False with
  // Error() set; Busy() tells that another build holds the lock.
  bool Open(const std::string &Path);
  // Creates the empty temporary file beside the target (TempPath()), with
  // the permissions of the image it replaces.
  bool CreateTemp();
  // Renames the temporary file over the target and syncs the folder.
  bool Commit();
  // Removes the temporary file and an empty target this run created; leaves
  // everything else alone. Releases the lock.
  void Discard();

  // True when st is the target's file (an existing image or this run's
  // empty stand-in).
  bool IsTarget(dev_t Dev, ino_t Ino) const { return lockFd_ >= 0 && Dev == dev_ && Ino == ino_; }
  bool Busy() const { return busy_; }
  const std::string &Error() const { return error_; }
  const std::string &Path() const { return path_; }
  const std::string &TempPath() const { return tempPath_; }
  bool CreatedTarget() const { return createdTarget_; }

private:
  bool Refuse(const std::string &Reason);
  void Release();

  std::string path_, folder_, tempPath_, error_;
  int lockFd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  mode_t mode_ = 0;
  bool busy_ = false;
  bool createdTarget_ = false;
  bool committed_ = false;
};
