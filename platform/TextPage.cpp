#include "platform/TextPage.h"

#include <array>
#include <utility>

#include "platform/CodePage.h"

namespace tavrin::platform {
namespace {

#include "platform/TextPageTables.inc"

struct Driver {
  std::uint8_t byte;
  TextPage page;
};
// The first byte of each page is the one a new table gets; the others are read too.
constexpr Driver kDrivers[] = {
    {0x01, TextPage::Oem437},   {0x03, TextPage::Ansi1252}, {0x57, TextPage::Ansi1252},
    {0x58, TextPage::Ansi1252}, {0x59, TextPage::Ansi1252}, {0xC8, TextPage::Win1250},
    {0xC9, TextPage::Win1251},  {0xCB, TextPage::Win1253},  {0x64, TextPage::Dos852},
    {0x1F, TextPage::Dos852},   {0x22, TextPage::Dos852},   {0x23, TextPage::Dos852},
    {0x40, TextPage::Dos852},   {0x87, TextPage::Dos852},   {0x65, TextPage::Dos866},
    {0x26, TextPage::Dos866},   {0x6A, TextPage::Dos737},
};

constexpr std::pair<TextPage, int> kNumbers[] = {
    {TextPage::Oem437, 437},   {TextPage::Ansi1252, 1252}, {TextPage::Win1250, 1250},
    {TextPage::Win1251, 1251}, {TextPage::Win1253, 1253},  {TextPage::Dos852, 852},
    {TextPage::Dos866, 866},   {TextPage::Dos737, 737},
};

char32_t CharOf(const char16_t* high, unsigned char b) { return b < 0x80 ? b : high[b - 0x80]; }

int ByteOf(const char16_t* high, char32_t c) {
  if (c < 0x80) return static_cast<int>(c);
  for (int i = 0; i < 128; ++i) {
    if (high[i] == c) return 0x80 + i;
  }
  return -1;
}

using ByteTable = std::array<unsigned char, 256>;

// from's byte -> to's byte by character; '?' where `to` lacks it.
ByteTable Between(const char16_t* from, const char16_t* to) {
  ByteTable t{};
  for (int b = 0; b < 256; ++b) {
    const int out = ByteOf(to, CharOf(from, static_cast<unsigned char>(b)));
    t[static_cast<std::size_t>(b)] = static_cast<unsigned char>(out < 0 ? '?' : out);
  }
  return t;
}

const ByteTable& Table(TextPage page, bool toAnsi) {
  static const auto tables = [] {
    std::array<std::array<ByteTable, 2>, 8> all{};
    for (int p = 0; p < 8; ++p) {
      const char16_t* high = HighHalf(static_cast<TextPage>(p));
      all[static_cast<std::size_t>(p)][0] = Between(kCp1252, high);
      all[static_cast<std::size_t>(p)][1] = Between(high, kCp1252);
    }
    return all;
  }();
  return tables[static_cast<std::size_t>(page)][toAnsi ? 1 : 0];
}

void Apply(const ByteTable& t, char* buf, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i)
    buf[i] = static_cast<char>(t[static_cast<unsigned char>(buf[i])]);
}

}  // namespace

const char16_t* HighHalf(TextPage page) {
  switch (page) {
    case TextPage::Ansi1252: return kCp1252;
    case TextPage::Win1250: return kCp1250;
    case TextPage::Win1251: return kCp1251;
    case TextPage::Win1253: return kCp1253;
    case TextPage::Dos852: return kCp852;
    case TextPage::Dos866: return kCp866;
    case TextPage::Dos737: return kCp737;
    case TextPage::Oem437: break;
  }
  return kCp437;
}

TextPage PageOfLanguageDriver(std::uint8_t driver) {
  for (const Driver& d : kDrivers) {
    if (d.byte == driver) return d.page;
  }
  return TextPage::Oem437;
}

std::uint8_t LanguageDriverOf(TextPage page) {
  for (const Driver& d : kDrivers) {
    if (d.page == page) return d.byte;
  }
  return 0x01;
}

int PageNumber(TextPage page) {
  for (const auto& [p, n] : kNumbers) {
    if (p == page) return n;
  }
  return 437;
}

std::optional<TextPage> PageFromNumber(int number) {
  for (const auto& [p, n] : kNumbers) {
    if (n == number) return p;
  }
  return std::nullopt;
}

void TableToAnsi(TextPage page, char* buf, std::size_t len) {
  if (page == TextPage::Oem437)
    OemToAnsi(buf, len);
  else if (page != TextPage::Ansi1252)
    Apply(Table(page, true), buf, len);
}

void AnsiToTable(TextPage page, char* buf, std::size_t len) {
  if (page == TextPage::Oem437)
    AnsiToOem(buf, len);
  else if (page != TextPage::Ansi1252)
    Apply(Table(page, false), buf, len);
}

}  // namespace tavrin::platform
