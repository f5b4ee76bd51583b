// CSV text as the command-line tools read and write it (RFC 4180: fields separated by commas, or
// another separator, quoted when they hold the separator, a quote or a line break, quotes doubled
// inside quotes). CsvReader streams its input through a fixed buffer, so memory does not grow with
// the file, and reports malformed input as CsvError with the line it starts on. Plain values, any
// thread.
#pragma once

#include <istream>
#include <memory>
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
  // Reads from `in`, which must outlive the reader. A UTF-8 byte order mark at the start is skipped.
  explicit CsvReader(std::istream& in, char separator = ',');
  // Reads a text of its own.
  explicit CsvReader(std::string_view text, char separator = ',');

  // Reads the next row into `row`; false at the end of the text. Rows end at LF or CR LF (a line
  // break inside quotes belongs to the field); an empty last line is no row.
  // Throws CsvError for an unterminated quote or text after a closing quote, and when the input
  // cannot be read.
  bool Next(std::vector<std::string>& row);

  // Line number (1-based) on which the row last returned by Next started.
  int RowLine() const { return row_line_; }

 private:
  int Peek(std::size_t ahead = 0);  // the byte `ahead` places on, -1 at the end
  void Skip(std::size_t n = 1) { pos_ += n; }
  std::string ReadQuoted();
  std::string ReadPlain();

  std::unique_ptr<std::istream> own_;
  std::istream& in_;
  char sep_;
  std::string buf_;
  std::size_t pos_ = 0;
  int line_ = 1;
  int row_line_ = 0;
};

// One CSV row ending in CR LF; fields are quoted only when they need it.
std::string CsvRow(const std::vector<std::string>& fields);

}  // namespace tavrin::tools
