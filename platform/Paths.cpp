#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavrin::platform {

std::string NativePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

std::string ExecutableDir() { return NativePath(QCoreApplication::applicationDirPath()); }

std::string TempDir() { return NativePath(QDir::tempPath()); }

std::string HomeDir() { return NativePath(QDir::homePath()); }

std::string ConfigHomeDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  return HomeDir() + "/.config";
}

namespace {

bool InOurGroups(gid_t gid) {
  if (gid == getegid()) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = getgroups(count, groups.data());
  for (int i = 0; i < got; ++i)
    if (groups[static_cast<std::size_t>(i)] == gid) return true;
  return false;
}

}  // namespace

bool FolderWritable(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return false;  // also a read-only mount
  if (st.st_uid == geteuid()) return (st.st_mode & S_IWUSR) != 0;
  if (InOurGroups(st.st_gid)) return (st.st_mode & S_IWGRP) != 0;
  return (st.st_mode & S_IWOTH) != 0;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool MakeFolders(const std::string& dir) {
  return QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(dir))) &&
         QFileInfo(QFile::decodeName(QByteArray::fromStdString(dir))).isDir();
}

}  // namespace tavrin::platform
