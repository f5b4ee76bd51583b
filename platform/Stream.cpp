#include "platform/Stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace tavrin::platform {

namespace {
constexpr std::size_t kReadAheadSize = 64 * 1024;

// The one place where a system error number becomes text in this file.
std::string SystemText(int error) { return std::strerror(error); }

std::int64_t NewPosition(std::int64_t base, std::int64_t offset) {
  if (offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset)
    throw TStreamError("Stream seek out of range");
  std::int64_t pos = base + offset;
  if (pos < 0) throw TStreamError("Stream seek before start");
  return pos;
}
}  // namespace

// ---- TStream ----

void TStream::ReadBuffer(void* buffer, std::size_t count) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    std::size_t n = Read(out, count);
    if (n == 0) throw TStreamError("Stream read error");
    out += n;
    count -= n;
  }
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, Mode mode) : fileName_(fileName) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::OpenRead: flags |= O_RDONLY; break;
    case Mode::OpenReadWrite: flags |= O_RDWR; break;
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  fd_ = ::open(fileName.c_str(), flags, 0666);
  if (fd_ < 0) Fail(mode == Mode::Create ? "Cannot create file" : "Cannot open file", errno);
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

void TFileStream::Fail(const char* operation, int error) const {
  throw TStreamError(std::string(operation) + " " + fileName_ + ": " + SystemText(error));
}

void TFileStream::DropReadAhead() {
  // The descriptor's offset lies past the unread part of the buffer; bring it back to the
  // logical position before anything else touches the file.
  if (aheadLen_ > 0 && ::lseek(fd_, position_, SEEK_SET) < 0) Fail("Cannot seek in file", errno);
  aheadPos_ = aheadLen_ = 0;
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    if (aheadPos_ < aheadLen_) {
      std::size_t n = std::min(count - done, aheadLen_ - aheadPos_);
      std::memcpy(out + done, readAhead_.data() + aheadPos_, n);
      aheadPos_ += n;
      done += n;
      position_ += static_cast<std::int64_t>(n);
      continue;
    }
    aheadPos_ = aheadLen_ = 0;
    if (count - done >= kReadAheadSize) {  // large reads skip the buffer
      ssize_t n = ::read(fd_, out + done, count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail("Cannot read file", errno);
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
      position_ += n;
      continue;
    }
    if (readAhead_.empty()) readAhead_.resize(kReadAheadSize);
    ssize_t n = ::read(fd_, readAhead_.data(), readAhead_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("Cannot read file", errno);
    if (n == 0) break;
    aheadLen_ = static_cast<std::size_t>(n);
  }
  return done;
}

void TFileStream::Write(const void* buffer, std::size_t count) {
  DropReadAhead();
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (count > 0) {
    ssize_t n = ::write(fd_, in, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("Cannot write file", errno);
    in += n;
    count -= static_cast<std::size_t>(n);
    position_ += n;
  }
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
  if (origin == SeekOrigin::Current && offset == 0) return position_;
  std::int64_t base = origin == SeekOrigin::Begin     ? 0
                      : origin == SeekOrigin::Current ? position_
                                                      : Size();
  std::int64_t target = NewPosition(base, offset);
  aheadPos_ = aheadLen_ = 0;
  if (::lseek(fd_, target, SEEK_SET) < 0) Fail("Cannot seek in file", errno);
  position_ = target;
  return position_;
}

std::int64_t TFileStream::Size() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) Fail("Cannot get size of file", errno);
  return st.st_size;
}

void TFileStream::SetSize(std::int64_t size) {
  if (size < 0) throw TStreamError("Stream size negative: " + fileName_);
  DropReadAhead();
  if (::ftruncate(fd_, size) != 0) Fail("Cannot set size of file", errno);
}

// ---- TMemoryStream ----

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (position_ >= data_.size()) return 0;
  std::size_t n = std::min(count, data_.size() - position_);
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  if (data_.size() < position_ + count) data_.resize(position_ + count);
  std::memcpy(data_.data() + position_, buffer, count);
  position_ += count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
  std::int64_t base = origin == SeekOrigin::Begin     ? 0
                      : origin == SeekOrigin::Current ? static_cast<std::int64_t>(position_)
                                                      : Size();
  position_ = static_cast<std::size_t>(NewPosition(base, offset));
  return static_cast<std::int64_t>(position_);
}

void TMemoryStream::SetSize(std::int64_t size) {
  if (size < 0) throw TStreamError("Stream size negative");
  data_.resize(static_cast<std::size_t>(size));
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

}  // namespace tavrin::platform
