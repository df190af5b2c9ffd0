// Where an ISO reader gets its 2048-byte sectors from: an image file now, a
// disc through the device layer's READ(10) for session import. Addresses are
// absolute logical sector numbers.
#pragma once

#include <cstdint>
#include <string>

class TSectorSource {
public:
  static constexpr uint32_t SectorSize = 2048;
  virtual ~TSectorSource() = default;
  // Number of readable sectors (for a disc, the end of the last session).
  virtual uint64_t SectorCount() const = 0;
  // Reads Count sectors from Lba into Buffer (Count * 2048 bytes). On failure
  // returns false and sets Error to a text that names the sector.
  virtual bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) = 0;
  // A hint that Count sectors from Lba are read next, in order (a file's
  // data): a source that can read ahead may do so.
  virtual void WillRead(uint64_t Lba, uint64_t Count) {
    (void)Lba;
    (void)Count;
  }
  // Copies Bytes from byte Offset of the source into the file Fd at its
  // position, inside the kernel, for a source it can copy from. Copied gets
  // what was copied. Unsupported when the source cannot (the caller reads and
  // writes the rest); Failed with Error.
  enum class TCopy { Done, Unsupported, Failed };
  virtual TCopy CopyInto(int Fd, uint64_t Offset, uint64_t Bytes, uint64_t &Copied, std::string &Error) {
    (void)Fd, (void)Offset, (void)Bytes, (void)Error;
    Copied = 0;
    return TCopy::Unsupported;
  }
};

// An image file read with pread. A partial last sector is not counted.
class TFileSectorSource : public TSectorSource {
public:
  TFileSectorSource() = default;
  ~TFileSectorSource() override;
  TFileSectorSource(const TFileSectorSource &) = delete;
  TFileSectorSource &operator=(const TFileSectorSource &) = delete;
  // Opens Path for reading; false with Error ("cannot open X: reason").
  bool Open(const std::string &Path, std::string &Error);
  uint64_t SectorCount() const override { return bytes_ / SectorSize; }
  uint64_t ByteSize() const { return bytes_; }
  bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) override;
  void WillRead(uint64_t Lba, uint64_t Count) override;
  // With copy_file_range, as cat copies a file.
  TCopy CopyInto(int Fd, uint64_t Offset, uint64_t Bytes, uint64_t &Copied, std::string &Error) override;

private:
  int fd_ = -1;
  uint64_t bytes_ = 0;
  std::string path_;
};
