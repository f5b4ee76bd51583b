#include "dbf/PackCommit.h"

#include "dbf/Errors.h"
#include "dbf/Format.h"
#include "dbf/Table.h"

namespace tavrin::dbf {

PackNames PackNamesFor(const std::string& tableName) {
  PackNames n;
  n.table = File::Resolve(tableName);
  n.memo = File::Resolve(ReplaceExtension(tableName, "DBT"));
  n.newTable = ReplaceExtension(n.table, "$DB");
  n.newMemo = ReplaceExtension(n.memo, "$$$");
  n.mark = ReplaceExtension(n.table, "$PK");
  return n;
}

bool PackIsDue(const PackNames& names) { return File::Exists(names.mark); }

namespace {

// Renames `from` over `to` unless that was done already.
int MoveIfThere(const std::string& from, const std::string& to) {
  const int code = File::Rename(from, to);
  return code == err::kFileNotFound ? 0 : code;
}

int SyncDirs(const PackNames& n) {
  int code = File::SyncDirOf(n.table);
  if (code == 0 && n.memo.substr(0, n.memo.rfind('/')) != n.table.substr(0, n.table.rfind('/'))) {
    code = File::SyncDirOf(n.memo);
  }
  return code;
}

}  // namespace

int FinishPack(const PackNames& n) {
  int code = MoveIfThere(n.newTable, n.table);
  if (code == 0) code = MoveIfThere(n.newMemo, n.memo);
  if (code == 0) code = SyncDirs(n);
  if (code == 0) {
    code = File::Remove(n.mark);
    if (code == err::kFileNotFound) code = 0;
  }
  return code;
}

void RemovePackLeftovers(const PackNames& n) {
  if (PackIsDue(n)) return;
  File::Remove(n.newMemo);
  File::Remove(n.newTable);
}

int CommitPack(const PackNames& n, File& newTable, File* newMemo, bool* committed) {
  *committed = false;
  std::unique_ptr<File> mark;
  int code = File::Create(n.mark, &mark);
  mark.reset();
  if (code == 0) code = SyncDirs(n);
  if (code != 0) {
    File::Remove(n.mark);
    return code;
  }
  *committed = true;
  code = newTable.MoveTo(n.table);
  if (code != 0) {  // nothing has moved yet: without its mark the pack is undone
    *committed = File::Remove(n.mark) != 0;
    return code;
  }
  if (newMemo != nullptr) code = newMemo->MoveTo(n.memo);
  if (code == 0) code = SyncDirs(n);
  if (code == 0) code = File::Remove(n.mark);
  return code;
}

int ResolveDuePack(const std::string& tableName, bool write, bool lock, std::string* readTable,
                   std::string* readMemo) {
  readTable->clear();
  readMemo->clear();
  const PackNames n = PackNamesFor(tableName);
  if (!PackIsDue(n)) return 0;
  if (!write) {
    if (File::Exists(n.newTable)) *readTable = n.newTable;
    if (File::Exists(n.newMemo)) *readMemo = n.newMemo;
    return 0;
  }
  std::unique_ptr<File> f;
  int code = File::Open(n.table, true, &f);
  if (code == 0) code = TakeShareLock(*f, OpenMode{true, true, lock});
  if (code == 0 && PackIsDue(n)) code = FinishPack(n);
  return code;
}

}  // namespace tavrin::dbf
