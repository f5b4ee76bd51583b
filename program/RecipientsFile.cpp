#include "program/RecipientsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "csv/Csv.h"
#include "csv/FieldValues.h"
#include "csv/TextCodec.h"
#include "dbf/Engine.h"
#include "dbf/Memo.h"
#include "platform/ProfileFile.h"

namespace tavrin::app {

namespace fs = std::filesystem;
using tools::CodePage;

namespace {

// The header's language byte for code page 437, as the sample table has it.
constexpr std::uint8_t kCodePage437 = 0x01;
constexpr std::size_t kExportChunk = 64 * 1024;

std::string EngineWords(const std::exception& e) {
  std::string text = e.what();
  for (std::size_t p; (p = text.find("\r\n")) != std::string::npos;) text.replace(p, 2, "\n");
  return text;
}

}  // namespace

OwnTableArea::OwnTableArea(const std::string& path, Mode mode) {
  previousArea_ = dbf::CurrentArea();
  raise_ = dbf::SetRaise(true);
  stop_ = dbf::SetStopOnError(true);
  dbf::EngineSettings& s = dbf::Settings();
  noTranslation_ = s.noTranslation;
  hideDeleted_ = s.hideDeleted;
  const dbf::OpenOverride override = s.openOverride;
  s.noTranslation = true;
  s.hideDeleted = true;
  s.openOverride = mode == Mode::kRead ? dbf::OpenOverride::ReadOnly : dbf::OpenOverride::None;
  try {
    dbf::Select(0);
    area_ = dbf::CurrentArea();
    dbf::UseFile(path);
    s.openOverride = override;
  } catch (const std::exception& e) {
    s.openOverride = override;
    Restore();
    throw RecipientsError(EngineWords(e));
  }
}

OwnTableArea::~OwnTableArea() { Restore(); }

void OwnTableArea::Restore() noexcept {
  if (area_ != 0) {
    try {
      dbf::Select(area_);
      dbf::UseFile("");
    } catch (const std::exception&) {
      // The area is given back either way; what was appended is in the file already.
    }
    area_ = 0;
  }
  try {
    dbf::Select(previousArea_);
  } catch (const std::exception&) {
  }
  dbf::Settings().noTranslation = noTranslation_;
  dbf::Settings().hideDeleted = hideDeleted_;
  dbf::SetStopOnError(stop_);
  dbf::SetRaise(raise_);
}

std::string MissingTablePrompt(const std::string& path) {
  return "The recipients table " + SystemTextToAnsi(path) +
         " does not exist. Create an empty one there, choose another, or quit?";
}

std::string NotATablePrompt(const std::string& path) {
  return "The recipients table " + SystemTextToAnsi(path) +
         " is not a file (a folder or a device has its name). Choose another table, or quit?";
}

std::string CreateRecipientsTable(const std::string& requested) {
  std::string path = requested;
  if (!fs::path(path).has_extension()) path += ".dbf";
  std::error_code error;
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty()) fs::create_directories(folder, error);
  // Claiming the name first makes the refusal of an existing file race-free.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int reason = errno;
    if (reason == EEXIST)
      throw RecipientsError(SystemTextToAnsi(path) +
                            " already exists; open it, or choose another name.");
    throw RecipientsError("The table " + SystemTextToAnsi(path) +
                          " could not be created: " + SystemTextToAnsi(std::strerror(reason)));
  }
  ::close(fd);
  const bool raise = dbf::SetRaise(true);
  const bool stop = dbf::SetStopOnError(true);
  try {
    dbf::CreateDbf(path, {{"NAME", 'C', 40, 0}, {"EMAIL", 'C', 60, 0}}, kCodePage437);
  } catch (const std::exception& e) {
    dbf::SetStopOnError(stop);
    dbf::SetRaise(raise);
    fs::remove(path, error);  // the empty file claimed above, never a table
    throw RecipientsError("The table " + SystemTextToAnsi(path) + " could not be created:\n" +
                          EngineWords(e));
  }
  dbf::SetStopOnError(stop);
  dbf::SetRaise(raise);
  return path;
}

void CheckTable(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error))
    throw RecipientsError(SystemTextToAnsi(path) + " is not a file.");
  try {
    OwnTableArea area(path, OwnTableArea::Mode::kRead);
  } catch (const RecipientsError& e) {
    throw RecipientsError(SystemTextToAnsi(path) + " cannot be read as a table:\n" + e.what());
  }
}

std::optional<std::int32_t> CountRecipients(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return std::nullopt;
  try {
    OwnTableArea area(path, OwnTableArea::Mode::kRead);
    std::int32_t count = 0;
    for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1))
      if (!dbf::Deleted()) ++count;
    return count;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::int64_t ExportRecipients(const std::string& tablePath, const std::string& csvPath) {
  QSaveFile out(QString::fromStdString(csvPath));
  // Unbuffered, with a buffer of our own: a write that fails (a full disk) says why. A short write
  // carries no reason, so the rest is written again until one fails with it.
  if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
    throw RecipientsError(SystemTextToAnsi(csvPath) + " cannot be written: " +
                          SystemTextToAnsi(out.errorString().toStdString()));
  std::string pending;
  const auto flush = [&] {
    for (std::size_t done = 0; done < pending.size();) {
      const qint64 n = out.write(pending.data() + done, static_cast<qint64>(pending.size() - done));
      if (n <= 0)
        throw RecipientsError(SystemTextToAnsi(csvPath) + " cannot be written: " +
                              SystemTextToAnsi(out.errorString().toStdString()));
      done += static_cast<std::size_t>(n);
    }
    pending.clear();
  };
  const auto write = [&](const std::string& text) {
    pending += text;
    if (pending.size() >= kExportChunk) flush();
  };
  std::int64_t written = 0;
  try {
    OwnTableArea area(tablePath, OwnTableArea::Mode::kRead);
    const CodePage page = dbf::TableTextPage();  // as the table's header names it
    std::vector<std::string> row;
    for (int n = 1; n <= dbf::FieldCount(); ++n) row.push_back(tools::ToUtf8(dbf::Field(n), page));
    write(tools::CsvRow(row));
    for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1)) {
      if (dbf::Deleted()) continue;
      row.clear();
      for (int n = 1; n <= dbf::FieldCount(); ++n) {
        const char type = dbf::FieldType(n);
        if (type == 'M') {
          row.push_back(tools::ToUtf8(dbf::ReadMemo(n), page));
        } else {
          row.push_back(tools::ExportText(type, tools::ToUtf8(dbf::Peek(n, dbf::RecNo()), page)));
        }
      }
      write(tools::CsvRow(row));
      ++written;
    }
  } catch (const RecipientsError&) {
    throw;
  } catch (const std::exception& e) {
    throw RecipientsError(SystemTextToAnsi(tablePath) + " could not be read:\n" + EngineWords(e));
  }
  flush();
  if (!out.commit())
    throw RecipientsError(SystemTextToAnsi(csvPath) + " cannot be written: " +
                          SystemTextToAnsi(out.errorString().toStdString()));
  return written;
}

bool UseRecipientsTable(const std::string& path, const SettingsPlaces& places,
                        platform::Dialogs& dialogs, bool remember) {
  std::error_code error;
  fs::path full = fs::absolute(path, error);
  if (error) full = path;
  Settings& s = AppSettings();
  s.Dir = full.parent_path().string();
  s.TableName = full.filename().string();
  if (!remember) return true;
  platform::ProfileFile ini(places.settingsFile);
  if (ini.WriteStrings({{"Options", "Dir", s.Dir}, {"Options", "TableName", s.TableName}}))
    return true;
  dialogs.ShowMessage("The settings could not be saved to " +
                      SystemTextToAnsi(places.settingsFile) + ": " + SystemTextToAnsi(ini.Error()));
  return false;
}

}  // namespace tavrin::app
