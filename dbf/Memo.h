// Memo texts of the current work area's table: the per-area memo stream and two whole-text helpers.
//
// A stream is begun for reading (an existing block) or writing (reserving space, reusing the old
// text's blocks or the free chain), read or written in pieces, and ended. Only one stream per work
// area. While a write stream of a shared table is open the memo file lock is held. Single thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin::dbf {

enum class BlobMode { Read = 1, Write = 2 };

// Begins a stream on the current area. Read: positions on `block` (0 = empty text, stream of length 0);
// returns `block`. Write: reserves room for a new text (`newLength` bytes, or unlimited when < 0)
// reusing `block`'s space when it is enough; returns the new block number, which the caller stores in
// the M field and writes with Replace/Append. `translate` turns on OEM<->ANSI conversion of text.
// Failures: 1003 bad block, 1004 disk full, 1017 memo lock refused, 1019 no memo file; returns 0.
std::int32_t CreateBlobDescriptor(std::int32_t block, BlobMode mode, bool translate,
                                  std::int64_t newLength = -1);
// Reads up to `count` bytes at the stream position; returns the bytes read (0 at the end / no stream).
std::int32_t ReadBlobStream(char* buffer, std::int32_t count);
// Writes `count` bytes at the stream position; returns the bytes written.
std::int32_t WriteBlobStream(const char* buffer, std::int32_t count);
// origin 0 from start, 1 from current, 2 from end (of a known length); returns the new position.
std::int64_t SeekBlobStream(std::int64_t offset, int origin);
// Ends the stream (writes the free-chain link of an unlimited write, releases the memo lock).
void DestroyBlobDescriptor();

// Whole text of memo field `field` of the current record ("" for no memo), translated when the
// table was opened with OEM translation.
std::string ReadMemo(int field);
// Writes `text` as memo field `field`'s text and stores the new block number in the field value
// area (the caller then Replaces or Appends the record under its lock). Empty text stores block 0.
void WriteMemo(int field, std::string_view text);

}  // namespace tavrin::dbf
