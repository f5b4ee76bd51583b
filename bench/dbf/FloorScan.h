// The floor of a shared-mode table scan: what any reader that must see records appended by
// another program pays per record, one fstat (to learn the current record count) and one pread
// (the record). It reads the two named character fields of every record and nothing else.
// Owns no state across calls; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::bench {

struct ScanResult {
  std::int64_t records = 0;
  std::uint64_t checksum = 0;  // first bytes of both fields summed, so the reads cannot be elided
};

// Scans the table at `path`; throws std::runtime_error when the file or a field is missing.
ScanResult FloorScan(const std::string& path, const std::string& field1, const std::string& field2);

}  // namespace tavrin::bench
