// The encodings that let a message carry any language over a 7-bit, line-limited mail channel.
//
// Quoted-printable for body lines, RFC 2047 encoded words (UTF-8, BASE64 form) for header text,
// RFC 5322 quoted strings for plain names, RFC 2231 percent-encoding for attachment names, and the
// folding of a header field at 78 columns. Input text is UTF-8; no function splits a character
// across encoded words or parameter sections. Pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavrin::app {

// Mail line limits: a line of mail data without its CR LF, a folded header line, a
// quoted-printable line with its soft break, an encoded word.
inline constexpr std::size_t kMaxLineOctets = 998;
inline constexpr std::size_t kFoldColumns = 78;
inline constexpr std::size_t kMaxQuotedPrintableLine = 76;
inline constexpr std::size_t kMaxEncodedWord = 75;

// True when every byte is a printable ASCII character (blank to tilde).
bool IsPrintableAscii(const std::string& text);

// One line of text as quoted-printable lines: each at most 76 characters, every one but the last
// ending in the soft break "=". "=", bytes outside printable ASCII and a blank or tab that would
// end the line are written as =XX.
std::vector<std::string> QuotedPrintableLines(const std::string& line);

// `text` as UTF-8 encoded words of the BASE64 form, whole characters in each: the first at most
// `firstWidth` characters long, the others at most 75. Empty text gives no word.
std::vector<std::string> EncodedWords(const std::string& text, std::size_t firstWidth);

// A header field folded at 78 columns: `start` (the name with its colon) and the tokens joined by
// blanks, a token that would pass the fold column starting a continuation line instead.
std::vector<std::string> FoldedHeader(const std::string& start,
                                      const std::vector<std::string>& tokens);

// `text` in double quotes, with each quote and backslash escaped by a backslash.
std::string QuotedString(const std::string& text);

// `text` with every byte outside the RFC 2231 attribute characters written as %XX.
std::string PercentEncoded(const std::string& text);

// The characters of UTF-8 `text` (an incomplete or stray byte counts as one).
std::size_t CharacterCount(const std::string& text);
// The first `count` characters of UTF-8 `text`, never half of one.
std::string FirstCharacters(const std::string& text, std::size_t count);

}  // namespace tavrin::app
