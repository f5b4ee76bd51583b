// Pack: removing deleted records (under exclusive use), and, as a step of its own, the memo space
// no record uses. Packing the table leaves the memo file alone: every kept record keeps its memo
// reference, so the table on disk (old or packed) always agrees with the one memo file. Compacting
// the memo file renumbers the texts, so it replaces table and memo file together; it runs when asked
// for or when more than half of the memo file is dead. Either way the new files are written beside
// the old ones and then take their names (PackCommit.h).
#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "dbf/Errors.h"
#include "dbf/FieldConv.h"
#include "dbf/Format.h"
#include "dbf/PackCommit.h"
#include "dbf/WorkArea.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

constexpr std::size_t kPackChunk = 64 * 1024;

// Moves from shared to exclusive use (or back) by converting this descriptor's sentinel lock:
// the upgrade fails while anyone else has the table open, and a refused upgrade keeps the shared lock.
int ChangeShareMode(WorkArea& a, bool exclusive) {
  if (!Engine().settings.lockingEnabled) return 0;
  OpenMode mode;
  mode.write = !a.readOnly;
  mode.exclusive = exclusive;
  return TakeShareLock(*a.t().file, mode);
}

// Creates a new file for the pack, truncated, with the permissions of `like`.
int CreateNew(const std::string& path, const File& like, std::unique_ptr<File>* out) {
  int code = File::Create(path, out);
  if (code == 0) code = (*out)->Truncate(0);
  if (code == 0) code = (*out)->CopyPermissions(like);
  return code;
}

// The packed memo file being written: each live text copied in record order, back to back.
class MemoCopy {
 public:
  MemoCopy(MemoFile& src, std::unique_ptr<File> dst) : src_(src), dst_(std::move(dst)) {}
  File& file() { return *dst_; }

  // Block 0 as the old file has it, without the count of given-up blocks.
  int Begin() {
    std::vector<char> head(static_cast<std::size_t>(src_.blockSize()), 0);
    std::size_t got = 0;
    const int code = src_.file().ReadAt(head.data(), head.size(), 0, &got);
    if (code != 0) return code;
    if (head.size() > fmt::kMemoFreedCounterOffset + 4) {
      fmt::PutI32(reinterpret_cast<std::uint8_t*>(head.data()) + fmt::kMemoFreedCounterOffset, 0);
    }
    return dst_->WriteAt(head.data(), head.size(), 0);
  }

  // Copies the text at `ref` and answers its new reference (same sign) in *moved.
  int Copy(std::int32_t ref, std::int32_t* moved) {
    int code = src_.ReadRaw(ref, &text_);
    if (code != 0) return code;
    std::vector<char> out(fmt::kMemoBlockHeaderSize + text_.size());
    const bool plainFits = text_.find(static_cast<char>(fmt::kEofMarker)) == std::string::npos;
    if (src_.style() == MemoStyle::Headed || !plainFits) {
      const std::uint8_t mark[4] = {0xFF, 0xFF, 0x08, 0x00};
      std::memcpy(out.data(), mark, 4);
      fmt::PutI32(reinterpret_cast<std::uint8_t*>(out.data()) + 4,
                  static_cast<std::int32_t>(out.size()));
      std::memcpy(out.data() + 8, text_.data(), text_.size());
    } else {  // the plain layout other readers expect: the text and two terminators
      std::memcpy(out.data(), text_.data(), text_.size());
      out.resize(text_.size() + 2, static_cast<char>(fmt::kEofMarker));
    }
    const std::int64_t bs = src_.blockSize();
    if ((code = dst_->WriteAt(out.data(), out.size(), next_ * bs)) != 0) return code;
    *moved = static_cast<std::int32_t>(ref < 0 ? -next_ : next_);
    next_ += (static_cast<std::int64_t>(out.size()) + bs - 1) / bs;
    return next_ > INT32_MAX ? err::kDiskFull : 0;
  }

  // The next-free field, then everything to disk.
  int Finish() {
    std::uint8_t nf[4];
    fmt::PutI32(nf, static_cast<std::int32_t>(next_));
    const int code = dst_->WriteAt(nf, 4, fmt::kMemoNextFreeOffset);
    return code != 0 ? code : dst_->Sync();
  }

 private:
  MemoFile& src_;
  std::unique_ptr<File> dst_;
  std::int64_t next_ = 1;
  std::string text_;
};

// Points the memo references of one record at their copies in the packed memo file.
int MoveMemos(const Table& t, char* rec, MemoCopy& memo) {
  for (const FieldInfo& f : t.fields) {
    if (f.type != 'M') continue;
    const std::int32_t ref =
        ParseInt32(std::string_view(rec + f.offset, static_cast<std::size_t>(f.length)));
    if (ref == 0) continue;
    std::int32_t moved = 0;
    if (const int code = memo.Copy(ref, &moved)) return code;
    const std::string text = FormatInteger(moved, f.length);
    std::memcpy(rec + f.offset, text.data(), text.size());
  }
  return 0;
}

// Writes the old header and every live record (in order, memo texts copied along) to `dst`.
int CopyRecords(Table& t, File& dst, MemoCopy* memo, std::int32_t* kept) {
  std::vector<char> head(t.headerLen);
  std::size_t got = 0;
  int code = t.file->ReadAt(head.data(), head.size(), 0, &got);
  if (code == 0 && got != head.size()) code = err::kUnexpectedEnd;
  if (code == 0) code = dst.WriteAt(head.data(), head.size(), 0);
  const std::size_t rl = t.recLen;
  const std::size_t per = std::max<std::size_t>(1, kPackChunk / rl);
  std::vector<char> buf(per * rl);
  std::int32_t w = 0;
  for (std::int32_t r = 1; code == 0 && r <= t.recCount;) {
    const std::int32_t n =
        static_cast<std::int32_t>(std::min<std::int64_t>(per, t.recCount - r + 1));
    code = t.file->ReadAt(buf.data(), n * rl, t.RecordOffset(r), &got);
    if (code == 0 && got != n * rl) code = err::kUnexpectedEnd;
    std::size_t out = 0;
    for (std::int32_t i = 0; code == 0 && i < n; ++i) {
      char* rec = buf.data() + static_cast<std::size_t>(i) * rl;
      if (rec[0] == fmt::kDeletedFlag) continue;
      if (out != static_cast<std::size_t>(i)) std::memmove(buf.data() + out * rl, rec, rl);
      if (memo != nullptr) code = MoveMemos(t, buf.data() + out * rl, *memo);
      ++out;
    }
    if (code == 0 && out > 0) code = dst.WriteAt(buf.data(), out * rl, t.RecordOffset(w + 1));
    w += static_cast<std::int32_t>(out);
    r += n;
  }
  *kept = w;
  return code;
}

// Calls visit(record bytes, record number from 1) for each record the header counts, read in
// large chunks, until it answers false. Returns the engine code of a failed read (213 for a table
// cut short), else 0.
template <class Visit>
int ForEachRecord(Table& t, Visit&& visit) {
  std::vector<char> buf(std::max<std::size_t>(1, kPackChunk / t.recLen) * t.recLen);
  const std::int64_t end = t.RecordOffset(t.recCount + 1);
  std::int32_t recNo = 0;
  for (std::int64_t at = t.headerLen; at < end;) {
    std::size_t got = 0;
    const std::size_t len = static_cast<std::size_t>(std::min<std::int64_t>(buf.size(), end - at));
    if (const int code = t.file->ReadAt(buf.data(), len, at, &got); code != 0) return code;
    if (got != len) return err::kUnexpectedEnd;
    for (std::size_t r = 0; r < len; r += t.recLen)
      if (!visit(buf.data() + r, ++recNo)) return 0;
    at += static_cast<std::int64_t>(len);
  }
  return 0;
}

// Whether any record is marked deleted. Every flag is read: a record whose flag is neither mark
// (zeros, a damaged file) is answered in *damaged, and the pack must not keep or drop it unasked.
bool AnyDeleted(Table& t, int* code, std::int32_t* damaged) {
  bool any = false;
  *damaged = 0;
  *code = ForEachRecord(t, [&](const char* record, std::int32_t recNo) {
    if (!IsRecordFlag(record[0])) {
      *damaged = recNo;
      return false;
    }
    any = any || record[0] == fmt::kDeletedFlag;
    return true;
  });
  return *code == 0 && *damaged == 0 && any;
}

// The packed table and memo file, written under their new names and flushed.
struct PackedFiles {
  Table table;  // header values of the packed table; owns its file
  std::unique_ptr<MemoCopy> memo;
};

// With `withMemo` the memo file is rebuilt too and the records point into the new one; without, the
// records keep their references into the unchanged memo file.
Failure WritePacked(WorkArea& a, const PackNames& names, bool withMemo, PackedFiles* p) {
  Table& t = a.t();
  // The packed table is held exclusively before it takes the name, so nobody can open it early.
  int code = CreateNew(names.newTable, *t.file, &p->table.file);
  if (code == 0)
    code = TakeShareLock(*p->table.file, OpenMode{true, true, Engine().settings.lockingEnabled});
  if (code != 0) return {code, "Unable to create temporary file: " + names.newTable};
  if (withMemo) {
    std::unique_ptr<File> dst;
    code = CreateNew(names.newMemo, a.memo->file(), &dst);
    if (code != 0) return {code, "Unable to create temporary file: " + names.newMemo};
    p->memo = std::make_unique<MemoCopy>(*a.memo, std::move(dst));
    if ((code = p->memo->Begin()) != 0) return {code, a.memo->name() + " [PackMemoFile]"};
  }
  Table& nt = p->table;
  nt.fileName = names.newTable;
  nt.prolog = t.prolog;
  nt.version = t.version;
  nt.headerLen = t.headerLen;
  nt.recLen = t.recLen;
  try {
    code = CopyRecords(t, *nt.file, p->memo.get(), &nt.recCount);
  } catch (const std::bad_alloc&) {
    code = err::kInsufficientMemory;
  }
  if (code == 0) code = HeaderUpdate(nt, true);
  if (code == 0) code = nt.file->Sync();
  if (code == 0 && p->memo) code = p->memo->Finish();
  if (code != 0) return {code, "Error packing " + a.name()};
  return {};
}

Failure CheckMemoSpace(WorkArea& a) {
  if (!a.memo) return {};
  const std::string name = a.memo->name();
  std::int64_t size = 0, freeKb = 0;
  int code = a.memo->file().Size(&size);
  if (code == 0) code = File::FreeSpaceKb(name.substr(0, name.rfind('/') + 1), &freeKb);
  if (code == 0 && freeKb < size / 1024) code = err::kNoRoomToPackMemo;
  if (code == 0) return {};
  return {code,
          std::string(code == err::kNoRoomToPackMemo ? "Insufficient disk space to pack memo file"
                                                     : name) +
              " [PackMemoFile]"};
}

// The work area takes the packed files (already under the table's names, or, when the renames
// failed after the commit, still under the new ones: the next open finishes them).
Failure TakePacked(WorkArea& a, const PackNames& names, PackedFiles& p) {
  Table& t = a.t();
  t.file = std::move(p.table.file);
  t.prolog = p.table.prolog;
  t.lastUpdate = p.table.lastUpdate;
  t.recCount = p.table.recCount;
  t.state = UpdateState::Clean;
  if (!p.memo) return {};  // the memo file did not change
  const bool headed = a.memo->style() == MemoStyle::Headed;
  const std::string name =
      p.memo->file().path() == names.memo ? a.memo->name() : p.memo->file().path();
  p.memo.reset();
  a.memo.reset();
  const int code = MemoFile::Open(name, !a.readOnly, headed, &a.memo);
  if (code != 0) return {code, "Memo file not found: " + name + " [PackMemoFile]"};
  return {};
}

// Writes the packed table (and with `withMemo` the rebuilt memo file) and lets it take the
// table's name; the table is held exclusively.
Failure ReplaceFiles(WorkArea& a, bool withMemo) {
  int code = 0;
  if (withMemo) {
    if (a.stream.mode != StreamMode::None) a.memo->End(&a.stream);  // its text moves
    a.unstoredMemoBlock = 0;                                        // block numbers change meaning
    a.memoToFree.clear();
    if (Failure f = CheckMemoSpace(a); f.code != 0) return f;
  }
  const PackNames names = PackNamesFor(a.name());
  if (PackIsDue(names) && (code = FinishPack(names)) != 0)
    return {code, "Error packing " + a.name()};
  RemovePackLeftovers(names);
  PackedFiles p;
  Failure failure = WritePacked(a, names, withMemo, &p);
  bool committed = false;
  if (failure.code == 0) {
    code = CommitPack(names, *p.table.file, p.memo ? &p.memo->file() : nullptr, &committed);
    if (code != 0) failure = {code, "Error packing " + a.name()};
  }
  if (!committed) {
    p = PackedFiles{};
    RemovePackLeftovers(names);
    return failure;
  }
  const Failure taken = TakePacked(a, names, p);
  return failure.code != 0 ? failure : taken;
}

// Whether more than half of the memo file's blocks hold no text that a record refers to. False
// (nothing to do) when a reference cannot be read: a damaged memo file is not rebuilt unasked.
bool MemoMostlyDead(WorkArea& a, int* code) {
  Table& t = a.t();
  std::unordered_set<std::int32_t> seen;
  std::int64_t live = 0;
  bool unreadable = false;
  *code = ForEachRecord(t, [&](const char* record, std::int32_t) {
    for (const FieldInfo& f : t.fields) {
      if (f.type != 'M') continue;
      std::int32_t ref =
          ParseInt32(std::string_view(record + f.offset, static_cast<std::size_t>(f.length)));
      if (ref < 0) ref = -ref;
      if (ref == 0 || !seen.insert(ref).second) continue;
      std::int64_t blocks = 0;
      if (a.memo->TextBlocks(ref, &blocks) != 0) {
        unreadable = true;
        return false;
      }
      live += blocks;
    }
    return true;
  });
  if (*code != 0 || unreadable) return false;
  std::int64_t all = 0;
  if ((*code = a.memo->DataBlocks(&all)) != 0) return false;
  return (all - live) * 2 > all;
}

// Removes the deleted records, then compacts the memo file when `memo` or its dead space asks.
Failure PackFiles(WorkArea& a, MemoPacking memo) {
  Table& t = a.t();
  int code = 0;
  std::int32_t damaged = 0;
  const bool deleted = AnyDeleted(t, &code, &damaged);
  if (code != 0) return {code, "Error packing " + a.name()};
  if (damaged != 0) return {210, DamagedRecordMessage(t, damaged, "[Pack]")};
  if (deleted) {
    if (Failure f = ReplaceFiles(a, false); f.code != 0) return f;
  } else {  // nothing to remove: at most a stale header is put right
    if (HeaderIsBehind(t)) code = HeaderUpdate(t, true);
    if (code == 0) code = t.file->Sync();
    if (code != 0) return {code, "Error packing " + a.name()};
  }
  if (!a.memo) return {};
  const bool compact = memo == MemoPacking::Always || MemoMostlyDead(a, &code);
  if (code != 0) return {code, "Error packing " + a.name()};
  return compact ? ReplaceFiles(a, true) : Failure{};
}

// The bytes after the last whole record, an end marker apart (0 when the file ends on a record).
int BytesAfterRecords(Table& t, std::int32_t* whole, std::int64_t* bytes) {
  *whole = 0;
  *bytes = 0;
  std::int64_t size = 0;
  int code = t.file->Size(&size);
  if (code != 0 || t.recLen == 0 || size <= t.headerLen) return code;
  const std::int64_t body = size - t.headerLen;
  *whole = static_cast<std::int32_t>(std::min<std::int64_t>(body / t.recLen, fmt::kMaxRecords));
  const std::int64_t rest = body % t.recLen;
  if (rest == 1) {
    std::uint8_t last = 0;
    std::size_t got = 0;
    if ((code = t.file->ReadAt(&last, 1, size - 1, &got)) != 0) return code;
    if (got == 1 && last == fmt::kEofMarker) return 0;
  }
  *bytes = rest;
  return 0;
}

std::string CutShortText(std::int32_t whole, std::int64_t bytes) {
  return "The table ends inside a record (" + std::to_string(bytes) + " bytes after " +
         (whole > 0 ? "record " + std::to_string(whole) : std::string("the header")) +
         "): it is damaged.";
}

}  // namespace

bool Pack(MemoPacking memo) {
  WorkArea* a = RequireOpen("Pack");
  if (a == nullptr || !Recount(*a)) return false;
  PartialRecord tail;
  if (!EndsInsideRecord(&tail)) {
    if (ErrorCode() != 0) return false;
  } else {  // the partial record would be dropped with its memo texts: the user decides (repair)
    Report(err::kUnexpectedEnd,
           a->name() + ": " + CutShortText(tail.after, tail.bytes) + " [Pack]");
    return false;
  }
  if (a->t().recCount == 0) return false;
  if (a->readOnly) {
    Report(err::kAccessDenied, "Error packing " + a->name());
    return false;
  }
  const bool wasShared = !a->exclusive;
  if (wasShared) {
    ReleaseLocks(*a);
    if (ChangeShareMode(*a, true) != 0) return false;  // someone else has it open: stays shared
    a->exclusive = true;
  }
  // Failures are reported only after the table is shared again, so a raised error leaves no
  // exclusive use behind.
  Failure failure;
  bool ok = true;
  const auto& confirm = Engine().settings.confirmPack;
  if (confirm && !confirm("PACK " + a->name())) ok = false;
  if (ok && Recount(*a)) failure = PackFiles(*a, memo);
  if (wasShared) {
    a->exclusive = false;
    const int code = ChangeShareMode(*a, false);
    if (code != 0 && failure.code == 0)
      failure = {code, "Cannot re-open database sharable. " + a->name() + " [Pack]"};
  }
  if (failure.code != 0) {
    Report(failure.code, failure.message);
    return false;
  }
  if (!ok || ErrorCode() != 0) return false;
  if (a->t().recCount == 0) {
    Blank(*a);
    a->eof = a->bof = true;
    a->recNo = 0;
  } else {
    GetDbfRecord(*a, 1);
  }
  return true;
}

bool EndsInsideRecord(PartialRecord* tail) {
  *tail = PartialRecord{};
  WorkArea* a = RequireOpen("EndsInsideRecord");
  if (a == nullptr) return false;
  const int code = BytesAfterRecords(a->t(), &tail->after, &tail->bytes);
  if (code != 0) {
    Report(code, "Error reading " + a->name() + " [EndsInsideRecord]");
    return false;
  }
  return tail->bytes > 0;
}

bool CutPartialRecord(const std::string& savePath) {
  WorkArea* a = RequireOpen("CutPartialRecord");
  if (a == nullptr) return false;
  Table& t = a->t();
  const std::string where = " [CutPartialRecord]";
  if (!a->exclusive || a->readOnly) {
    Report(err::kExclusiveRequired, a->name() + where);
    return false;
  }
  PartialRecord tail;
  if (!EndsInsideRecord(&tail)) return false;
  const std::int64_t from = t.RecordOffset(tail.after + 1);
  std::string bytes(static_cast<std::size_t>(tail.bytes), '\0');
  std::size_t got = 0;
  int code = t.file->ReadAt(bytes.data(), bytes.size(), from, &got);
  if (code == 0 && got != bytes.size()) code = err::kUnexpectedEnd;
  if (code != 0) {
    Report(code, "Error reading " + a->name() + where);
    return false;
  }
  // The cut bytes are on disk under their own name before the table loses them. A copy left by
  // an earlier repair that stopped half-way is taken when it holds the same bytes.
  std::unique_ptr<File> save;
  std::int64_t saved = 0;
  code = File::Create(savePath, &save);
  if (code == 0) code = save->Size(&saved);
  if (code == 0 && saved != 0) {
    std::string old(static_cast<std::size_t>(std::min<std::int64_t>(saved, tail.bytes + 1)), '\0');
    code = save->ReadAt(old.data(), old.size(), 0, &got);
    if (code == 0 && (saved != tail.bytes || old != bytes)) {
      Report(err::kInvalidParameter,
             savePath + " already exists and holds other bytes; move it away first" + where);
      return false;
    }
  }
  if (code == 0 && saved == 0) code = save->WriteAt(bytes.data(), bytes.size(), 0);
  if (code == 0) code = save->Sync();
  if (code == 0) code = File::SyncDirOf(savePath);
  if (code != 0) {
    Report(code, "Error writing " + savePath + where);
    return false;
  }
  code = t.file->Truncate(from);
  t.recCount = tail.after;
  if (code == 0) code = HeaderUpdate(t, true);
  if (code == 0) code = t.file->Sync();
  if (code != 0) {
    Report(code, "Error writing " + a->name() + where);
    return false;
  }
  if (a->recNo > t.recCount) {
    a->recNo = t.recCount;
    if (t.recCount == 0) a->eof = a->bof = true;
  }
  return true;
}

}  // namespace tavrin::dbf
