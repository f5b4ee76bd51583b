#include "platform/PrivateFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace tavrin::platform {
namespace {

std::string Reason(int error) { return std::generic_category().message(error); }

// Moves `from` to `to` unless `to` exists. Some file systems cannot rename without replacing; a
// hard link does the same there.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> MakePrivateFolder(const std::string& dir) {
  if (dir.empty()) return "No folder was named.";
  std::size_t at = dir[0] == '/' ? 1 : 0;
  while (true) {
    const std::size_t slash = dir.find('/', at);
    const std::string part = dir.substr(0, slash);
    const bool last = slash == std::string::npos || slash + 1 == dir.size();
    if (!part.empty() && ::mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST)
      return "The folder " + part + " could not be made: " + Reason(errno) + ".";
    if (last) break;
    at = slash + 1;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0)
    return "The folder " + dir + " could not be read: " + Reason(errno) + ".";
  if (!S_ISDIR(st.st_mode)) return dir + " is not a folder.";
  if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0)
    return "The folder " + dir + " could not be made private: " + Reason(errno) + ".";
  return std::nullopt;
}

NewFile WriteNewFile(const std::string& path, const std::function<std::string()>& next,
                     std::string* error) {
  std::string temp = FolderOf(path) + "/.tavrin-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // 0600 by definition
  auto fail = [&](const std::string& what, int code) {
    if (error != nullptr)
      *error = "The file " + path + " could not be " + what + ": " + Reason(code) + ".";
    return NewFile::kFailed;
  };
  if (fd < 0) return fail("made", errno);
  int problem = 0;
  for (std::string chunk = next(); !chunk.empty() && problem == 0; chunk = next())
    if (!WriteAll(fd, chunk)) problem = errno != 0 ? errno : EIO;
  if (problem == 0 && ::fsync(fd) != 0) problem = errno;
  if (::close(fd) != 0 && problem == 0) problem = errno;
  if (problem == 0) problem = RenameNoReplace(temp, path);
  if (problem != 0) {
    ::unlink(temp.c_str());
    if (problem == EEXIST) return NewFile::kExists;
    return fail("written", problem);
  }
  const int dirFd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return NewFile::kWritten;
}

}  // namespace tavrin::platform
