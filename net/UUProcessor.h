// TUUProcessor: encodes an attachment into mail-safe text lines (BASE64, or a uuencode-style body).
//
// It owns nothing: SourceStream and TargetStream are the caller's and must live across
// EncodeStream. The source is read 45 bytes per output line and never held whole; the lines go
// to the target through a small write buffer. Any thread, one call at a time.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Stream.h"

namespace tavrin::net {

enum UUMethods { uuMime = 0, uuCode = 1 };

// The octets EncodeStream writes for a source of `sourceBytes` with uuMime: a line of 60 BASE64
// characters and CR LF per 45 source bytes, the last line shorter (padded to whole groups of 4).
std::uint64_t MimeEncodedSize(std::uint64_t sourceBytes);

class TUUProcessor {
 public:
  using NotifyEvent = std::function<void(TUUProcessor&)>;

  NotifyEvent OnBeginEncode;  // encoding starts
  NotifyEvent OnEndEncode;    // encoding ended, also after a failure
  platform::TStream* SourceStream = nullptr;
  platform::TStream* TargetStream = nullptr;
  UUMethods Method = uuMime;

  // Encodes SourceStream from its start, as many bytes as its size when the call starts, at
  // TargetStream's position, each line ended by CR LF. Afterwards the source stands after those
  // bytes and the target at 0, also when a stream failed; the failure then propagates. A source
  // that ends early (a file cut while it is read) fails with TStreamError naming the file, and
  // no end line follows. REQUIRES: both streams set, and not the same stream (else
  // std::invalid_argument, before anything is read or written).
  void EncodeStream();

 private:
  void EncodeBody(const char* alphabet);
};

}  // namespace tavrin::net
