#include "send/MimeEncoding.h"

#include <QByteArray>
#include <algorithm>
#include <string_view>

namespace tavrin::app {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr const char* kWordStart = "=?UTF-8?B?";
constexpr const char* kWordEnd = "?=";
constexpr std::size_t kWordFrame = 12;  // "=?UTF-8?B?" and "?="

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The bytes of the character that starts at `i`: its lead byte and the continuation bytes the
// lead byte announces, as far as they are there. A stray byte is a character of its own.
std::size_t CharLength(const std::string& text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  std::size_t n = 1;
  while (n < expected && i + n < text.size() && IsContinuationByte(text[i + n])) ++n;
  return n;
}

std::string EscapedByte(unsigned char b) { return {'=', kHex[b >> 4], kHex[b & 15]}; }

// The encoded word of `bytes` is this many characters long.
std::size_t WordWidth(std::size_t bytes) { return kWordFrame + (bytes + 2) / 3 * 4; }

std::string EncodedWord(const std::string& bytes) {
  return kWordStart + QByteArray::fromStdString(bytes).toBase64().toStdString() + kWordEnd;
}

bool IsAttributeChar(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

bool IsPrintableAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::vector<std::string> QuotedPrintableLines(const std::string& line) {
  std::vector<std::string> pieces;  // each byte as it is written
  std::size_t rest = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto b = static_cast<unsigned char>(line[i]);
    const bool endsLine = i + 1 == line.size();
    const bool literal =
        (b > ' ' && b <= '~' && b != '=') || ((b == ' ' || b == '\t') && !endsLine);
    pieces.push_back(literal ? std::string(1, line[i]) : EscapedByte(b));
    rest += pieces.back().size();
  }
  std::vector<std::string> out;
  std::string current;
  for (const std::string& piece : pieces) {
    // What is left fits this line whole, or the piece must leave room for the soft break.
    if (current.size() + rest > kMaxQuotedPrintableLine &&
        current.size() + piece.size() > kMaxQuotedPrintableLine - 1) {
      out.push_back(current + "=");
      current.clear();
    }
    current += piece;
    rest -= piece.size();
  }
  out.push_back(current);
  return out;
}

std::vector<std::string> EncodedWords(const std::string& text, std::size_t firstWidth) {
  std::vector<std::string> words;
  std::size_t width = std::min(firstWidth, kMaxEncodedWord);
  std::string chunk;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = CharLength(text, i);
    if (!chunk.empty() && WordWidth(chunk.size() + n) > width) {
      words.push_back(EncodedWord(chunk));
      chunk.clear();
      width = kMaxEncodedWord;
    }
    chunk.append(text, i, n);
    i += n;
  }
  if (!chunk.empty()) words.push_back(EncodedWord(chunk));
  return words;
}

std::vector<std::string> FoldedHeader(const std::string& start,
                                      const std::vector<std::string>& tokens) {
  std::vector<std::string> lines{start};
  bool first = true;
  for (const std::string& token : tokens) {
    std::string& line = lines.back();
    if (first || line.size() + 1 + token.size() <= kFoldColumns)
      line += " " + token;
    else
      lines.push_back(" " + token);
    first = false;
  }
  return lines;
}

std::string QuotedString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string PercentEncoded(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (IsAttributeChar(b))
      out += c;
    else
      out += {'%', kHex[b >> 4], kHex[b & 15]};
  }
  return out;
}

std::size_t CharacterCount(const std::string& text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); i += CharLength(text, i)) ++count;
  return count;
}

std::string FirstCharacters(const std::string& text, std::size_t count) {
  std::size_t i = 0;
  for (; i < text.size() && count > 0; --count) i += CharLength(text, i);
  return text.substr(0, i);
}

}  // namespace tavrin::app
