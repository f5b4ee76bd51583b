// Seekable byte streams: the abstract TStream, a POSIX file stream and a growable memory stream.
//
// A stream owns its bytes (memory) or its file descriptor (file) and has one read/write position.
// Failures raise TStreamError naming the operation, the file and the system's reason. No Qt here:
// the table engine and the dataset use these too. A stream object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin::platform {

class TStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SeekOrigin { Begin, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to `count` bytes at the position and advances it; returns the count read, which is 0
  // only at the end of the stream (a file may also return fewer before its end).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes all `count` bytes at the position (growing the stream as needed) and advances it.
  virtual void Write(const void* buffer, std::size_t count) = 0;
  // Moves the position and returns it; a position past the end is allowed, a negative one is not.
  virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
  virtual std::int64_t Size() = 0;
  // Cuts the stream or extends it with zero bytes; the position is kept.
  virtual void SetSize(std::int64_t size) = 0;

  std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Begin); }
  // Reads exactly `count` bytes or raises TStreamError "Stream read error".
  void ReadBuffer(void* buffer, std::size_t count);
};

// A stream over one file. Reads go through a read-ahead buffer, so small reads cost no system
// call each; writes go straight to the file.
class TFileStream : public TStream {
 public:
  enum class Mode {
    OpenRead,       // existing file, read only
    OpenReadWrite,  // existing file, read and write
    Create,         // created or emptied, read and write
  };

  TFileStream(const std::string& fileName, Mode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t size) override;

  const std::string& FileName() const { return fileName_; }

 private:
  [[noreturn]] void Fail(const char* operation, int error) const;
  void DropReadAhead();

  std::string fileName_;
  int fd_ = -1;
  std::int64_t position_ = 0;  // the stream's logical position
  std::vector<unsigned char> readAhead_;
  std::size_t aheadPos_ = 0;  // next unread byte of readAhead_
  std::size_t aheadLen_ = 0;  // valid bytes in readAhead_; they end at the file offset of fd_
};

// A growable stream held in memory.
class TMemoryStream : public TStream {
 public:
  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;

  // Empties the stream and sets the position to 0; the memory is kept for reuse.
  void Clear();
  const unsigned char* Data() const { return data_.data(); }
  std::size_t Length() const { return data_.size(); }

 private:
  std::vector<unsigned char> data_;
  std::size_t position_ = 0;
};

}  // namespace tavrin::platform
