#include "send/LogFiles.h"

#include <cstdlib>

#include "platform/PrivateFile.h"

namespace tavrin::app {
namespace {

constexpr int kMostNumbers = 1000;
constexpr std::size_t kBlockBytes = 1
                                    << 20;  // written at a time, so a long log is never held twice

std::string Stamp(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "send-%Y-%m-%d-%H%M%S", &local);
  return text;
}

}  // namespace

std::string LogsFolder(const std::string& homeDir) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string base =
      xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : homeDir + "/.local/share";
  return base + "/Tavrin/logs";
}

SavedLog SaveLogFiles(const TSendLog& log, const std::string& folder, std::time_t when) {
  SavedLog saved;
  if (const auto problem = platform::MakePrivateFolder(folder)) {
    saved.error = *problem;
    return saved;
  }
  // The text claims the name; the CSV follows it under the same one.
  const std::string stem = folder + "/" + Stamp(when);
  std::string chosen;
  for (int n = 1; n <= kMostNumbers && chosen.empty(); ++n) {
    const std::string name = n == 1 ? stem : stem + "-" + std::to_string(n);
    std::size_t line = 0;
    auto text = [&]() -> std::string {
      std::string block;
      for (; line < log.LineCount() && block.size() < kBlockBytes; ++line)
        block += log.Line(line) + '\n';
      return block;
    };
    switch (platform::WriteNewFile(name + ".txt", text, &saved.error)) {
      case platform::NewFile::kWritten: chosen = name; break;
      case platform::NewFile::kExists: continue;
      case platform::NewFile::kFailed: return saved;
    }
  }
  if (chosen.empty()) {
    saved.error = "Too many logs are named " + stem + ".";
    return saved;
  }
  saved.textPath = chosen + ".txt";
  std::size_t row = 0;
  auto csv = [&]() -> std::string {
    std::string block;
    while (row <= log.Entries().size() && block.size() < kBlockBytes) block += log.CsvRow(row++);
    return block;
  };
  if (platform::WriteNewFile(chosen + ".csv", csv, &saved.error) == platform::NewFile::kWritten)
    saved.csvPath = chosen + ".csv";
  else if (saved.error.empty())
    saved.error = "The file " + chosen + ".csv was there already.";
  return saved;
}

std::string SavedLogText(const SavedLog& saved) {
  if (saved.textPath.empty()) return "This log could not be saved. " + saved.error;
  if (saved.csvPath.empty()) return "This log is saved as " + saved.textPath + ". " + saved.error;
  return "This log is saved as " + saved.textPath + ", and as CSV beside it.";
}

}  // namespace tavrin::app
