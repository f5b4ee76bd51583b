#include "csv/Csv.h"

#include <sstream>

namespace tavrin::tools {

namespace {
constexpr std::size_t kChunk = 64 * 1024;
}  // namespace

CsvReader::CsvReader(std::istream& in, char separator) : in_(in), sep_(separator) {
  if (Peek(0) == 0xEF && Peek(1) == 0xBB && Peek(2) == 0xBF) Skip(3);
}

CsvReader::CsvReader(std::string_view text, char separator)
    : own_(std::make_unique<std::istringstream>(std::string(text))), in_(*own_), sep_(separator) {
  if (Peek(0) == 0xEF && Peek(1) == 0xBB && Peek(2) == 0xBF) Skip(3);
}

int CsvReader::Peek(std::size_t ahead) {
  if (pos_ + ahead >= buf_.size()) {
    buf_.erase(0, pos_);
    pos_ = 0;
    while (ahead >= buf_.size() && in_) {
      char chunk[kChunk];
      in_.read(chunk, sizeof chunk);
      buf_.append(chunk, static_cast<std::size_t>(in_.gcount()));
    }
    if (in_.bad()) throw CsvError("cannot read the input on line " + std::to_string(line_));
    if (ahead >= buf_.size()) return -1;
  }
  return static_cast<unsigned char>(buf_[pos_ + ahead]);
}

bool CsvReader::Next(std::vector<std::string>& row) {
  row.clear();
  if (Peek() < 0) return false;
  row_line_ = line_;
  for (;;) {
    const bool quoted = Peek() == '"';
    row.push_back(quoted ? ReadQuoted() : ReadPlain());
    const int c = Peek();
    if (c < 0) return true;
    if (c == static_cast<unsigned char>(sep_)) {
      Skip();
      if (Peek() < 0) {  // a trailing separator ends the text with one empty field
        row.emplace_back();
        return true;
      }
      continue;
    }
    if (c == '\r' && Peek(1) == '\n') Skip();
    if (c == '\n' || c == '\r') {
      Skip();
      ++line_;
      return true;
    }
    throw CsvError("text after the closing quote on line " + std::to_string(line_));
  }
}

std::string CsvReader::ReadQuoted() {
  const int start_line = line_;
  std::string field;
  Skip();  // opening quote
  for (;;) {
    const int c = Peek();
    if (c < 0)
      throw CsvError("unterminated quoted field starting on line " + std::to_string(start_line));
    Skip();
    if (c == '"') {
      if (Peek() == '"') {
        field += '"';
        Skip();
        continue;
      }
      return field;
    }
    if (c == '\n') ++line_;
    field += static_cast<char>(c);
  }
}

std::string CsvReader::ReadPlain() {
  std::string field;
  for (int c; (c = Peek()) >= 0; Skip()) {
    if (c == static_cast<unsigned char>(sep_) || c == '\n') break;
    if (c == '\r' && (Peek(1) < 0 || Peek(1) == '\n')) break;
    field += static_cast<char>(c);
  }
  return field;
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
