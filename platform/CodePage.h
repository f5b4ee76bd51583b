// Code pages of the program's text.
//
// Internal text is std::string holding Windows-1252 ("ANSI") bytes; table files hold code page 437
// ("OEM") bytes. The byte translations here are same-length and work in place; a byte with no exact
// counterpart takes its nearest look-alike, else '?'. This header is free of Qt so that the table
// engine can use it; the QString boundary lives in CodePageQt.h. Pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>

namespace tavrin::platform {

// Translates `len` bytes at `buf` from code page 437 to Windows-1252, in place.
void OemToAnsi(char* buf, std::size_t len);
// Translates `len` bytes at `buf` from Windows-1252 to code page 437, in place.
void AnsiToOem(char* buf, std::size_t len);

std::string OemToAnsi(std::string text);
std::string AnsiToOem(std::string text);

// Upper-cases one Windows-1252 byte by the Windows-1252 rules (letters with accents included).
char AnsiUpper(char c);
std::string AnsiUpper(std::string text);

// Windows-1252 bytes <-> UTF-8 text (for terminals, CSV and JSON). Bytes that Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of the same value and back;
// a code point that Windows-1252 cannot hold becomes '?'.
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(const std::string& bytes);
// Text of unknown origin (a server's words, a file name) as UTF-8: well-formed UTF-8 is kept as it
// is, anything else is read as Windows-1252, so every byte shows as some character.
std::string TextToUtf8(const std::string& bytes);

}  // namespace tavrin::platform
