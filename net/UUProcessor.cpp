#include "net/UUProcessor.h"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace tavrin::net {

namespace {

constexpr std::size_t kBlock = 45;                     // source bytes per line
constexpr std::size_t kMaxLine = 1 + 60 + 2;           // length character, text, CR LF
constexpr std::size_t kFlushAt = 64 * 1024 - kMaxLine; // write buffer fill level

constexpr char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUuAlphabet[] =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
static_assert(sizeof kMimeAlphabet == 65 && sizeof kUuAlphabet == 65);

// Encodes one block of n <= 45 bytes as a line ending in CR LF; returns the characters written.
std::size_t EncodeLine(const unsigned char* in, std::size_t n, const char* abc, bool mime, char* out) {
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

// Reads up to one block; a source that stops short of its size ends the encoding.
std::size_t ReadBlock(platform::TStream& source, unsigned char* block) {
  std::size_t n = 0;
  while (n < kBlock) {
    std::size_t got = source.Read(block + n, kBlock - n);
    if (got == 0) break;
    n += got;
  }
  return n;
}

}  // namespace

void TUUProcessor::EncodeStream() {
  if (SourceStream == nullptr || TargetStream == nullptr)
    throw std::invalid_argument("Encoder needs a source and a target stream");
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
    std::int64_t size = SourceStream->Size();
    while (SourceStream->Position() < size) {
      std::size_t n = ReadBlock(*SourceStream, block);
      if (n == 0) break;
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
