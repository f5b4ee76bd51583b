#include "tools/Csv.h"

namespace tavrin::tools {

CsvReader::CsvReader(std::string_view text) : text_(text) {
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
}

bool CsvReader::Next(std::vector<std::string>& row) {
  row.clear();
  if (pos_ >= text_.size()) return false;
  row_line_ = line_;
  for (;;) {
    const bool quoted = text_[pos_] == '"';
    row.push_back(quoted ? ReadQuoted() : ReadPlain());
    if (pos_ >= text_.size()) return true;
    const char c = text_[pos_];
    if (c == ',') {
      ++pos_;
      if (pos_ >= text_.size()) {  // a trailing comma ends the text with one empty field
        row.emplace_back();
        return true;
      }
      continue;
    }
    if (c == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ++pos_;
    if (c == '\n' || c == '\r') {
      ++pos_;
      ++line_;
      return true;
    }
    throw CsvError("text after the closing quote on line " + std::to_string(line_));
  }
}

std::string CsvReader::ReadQuoted() {
  const int start_line = line_;
  std::string field;
  ++pos_;  // opening quote
  for (;;) {
    if (pos_ >= text_.size()) {
      throw CsvError("unterminated quoted field starting on line " + std::to_string(start_line));
    }
    const char c = text_[pos_++];
    if (c == '"') {
      if (pos_ < text_.size() && text_[pos_] == '"') {
        field += '"';
        ++pos_;
        continue;
      }
      return field;
    }
    if (c == '\n') ++line_;
    field += c;
  }
}

std::string CsvReader::ReadPlain() {
  const std::size_t start = pos_;
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == ',' || c == '\n') break;
    if (c == '\r' && (pos_ + 1 >= text_.size() || text_[pos_ + 1] == '\n')) break;
    ++pos_;
  }
  return std::string(text_.substr(start, pos_ - start));
}

std::string CsvRow(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& f = fields[i];
    if (f.find_first_of(",\"\r\n") == std::string::npos) {
      out += f;
      continue;
    }
    out += '"';
    for (char c : f) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  out += "\r\n";
  return out;
}

}  // namespace tavrin::tools
