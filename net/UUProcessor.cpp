#include "net/UUProcessor.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <stdexcept>
#include <vector>

namespace tavrin::net {

namespace {

constexpr std::size_t kBlock = 45;                      // source bytes per line
constexpr std::size_t kMaxLine = 1 + 60 + 2;            // length character, text, CR LF
constexpr std::size_t kFlushAt = 64 * 1024 - kMaxLine;  // write buffer fill level

constexpr char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUuAlphabet[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
static_assert(sizeof kMimeAlphabet == 65 && sizeof kUuAlphabet == 65);

// Encodes one block of n <= 45 bytes as a line ending in CR LF; returns the characters written.
std::size_t EncodeLine(const unsigned char* in, std::size_t n, const char* abc, bool mime,
                       char* out) {
  char* p = out;
  if (!mime) *p++ = abc[n];
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned a = in[i], b = in[i + 1], c = in[i + 2];
    p[0] = abc[a >> 2];
    p[1] = abc[((a & 3) << 4) | (b >> 4)];
    p[2] = abc[((b & 15) << 2) | (c >> 6)];
    p[3] = abc[c & 63];
    p += 4;
  }
  if (n - i == 1) {
    unsigned a = in[i];
    *p++ = abc[a >> 2];
    *p++ = abc[(a & 3) << 4];
    if (mime) *p++ = '=', *p++ = '=';
  } else if (n - i == 2) {
    unsigned a = in[i], b = in[i + 1];
    *p++ = abc[a >> 2];
    *p++ = abc[((a & 3) << 4) | (b >> 4)];
    *p++ = abc[(b & 15) << 2];
    if (mime) *p++ = '=';
  }
  *p++ = '\r';
  *p++ = '\n';
  return static_cast<std::size_t>(p - out);
}

// Lines collect here and reach the target in large writes.
class LineWriter {
 public:
  explicit LineWriter(platform::TStream& target) : target_(target), buffer_(kFlushAt + kMaxLine) {}
  char* Room() { return buffer_.data() + used_; }
  void Commit(std::size_t n) {
    used_ += n;
    if (used_ >= kFlushAt) Flush();
  }
  void Flush() {
    if (used_ == 0) return;
    std::size_t n = used_;
    used_ = 0;
    target_.Write(buffer_.data(), n);
  }

 private:
  platform::TStream& target_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

// A source that ends before the size it reported was cut while it was read (a file truncated
// meanwhile): its encoding would pass for the whole attachment, so this is a read failure.
[[noreturn]] void SourceCut(platform::TStream& source, std::int64_t read, std::int64_t size) {
  const auto* file = dynamic_cast<const platform::TFileStream*>(&source);
  const std::string what =
      file ? "Cannot read file " + file->FileName() : std::string("Stream read error");
  throw platform::TStreamError(what + ": it ended after " + std::to_string(read) + " of " +
                               std::to_string(size) + " bytes");
}

// Reads the next block of `want` bytes.
void ReadBlock(platform::TStream& source, unsigned char* block, std::size_t want, std::int64_t read,
               std::int64_t size) {
  for (std::size_t n = 0; n < want;) {
    std::size_t got = source.Read(block + n, want - n);
    if (got == 0) SourceCut(source, read + static_cast<std::int64_t>(n), size);
    n += got;
  }
}

}  // namespace

std::uint64_t MimeEncodedSize(std::uint64_t sourceBytes) {
  constexpr std::uint64_t kLineEnd = 2;
  const std::uint64_t rest = sourceBytes % kBlock;
  const std::uint64_t last = rest == 0 ? 0 : (rest + 2) / 3 * 4 + kLineEnd;
  return sourceBytes / kBlock * (kBlock / 3 * 4 + kLineEnd) + last;
}

void TUUProcessor::EncodeStream() {
  if (SourceStream == nullptr || TargetStream == nullptr)
    throw std::invalid_argument("Encoder needs a source and a target stream");
  // Encoding into the stream being read would write the text over the bytes still to be read.
  if (SourceStream == TargetStream)
    throw std::invalid_argument("Encoder cannot write into its own source stream");
  try {
    SourceStream->SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(*this);
    // A value of Method other than the two known ones keeps the BASE64 alphabet.
    EncodeBody(Method == uuCode ? kUuAlphabet : kMimeAlphabet);
  } catch (...) {
    try {
      TargetStream->SetPosition(0);
    } catch (...) {
    }
    if (OnEndEncode) OnEndEncode(*this);
    throw;
  }
  TargetStream->SetPosition(0);
  if (OnEndEncode) OnEndEncode(*this);
}

void TUUProcessor::EncodeBody(const char* alphabet) {
  const bool mime = alphabet == kMimeAlphabet;
  LineWriter out(*TargetStream);
  unsigned char block[kBlock];
  try {
    // Exactly the size the source reported at the start is encoded.
    const std::int64_t size = SourceStream->Size();
    for (std::int64_t read = 0; read < size;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(size - read, kBlock));
      ReadBlock(*SourceStream, block, n, read, size);
      read += static_cast<std::int64_t>(n);
      out.Commit(EncodeLine(block, n, alphabet, mime, out.Room()));
    }
  } catch (...) {
    try {
      out.Flush();  // what was encoded before the failure stays in the target
    } catch (...) {
    }
    throw;
  }
  if (!mime) {
    std::memcpy(out.Room(), "`\r\n", 3);
    out.Commit(3);
  }
  out.Flush();
}

}  // namespace tavrin::net
