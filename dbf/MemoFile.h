// One open memo file (.DBT) of a table: its style (plain, or headed with block headers and a free
// chain), block size, and the per-work-area stream that reads or writes one memo text. Owned by the
// work area whose table has memo fields; engine thread only. Layout: doc/dbf_format.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dbf/Engine.h"
#include "dbf/File.h"
#include "platform/TextPage.h"

namespace tavrin::dbf {

enum class MemoStyle { Plain, Headed };
enum class StreamMode { None, Reading, Writing };
enum class TextState { Unknown, Text, Binary };

struct MemoStream {
  StreamMode mode = StreamMode::None;
  std::int32_t block = 0;
  std::int64_t start = 0;      // byte offset where the text starts
  std::int64_t length = -1;    // text length when known
  std::int64_t reserved = -1;  // room reserved for a write, -1 = unlimited (at the end of the file)
  std::int64_t position = 0;
  bool translate = false;
  platform::TextPage page = platform::TextPage::Oem437;  // the table's code page, when translating
  TextState textState = TextState::Unknown;
  bool lockHeld = false;
  bool linkPending = false;      // unlimited write: the free chain's last link is set at the end
  std::int64_t pendingLink = 0;  // byte offset of that link (0 = the header's next-free field)
};

class MemoFile {
 public:
  // Opens the memo file beside a table; `headed` from the table's version byte. 0 or a code.
  static int Open(const std::string& name, bool write, bool headed, std::unique_ptr<MemoFile>* out);
  // Writes the 24-byte header of a new headed-style memo file. 0 or a code.
  static int Create(const std::string& name);

  const std::string& name() const { return name_; }
  MemoStyle style() const { return style_; }
  std::int64_t blockSize() const { return blockSize_; }
  File& file() { return *file_; }

  // Positions `s` on the text at `block`; 0 or 1003 (bad address) / an I/O code.
  int BeginRead(std::int32_t block, MemoStream* s);
  // Reserves room for a new text (length < 0: unlimited); answers the block in *block. The old
  // text's blocks are written over only when `oldBlock` is given: callers give it only for a text
  // no saved record refers to. 0 or a code.
  int BeginWrite(std::int32_t oldBlock, std::int64_t newLength, bool lock, MemoStream* s,
                 std::int32_t* block);
  // Reads/writes at the stream position; the count done goes to *done. 0 or a code.
  int Read(MemoStream* s, char* buf, std::int64_t count, TranslateProc* proc, std::int64_t* done);
  int Write(MemoStream* s, const char* buf, std::int64_t count, TranslateProc* proc,
            std::int64_t* done);
  // Ends a stream: sets a pending free-chain link, releases the memo lock.
  int End(MemoStream* s);
  // Gives the blocks of the text at `block` to the free chain and counts them as given up (taking
  // the memo lock when `lock`). A block that holds no text this file can vouch for is left alone.
  int FreeText(std::int32_t block, bool lock);

  // Reads a whole text without translation (for packing). 0 or a code.
  int ReadRaw(std::int32_t block, std::string* text);
  // The blocks the text at `block` takes on disk, its header or end mark included (for judging how
  // much of the file is in use). 0 or a code (1003 when no text can be read there).
  int TextBlocks(std::int32_t block, std::int64_t* blocks);
  // Blocks in the file after the header block (a partly filled last block counts). 0 or a code.
  int DataBlocks(std::int64_t* blocks);

 private:
  MemoFile(std::unique_ptr<File> file, std::string name, MemoStyle style, std::int64_t blockSize)
      : file_(std::move(file)), name_(std::move(name)), style_(style), blockSize_(blockSize) {}
  int ReserveBlocks(std::int32_t oldBlock, std::int64_t newLength, MemoStream* s);
  int EndBlock(std::int64_t* block);  // file end as a block number, padding to a boundary
  // The first block number past the end of the file (a partly filled last block counts); writes nothing.
  int BlocksInFile(std::int64_t* block);
  int FreeBlocks(std::int64_t start, std::int64_t count);
  int TakeFromChain(std::int64_t need, std::int64_t* block, std::int64_t* lastLink);
  int OldTextBlocks(std::int32_t block, std::int64_t* blocks);
  int ReadI32(std::int64_t offset, std::int32_t* v);
  int WriteI32(std::int64_t offset, std::int32_t v);
  int Lock();

  std::unique_ptr<File> file_;
  std::string name_;
  MemoStyle style_;
  std::int64_t blockSize_;
};

}  // namespace tavrin::dbf
