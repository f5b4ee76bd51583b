// Appending the rows of a CSV file from elsewhere (a spreadsheet, an address book) to a recipients
// table, as File > Import Recipients does it.
//
// PreviewCsv finds the separator and the text's encoding (UTF-8 with or without a byte order mark,
// else Windows-1252), and reads the header and the first rows for the user to map CSV columns to
// fields. ImportRecipients then appends row by row under the table's append lock, skipping blank
// rows, rows whose address is empty, not a plain address or already in the table (or earlier in the
// file), and rows with a value that does not fit its field (too long, or holding a character the
// table's code page lacks), and reports each kind. Text is stored in the code page the table's
// header names. A stop asked
// for by the progress callback, a failure or a kill keeps what was appended so far. Memory stays the
// same for any file size (apart from the set of addresses). GUI thread (the engine's thread).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "csv/FieldValues.h"

namespace tavrin::app {

struct CsvPreview {
  char separator = ',';
  bool utf8 = true;                            // else Windows-1252
  std::vector<std::string> header;             // UTF-8
  std::vector<std::vector<std::string>> rows;  // the first rows after the header, UTF-8
};

// Reads what the dialog shows; throws RecipientsError when the file cannot be read, is empty, is
// UTF-16, is not CSV or has more than 1,000 columns (a row's cells past that are left out of the
// preview).
CsvPreview PreviewCsv(const std::string& csvPath, int rows = 8);

struct TableField {
  std::string name;  // UTF-8
  tools::FieldShape shape;
};
// The fields of the table at `tablePath`; throws RecipientsError.
std::vector<TableField> TableFields(const std::string& tablePath);

// The CSV column whose header names `field` (ignoring case, blanks, '-' and '_', so "E-mail" names
// EMAIL), else the first whose header holds the name ("Full name" for NAME); -1 when none does.
int ColumnNamed(const std::vector<std::string>& header, const std::string& field);

struct ImportReport {
  std::int64_t appended = 0;
  std::int64_t blank = 0;
  std::int64_t badAddress = 0;     // empty or not a plain address
  std::int64_t duplicate = 0;      // already in the table, or earlier in the file
  std::int64_t badValue = 0;       // a value its field cannot hold (in length, form or code page)
  std::vector<std::string> notes;  // the first few skipped rows: "line N: why"
  bool stopped = false;            // the user stopped it
  std::string failure;             // what ended it early, if anything did

  std::int64_t Skipped() const { return badAddress + duplicate + badValue; }
  // The report shown at the end (8-bit text).
  std::string Text(const std::string& tableName) const;
};

// Called now and then with the bytes read so far and the file's size; answering false stops.
using ImportProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Appends the rows of `csvPath` (read as `layout` says) to the table at `tablePath`.
// `columnOfField[i]` is the CSV column feeding field i+1, or -1. `emailField` names the address
// field (no address checks when the table has no such field). Throws RecipientsError only when
// nothing could start (file unreadable, table locked); later failures end up in the report.
ImportReport ImportRecipients(const std::string& tablePath, const std::string& csvPath,
                              const CsvPreview& layout, const std::vector<int>& columnOfField,
                              const std::string& emailField, const ImportProgress& progress);

}  // namespace tavrin::app
