#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>

#include "platform/CodePageQt.h"

namespace tavrin::platform {

std::string ExecutableDir() { return QStringToAnsi(QCoreApplication::applicationDirPath()); }

std::string TempDir() { return QStringToAnsi(QDir::tempPath()); }

std::string HomeDir() { return QStringToAnsi(QDir::homePath()); }

}  // namespace tavrin::platform
