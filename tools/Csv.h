// CSV text as the command-line tools read and write it (RFC 4180: fields separated by commas,
// quoted when they hold a comma, a quote or a line break, quotes doubled inside quotes).
// CsvReader walks a text it does not own (the text must outlive the reader) and reports
// malformed input as CsvError with the line it starts on. Plain values, any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::tools {

class CsvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CsvReader {
 public:
  // A UTF-8 byte order mark at the start of `text` is skipped.
  explicit CsvReader(std::string_view text);

  // Reads the next row into `row`; false at the end of the text. Rows end at LF or CR LF (a line
  // break inside quotes belongs to the field); an empty last line is no row.
  // Throws CsvError for an unterminated quote or text after a closing quote.
  bool Next(std::vector<std::string>& row);

  // Line number (1-based) on which the row last returned by Next started.
  int RowLine() const { return row_line_; }

 private:
  std::string ReadQuoted();
  std::string ReadPlain();

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
  int row_line_ = 0;
};

// One CSV row ending in CR LF; fields are quoted only when they need it.
std::string CsvRow(const std::vector<std::string>& fields);

}  // namespace tavrin::tools
