// Text between UTF-8 and the 8-bit code pages of tables.
#include "csv/TextCodec.h"

#include <algorithm>

namespace tavrin::tools {
namespace {

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes the sequence at *pos and moves past it; false (position unchanged) when it is malformed.
bool NextCodePoint(std::string_view s, std::size_t* pos, char32_t* out) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(*pos);
  int extra = 0;
  char32_t c = 0, min = 0;
  if (b0 < 0x80) {
    *out = b0;
    ++*pos;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    extra = 1, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, c = b0 & 0x07, min = 0x10000;
  } else {
    return false;  // a continuation byte or 0xF8..0xFF where a character should start
  }
  if (s.size() - *pos <= static_cast<std::size_t>(extra)) return false;  // cut short
  for (int i = 1; i <= extra; ++i) {
    const unsigned char b = byte(*pos + static_cast<std::size_t>(i));
    if ((b & 0xC0) != 0x80) return false;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  *out = c;
  *pos += static_cast<std::size_t>(extra) + 1;
  return true;
}

}  // namespace

std::string ToUtf8(std::string_view bytes, CodePage page) {
  const char16_t* high = platform::HighHalf(page);
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const unsigned char b = static_cast<unsigned char>(ch);
    AppendUtf8(b < 0x80 ? b : high[b - 0x80], &out);
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  char32_t c = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    if (!NextCodePoint(text, &pos, &c)) return false;
  }
  return true;
}

std::string FromUtf8(std::string_view utf8, CodePage page, bool* lossy) {
  const char16_t* high = platform::HighHalf(page);
  std::string out;
  out.reserve(utf8.size());
  char32_t c = 0;
  for (std::size_t pos = 0; pos < utf8.size();) {
    if (!NextCodePoint(utf8, &pos, &c)) {  // callers check first; a stray byte is not a character
      ++pos;
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    const char16_t* hit = std::find(high, high + 128, c);
    if (hit != high + 128) {
      out += static_cast<char>(0x80 + (hit - high));
    } else {
      out += '?';
      *lossy = true;
    }
  }
  return out;
}

std::string FirstUnheld(std::string_view utf8, CodePage page) {
  for (std::size_t at = 0; at < utf8.size();) {
    std::size_t len = 1;
    while (at + len < utf8.size() && (static_cast<unsigned char>(utf8[at + len]) & 0xC0) == 0x80)
      ++len;
    bool lost = false;
    FromUtf8(utf8.substr(at, len), page, &lost);
    if (lost) return std::string(utf8.substr(at, len));
    at += len;
  }
  return {};
}

}  // namespace tavrin::tools
