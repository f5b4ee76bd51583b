// Pack: removing deleted records (under exclusive use) and rebuilding the memo file.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "dbf/Errors.h"
#include "dbf/FieldConv.h"
#include "dbf/Format.h"
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

// The original bytes of the records that a pack overwrites or cuts off, kept in a file beside the
// table from the first overwritten record on, so that a pack failing half-way can put them back.
class PackJournal {
 public:
  explicit PackJournal(Table& t) : t_(t), path_(ReplaceExtension(t.fileName, "$DB")) {}
  ~PackJournal() {
    if (file_) {
      file_.reset();
      File::Remove(path_);
    }
  }
  // Saves records first..last (they still hold their original bytes); they must follow the ones
  // saved before. 0 or a code.
  int Save(std::int32_t first, std::int32_t last) {
    if (first > last) return 0;
    int code = 0;
    if (!file_) {
      if ((code = File::Create(path_, &file_)) == 0) code = file_->Truncate(0);
      if (code != 0) return code;
      first_ = first;
    }
    const std::size_t rl = t_.recLen;
    std::vector<char> buf(std::max<std::size_t>(1, kPackChunk / rl) * rl);
    for (std::int32_t r = first; r <= last && code == 0;) {
      const std::int32_t n = static_cast<std::int32_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(buf.size() / rl), last - r + 1));
      std::size_t got = 0;
      code = t_.file->ReadAt(buf.data(), n * rl, t_.RecordOffset(r), &got);
      if (code == 0 && got != n * rl) code = 213;
      if (code == 0) code = file_->WriteAt(buf.data(), got, t_.RecordOffset(r) - t_.RecordOffset(first_));
      r += n;
    }
    return code;
  }
  // Writes the saved records back where they were (best effort: the table may be failing too).
  void Restore() {
    if (!file_) return;
    std::int64_t size = 0;
    if (file_->Size(&size) != 0) return;
    std::vector<char> buf(kPackChunk);
    for (std::int64_t at = 0; at < size;) {
      std::size_t got = 0;
      if (file_->ReadAt(buf.data(), buf.size(), at, &got) != 0 || got == 0) return;
      if (t_.file->WriteAt(buf.data(), got, t_.RecordOffset(first_) + at) != 0) return;
      at += static_cast<std::int64_t>(got);
    }
  }

 private:
  Table& t_;
  std::string path_;
  std::unique_ptr<File> file_;
  std::int32_t first_ = 0;
};

// Compacts the live records towards the front, saving each overwritten record in the journal
// first; answers 0 or an I/O code.
int CompactRecords(Table& t, PackJournal& journal, std::int32_t* kept) {
  const std::size_t rl = t.recLen;
  const std::size_t per = std::max<std::size_t>(1, kPackChunk / rl);
  std::vector<char> buf(per * rl);
  std::int32_t w = 0;
  for (std::int32_t r = 1; r <= t.recCount;) {
    const std::int32_t n = static_cast<std::int32_t>(std::min<std::int64_t>(per, t.recCount - r + 1));
    std::size_t got = 0;
    int code = t.file->ReadAt(buf.data(), n * rl, t.RecordOffset(r), &got);
    if (code == 0 && got != n * rl) code = 213;
    if (code != 0) return code;
    std::size_t out = 0;
    for (std::int32_t i = 0; i < n; ++i) {
      const char* rec = buf.data() + static_cast<std::size_t>(i) * rl;
      if (rec[0] == fmt::kDeletedFlag) continue;
      if (out != static_cast<std::size_t>(i)) std::memmove(buf.data() + out * rl, rec, rl);
      ++out;
    }
    if (out > 0 && !(w + 1 == r && out == static_cast<std::size_t>(n))) {
      code = journal.Save(w + 1, w + static_cast<std::int32_t>(out));
      if (code == 0) code = t.file->WriteAt(buf.data(), out * rl, t.RecordOffset(w + 1));
      if (code != 0) return code;
    }
    w += static_cast<std::int32_t>(out);
    r += n;
  }
  *kept = w;
  return 0;
}

int FinishPack(Table& t, std::int32_t kept) {
  int code = t.file->Truncate(t.RecordOffset(kept + 1));
  if (code != 0) return code;
  t.recCount = kept;
  t.state = UpdateState::Appended;
  code = HeaderUpdate(t, true);
  return code != 0 ? code : t.file->Sync();
}

// Removes the deleted records; on any failure the table's records are put back as they were.
int PackRecords(Table& t, std::int32_t* kept) {
  PackJournal journal(t);
  const std::int32_t count = t.recCount;
  int code = CompactRecords(t, journal, kept);
  if (code == 0) code = journal.Save(*kept + 1, count);  // what the truncation cuts off
  if (code == 0) code = FinishPack(t, *kept);
  if (code != 0) {
    journal.Restore();
    t.recCount = count;
    t.state = UpdateState::Appended;
    if (HeaderUpdate(t, true) == 0) t.file->Sync();
  }
  return code;
}

}  // namespace

bool Pack() {
  WorkArea* a = RequireOpen("Pack");
  if (a == nullptr || !Recount(*a) || a->t().recCount == 0) return false;
  if (a->readOnly) {
    Report(5, "Error packing " + a->name());
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
  std::int32_t kept = 0;
  if (ok && Recount(*a)) {
    int code = PackRecords(a->t(), &kept);
    if (code != 0) failure = {code, "Error packing " + a->name()};
    if (code == 0 && a->memo) failure = PackMemo(*a);
  }
  if (wasShared) {
    a->exclusive = false;
    const int code = ChangeShareMode(*a, false);
    if (code != 0 && failure.code == 0) failure = {code, "Cannot re-open database sharable. " + a->name() + " [Pack]"};
  }
  if (failure.code != 0) {
    Report(failure.code, failure.message);
    return false;
  }
  if (!ok || ErrorCode() != 0) return false;
  if (kept == 0) {
    Blank(*a);
    a->eof = a->bof = true;
    a->recNo = 0;
  } else {
    GetDbfRecord(*a, 1);
  }
  return true;
}

namespace {

struct MemoRef {
  std::int32_t record;
  int field;
  std::int32_t block;   // in the new file
  std::string oldText;  // the field as it stood, to put back when the pack fails
};

// Copies every referenced text into `dst` (fresh file with `src`'s header block) and collects the
// new references. Answers 0 or a code.
int CopyTexts(WorkArea& a, MemoFile& src, File& dst, std::vector<MemoRef>* refs) {
  Table& t = a.t();
  const std::int64_t bs = src.blockSize();
  std::vector<char> head(static_cast<std::size_t>(bs), 0);
  std::size_t got = 0;
  int code = src.file().ReadAt(head.data(), head.size(), 0, &got);
  if (code != 0) return code;
  if (head.size() > fmt::kMemoFreedCounterOffset + 4) {
    fmt::PutI32(reinterpret_cast<std::uint8_t*>(head.data()) + fmt::kMemoFreedCounterOffset, 0);
  }
  if ((code = dst.WriteAt(head.data(), head.size(), 0)) != 0) return code;
  std::int64_t next = 1;
  std::string text;
  for (std::int32_t r = 1; r <= t.recCount; ++r) {
    if ((code = ReadRecordAt(t, r)) != 0) return code;
    for (std::size_t i = 0; i < t.fields.size(); ++i) {
      const FieldInfo& f = t.fields[i];
      if (f.type != 'M') continue;
      const std::string_view field(t.record.data() + f.offset, static_cast<std::size_t>(f.length));
      const std::int32_t ref = ParseInt32(field);
      if (ref == 0) continue;
      if ((code = src.ReadRaw(ref, &text)) != 0) return code;
      std::vector<char> out(fmt::kMemoBlockHeaderSize + text.size());
      const bool plainFits = text.find(static_cast<char>(fmt::kEofMarker)) == std::string::npos;
      if (src.style() == MemoStyle::Headed || !plainFits) {
        const std::uint8_t mark[4] = {0xFF, 0xFF, 0x08, 0x00};
        std::memcpy(out.data(), mark, 4);
        fmt::PutI32(reinterpret_cast<std::uint8_t*>(out.data()) + 4, static_cast<std::int32_t>(out.size()));
        std::memcpy(out.data() + 8, text.data(), text.size());
      } else {  // the plain layout other readers expect: the text and two terminators
        std::memcpy(out.data(), text.data(), text.size());
        out.resize(text.size() + 2, static_cast<char>(fmt::kEofMarker));
      }
      if ((code = dst.WriteAt(out.data(), out.size(), next * bs)) != 0) return code;
      refs->push_back({r, static_cast<int>(i), static_cast<std::int32_t>(ref < 0 ? -next : next),
                       std::string(field)});
      next += (static_cast<std::int64_t>(out.size()) + bs - 1) / bs;
    }
  }
  std::uint8_t nf[4];
  fmt::PutI32(nf, static_cast<std::int32_t>(next));
  if ((code = dst.WriteAt(nf, 4, fmt::kMemoNextFreeOffset)) != 0) return code;
  return dst.Sync();
}

// Writes the new block numbers into the records, or (`restore`) the fields as they stood.
int RewriteRefs(Table& t, const std::vector<MemoRef>& refs, bool restore) {
  for (const MemoRef& m : refs) {
    const FieldInfo& f = t.fields[static_cast<std::size_t>(m.field)];
    const std::string text = restore ? m.oldText : FormatInteger(m.block, f.length);
    const int code = t.file->WriteAt(text.data(), text.size(), t.RecordOffset(m.record) + f.offset);
    if (code != 0) return code;
  }
  return t.file->Sync();
}

}  // namespace

Failure PackMemo(WorkArea& a) {
  // An open stream points into the file being replaced: it ends here, before any text moves.
  if (a.stream.mode != StreamMode::None) a.memo->End(&a.stream);
  a.unstoredMemoBlock = 0;  // block numbers change meaning
  const std::string name = a.memo->name();
  const std::string temp = ReplaceExtension(name, "$$$");
  std::int64_t size = 0, freeKb = 0;
  int code = a.memo->file().Size(&size);
  if (code == 0) code = File::FreeSpaceKb(name.substr(0, name.rfind('/') + 1), &freeKb);
  if (code == 0 && freeKb < size / 1024) code = 1012;
  if (code != 0) {
    return {code, std::string(code == 1012 ? "Insufficient disk space to pack memo file" : name) + " [PackMemoFile]"};
  }
  std::vector<MemoRef> refs;
  {
    std::unique_ptr<File> dst;
    code = File::Create(temp, &dst);
    if (code == 0) code = dst->Truncate(0);
    if (code != 0) return {code, "Unable to create temporary file: " + temp};
    try {
      code = CopyTexts(a, *a.memo, *dst, &refs);
    } catch (const std::bad_alloc&) {
      code = 217;
    }
  }
  if (code != 0) {
    File::Remove(temp);
    return {code, name + " [PackMemoFile]"};
  }
  // The records take the new block numbers before the new file takes the memo file's name; when
  // either step fails the old numbers go back, and the old memo file, untouched, still serves them.
  Failure failure;
  code = RewriteRefs(a.t(), refs, false);
  if (code != 0) failure = {code, "Error packing " + a.name()};
  if (code == 0 && (code = File::Rename(temp, name)) != 0) failure = {code, name + " [PackMemoFile]"};
  if (failure.code != 0) {
    RewriteRefs(a.t(), refs, true);
    File::Remove(temp);
    return failure;
  }
  const bool headed = a.memo->style() == MemoStyle::Headed;
  a.memo.reset();
  code = MemoFile::Open(name, !a.readOnly, headed, &a.memo);
  if (code != 0) return {code, "Memo file not found: " + name + " [PackMemoFile]"};
  return {};
}

}  // namespace tavrin::dbf
