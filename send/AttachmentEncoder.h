// TAttachmentEncoder: a send's attachments, each read once and encoded once (BASE64 lines with
// CR LF, as the mail data carries them) into one private temporary file, and streamed from there
// as often as the send needs them: every transaction of the send carries the same bytes.
//
// The temporary file is made in the given folder, mode 0600, and its name removed at once: only
// the open descriptor keeps it, so no one else can open it and it goes with the process however
// that ends. An attachment is opened without waiting and read only when it is a regular file, so
// a FIFO or device put in its place cannot block or run for ever. Long work (encoding, giving the
// space back) is done a slice at a time with `between` run after each slice: the caller's event
// loop, which throws to end the work. Failures throw EAttachmentError naming the file or folder.
// One thread.
#pragma once

#include <QTemporaryFile>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Stream.h"

namespace tavrin::app {

// An attachment could not be read, or the temporary file not made or written.
class EAttachmentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TAttachmentEncoder {
 public:
  TAttachmentEncoder(std::string tempDir, std::function<void()> between);
  ~TAttachmentEncoder();
  TAttachmentEncoder(const TAttachmentEncoder&) = delete;
  TAttachmentEncoder& operator=(const TAttachmentEncoder&) = delete;

  // True once attachment `index` has been encoded.
  bool Has(std::size_t index) const;
  // Reads the file at `path` and appends its encoding as attachment `index`.
  // REQUIRES: !Has(index).
  void Encode(std::size_t index, const std::string& path);
  // A read-only stream of attachment `index`'s encoding, from its first byte. REQUIRES: Has(index).
  std::unique_ptr<platform::TStream> Encoded(std::size_t index);
  // How many files this encoder has encoded.
  std::uint64_t Encodings() const { return encodings_; }
  // Gives the temporary file's space back a step at a time (all at once can stall for a second
  // with a large file) and forgets every encoding.
  void Release();

 private:
  struct Span {
    bool made = false;
    std::int64_t offset = 0, length = 0;
  };
  void MakeFile();

  std::string tempDir_;
  std::function<void()> between_;
  std::unique_ptr<QTemporaryFile> temp_;  // open, its name already removed
  std::string path_;                      // the open file, reached through its descriptor
  std::vector<Span> spans_;
  std::int64_t end_ = 0;  // where the next encoding goes
  std::uint64_t encodings_ = 0;
};

}  // namespace tavrin::app
