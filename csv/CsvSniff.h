// What a CSV file from elsewhere (a spreadsheet, an address book) is made of, found from its bytes:
// the separator (comma, semicolon or tab, counted outside quotes on the first lines) and whether its
// text is UTF-8 (else it is taken for Windows-1252, as spreadsheets save it). Reads a stream once,
// through a fixed buffer; pure functions over plain values, any thread.
#pragma once

#include <istream>
#include <string_view>

namespace tavrin::tools {

// The separator of a CSV text that starts with `head` (its first lines, maybe cut anywhere): the
// one of ',', ';' and '\t' the first line holds most often outside quotes, preferring one that the
// next lines hold as often; ',' when the first line holds none of them.
char DetectSeparator(std::string_view head);

// Whether everything `in` holds, from where it stands to its end, is well-formed UTF-8 (a byte order
// mark included). Leaves the stream at its end, with its state flags set.
bool IsUtf8Stream(std::istream& in);

}  // namespace tavrin::tools
