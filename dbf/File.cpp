#include "dbf/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <climits>
#include <cstdlib>
#include <utility>

#include "dbf/Errors.h"

namespace tavrin::dbf {
namespace {

FileFaultHook& FaultHook() {
  static FileFaultHook hook;
  return hook;
}

// Runs the fault hook; answers the errno to fake, 0 to go on.
int Injected(FileOp op, const std::string& path) {
  const FileFaultHook& hook = FaultHook();
  return hook ? hook(op, path) : 0;
}

std::function<LocalDate()>& ClockHook() {
  static std::function<LocalDate()> hook;
  return hook;
}

}  // namespace

LocalDate Today() {
  if (ClockHook()) return ClockHook()();
  const std::time_t now = std::time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  return LocalDate{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

void SetClockHook(std::function<LocalDate()> hook) { ClockHook() = std::move(hook); }

int MapErrno(int err, FileOp op) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return err::kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return err::kPathNotFound;
    case EMFILE:
    case ENFILE: return err::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY: return (op == FileOp::Lock) ? err::kLockViolation : err::kAccessDenied;
    case EAGAIN:
      return (op == FileOp::Lock || op == FileOp::Unlock) ? err::kLockViolation
                                                          : err::kAccessDenied;
    case EBADF:  // writing through a read-only open is a refusal, not a broken handle
      return (op == FileOp::Write || op == FileOp::Truncate) ? err::kAccessDenied : err::kBadHandle;
    case ENOMEM: return err::kNotEnoughMemory;
    case EROFS: return err::kWriteProtected;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return err::kWriteError;
    case ENOLCK: return err::kNoLocksLeft;
    default: break;
  }
  switch (op) {
    case FileOp::Read:
    case FileOp::Size: return err::kReadError;
    case FileOp::Write:
    case FileOp::Truncate:
    case FileOp::Sync: return err::kWriteError;
    case FileOp::Lock:
    case FileOp::Unlock: return err::kLockViolation;
    default: return err::kGeneralFailure;
  }
}

void SetFileFaultHook(FileFaultHook hook) { FaultHook() = std::move(hook); }

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

int File::Open(const std::string& path, bool write, std::unique_ptr<File>* out) {
  if (int err = Injected(FileOp::Open, path)) return MapErrno(err, FileOp::Open);
  const int fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return MapErrno(errno, FileOp::Open);
  out->reset(new File(fd, path));
  return 0;
}

int File::Create(const std::string& path, std::unique_ptr<File>* out) {
  if (int err = Injected(FileOp::Create, path)) return MapErrno(err, FileOp::Create);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return MapErrno(errno, FileOp::Create);
  out->reset(new File(fd, path));
  return 0;
}

int File::ReadAt(void* buf, std::size_t len, std::int64_t offset, std::size_t* got) {
  *got = 0;
  if (int err = Injected(FileOp::Read, path_)) return MapErrno(err, FileOp::Read);
  auto* p = static_cast<char*>(buf);
  while (*got < len) {
    const ssize_t n = ::pread(fd_, p + *got, len - *got, offset + static_cast<std::int64_t>(*got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return MapErrno(errno, FileOp::Read);
    }
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return 0;
}

int File::WriteAt(const void* buf, std::size_t len, std::int64_t offset) {
  if (int err = Injected(FileOp::Write, path_)) return MapErrno(err, FileOp::Write);
  const auto* p = static_cast<const char*>(buf);
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = ::pwrite(fd_, p + done, len - done, offset + static_cast<std::int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return MapErrno(errno, FileOp::Write);
    }
    if (n == 0) return err::kWriteError;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int File::Size(std::int64_t* size) {
  if (int err = Injected(FileOp::Size, path_)) return MapErrno(err, FileOp::Size);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return MapErrno(errno, FileOp::Size);
  *size = st.st_size;
  return 0;
}

int File::Truncate(std::int64_t size) {
  if (int err = Injected(FileOp::Truncate, path_)) return MapErrno(err, FileOp::Truncate);
  if (::ftruncate(fd_, size) != 0) return MapErrno(errno, FileOp::Truncate);
  return 0;
}

int File::Sync() {
  if (int err = Injected(FileOp::Sync, path_)) return MapErrno(err, FileOp::Sync);
  if (::fsync(fd_) != 0) return MapErrno(errno, FileOp::Sync);
  return 0;
}

int File::TryLock(std::int64_t start, std::int64_t len, LockKind kind) {
  if (int err = Injected(FileOp::Lock, path_)) return MapErrno(err, FileOp::Lock);
  struct flock fl {};
  fl.l_type = (kind == LockKind::Read) ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  fl.l_pid = 0;  // required for open-file-description locks
  if (::fcntl(fd_, F_OFD_SETLK, &fl) != 0) return MapErrno(errno, FileOp::Lock);
  return 0;
}

int File::Unlock(std::int64_t start, std::int64_t len) {
  if (int err = Injected(FileOp::Unlock, path_)) return MapErrno(err, FileOp::Unlock);
  struct flock fl {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  fl.l_pid = 0;
  if (::fcntl(fd_, F_OFD_SETLK, &fl) != 0) return MapErrno(errno, FileOp::Unlock);
  return 0;
}

int File::FreeSpaceKb(const std::string& path, std::int64_t* kb) {
  if (int err = Injected(FileOp::FreeSpace, path)) return MapErrno(err, FileOp::FreeSpace);
  struct statvfs sv {};
  if (::statvfs(path.c_str(), &sv) != 0) return MapErrno(errno, FileOp::FreeSpace);
  const unsigned long long bytes =
      static_cast<unsigned long long>(sv.f_bavail) * static_cast<unsigned long long>(sv.f_frsize);
  const unsigned long long k = bytes / 1024;
  *kb = k > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(k);
  return 0;
}

int File::Remove(const std::string& path) {
  if (int err = Injected(FileOp::Remove, path)) return MapErrno(err, FileOp::Remove);
  if (::unlink(path.c_str()) != 0) return MapErrno(errno, FileOp::Remove);
  return 0;
}

int File::Rename(const std::string& from, const std::string& to) {
  if (int err = Injected(FileOp::Rename, from)) return MapErrno(err, FileOp::Rename);
  if (::rename(from.c_str(), to.c_str()) != 0) return MapErrno(errno, FileOp::Rename);
  return 0;
}

bool File::Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

int File::MoveTo(const std::string& to) {
  const int code = Rename(path_, to);
  if (code == 0) path_ = to;
  return code;
}

int File::CopyPermissions(const File& other) {
  struct stat st {};
  if (::fstat(other.fd_, &st) != 0) return MapErrno(errno, FileOp::Size);
  if (::fchmod(fd_, st.st_mode & 07777) != 0) return MapErrno(errno, FileOp::Create);
  return 0;
}

bool File::IsAt(const std::string& path) const {
  struct stat mine {
  }, named{};
  if (::fstat(fd_, &mine) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

int File::SyncDirOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (int err = Injected(FileOp::Sync, dir)) return MapErrno(err, FileOp::Sync);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return MapErrno(errno, FileOp::Sync);
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  // Some file systems cannot flush a directory; the rename is as safe there as they make it.
  return (rc == 0 || err == EINVAL || err == EROFS) ? 0 : MapErrno(err, FileOp::Sync);
}

std::string File::Resolve(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

std::string File::Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return path;
  std::string dir(buf);
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + path;
}

}  // namespace tavrin::dbf
