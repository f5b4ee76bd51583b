#include "tools/CsvImport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <vector>

#include "dbf/Engine.h"
#include "dbf/Memo.h"
#include "csv/Csv.h"
#include "csv/FieldValues.h"

namespace tavrin::tools {
namespace {

constexpr std::size_t kHeaderEvery = 10000;  // rows between header updates

// One CSV row checked and converted, ready to be stored: per field, its value (nothing = blank).
using PreparedRow = std::vector<std::optional<ImportValue>>;

struct Pass {
  std::size_t rows = 0;
  std::size_t blank = 0;
  std::string lossy;      // where a character first had no counterpart in the table's code page
  std::string lossyChar;  // that character, in UTF-8
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string CellUtf8(const Options& o, const std::string& cell, const std::string& where) {
  if (o.csvCp1252) return ToUtf8(cell, CodePage::Ansi1252);
  if (!IsValidUtf8(cell)) {
    throw ToolError(where +
                    ": the text is not valid UTF-8; for a file saved as Windows-1252 (as "
                    "spreadsheets often do), use --csv-encoding cp1252");
  }
  return cell;
}

// One CSV column: the field it fills, that field's shape and its name for messages.
struct Column {
  int field = 0;
  FieldShape shape;
  std::string name;
};

// Maps the CSV header to fields (case-insensitive); an unknown or repeated column fails.
std::vector<Column> MapColumns(const Options& o, const std::vector<std::string>& header,
                               const std::string& csv, CodePage page) {
  if (o.separator == ',' && header.size() == 1 && header[0].find(';') != std::string::npos) {
    throw ToolError(csv +
                    ": the header holds \";\" and no \",\"; if the file is separated by "
                    "semicolons, use --separator ';'");
  }
  std::vector<Column> map;
  for (const std::string& cell : header) {
    const std::string name = CellUtf8(o, cell, csv + ", line 1");
    int found = 0;
    for (int n = 1; n <= dbf::FieldCount() && found == 0; ++n) {
      if (Upper(ToUtf8(dbf::Field(n), page)) == Upper(name)) found = n;
    }
    if (found == 0)
      throw ToolError(csv + ": unknown column \"" + name + "\" (no such field in the table)");
    for (const Column& m : map) {
      if (m.field == found) throw ToolError(csv + ": column \"" + name + "\" appears twice");
    }
    map.push_back({found,
                   {dbf::FieldType(found), dbf::FieldLen(found), dbf::FieldDec(found)},
                   ToUtf8(dbf::Field(found), page)});
  }
  return map;
}

bool BlankRow(const std::vector<std::string>& cells) {
  for (const std::string& c : cells) {
    for (char ch : c) {
      if (static_cast<unsigned char>(ch) > ' ') return false;
    }
  }
  return true;
}

PreparedRow PrepareRow(const Options& o, const std::vector<std::string>& cells,
                       const std::vector<Column>& columns, const std::string& csv, int lineNo,
                       CodePage page, Pass* pass) {
  const auto line = [&] { return csv + ", line " + std::to_string(lineNo); };
  if (cells.size() > columns.size()) throw ToolError(line() + ": more cells than columns");
  PreparedRow row(static_cast<std::size_t>(dbf::FieldCount()));
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const Column& col = columns[c];
    const auto where = [&] { return line() + ", column " + col.name; };
    const bool ascii =
        std::all_of(cells[c].begin(), cells[c].end(), [](char ch) { return ch >= 0; });
    bool lossy = false;
    const std::string utf8 = ascii ? cells[c] : CellUtf8(o, cells[c], where());
    const std::string stored = ascii ? cells[c] : FromUtf8(utf8, page, &lossy);
    if (lossy && pass->lossy.empty()) {
      pass->lossy = where();
      pass->lossyChar = FirstUnheld(utf8, page);
    }
    try {
      row[col.field - 1] = ConvertImportValue(col.shape, stored);
    } catch (const ValueError& e) {
      throw ToolError(where() + ": " + e.what());
    }
  }
  return row;
}

// Reads every row of `in`; hands each prepared row to `store` when there is one.
void ReadRows(const Options& o, std::istream& in, const std::string& csv, CodePage page, Pass* pass,
              const std::function<void(const PreparedRow&)>& store) {
  try {
    CsvReader reader(in, o.separator);
    std::vector<std::string> cells;
    if (!reader.Next(cells)) throw ToolError(csv + ": no header row");
    const std::vector<Column> columns = MapColumns(o, cells, csv, page);
    while (reader.Next(cells)) {
      if (BlankRow(cells)) {
        ++pass->blank;
        continue;
      }
      const PreparedRow row = PrepareRow(o, cells, columns, csv, reader.RowLine(), page, pass);
      ++pass->rows;
      if (store) store(row);
    }
  } catch (const CsvError& e) {
    throw ToolError(csv + ": " + e.what());
  }
}

void StoreValue(int n, const ImportValue& v) {
  switch (dbf::FieldType(n)) {
    case 'C': dbf::SetString(n, v.text); break;
    case 'M':
      if (!v.text.empty()) dbf::WriteMemo(n, v.text);
      break;
    case 'L': dbf::SetLogical(n, v.truth); break;
    case 'D': dbf::SetString(n, StoredDateToText(v.text)); break;
    default: dbf::SetStoredText(n, v.text); break;  // numbers as checked, digit for digit
  }
}

void AppendRow(const PreparedRow& row) {
  dbf::ClearRecord();
  for (int n = 1; n <= static_cast<int>(row.size()); ++n) {
    if (row[n - 1]) StoreValue(n, *row[n - 1]);
  }
  dbf::Append();
}

}  // namespace

void ImportCsv(const Options& o, const std::string& csvPath) {
  std::ifstream in(csvPath, std::ios::binary);
  if (!in) throw ToolError("cannot read " + csvPath);
  const CodePage page = TablePage(o);
  Pass check;
  ReadRows(o, in, csvPath, page, &check, nullptr);
  if (!check.lossy.empty() && !o.replace) {  // names in another script would be lost in a batch
    throw ToolError(check.lossy + ": \"" + check.lossyChar +
                    "\" cannot be stored in the table's code page (" +
                    std::to_string(TablePageNumber(o)) +
                    "); nothing was appended. Use --replace to store "
                    "such characters as '?', or a table made with --codepage for this text");
  }
  if (!check.lossy.empty()) {
    std::fprintf(stderr,
                 "dbftool: warning: %s (and maybe others): characters the table's code page "
                 "cannot hold were stored as '?'\n",
                 check.lossy.c_str());
  }
  in.clear();
  if (!in.seekg(0))
    throw ToolError(csvPath + " cannot be read a second time; give a file, not a pipe");
  if (!WithWait(o, [] { return dbf::ALock(); })) {
    throw ToolError(o.args[0] +
                    " is locked for appending by another program; try again later "
                    "(or use --wait SECONDS)");
  }
  Pass done;
  std::size_t appended = 0;
  try {
    ReadRows(o, in, csvPath, page, &done, [&](const PreparedRow& row) {
      AppendRow(row);
      if (++appended % kHeaderEvery == 0) dbf::UpdateHeader();  // still under the append lock
    });
  } catch (...) {
    std::fprintf(stderr, "dbftool: stopped after appending %zu of %zu rows\n", appended,
                 check.rows);
    throw;
  }
  dbf::Unlock();
  std::fprintf(stderr, "dbftool: %zu records appended", appended);
  if (check.blank > 0) std::fprintf(stderr, ", %zu blank rows skipped", check.blank);
  std::fprintf(stderr, "\n");
}

}  // namespace tavrin::tools
