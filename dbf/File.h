// The engine's only door to the operating system: one open file (open, pread, pwrite, fstat,
// ftruncate, fsync, OFD byte-range locks) plus a few path calls (statvfs, unlink, rename, access).
//
// Every call answers 0 or an engine error code produced by the one errno mapper (MapErrno), so the
// engine never sees errno. A process-wide fault hook lets tests make any call fail with a chosen
// errno. A File owns its descriptor and closes it when destroyed. Single thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavrin::dbf {

// What a call was doing, for the errno mapper and the fault hook.
enum class FileOp {
  Open,
  Create,
  Read,
  Write,
  Size,
  Truncate,
  Sync,
  Lock,
  Unlock,
  Close,
  FreeSpace,
  Remove,
  Rename
};

// errno of a failed call -> engine code (2 not found, 3 path, 4 too many files, 5 access denied,
// 6 bad handle, 8 memory, 19 write-protected, 32 sharing, 33 lock, 100 read, 101 write ...).
int MapErrno(int err, FileOp op);

// Test seam: when set, runs before each OS call; a non-zero answer is taken as that call's errno.
using FileFaultHook = std::function<int(FileOp op, const std::string& path)>;
void SetFileFaultHook(FileFaultHook hook);

enum class LockKind { Read, Write };

// Today's local date (localtime_r); a test hook may pin it.
struct LocalDate {
  int year = 1970;
  int month = 1;
  int day = 1;
};
LocalDate Today();
void SetClockHook(std::function<LocalDate()> hook);

class File {
 public:
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file; `write` asks for read/write access.
  static int Open(const std::string& path, bool write, std::unique_ptr<File>* out);
  // Creates a file, or opens an existing one, for read/write. It does not truncate: the caller
  // truncates once it holds the locks that say nobody else is using the file.
  static int Create(const std::string& path, std::unique_ptr<File>* out);

  // Reads up to `len` bytes at `offset`; `*got` is what arrived (short only at end of file).
  int ReadAt(void* buf, std::size_t len, std::int64_t offset, std::size_t* got);
  // Writes all `len` bytes at `offset` (a short write is code 101).
  int WriteAt(const void* buf, std::size_t len, std::int64_t offset);
  int Size(std::int64_t* size);
  int Truncate(std::int64_t size);
  int Sync();
  // One attempt at an open-file-description lock; never waits. 0, or 33 when someone else holds
  // a conflicting lock (other codes for other failures).
  int TryLock(std::int64_t start, std::int64_t len, LockKind kind);
  int Unlock(std::int64_t start, std::int64_t len);

  const std::string& path() const { return path_; }

  // Renames the file to `to` (replacing what was there) and follows it under the new name.
  int MoveTo(const std::string& to);
  // Gives this file the permission bits of `other`.
  int CopyPermissions(const File& other);
  // Whether `path` names this very file now (it may have been renamed over since it was opened).
  bool IsAt(const std::string& path) const;

  static int FreeSpaceKb(const std::string& path, std::int64_t* kb);
  static int Remove(const std::string& path);
  static int Rename(const std::string& from, const std::string& to);
  static bool Exists(const std::string& path);
  // Flushes the directory that holds `path`, so renames and new names in it survive a power cut.
  static int SyncDirOf(const std::string& path);
  // `path` with every symbolic link resolved (itself when that fails), so a file replaced by
  // renaming is replaced where it really lives.
  static std::string Resolve(const std::string& path);
  // Absolute form of `path` (relative to the current directory), without touching the disk.
  static std::string Absolute(const std::string& path);

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

}  // namespace tavrin::dbf
