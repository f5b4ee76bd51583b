#include "dbf/MemoFile.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "dbf/Errors.h"
#include "dbf/Format.h"
#include "platform/CodePage.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

constexpr std::uint8_t kBlockMark[4] = {0xFF, 0xFF, 0x08, 0x00};
constexpr int kMemoLockAttempts = 11;
constexpr std::int64_t kUnlimited = INT64_MAX;

std::string Directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string StemOf(const std::string& path) {
  std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.resize(dot);
  return base;
}

void Translate(MemoStream* s, char* piece, std::size_t len, bool toAnsi) {
  if (!s->translate) return;
  if (s->textState == TextState::Unknown) {
    s->textState = std::memchr(piece, 0, len) == nullptr ? TextState::Text : TextState::Binary;
  }
  if (s->textState != TextState::Text) return;
  if (toAnsi)
    platform::TableToAnsi(s->page, piece, len);
  else
    platform::AnsiToTable(s->page, piece, len);
}

}  // namespace

int MemoFile::Open(const std::string& name, bool write, bool headed,
                   std::unique_ptr<MemoFile>* out) {
  std::unique_ptr<File> f;
  int code = File::Open(name, write, &f);
  if (code != 0) return code;
  std::int64_t bs = fmt::kMemoDefaultBlock;
  if (headed) {
    std::uint8_t h[fmt::kMemoHeaderSize] = {};
    std::size_t got = 0;
    code = f->ReadAt(h, sizeof h, 0, &got);
    if (code != 0) return code;
    if (got < sizeof h)
      return err::kInvalidMemoAddress;  // a header too short to hold the block size
    bs = fmt::GetU16(h + fmt::kMemoBlockSizeOffset);
    if (bs == 0) bs = fmt::kMemoDefaultBlock;
    if (bs < fmt::kMemoMinBlock) return err::kInvalidMemoAddress;
  }
  out->reset(new MemoFile(std::move(f), name, headed ? MemoStyle::Headed : MemoStyle::Plain, bs));
  return 0;
}

int MemoFile::Create(const std::string& name) {
  std::unique_ptr<File> f;
  int code = File::Create(name, &f);
  if (code == 0) code = f->Truncate(0);
  if (code != 0) return code;
  std::uint8_t h[fmt::kMemoHeaderSize] = {};
  fmt::PutI32(h + fmt::kMemoNextFreeOffset, 1);
  const std::string stem = StemOf(name).substr(0, 8);
  std::memcpy(h + fmt::kMemoNameOffset, stem.data(), stem.size());
  h[fmt::kMemoMarkOffset] = 0x02;
  h[fmt::kMemoMarkOffset + 1] = 0x01;
  fmt::PutU16(h + fmt::kMemoBlockSizeOffset, static_cast<std::uint16_t>(fmt::kMemoDefaultBlock));
  code = f->WriteAt(h, sizeof h, 0);
  if (code != 0) {  // emptied above, so nothing of anyone's is lost: no header-less file stays
    f.reset();
    File::Remove(name);
  }
  return code;
}

int MemoFile::ReadI32(std::int64_t offset, std::int32_t* v) {
  std::uint8_t b[4] = {};
  std::size_t got = 0;
  const int code = file_->ReadAt(b, 4, offset, &got);
  *v = got == 4 ? fmt::GetI32(b) : 0;
  return code;
}

int MemoFile::WriteI32(std::int64_t offset, std::int32_t v) {
  std::uint8_t b[4];
  fmt::PutI32(b, v);
  return file_->WriteAt(b, 4, offset);
}

int MemoFile::Lock() {
  for (int i = 0; i < kMemoLockAttempts; ++i) {
    const int code = file_->TryLock(fmt::kMemoLockOffset, 1, LockKind::Write);
    if (code == 0) return 0;
    if (code != err::kLockViolation) return code;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return err::kMemoLockFailed;
}

int MemoFile::EndBlock(std::int64_t* block) {
  std::int64_t size = 0;
  int code = file_->Size(&size);
  if (code != 0) return code;
  if (style_ == MemoStyle::Plain && size == fmt::kMemoDefaultBlock + 1) {
    *block = 1;  // a new plain-style file: 512 header bytes and one terminator
    return 0;
  }
  const std::int64_t rest = size % blockSize_;
  if (rest != 0 || size == 0) {
    const std::int64_t pad = (size == 0) ? blockSize_ : blockSize_ - rest;
    std::vector<char> zeros(static_cast<std::size_t>(pad), 0);
    code = file_->WriteAt(zeros.data(), zeros.size(), size);
    if (code != 0) return code;
    size += pad;
  }
  *block = size / blockSize_;
  return 0;
}

int MemoFile::BeginRead(std::int32_t block, MemoStream* s) {
  *s = MemoStream{};
  const std::int64_t b = block < 0 ? -static_cast<std::int64_t>(block) : block;
  std::int64_t size = 0;
  int code = file_->Size(&size);
  if (code != 0) return code;
  const std::int64_t offset = b * blockSize_;
  if (b == 0 || offset >= size - 1) return err::kInvalidMemoAddress;
  std::uint8_t h[fmt::kMemoBlockHeaderSize] = {};
  std::size_t got = 0;
  code = file_->ReadAt(h, sizeof h, offset, &got);
  if (code != 0) return code;
  s->block = block;
  if (got == sizeof h && std::memcmp(h, kBlockMark, 4) == 0) {
    const std::int64_t len = static_cast<std::int64_t>(fmt::GetI32(h + 4)) - 8;
    if (len < 0 || len > fmt::kMemoMaxText || offset + 8 + len > size)
      return err::kInvalidMemoAddress;
    s->start = offset + 8;
    s->length = len;
  } else {
    s->start = offset;
    s->length = -1;
  }
  s->mode = StreamMode::Reading;
  return 0;
}

int MemoFile::Read(MemoStream* s, char* buf, std::int64_t count, TranslateProc* proc,
                   std::int64_t* done) {
  *done = 0;
  std::int64_t size = 0;
  int code = file_->Size(&size);
  if (code != 0) return code;
  while (*done < count) {
    std::int64_t piece = std::min<std::int64_t>(count - *done, fmt::kMemoPiece);
    if (s->length >= 0) piece = std::min(piece, s->length - s->position);
    piece = std::min(piece, size - (s->start + s->position));
    if (s->length < 0) piece = std::min(piece, fmt::kMemoMaxText - s->position);
    if (piece <= 0) break;
    char* p = buf + *done;
    std::size_t got = 0;
    code = file_->ReadAt(p, static_cast<std::size_t>(piece), s->start + s->position, &got);
    if (code != 0) return code;
    if (got == 0) break;
    std::size_t keep = got;
    bool ended = false;
    if (s->length < 0) {
      const void* eof = std::memchr(p, fmt::kEofMarker, got);
      if (eof != nullptr) {
        keep = static_cast<std::size_t>(static_cast<const char*>(eof) - p);
        ended = true;
      }
    }
    if (proc != nullptr && *proc) (*proc)(p, keep);
    Translate(s, p, keep, true);
    s->position += static_cast<std::int64_t>(keep);
    *done += static_cast<std::int64_t>(keep);
    if (ended) {
      s->length = s->position;
      break;
    }
  }
  return 0;
}

int MemoFile::Write(MemoStream* s, const char* buf, std::int64_t count, TranslateProc* proc,
                    std::int64_t* done) {
  *done = 0;
  std::int64_t limit = s->reserved >= 0 ? s->reserved : fmt::kMemoMaxText;
  count = std::min(count, limit - s->position);
  std::vector<char> piece;
  while (*done < count) {
    const std::int64_t n = std::min<std::int64_t>(count - *done, fmt::kMemoPiece);
    piece.assign(buf + *done, buf + *done + n);
    Translate(s, piece.data(), piece.size(), false);
    if (proc != nullptr && *proc) (*proc)(piece.data(), piece.size());
    const int code = file_->WriteAt(piece.data(), piece.size(), s->start + s->position);
    if (code != 0) return code;
    s->position += n;
    *done += n;
  }
  s->length = std::max(s->length, s->position);
  std::uint8_t h[fmt::kMemoBlockHeaderSize];
  std::memcpy(h, kBlockMark, 4);
  fmt::PutI32(h + 4, static_cast<std::int32_t>(s->position + 8));
  return file_->WriteAt(h, sizeof h, s->start - 8);
}

int MemoFile::OldTextBlocks(std::int32_t block, std::int64_t* blocks) {
  *blocks = 0;
  std::int64_t size = 0;
  int code = file_->Size(&size);
  if (code != 0) return code;
  const std::int64_t offset = static_cast<std::int64_t>(block) * blockSize_;
  if (block <= 0 || offset >= size) return 0;
  std::uint8_t h[fmt::kMemoBlockHeaderSize] = {};
  std::size_t got = 0;
  code = file_->ReadAt(h, sizeof h, offset, &got);
  if (code != 0 || got != sizeof h || std::memcmp(h, kBlockMark, 4) != 0) return code;
  const std::int64_t total = fmt::GetI32(h + 4);
  if (total < 8 || offset + total > size) return 0;  // not a text this file can vouch for
  *blocks = (total + blockSize_ - 1) / blockSize_;
  return 0;
}

int MemoFile::BlocksInFile(std::int64_t* block) {
  std::int64_t size = 0;
  const int code = file_->Size(&size);
  if (code == 0) *block = (size + blockSize_ - 1) / blockSize_;
  return code;
}

int MemoFile::FreeBlocks(std::int64_t start, std::int64_t count) {
  std::int64_t eofBlock = 0;
  int code = BlocksInFile(&eofBlock);
  if (code != 0) return code;
  std::int64_t link = fmt::kMemoNextFreeOffset;
  for (int i = 0; i < fmt::kMemoChainLimit; ++i) {
    std::int32_t next = 0;
    if ((code = ReadI32(link, &next)) != 0) return code;
    if (next == start) return 0;  // already free
    if (next <= 0 || next >= eofBlock || next > start) break;
    link = static_cast<std::int64_t>(next) * blockSize_;
    if (i == fmt::kMemoChainLimit - 1)
      link = fmt::kMemoNextFreeOffset;  // too long: insert at the head
  }
  std::int32_t next = 0;
  if ((code = ReadI32(link, &next)) != 0) return code;
  std::uint8_t chunk[8];
  fmt::PutI32(chunk, next);
  fmt::PutI32(chunk + 4, static_cast<std::int32_t>(count));
  if ((code = file_->WriteAt(chunk, sizeof chunk, start * blockSize_)) != 0) return code;
  return WriteI32(link, static_cast<std::int32_t>(start));
}

int MemoFile::TakeFromChain(std::int64_t need, std::int64_t* block, std::int64_t* lastLink) {
  *block = 0;
  std::int64_t eofBlock = 0;
  int code = BlocksInFile(&eofBlock);
  if (code != 0) return code;
  std::int64_t link = fmt::kMemoNextFreeOffset;
  for (int i = 0; i < fmt::kMemoChainLimit; ++i) {
    std::int32_t next = 0;
    if ((code = ReadI32(link, &next)) != 0) return code;
    if (next <= 0 || next >= eofBlock) break;
    std::uint8_t chunk[8] = {};
    std::size_t got = 0;
    if ((code = file_->ReadAt(chunk, 8, static_cast<std::int64_t>(next) * blockSize_, &got)) != 0)
      return code;
    if (got != 8 || (chunk[0] == 0xFF && chunk[1] == 0xFF)) break;
    const std::int32_t after = fmt::GetI32(chunk);
    const std::int64_t len = fmt::GetI32(chunk + 4);
    if (len < 1 || next + len > eofBlock) break;  // a damaged link ends the walk
    if (len >= need) {
      std::int32_t newLink = after;
      if (len > need) {
        newLink = static_cast<std::int32_t>(next + need);
        std::uint8_t rest[8];
        fmt::PutI32(rest, after);
        fmt::PutI32(rest + 4, static_cast<std::int32_t>(len - need));
        if ((code = file_->WriteAt(rest, 8, (next + need) * blockSize_)) != 0) return code;
      }
      if ((code = WriteI32(link, newLink)) != 0) return code;
      *block = next;
      return 0;
    }
    link = static_cast<std::int64_t>(next) * blockSize_;
  }
  *lastLink = link;
  return 0;
}

int MemoFile::BeginWrite(std::int32_t oldBlock, std::int64_t newLength, bool lock, MemoStream* s,
                         std::int32_t* block) {
  *block = 0;
  std::int64_t freeKb = 0;
  int code = 0;
  if (newLength > 0) {
    if ((code = File::FreeSpaceKb(Directory(name_), &freeKb)) != 0) return code;
    if (newLength / 1024 >= freeKb) return err::kDiskFull;
  }
  if (newLength > fmt::kMemoMaxText) return err::kDiskFull;
  if (lock && (code = Lock()) != 0) return code;
  *s = MemoStream{};
  s->lockHeld = lock;
  code = ReserveBlocks(oldBlock, newLength, s);
  if (code != 0) {
    End(s);
    return code;
  }
  *block = s->block;
  return 0;
}

int MemoFile::ReserveBlocks(std::int32_t oldBlock, std::int64_t newLength, MemoStream* s) {
  std::int64_t end = 0;
  int code = EndBlock(&end);
  if (code != 0) return code;
  std::int64_t at = 0;
  s->reserved = -1;
  if (style_ == MemoStyle::Headed) {
    const std::int64_t need = newLength >= 0 ? (newLength + 8) / blockSize_ + 1 : kUnlimited;
    std::int64_t oldBlocks = 0;
    if (oldBlock > 0 && (code = OldTextBlocks(oldBlock, &oldBlocks)) != 0) return code;
    if (oldBlocks > 0 && oldBlocks >= need) {
      at = oldBlock;
      if (oldBlocks > need && (code = FreeBlocks(oldBlock + need, oldBlocks - need)) != 0)
        return code;
    } else {
      if (oldBlocks > 0) {
        if ((code = FreeBlocks(oldBlock, oldBlocks)) != 0) return code;
        std::int32_t given = 0;
        if ((code = ReadI32(fmt::kMemoFreedCounterOffset, &given)) != 0) return code;
        if ((code = WriteI32(fmt::kMemoFreedCounterOffset,
                             given + static_cast<std::int32_t>(oldBlocks))) != 0)
          return code;
      }
      std::int64_t lastLink = fmt::kMemoNextFreeOffset;
      if ((code = TakeFromChain(need, &at, &lastLink)) != 0) return code;
      if (at == 0) {
        if ((code = EndBlock(&end)) != 0) return code;
        at = end;
        s->pendingLink = lastLink;
        if (need != kUnlimited) {
          if ((code = WriteI32(lastLink, static_cast<std::int32_t>(at + need))) != 0) return code;
        } else {
          s->linkPending = true;
        }
      }
    }
    if (need != kUnlimited) s->reserved = need * blockSize_ - 8;
  } else {
    // Other writers of this style put their next text at the header's next-free block: it is moved
    // past this text when the text ends, or the next text of theirs would land on it.
    at = end;
    s->pendingLink = fmt::kMemoNextFreeOffset;
    s->linkPending = true;
  }
  if (at > INT32_MAX) return err::kDiskFull;
  s->block = static_cast<std::int32_t>(at);
  s->start = at * blockSize_ + 8;
  s->length = 0;
  s->mode = StreamMode::Writing;
  std::int64_t done = 0;
  return Write(s, nullptr, 0, nullptr, &done);  // an empty text until something is written
}

int MemoFile::FreeText(std::int32_t block, bool lock) {
  if (style_ != MemoStyle::Headed || block == 0) return 0;
  int code = lock ? Lock() : 0;
  if (code != 0) return code;
  std::int64_t blocks = 0;
  const std::int32_t at = block < 0 ? -block : block;
  code = OldTextBlocks(at, &blocks);
  if (code == 0 && blocks > 0) code = FreeBlocks(at, blocks);
  std::int32_t given = 0;
  if (code == 0 && blocks > 0) code = ReadI32(fmt::kMemoFreedCounterOffset, &given);
  if (code == 0 && blocks > 0)
    code = WriteI32(fmt::kMemoFreedCounterOffset, given + static_cast<std::int32_t>(blocks));
  if (lock) file_->Unlock(fmt::kMemoLockOffset, 1);
  return code;
}

int MemoFile::End(MemoStream* s) {
  int code = 0;
  if (s->mode == StreamMode::Writing && s->linkPending) {
    const std::int64_t used = (s->position + 8 + blockSize_ - 1) / blockSize_;
    code = WriteI32(s->pendingLink, static_cast<std::int32_t>(s->block + used));
  }
  if (s->lockHeld) file_->Unlock(fmt::kMemoLockOffset, 1);
  *s = MemoStream{};
  return code;
}

int MemoFile::ReadRaw(std::int32_t block, std::string* text) {
  MemoStream s;
  int code = BeginRead(block, &s);
  if (code != 0) return code;
  text->clear();
  std::vector<char> buf(fmt::kMemoPiece);
  for (;;) {
    std::int64_t done = 0;
    code = Read(&s, buf.data(), static_cast<std::int64_t>(buf.size()), nullptr, &done);
    if (code != 0) return code;
    if (done == 0) break;
    text->append(buf.data(), static_cast<std::size_t>(done));
  }
  return 0;
}

int MemoFile::TextBlocks(std::int32_t block, std::int64_t* blocks) {
  *blocks = 0;
  MemoStream s;
  int code = BeginRead(block, &s);
  if (code != 0) return code;
  std::int64_t onDisk = 0;
  if (s.length >= 0) {
    onDisk = s.length + static_cast<std::int64_t>(fmt::kMemoBlockHeaderSize);
  } else {  // a text without a block header ends at its 0x1A
    std::string text;
    if ((code = ReadRaw(block, &text)) != 0) return code;
    onDisk = static_cast<std::int64_t>(text.size()) + 1;
  }
  *blocks = (onDisk + blockSize_ - 1) / blockSize_;
  return 0;
}

int MemoFile::DataBlocks(std::int64_t* blocks) {
  const int code = BlocksInFile(blocks);
  if (code == 0) *blocks = std::max<std::int64_t>(0, *blocks - 1);
  return code;
}

}  // namespace tavrin::dbf
