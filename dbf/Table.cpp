#include "dbf/Table.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "dbf/Errors.h"
#include "dbf/Format.h"
#include "dbf/Memo.h"
#include "dbf/MemoFile.h"
#include "dbf/PackCommit.h"
#include "platform/CodePage.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

std::string Two(int v) {
  v = ((v % 100) + 100) % 100;
  return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
}

std::string UpdateText(int month, int day, int yearByte) {
  return Two(month) + "/" + Two(day) + "/" + Two(yearByte);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Position of the extension's dot in the last path component, npos when there is none.
std::size_t ExtensionDot(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return std::string::npos;
  return dot;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string NotADatabase(const std::string& name, const std::string& why, const char* where) {
  return name + " is not a dBASE database." + " (" + why + ") " + where;
}

// Reads one descriptor into `f`. `slot` must have at least 18 readable bytes.
void ParseDescriptor(const std::uint8_t* slot, std::size_t lenAt, std::size_t decAt, FieldInfo* f) {
  std::string name;
  for (std::size_t i = 0; i < fmt::kDescNameSize && slot[i] != 0; ++i) {
    name += platform::AnsiUpper(static_cast<char>(slot[i]));
  }
  if (name.size() > fmt::kMaxNameLen) name.resize(fmt::kMaxNameLen);
  f->name = name;
  f->type = static_cast<char>(slot[fmt::kDescTypeOffset]);
  f->length = slot[lenAt];
  f->decimals = slot[decAt];
}

bool CheckFieldTypes(const Table& t) {
  for (const FieldInfo& f : t.fields) {
    if (std::strchr("CDFLMN", f.type) != nullptr && f.type != '\0') continue;
    std::string head = "Field: " + f.name + " [" + std::string(1, f.type) + "]";
    if (head.size() > 25) head.resize(25);
    Report(err::kInvalidField, head + " in " + t.fileName + " is not a valid field type");
    return false;
  }
  return true;
}

// Field offsets, and the checks that the fields fill the record exactly. A field of length 0 or a
// sum that misses the record length means the header is damaged: taken as it stands, fields would
// be read at other fields' places, and a pack would write what it read there.
bool LayOutFields(Table& t) {
  int offset = 1;
  std::string why;
  for (FieldInfo& f : t.fields) {
    f.offset = offset;
    offset += f.length;
    if (f.length == 0 && why.empty()) why = "Field " + f.name + " has length 0";
  }
  if (t.recLen == 0) {
    why = "Record length is 0";
  } else if (offset > t.recLen) {
    why = "Record length " + std::to_string(t.recLen) + " is shorter than its fields need (" +
          std::to_string(offset) + ")";
  } else if (why.empty() && offset != t.recLen) {
    why = "Record length " + std::to_string(t.recLen) + " does not match its fields (" +
          std::to_string(offset) + ")";
  }
  if (!why.empty()) {
    Report(err::kNotADatabase, NotADatabase(t.fileName, why, "[USE/OpenDbf]"));
    return false;
  }
  return true;
}

bool ReadV3Header(Table& t) {
  const std::uint8_t* p = t.prolog.data();
  t.hasMemo = (t.version & fmt::kMemoFlag) != 0;
  t.headerLen = fmt::GetU16(p + fmt::kHeaderLenOffset);
  t.recLen = fmt::GetU16(p + fmt::kRecLenOffset);
  t.recCount = fmt::GetI32(p + fmt::kRecCountOffset);
  t.lastUpdate = UpdateText(p[fmt::kMonthOffset], p[fmt::kDayOffset], p[fmt::kYearOffset]);
  const int slots = t.headerLen < fmt::kPrologSize
                        ? 0
                        : static_cast<int>((t.headerLen - fmt::kPrologSize) / fmt::kDescriptorSize);
  if (slots == 0 || slots > fmt::kMaxFields) {
    Report(err::kNotADatabase,
           NotADatabase(BaseName(t.fileName), "Number of fields is out of range", "[Use/OpenDbf]"));
    return false;
  }
  std::vector<std::uint8_t> desc(t.headerLen - fmt::kPrologSize);
  std::size_t got = 0;
  const int code = t.file->ReadAt(desc.data(), desc.size(), fmt::kPrologSize, &got);
  if (code != 0) {
    Report(code, "Error reading " + t.fileName + " [Use/OpenDbf]");
    return false;
  }
  if (got != desc.size()) {
    Report(err::kUnexpectedEnd,
           "The table's header is cut short (" + std::to_string(fmt::kPrologSize + got) + " of " +
               std::to_string(t.headerLen) + " bytes): " + t.fileName + " [Use/OpenDbf]");
    return false;
  }
  for (int i = 0; i < slots; ++i) {
    const std::uint8_t* slot = desc.data() + static_cast<std::size_t>(i) * fmt::kDescriptorSize;
    if (slot[0] == fmt::kHeaderTerminator) break;  // other writers leave bytes after the terminator
    FieldInfo f;
    ParseDescriptor(slot, fmt::kDescLenOffset, fmt::kDescDecOffset, &f);
    t.fields.push_back(f);
  }
  if (t.fields.empty()) {
    Report(err::kNotADatabase,
           NotADatabase(BaseName(t.fileName), "Number of fields is out of range", "[Use/OpenDbf]"));
    return false;
  }
  return true;
}

bool ReadV2Header(Table& t, std::int64_t fileSize) {
  const std::uint8_t* p = t.prolog.data();
  t.hasMemo = false;
  t.headerLen = fmt::kV2HeaderLen;
  t.recLen = fmt::GetU16(p + fmt::kV2RecLenOffset);
  t.recCount = fmt::GetU16(p + fmt::kV2RecCountOffset);
  t.lastUpdate = UpdateText(p[fmt::kV2MonthOffset], p[fmt::kV2DayOffset], p[fmt::kV2YearOffset]);
  std::fill(t.prolog.begin() + fmt::kV2PrologSize, t.prolog.end(), 0);
  if (fileSize < static_cast<std::int64_t>(fmt::kV2HeaderLen)) {
    Report(err::kNotADatabase,
           NotADatabase(t.fileName, "Header is less than 521 bytes", "[Use/OpenDBF]"));
    return false;
  }
  // Two spare bytes: the 32-byte positions of a non-0x02 byte reach into the next slot.
  std::vector<std::uint8_t> area(fmt::kV2DescArea + fmt::kDescriptorSize, 0);
  std::size_t got = 0;
  const int code = t.file->ReadAt(area.data(), fmt::kV2DescArea, fmt::kV2PrologSize, &got);
  if (code != 0 || got != fmt::kV2DescArea) {
    Report(code != 0 ? code : err::kReadError, "Error reading " + t.fileName + " [Use/OpenDbf]");
    return false;
  }
  const bool exact = t.version == fmt::kVersion2;
  int terminator = -1;
  for (int i = 0; i < fmt::kV2MaxSlots; ++i) {
    const std::uint8_t* slot = area.data() + static_cast<std::size_t>(i) * fmt::kV2DescriptorSize;
    if (slot[0] == fmt::kHeaderTerminator) {
      terminator = i;
      break;
    }
    FieldInfo f;
    ParseDescriptor(slot, exact ? fmt::kV2DescLenOffset : fmt::kDescLenOffset,
                    exact ? fmt::kV2DescDecOffset : fmt::kDescDecOffset, &f);
    t.fields.push_back(f);
  }
  if (terminator <= 0) {
    Report(err::kNotADatabase,
           NotADatabase(t.fileName, "Number of fields is out of range", "[Use/OpenDbf]"));
    return false;
  }
  return true;
}

// Version byte, layout and fields of an open file; reports and answers false on the first fault.
bool ReadHeader(Table& t) {
  std::size_t got = 0;
  int code = t.file->ReadAt(t.prolog.data(), fmt::kPrologSize, 0, &got);
  if (code != 0) {
    Report(code, "Error reading " + t.fileName + " [Use/OpenDbf]");
    return false;
  }
  if (got < fmt::kPrologSize) {
    Report(err::kNotADatabase,
           NotADatabase(t.fileName, "Prolog is less than 32 bytes", "[USE/OpenDBF]"));
    return false;
  }
  t.version = t.prolog[fmt::kVersionOffset];
  const int kind = t.version & 7;
  if (kind != 2 && kind != 3) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", t.version);
    Report(err::kNotADatabase,
           NotADatabase(t.fileName, std::string("Invalid version byte ") + hex, "[USE/OpenDBF]"));
    return false;
  }
  std::int64_t size = 0;
  code = t.file->Size(&size);
  if (code != 0) {
    Report(code, "Error reading " + t.fileName + " [Use/OpenDbf]");
    return false;
  }
  const bool ok = (kind == 3) ? ReadV3Header(t) : ReadV2Header(t, size);
  return ok && CheckFieldTypes(t) && LayOutFields(t);
}

}  // namespace

std::string WithDefaultExtension(const std::string& name, const char* upperExt) {
  if (name.empty() || ExtensionDot(name) != std::string::npos) return name;
  const std::string upper = name + "." + upperExt;
  const std::string lower = name + "." + Lower(upperExt);
  if (!File::Exists(upper) && File::Exists(lower)) return lower;
  return upper;
}

std::string ReplaceExtension(const std::string& name, const char* upperExt) {
  const std::size_t dot = ExtensionDot(name);
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string oldExt = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  const bool lowerCase = !oldExt.empty() && oldExt == Lower(oldExt);
  const std::string preferred = stem + "." + (lowerCase ? Lower(upperExt) : std::string(upperExt));
  const std::string other = stem + "." + (lowerCase ? std::string(upperExt) : Lower(upperExt));
  if (!File::Exists(preferred) && File::Exists(other)) return other;
  return preferred;
}

int TakeShareLock(File& file, const OpenMode& mode) {
  if (!mode.shareLock) return 0;
  const LockKind kind = (mode.exclusive && mode.write) ? LockKind::Write : LockKind::Read;
  const int code = file.TryLock(fmt::kSentinelOffset, 1, kind);
  return code == err::kLockViolation ? err::kSharingViolation : code;
}

namespace {

// Opens the file that holds the table now, with its share lock. A pack that is due is finished
// first (or, for a reader, read under its new names); a pack that renames a file over the name
// between the open and the lock sends the open round again. 0 or a code.
int OpenCurrentFile(Table& t, const OpenMode& mode) {
  int code = err::kSharingViolation;
  for (int attempt = 0; attempt < 5 && code == err::kSharingViolation; ++attempt) {
    std::string readTable;
    code = ResolveDuePack(t.fileName, mode.write, mode.shareLock, &readTable, &t.memoPath);
    const std::string path = readTable.empty() ? t.fileName : readTable;
    if (code == 0) code = File::Open(path, mode.write, &t.file);
    if (code == 0) code = TakeShareLock(*t.file, mode);
    if ((code == 0 && !t.file->IsAt(path)) || (code == err::kFileNotFound && !readTable.empty()))
      code = err::kSharingViolation;
    if (code != 0) t.file.reset();
  }
  return code;
}

}  // namespace

bool OpenDbf(const std::string& fileName, const OpenMode& mode, std::unique_ptr<Table>* out) {
  auto t = std::make_unique<Table>();
  t->fileName = fileName;
  const int code = OpenCurrentFile(*t, mode);
  if (code != 0) {
    t.reset();
    Report(code, "Failure to open " + fileName + " [USE/OpenDbf]");
    return false;
  }
  if (!ReadHeader(*t)) {
    t.reset();  // closes the file
    return false;
  }
  t->record.assign(t->recLen, ' ');
  *out = std::move(t);
  return true;
}

std::int32_t CountFromFileSize(Table& t, int* code) {
  std::int64_t size = 0;
  *code = t.file->Size(&size);
  if (*code != 0) return -1;
  if (t.recLen == 0 || size <= t.headerLen) return 0;
  const std::int64_t n = (size - t.headerLen) / t.recLen;
  return n > fmt::kMaxRecords ? fmt::kMaxRecords : static_cast<std::int32_t>(n);
}

int HeaderUpdate(Table& t, bool writeEof, bool writeCount) {
  const LocalDate d = Today();
  std::uint8_t h[fmt::kHeaderUpdateSize];
  std::memcpy(h, t.prolog.data(), sizeof h);
  h[0] = t.version;
  const int yearByte = (d.year - 1900) & 0xFF;
  // Every table read in the old fixed layout keeps it: the newer positions would put the count's
  // high bytes over its record length.
  if ((t.version & 7) == fmt::kVersion2) {
    fmt::PutU16(h + fmt::kV2RecCountOffset,
                static_cast<std::uint16_t>(std::clamp<std::int32_t>(t.recCount, 0, 0xFFFF)));
    h[fmt::kV2MonthOffset] = static_cast<std::uint8_t>(d.month);
    h[fmt::kV2DayOffset] = static_cast<std::uint8_t>(d.day);
    h[fmt::kV2YearOffset] = static_cast<std::uint8_t>(yearByte);
  } else {
    h[fmt::kYearOffset] = static_cast<std::uint8_t>(yearByte);
    h[fmt::kMonthOffset] = static_cast<std::uint8_t>(d.month);
    h[fmt::kDayOffset] = static_cast<std::uint8_t>(d.day);
    fmt::PutI32(h + fmt::kRecCountOffset, t.recCount);
  }
  std::size_t from = 0, to = sizeof h;  // without the count: the date bytes (and version) only
  if (!writeCount && (t.version & 7) == fmt::kVersion2) {
    from = fmt::kV2MonthOffset;
    to = fmt::kV2YearOffset + 1;
  } else if (!writeCount) {
    to = fmt::kDayOffset + 1;
  }
  int code = t.file->WriteAt(h + from, to - from, static_cast<std::int64_t>(from));
  if (code != 0) return code;
  std::memcpy(t.prolog.data() + from, h + from, to - from);
  t.lastUpdate = UpdateText(d.month, d.day, yearByte);
  if (writeEof) {
    const std::uint8_t eof = fmt::kEofMarker;
    code = t.file->WriteAt(&eof, 1, t.RecordOffset(std::max<std::int32_t>(t.recCount, 0) + 1));
    if (code != 0) return code;
  }
  t.state = UpdateState::Clean;
  return 0;
}

std::string DamagedRecordMessage(const Table& t, std::int32_t n, const char* where) {
  return t.fileName + " is damaged: record " + std::to_string(n) +
         " is not a record (its deletion flag is neither a blank nor \"*\") " + where;
}

bool CheckRecordFlagsAtOpen(Table& t, std::int32_t headerCount, std::int32_t fileCount) {
  std::int32_t probes[] = {1, headerCount, headerCount + 1, fileCount};
  std::sort(std::begin(probes), std::end(probes));
  std::int32_t last = 0;
  for (const std::int32_t n : probes) {
    if (n < 1 || n > fileCount || n == last) continue;
    last = n;
    char flag = 0;
    std::size_t got = 0;
    const int code = t.file->ReadAt(&flag, 1, t.RecordOffset(n), &got);
    if (code != 0) {
      Report(code, "Error reading " + t.fileName + " [Use/OpenDbf]");
      return false;
    }
    if (got == 1 && !IsRecordFlag(flag)) {
      Report(err::kNotADatabase, DamagedRecordMessage(t, n, "[USE/OpenDbf]"));
      return false;
    }
  }
  return true;
}

bool HeaderIsBehind(const Table& t) {
  if (t.state != UpdateState::Clean) return true;
  const std::int32_t stored = (t.version & 7) == fmt::kVersion2
                                  ? fmt::GetU16(t.prolog.data() + fmt::kV2RecCountOffset)
                                  : fmt::GetI32(t.prolog.data() + fmt::kRecCountOffset);
  return stored != t.recCount;
}

int ReadRecordAt(Table& t, std::int32_t n) {
  std::size_t got = 0;
  const int code = t.file->ReadAt(t.record.data(), t.recLen, t.RecordOffset(n), &got);
  if (code != 0) return code;
  return got == t.recLen ? 0 : err::kUnexpectedEnd;
}

int WriteRecordAt(Table& t, std::int32_t n) {
  return t.file->WriteAt(t.record.data(), t.recLen, t.RecordOffset(n));
}

}  // namespace tavrin::dbf
