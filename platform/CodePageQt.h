// The widget boundary of the program's text: Windows-1252 bytes <-> QString.
//
// Widgets hold QString; everything behind them holds Windows-1252 bytes in std::string. These two
// functions are the only place where that conversion happens. Pure, any thread.
#pragma once

#include <QString>
#include <string>

namespace tavrin::platform {

QString AnsiToQString(const std::string& ansi);
std::string QStringToAnsi(const QString& text);

}  // namespace tavrin::platform
