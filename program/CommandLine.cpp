#include "program/CommandLine.h"

#include <array>
#include <string_view>

namespace tavrin::app {

namespace {

// QApplication's options that take a value, and those that stand alone.
constexpr std::array<std::string_view, 16> kQtValueOptions = {
    "-platform",    "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry",
    "-qwindowicon", "-qwindowtitle",       "-session",       "-style",  "-stylesheet",
    "-display",     "-geometry",           "-title",         "-name",   "-qmljsdebugger",
    "-font"};
constexpr std::array<std::string_view, 5> kQtFlags = {"-reverse", "-widgetcount", "-sync",
                                                      "-nograb", "-dograb"};

bool IsIn(std::string_view arg, auto& list) {
  for (std::string_view option : list)
    if (arg == option) return true;
  return false;
}

}  // namespace

std::string UsageText() {
  return "Usage: tavrin [--help] [--version] [TABLE.dbf]: writes one message and sends it to every "
         "recipient of a dBASE table (TABLE.dbf, else the one in the settings); see the README.\n";
}

CommandLine ParseCommandLine(int argc, const char* const argv[]) {
  CommandLine line;
  const auto fail = [&](std::string error) {
    line.action = CommandLine::Action::kUsageError;
    line.error = std::move(error);
    return line;
  };
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--help") {
      line.action = CommandLine::Action::kHelp;
      return line;
    } else if (!optionsEnded && arg == "--version") {
      line.action = CommandLine::Action::kVersion;
      return line;
    } else if (!optionsEnded && IsIn(arg, kQtValueOptions)) {
      if (++i >= argc) return fail(std::string(arg) + " needs a value");
    } else if (!optionsEnded && IsIn(arg, kQtFlags)) {
      // QApplication takes it
    } else if (!optionsEnded && arg.size() > 1 && arg.front() == '-') {
      return fail("unknown option " + std::string(arg));
    } else if (arg.empty()) {
      return fail("the table name is empty");
    } else if (!line.table.empty()) {
      return fail("only one table can be named");
    } else {
      line.table = std::string(arg);
    }
  }
  return line;
}

}  // namespace tavrin::app
