#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace tavrin::platform {

std::string NativePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

std::string ExecutableDir() { return NativePath(QCoreApplication::applicationDirPath()); }

std::string TempDir() { return NativePath(QDir::tempPath()); }

std::string HomeDir() { return NativePath(QDir::homePath()); }

}  // namespace tavrin::platform
