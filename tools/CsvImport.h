// Appending the rows of a CSV file to the table open in area 1. The whole file is checked first
// (every cell decoded and converted, nothing stored), then read a second time and appended under
// the append lock, so a bad cell anywhere leaves the table as it was, and memory stays the same for
// any file size. The header's count is brought up to date every 10,000 rows. Single-threaded.
#pragma once

#include <string>

#include "tools/ToolSession.h"

namespace tavrin::tools {

// Imports `csvPath` as o asks (separator, CSV encoding, wait); prints the summary on stderr.
// Throws ToolError (or the engine's EDbfError) after saying how many rows were appended.
void ImportCsv(const Options& o, const std::string& csvPath);

}  // namespace tavrin::tools
