#include "program/RecipientsImport.h"

#include <QList>
#include <QString>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <unordered_set>

#include "program/RecipientsFile.h"
#include "program/Settings.h"
#include "csv/Csv.h"
#include "csv/CsvSniff.h"
#include "csv/TextCodec.h"
#include "dbf/Engine.h"
#include "dbf/Memo.h"
#include "platform/Trim.h"

namespace tavrin::app {

using tools::CodePage;

namespace {

constexpr std::size_t kHeadBytes = 64 * 1024;  // what the separator is judged from
constexpr std::int64_t kHeaderEvery = 1000;    // rows between header updates, for other readers
constexpr std::int64_t kProgressEvery = 256;   // rows between progress calls
constexpr std::size_t kNotesKept = 10;
// More columns than any address list has; the dialog's table and choices would take minutes to build.
constexpr std::size_t kMostColumns = 1000;
constexpr int kLockTries = 20;  // the append lock, 100 ms apart

std::string Folded(const std::string& utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()))
      .toCaseFolded()
      .toStdString();
}

std::string NameKey(const std::string& utf8) {
  QString s = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())).toCaseFolded();
  s.remove(QChar(u' ')).remove(QChar(u'-')).remove(QChar(u'_')).remove(QChar(u'\t'));
  return s.toStdString();
}

bool BlankRow(const std::vector<std::string>& cells) {
  for (const std::string& c : cells)
    if (!platform::TrimControls(c).empty()) return false;
  return true;
}

std::ifstream OpenCsv(const std::string& csvPath) {
  // A pipe or a device would block the window while waiting for a writer, or never end.
  std::error_code error;
  const auto status = std::filesystem::status(csvPath, error);
  if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    throw RecipientsError(SystemTextToAnsi(csvPath) + " is not a file.");
  std::ifstream in(csvPath, std::ios::binary);
  if (!in) throw RecipientsError(SystemTextToAnsi(csvPath) + " cannot be read.");
  return in;
}

// The layout of the file: its encoding (the whole file is looked at) and its separator.
void FindLayout(std::istream& in, CsvPreview* layout) {
  layout->utf8 = tools::IsUtf8Stream(in);
  in.clear();
  in.seekg(0);
  std::string head(kHeadBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  layout->separator = tools::DetectSeparator(head);
  in.clear();
  in.seekg(0);
}

std::string CellUtf8(const CsvPreview& layout, const std::string& cell) {
  return layout.utf8 ? cell : tools::ToUtf8(cell, CodePage::Ansi1252);
}

void StoreValue(int n, const tools::ImportValue& v) {
  switch (dbf::FieldType(n)) {
    case 'C': dbf::SetString(n, v.text); break;
    case 'M':
      if (!v.text.empty()) dbf::WriteMemo(n, v.text);
      break;
    case 'L': dbf::SetLogical(n, v.truth); break;
    default: dbf::SetStoredText(n, v.text); break;  // N, F and D as checked, byte for byte
  }
}

// A character quoted with its code point, since the report's 8-bit text may not show it.
std::string CharacterName(const std::string& utf8) {
  const QString c = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  const char32_t point = c.isEmpty() ? 0 : c.toUcs4().value(0);
  return "\"" + utf8 + "\" (U+" +
         QString::number(point, 16).toUpper().rightJustified(4, u'0').toStdString() + ")";
}

struct Row {
  std::vector<std::optional<tools::ImportValue>> values;
  std::string address;  // folded, for the duplicate check
};

}  // namespace

CsvPreview PreviewCsv(const std::string& csvPath, int rows) {
  std::ifstream in = OpenCsv(csvPath);
  char mark[2] = {};
  in.read(mark, 2);
  // A spreadsheet's "Unicode text": every other byte a NUL, which no 8-bit reading makes sense of.
  if (in.gcount() == 2 &&
      ((mark[0] == '\xFF' && mark[1] == '\xFE') || (mark[0] == '\xFE' && mark[1] == '\xFF')))
    throw RecipientsError(SystemTextToAnsi(csvPath) +
                          " is UTF-16 text; save it as CSV in UTF-8 and import that.");
  in.clear();
  in.seekg(0);
  CsvPreview preview;
  FindLayout(in, &preview);
  try {
    tools::CsvReader reader(in, preview.separator);
    std::vector<std::string> cells;
    if (!reader.Next(cells) || BlankRow(cells))
      throw RecipientsError(SystemTextToAnsi(csvPath) + " has no header row naming its columns.");
    if (cells.size() > kMostColumns)
      throw RecipientsError(SystemTextToAnsi(csvPath) + " has " + std::to_string(cells.size()) +
                            " columns; a file of more than " + std::to_string(kMostColumns) +
                            " columns cannot be imported.");
    for (const std::string& c : cells)
      preview.header.push_back(std::string(platform::TrimControls(CellUtf8(preview, c))));
    while (static_cast<int>(preview.rows.size()) < rows && reader.Next(cells)) {
      if (BlankRow(cells)) continue;
      // Cells beyond the header's columns are shown, up to the limit; they can feed no field past it.
      if (cells.size() > kMostColumns) cells.resize(kMostColumns);
      std::vector<std::string> row;
      for (const std::string& c : cells) row.push_back(CellUtf8(preview, c));
      preview.rows.push_back(std::move(row));
    }
  } catch (const tools::CsvError& e) {
    throw RecipientsError(SystemTextToAnsi(csvPath) + ": " + e.what());
  }
  return preview;
}

std::vector<TableField> TableFields(const std::string& tablePath) {
  OwnTableArea area(tablePath, OwnTableArea::Mode::kRead);
  std::vector<TableField> fields;
  const CodePage page = dbf::TableTextPage();
  for (int n = 1; n <= dbf::FieldCount(); ++n)
    fields.push_back({tools::ToUtf8(dbf::Field(n), page),
                      {dbf::FieldType(n), dbf::FieldLen(n), dbf::FieldDec(n)}});
  return fields;
}

int ColumnNamed(const std::vector<std::string>& header, const std::string& field) {
  const std::string wanted = NameKey(field);
  if (wanted.empty()) return -1;
  for (std::size_t i = 0; i < header.size(); ++i)
    if (NameKey(header[i]) == wanted) return static_cast<int>(i);
  for (std::size_t i = 0; i < header.size(); ++i)
    if (NameKey(header[i]).find(wanted) != std::string::npos) return static_cast<int>(i);
  return -1;
}

ImportReport ImportRecipients(const std::string& tablePath, const std::string& csvPath,
                              const CsvPreview& layout, const std::vector<int>& columnOfField,
                              const std::string& emailField, const ImportProgress& progress) {
  std::ifstream in = OpenCsv(csvPath);
  std::error_code error;
  const std::uint64_t total = std::filesystem::file_size(csvPath, error);
  OwnTableArea area(tablePath, OwnTableArea::Mode::kShared);
  const int fieldCount = dbf::FieldCount();
  const CodePage page = dbf::TableTextPage();  // the text's page, as the table's header names it

  int emailNo = 0;
  for (int n = 1; n <= fieldCount && emailNo == 0; ++n)
    if (NameKey(tools::ToUtf8(dbf::Field(n), page)) == NameKey(emailField)) emailNo = n;
  bool locked = false;
  for (int i = 0; i < kLockTries && !(locked = dbf::ALock()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!locked)
    throw RecipientsError("Another program is changing the table " + SystemTextToAnsi(tablePath) +
                          " now; try the import again later.");
  // The addresses are read under the lock: what another program appended while this one waited
  // for it counts as already in the table.
  std::unordered_set<std::string> known;
  if (emailNo != 0) {
    for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1))
      if (!dbf::Deleted())
        known.insert(Folded(std::string(
            platform::TrimControls(tools::ToUtf8(dbf::Peek(emailNo, dbf::RecNo()), page)))));
  }

  ImportReport report;
  const auto note = [&](int line, const std::string& why) {
    if (report.notes.size() < kNotesKept)
      report.notes.push_back("line " + std::to_string(line) + ": " + why);
  };
  std::int64_t rowsRead = 0;
  try {
    tools::CsvReader reader(in, layout.separator);
    std::vector<std::string> cells;
    reader.Next(cells);  // the header
    while (reader.Next(cells)) {
      if (progress && ++rowsRead % kProgressEvery == 0) {
        const std::streamoff at = in.tellg();
        if (!progress(at < 0 ? total : static_cast<std::uint64_t>(at), total)) {
          report.stopped = true;
          break;
        }
      }
      if (BlankRow(cells)) {
        ++report.blank;
        continue;
      }
      const int line = reader.RowLine();
      const auto cell = [&](int field) -> std::string {
        const int column =
            field - 1 < static_cast<int>(columnOfField.size()) ? columnOfField[field - 1] : -1;
        if (column < 0 || column >= static_cast<int>(cells.size())) return {};
        return std::string(platform::TrimControls(CellUtf8(layout, cells[column])));
      };
      Row row;
      if (emailNo != 0) {
        const std::string address = cell(emailNo);
        bool lossy = false;
        tools::FromUtf8(address, page, &lossy);
        if (address.empty() || lossy || !IsPlainAddress(address) ||
            address.find('@') == std::string::npos) {
          ++report.badAddress;
          note(line, address.empty() ? "no address" : "\"" + address + "\" is not a plain address");
          continue;
        }
        row.address = Folded(address);
        if (known.count(row.address) != 0) {
          ++report.duplicate;
          note(line, address + " is already in the table");
          continue;
        }
      }
      row.values.resize(static_cast<std::size_t>(fieldCount));
      bool fits = true;
      for (int n = 1; n <= fieldCount && fits; ++n) {
        const int column =
            n - 1 < static_cast<int>(columnOfField.size()) ? columnOfField[n - 1] : -1;
        if (column < 0) continue;
        bool lossy = false;
        const std::string text = cell(n);
        const std::string stored = tools::FromUtf8(text, page, &lossy);
        try {
          if (text.find('\0') !=
              std::string::npos)  // a damaged file's; it would end the text for many readers
            throw tools::ValueError("the text holds a NUL byte");
          if (lossy)  // a '?' in its place would lose it without a word: the row stays out
            throw tools::ValueError(CharacterName(tools::FirstUnheld(text, page)) +
                                    " cannot be stored in the table's code page (" +
                                    std::to_string(platform::PageNumber(page)) + ")");
          row.values[n - 1] = tools::ConvertImportValue(
              {dbf::FieldType(n), dbf::FieldLen(n), dbf::FieldDec(n)}, stored);
        } catch (const tools::ValueError& e) {
          ++report.badValue;
          note(line, tools::ToUtf8(dbf::Field(n), page) + ": " + e.what());
          fits = false;
        }
      }
      if (!fits) continue;
      dbf::ClearRecord();
      for (int n = 1; n <= fieldCount; ++n)
        if (row.values[n - 1]) StoreValue(n, *row.values[n - 1]);
      dbf::Append();
      if (!row.address.empty()) known.insert(row.address);
      if (++report.appended % kHeaderEvery == 0) dbf::UpdateHeader();
    }
  } catch (const tools::CsvError& e) {
    report.failure = e.what();
  } catch (const std::exception& e) {
    report.failure = e.what();
    for (std::size_t p; (p = report.failure.find("\r\n")) != std::string::npos;)
      report.failure.replace(p, 2, " ");
  }
  try {
    dbf::Unlock();
  } catch (const std::exception&) {
    // Closing the area below releases the lock all the same.
  }
  if (progress && !report.stopped) progress(total, total);
  return report;
}

std::string ImportReport::Text(const std::string& tableName) const {
  const auto count = [](std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::string text =
      count(appended, "recipient was", "recipients were") + " appended to " + tableName + ".";
  if (Skipped() > 0) {
    text += "\n\n" + count(Skipped(), "row was", "rows were") + " skipped:";
    if (badAddress > 0)
      text += "\n- " + std::to_string(badAddress) + " with an address that is empty or not plain";
    if (duplicate > 0)
      text += "\n- " + std::to_string(duplicate) + " with an address already in the table";
    if (badValue > 0)
      text += "\n- " + std::to_string(badValue) + " with a value its field cannot hold";
    text += "\n\nThe first of them:";
    for (const std::string& n : notes) text += "\n" + n;
  }
  if (blank > 0) text += "\n\n" + count(blank, "blank row was", "blank rows were") + " left out.";
  if (stopped) text += "\n\nThe import was stopped; the rows appended before stay in the table.";
  if (!failure.empty())
    text +=
        "\n\nThe import ended early: " + failure + "\nThe rows appended before stay in the table.";
  return SettingToAnsi(text);
}

}  // namespace tavrin::app
