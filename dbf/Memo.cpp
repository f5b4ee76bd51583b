// Memo streams of the current work area, and the whole-text helpers.
#include <vector>

#include "dbf/Errors.h"
#include "dbf/FieldConv.h"
#include "dbf/Format.h"
#include "dbf/Memo.h"
#include "dbf/WorkArea.h"

namespace tavrin::dbf {
namespace {

// The current area when it has a memo file; reports 215 or 1019 otherwise.
WorkArea* MemoArea(const char* op) {
  WorkArea* a = RequireOpen(op);
  if (a == nullptr) return nullptr;
  if (!a->memo) {
    Report(err::kNoMemo, a->name() + " [" + op + "]");
    return nullptr;
  }
  return a;
}

}  // namespace

bool FileRecordRefersTo(WorkArea& a, std::int32_t block) {
  Table& t = a.t();
  if (a.recNo < 1 || a.recNo > t.recCount) return false;
  std::vector<char> rec(t.recLen);
  std::size_t got = 0;
  if (t.file->ReadAt(rec.data(), rec.size(), t.RecordOffset(a.recNo), &got) != 0 ||
      got != rec.size()) {
    return false;
  }
  for (const FieldInfo& f : t.fields) {
    if (f.type != 'M') continue;
    const std::string_view text(rec.data() + f.offset, static_cast<std::size_t>(f.length));
    if (ParseInt32(text) == block) return true;
  }
  return false;
}

void FreeReplacedMemos(WorkArea& a) {
  std::vector<std::int32_t> blocks;
  blocks.swap(a.memoToFree);
  if (!a.memo) return;
  const Table& t = a.t();
  for (const std::int32_t block : blocks) {
    bool kept = false;  // the record may still refer to it, in another field or after a rewrite
    for (const FieldInfo& f : t.fields) {
      if (f.type == 'M' &&
          ParseInt32(std::string_view(t.record.data() + f.offset,
                                      static_cast<std::size_t>(f.length))) == block) {
        kept = true;
      }
    }
    const bool lock = Engine().settings.lockingEnabled && !a.exclusive;
    if (!kept) {
      if (const int code = a.memo->FreeText(block, lock))
        Report(code, a.memo->name() + " [EditMemo/CloseMemo]");
    }
  }
}

int OpenMemoFor(WorkArea& a) {
  if (a.memo) return err::kMemoAlreadyOpen;
  const std::string name =
      a.t().memoPath.empty() ? ReplaceExtension(a.name(), "DBT") : a.t().memoPath;
  const bool headed = a.t().version != format::kVersionPlainMemo;
  return MemoFile::Open(name, !a.readOnly, headed, &a.memo);
}

std::int32_t CreateBlobDescriptor(std::int32_t block, BlobMode mode, bool translate,
                                  std::int64_t newLength) {
  WorkArea* a = MemoArea("CreateBlobDescriptor");
  if (a == nullptr) return 0;
  if (a->stream.mode != StreamMode::None) a->memo->End(&a->stream);
  int code = 0;
  std::int32_t result = block;
  if (mode == BlobMode::Read) {
    if (block == 0) {
      a->stream = MemoStream{};
      a->stream.mode = StreamMode::Reading;
      a->stream.length = 0;
    } else if ((code = a->memo->BeginRead(block, &a->stream)) != 0) {
      Report(code, a->memo->name() + " [GetMemo]");
      return 0;
    }
  } else {
    const bool lock = Engine().settings.lockingEnabled && !a->exclusive;
    // A saved text is never written over: a crash half-way would leave its record pointing at a
    // mix. Its blocks are freed once the record no longer refers to them (Replace). Only this
    // area's own unsaved text may be rewritten where it is.
    if (block != 0 && block != a->unstoredMemoBlock) {
      if (FileRecordRefersTo(*a, block)) a->memoToFree.push_back(block);
      block = 0;
    }
    if ((code = a->memo->BeginWrite(block, newLength, lock, &a->stream, &result)) != 0) {
      Report(code, a->memo->name() + " [NewMemoByteOffset]");
      return 0;
    }
    a->unstoredMemoBlock = result;
  }
  a->stream.translate = translate;
  a->stream.page = TextPageOf(a->t());
  return result;
}

std::int32_t ReadBlobStream(char* buffer, std::int32_t count) {
  WorkArea* a = CurrentOrNull();
  if (a == nullptr || !a->memo || a->stream.mode != StreamMode::Reading || count <= 0) return 0;
  std::int64_t done = 0;
  const int code = a->memo->Read(&a->stream, buffer, count, &a->readProc, &done);
  if (code != 0) Report(code, a->memo->name() + " [ReadBlobStream]");
  return static_cast<std::int32_t>(done);
}

std::int32_t WriteBlobStream(const char* buffer, std::int32_t count) {
  WorkArea* a = CurrentOrNull();
  if (a == nullptr || !a->memo || a->stream.mode != StreamMode::Writing || count <= 0) return 0;
  std::int64_t done = 0;
  const int code = a->memo->Write(&a->stream, buffer, count, &a->writeProc, &done);
  if (code != 0) Report(code, a->memo->name() + " [WriteBlobStream]");
  return static_cast<std::int32_t>(done);
}

std::int64_t SeekBlobStream(std::int64_t offset, int origin) {
  WorkArea* a = CurrentOrNull();
  if (a == nullptr || !a->memo || a->stream.mode == StreamMode::None) return 0;
  MemoStream& s = a->stream;
  std::int64_t base = 0;
  if (origin == 1) base = s.position;
  if (origin == 2) base = s.length >= 0 ? s.length : s.position;
  s.position = std::max<std::int64_t>(0, base + offset);
  if (s.mode == StreamMode::Reading && s.length >= 0) s.position = std::min(s.position, s.length);
  if (s.mode == StreamMode::Writing && s.reserved >= 0)
    s.position = std::min(s.position, s.reserved);
  return s.position;
}

void DestroyBlobDescriptor() {
  WorkArea* a = CurrentOrNull();
  if (a == nullptr || !a->memo || a->stream.mode == StreamMode::None) return;
  const int code = a->memo->End(&a->stream);
  if (code != 0) Report(code, a->memo->name() + " [EditMemo/CloseMemo]");
}

std::string ReadMemo(int field) {
  if (FieldType(field) != 'M') return {};
  WorkArea* a = MemoArea("GetMemo");
  if (a == nullptr) return {};
  const std::int32_t block = GetInteger(field);
  if (block == 0) return {};
  CreateBlobDescriptor(block, BlobMode::Read, a->oem);
  if (ErrorCode() != 0) return {};
  std::string text;
  std::vector<char> buf(format::kMemoPiece);
  for (;;) {
    const std::int32_t n = ReadBlobStream(buf.data(), static_cast<std::int32_t>(buf.size()));
    if (n <= 0) break;
    text.append(buf.data(), static_cast<std::size_t>(n));
  }
  DestroyBlobDescriptor();
  return text;
}

void WriteMemo(int field, std::string_view text) {
  if (FieldType(field) != 'M') return;
  WorkArea* a = MemoArea("EditMemo");
  if (a == nullptr) return;
  if (text.empty()) {
    SetInteger(field, 0);
    return;
  }
  const std::int32_t block = CreateBlobDescriptor(GetInteger(field), BlobMode::Write, a->oem,
                                                  static_cast<std::int64_t>(text.size()));
  if (block == 0) return;
  // A failed piece may unwind past DestroyBlobDescriptor: the memo lock must not outlive the call.
  struct StreamGuard {
    WorkArea* area;
    ~StreamGuard() {
      if (area->memo && area->stream.mode != StreamMode::None) area->memo->End(&area->stream);
    }
  } guard{a};
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t n = std::min<std::size_t>(text.size() - at, format::kMemoPiece);
    if (WriteBlobStream(text.data() + at, static_cast<std::int32_t>(n)) !=
        static_cast<std::int32_t>(n))
      break;
    at += n;
  }
  DestroyBlobDescriptor();
  if (at == text.size()) SetInteger(field, block);
}

}  // namespace tavrin::dbf
