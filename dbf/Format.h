// Named sizes and offsets of the table file (.DBF) and memo file (.DBT), and little-endian helpers.
// The formats are described in prose in doc/dbf_format.md; this header is their single source of
// numbers. Records and headers are encoded field by field from byte buffers with these helpers.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>

namespace tavrin::dbf::format {

// ---- Table file, 32-byte-header layout ("version 3") ----
constexpr std::size_t kPrologSize = 32;  // fixed header before the descriptors
constexpr std::size_t kDescriptorSize = 32;
constexpr std::size_t kVersionOffset = 0;
constexpr std::size_t kYearOffset = 1;  // year - 1900, modulo 256
constexpr std::size_t kMonthOffset = 2;
constexpr std::size_t kDayOffset = 3;
constexpr std::size_t kRecCountOffset = 4;    // int32
constexpr std::size_t kHeaderLenOffset = 8;   // uint16
constexpr std::size_t kRecLenOffset = 10;     // uint16
constexpr std::size_t kHeaderUpdateSize = 8;  // bytes rewritten by the header update
constexpr std::size_t kDescNameSize = 11;
constexpr std::size_t kDescTypeOffset = 11;
constexpr std::size_t kDescLenOffset = 16;
constexpr std::size_t kDescDecOffset = 17;
constexpr std::size_t kMaxNameLen = 10;
constexpr int kMaxFields = 255;
constexpr std::uint8_t kHeaderTerminator = 0x0D;
constexpr std::uint8_t kEofMarker = 0x1A;
constexpr std::size_t kLanguageDriverOffset = 29;  // code page of the text, for other programs
constexpr std::uint8_t kVersionPlain = 0x03;
constexpr std::uint8_t kVersionWithMemo = 0x8B;
constexpr std::uint8_t kVersionPlainMemo = 0x83;  // memo file without block headers
constexpr std::uint8_t kMemoFlag = 0x80;

// ---- Table file, fixed 521-byte layout ("version 2") ----
constexpr std::uint8_t kVersion2 = 0x02;
constexpr std::size_t kV2HeaderLen = 521;
constexpr std::size_t kV2PrologSize = 8;
constexpr std::size_t kV2RecCountOffset = 1;  // uint16
constexpr std::size_t kV2MonthOffset = 3;
constexpr std::size_t kV2DayOffset = 4;
constexpr std::size_t kV2YearOffset = 5;
constexpr std::size_t kV2RecLenOffset = 6;  // uint16
constexpr std::size_t kV2DescArea = 512;    // 32 slots of 16 bytes from offset 8
constexpr std::size_t kV2DescriptorSize = 16;
constexpr int kV2MaxSlots = 32;
constexpr std::size_t kV2DescLenOffset = 12;
constexpr std::size_t kV2DescDecOffset = 15;

// ---- Records ----
// Highest record count: record numbers up to count + 1 (the position after the end) stay within
// a signed 32-bit number.
constexpr std::int32_t kMaxRecords = INT32_MAX - 1;
constexpr char kLiveFlag = ' ';
constexpr char kDeletedFlag = '*';

// ---- Locks (offsets beyond any real file content) ----
constexpr std::int64_t kLockBase = 0x40000000;
constexpr std::int64_t kAppendLockOffset = kLockBase + 1;
// One byte just below the largest file offset: its read/write lock stands for shared/exclusive use.
constexpr std::int64_t kSentinelOffset = INT64_MAX - 1;
constexpr std::int64_t kMemoLockOffset = 10;

// ---- Memo file ----
constexpr std::int64_t kMemoDefaultBlock = 512;
constexpr std::int64_t kMemoMinBlock = 32;           // smaller block sizes are refused as damaged
constexpr std::size_t kMemoHeaderSize = 24;          // header written into a new headed-style file
constexpr std::size_t kMemoNextFreeOffset = 0;       // int32
constexpr std::size_t kMemoNameOffset = 8;           // 8 bytes
constexpr std::size_t kMemoMarkOffset = 18;          // 02 01
constexpr std::size_t kMemoBlockSizeOffset = 20;     // uint16
constexpr std::size_t kMemoFreedCounterOffset = 32;  // int32
constexpr std::size_t kMemoBlockHeaderSize = 8;      // FF FF 08 00 + int32 total length
constexpr std::size_t kMemoPiece = 32767;            // largest single read or write
constexpr std::int64_t kMemoMaxText = 256LL * 1024 * 1024;  // larger lengths are taken as damage
constexpr int kMemoChainLimit = 100;

inline std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::int32_t GetI32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
      (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutI32(std::uint8_t* p, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  p[0] = static_cast<std::uint8_t>(u);
  p[1] = static_cast<std::uint8_t>(u >> 8);
  p[2] = static_cast<std::uint8_t>(u >> 16);
  p[3] = static_cast<std::uint8_t>(u >> 24);
}

}  // namespace tavrin::dbf::format
