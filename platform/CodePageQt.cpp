#include "platform/CodePageQt.h"

#include "platform/CodePage.h"

namespace tavrin::platform {

QString AnsiToQString(const std::string& ansi) { return QString::fromStdString(AnsiToUtf8(ansi)); }

std::string QStringToAnsi(const QString& text) { return Utf8ToAnsi(text.toStdString()); }

}  // namespace tavrin::platform
