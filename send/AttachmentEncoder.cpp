#include "send/AttachmentEncoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cassert>

#include "net/UUProcessor.h"

namespace tavrin::app {
namespace {

// Attachments are encoded this many bytes at a time, with `between` run after each slice, so a
// large file does not freeze the window. A multiple of the encoder's 45-byte line input: about one
// write of the encoder (64 KiB) per slice.
constexpr std::int64_t kEncodeSlice = 45 * 1456;
// The temporary file is shrunk this much at a time.
constexpr std::int64_t kShrinkStep = 32 << 20;

// A window of [offset, offset + length) of another stream, read only. Remembers whether reading
// the underlying stream failed, so an encoder failure can be told from a target failure. Owns the
// underlying stream when it is given one to own.
class SliceStream final : public platform::TStream {
 public:
  SliceStream(platform::TStream& base, std::int64_t offset, std::int64_t length)
      : base_(base), offset_(offset), length_(length) {}
  SliceStream(std::unique_ptr<platform::TStream> owned, std::int64_t offset, std::int64_t length)
      : owned_(std::move(owned)), base_(*owned_), offset_(offset), length_(length) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    const auto left = static_cast<std::size_t>(std::max<std::int64_t>(length_ - position_, 0));
    count = std::min(count, left);
    if (count == 0) return 0;
    try {
      // Reads come in order: seek only when needed, so the file's read-ahead is kept.
      if (base_.Position() != offset_ + position_) base_.SetPosition(offset_ + position_);
      base_.ReadBuffer(buffer, count);
    } catch (...) {
      failed = true;
      throw;
    }
    position_ += static_cast<std::int64_t>(count);
    return count;
  }
  void Write(const void*, std::size_t) override { throw platform::TStreamError("read only"); }
  std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override {
    const std::int64_t base = origin == platform::SeekOrigin::Begin     ? 0
                              : origin == platform::SeekOrigin::Current ? position_
                                                                        : length_;
    position_ = base + offset;
    return position_;
  }
  std::int64_t Size() override { return length_; }
  void SetSize(std::int64_t) override { throw platform::TStreamError("read only"); }
  bool failed = false;

 private:
  std::unique_ptr<platform::TStream> owned_;
  platform::TStream& base_;
  std::int64_t offset_, length_, position_ = 0;
};

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  explicit Descriptor(int f) : fd(f) {}
  const int fd;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// The file at `path` for reading, if it is a regular file now: it may have been replaced since it
// was attached, and a FIFO would block the open for ever and a device never end. Opened without
// waiting, and read through the descriptor that was checked.
std::unique_ptr<platform::TFileStream> OpenRegularFile(const std::string& path) {
  const Descriptor checked{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  struct stat info {};
  if (checked.fd < 0 || ::fstat(checked.fd, &info) != 0 || !S_ISREG(info.st_mode))
    throw EAttachmentError("Unable to read attachment " + path);
  try {
    return std::make_unique<platform::TFileStream>("/proc/self/fd/" + std::to_string(checked.fd),
                                                   platform::TFileStream::Mode::OpenRead);
  } catch (const std::exception&) {
    throw EAttachmentError("Unable to read attachment " + path);
  }
}

}  // namespace

TAttachmentEncoder::TAttachmentEncoder(std::string tempDir, std::function<void()> between)
    : tempDir_(std::move(tempDir)), between_(std::move(between)) {}

TAttachmentEncoder::~TAttachmentEncoder() = default;

bool TAttachmentEncoder::Has(std::size_t index) const {
  return index < spans_.size() && spans_[index].made;
}

void TAttachmentEncoder::MakeFile() {
  temp_ = std::make_unique<QTemporaryFile>(QFile::decodeName(QByteArray::fromStdString(tempDir_)) +
                                           "/tavrin-XXXXXX.out");
  if (!temp_->open()) {  // created new, mode 0600
    temp_.reset();
    throw EAttachmentError("Unable to create a temporary file in " + tempDir_);
  }
  path_ = "/proc/self/fd/" + std::to_string(temp_->handle());
  QFile::remove(temp_->fileName());
  end_ = 0;
}

void TAttachmentEncoder::Encode(std::size_t index, const std::string& path) {
  assert(!Has(index));
  if (!temp_) MakeFile();
  std::unique_ptr<platform::TFileStream> source = OpenRegularFile(path);
  // Opened as it is, and never cut to nothing: the file system takes a file emptied (by the open
  // or by a truncation to zero) and rewritten for a file being replaced, and writes all of it out
  // when it is closed, freezing the window for as long as that takes (most of a second for 1 GB).
  platform::TFileStream target(path_, platform::TFileStream::Mode::OpenReadWrite);
  // A failed encoding before this one leaves nothing behind; an empty file has nothing to cut.
  if (target.Size() != end_) target.SetSize(end_);
  net::TUUProcessor mimer;
  const std::int64_t size = source->Size();
  for (std::int64_t offset = 0; offset < size || offset == 0; offset += kEncodeSlice) {
    SliceStream slice(*source, offset, std::min(kEncodeSlice, size - offset));
    mimer.SourceStream = &slice;
    mimer.TargetStream = &target;
    target.Seek(0, platform::SeekOrigin::End);
    try {
      mimer.EncodeStream();
    } catch (const std::exception&) {
      if (slice.failed) throw EAttachmentError("Unable to read attachment " + path);
      throw EAttachmentError("Unable to write the temporary file in " + tempDir_);
    }
    between_();
    if (size == 0) break;
  }
  if (spans_.size() <= index) spans_.resize(index + 1);
  const std::int64_t length = target.Size() - end_;
  spans_[index] = {true, end_, length};
  end_ += length;
  ++encodings_;
}

std::unique_ptr<platform::TStream> TAttachmentEncoder::Encoded(std::size_t index) {
  assert(Has(index));
  auto file = std::make_unique<platform::TFileStream>(path_, platform::TFileStream::Mode::OpenRead);
  return std::make_unique<SliceStream>(std::move(file), spans_[index].offset, spans_[index].length);
}

void TAttachmentEncoder::Release() {
  spans_.clear();
  if (!temp_) return;
  {
    platform::TFileStream file(path_, platform::TFileStream::Mode::OpenReadWrite);
    for (std::int64_t size = file.Size(); size > 0;) {
      size = std::max<std::int64_t>(0, size - kShrinkStep);
      file.SetSize(size);
      between_();
    }
  }
  end_ = 0;
}

}  // namespace tavrin::app
