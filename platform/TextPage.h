// The 8-bit code pages a table's text may be in, named by the language-driver byte of its header:
// code page 437 (and any byte this program does not know), Windows-1252, the Central European,
// Cyrillic and Greek Windows pages 1250, 1251, 1253 and their DOS counterparts 852, 866, 737.
// Every byte of every page stands for one character of its own (HighHalf), so text read through
// Unicode goes back byte for byte. The program itself holds Windows-1252 text: TableToAnsi and
// AnsiToTable translate a table's bytes to and from it. Free of Qt; pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tavrin::platform {

enum class TextPage { Oem437, Ansi1252, Win1250, Win1251, Win1253, Dos852, Dos866, Dos737 };

// The characters of bytes 0x80..0xFF (bytes below 0x80 are ASCII).
const char16_t* HighHalf(TextPage page);

// The page a language-driver byte names; code page 437 for 0 and for bytes not known here.
TextPage PageOfLanguageDriver(std::uint8_t driver);
// The language-driver byte a new table of `page` gets.
std::uint8_t LanguageDriverOf(TextPage page);
// The page's number (437, 1252, 1250 ...), and back (nothing for a number not offered).
int PageNumber(TextPage page);
std::optional<TextPage> PageFromNumber(int number);

// Translates `len` bytes in place between the table's page and Windows-1252. Code page 437 keeps its
// look-alike tables (CodePage.h); Windows-1252 is left as it is; the other pages go by character,
// and a character the other side lacks becomes '?'.
void TableToAnsi(TextPage page, char* buf, std::size_t len);
void AnsiToTable(TextPage page, char* buf, std::size_t len);

}  // namespace tavrin::platform
