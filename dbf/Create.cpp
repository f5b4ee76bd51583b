// Creating a table file (and its memo file) from field definitions.
#include <cstring>

#include "dbf/Errors.h"
#include "dbf/Format.h"
#include "dbf/MemoFile.h"
#include "dbf/Table.h"
#include "platform/CodePage.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

// Normalises one definition in place; false with the failure reported.
bool NormaliseField(FieldDef* f, const std::string& fileName) {
  std::string name = f->name;
  while (!name.empty() && static_cast<unsigned char>(name.back()) <= 32) name.pop_back();
  if (name.size() > fmt::kMaxNameLen) name.resize(fmt::kMaxNameLen);
  const std::size_t b = name.find_first_not_of(' ');
  name = b == std::string::npos ? std::string() : name.substr(b);
  if (name.empty()) {
    Report(err::kInvalidParameter, "Empty field name [CreateDbf(" + fileName + ")]");
    return false;
  }
  f->name = platform::AnsiUpper(name);
  f->type = platform::AnsiUpper(f->type);
  bool ok = true;
  switch (f->type) {
    case 'C':
    case 'F':
    case 'N':
      ok = f->length > 0 && f->length <= 255 &&
           (f->type == 'C' || (f->decimals >= 0 && f->decimals <= 255));
      break;
    case 'D': f->length = 8; break;
    case 'L': f->length = 1; break;
    case 'M': f->length = 10; break;
    default: ok = false; break;
  }
  if (f->type != 'N' && f->type != 'F') f->decimals = 0;
  if (!ok) Report(err::kInvalidField, "Invalid dBASE field definition [CreateDBF]");
  return ok;
}

std::vector<std::uint8_t> BuildHeader(const std::vector<FieldDef>& fields, bool memo,
                                      std::uint8_t driver) {
  const std::size_t n = fields.size();
  std::vector<std::uint8_t> h(fmt::kPrologSize + fmt::kDescriptorSize * n + 1, 0);
  int recLen = 1;
  for (const FieldDef& f : fields) recLen += f.length;
  h[fmt::kVersionOffset] = memo ? fmt::kVersionWithMemo : fmt::kVersionPlain;
  h[fmt::kLanguageDriverOffset] = driver;
  fmt::PutU16(&h[fmt::kHeaderLenOffset], static_cast<std::uint16_t>(h.size()));
  fmt::PutU16(&h[fmt::kRecLenOffset], static_cast<std::uint16_t>(recLen));
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t* d = &h[fmt::kPrologSize + fmt::kDescriptorSize * i];
    std::memcpy(d, fields[i].name.data(), fields[i].name.size());
    d[fmt::kDescTypeOffset] = static_cast<std::uint8_t>(fields[i].type);
    d[fmt::kDescLenOffset] = static_cast<std::uint8_t>(fields[i].length);
    d[fmt::kDescDecOffset] = static_cast<std::uint8_t>(fields[i].decimals);
  }
  h.back() = fmt::kHeaderTerminator;
  return h;
}

}  // namespace

void CreateTableFile(const std::string& fileName, const std::vector<FieldDef>& defs,
                     std::uint8_t driver) {
  std::vector<FieldDef> fields = defs;
  bool memo = false;
  int recLen = 1;
  for (FieldDef& f : fields) {
    if (!NormaliseField(&f, fileName)) return;
    memo = memo || f.type == 'M';
    recLen += f.length;
  }
  if (fields.empty() || fields.size() > static_cast<std::size_t>(fmt::kMaxFields) ||
      recLen > 0xFFFF) {
    Report(err::kInvalidField, "Invalid dBASE field definition [CreateDBF]");
    return;
  }
  const std::string name = WithDefaultExtension(fileName, "DBF");
  const std::vector<std::uint8_t> header = BuildHeader(fields, memo, driver);
  Table t;
  t.fileName = name;
  int code = File::Create(name, &t.file);
  // A table that someone has open is never truncated under them.
  if (code == 0) code = TakeShareLock(*t.file, OpenMode{true, true, true});
  if (code == 0) code = t.file->Truncate(0);
  // From here the file holds nothing of anyone's: a create that stops (a full disk) removes it, so
  // no empty or half-made table takes the name.
  const bool emptied = code == 0;
  if (code == 0) code = t.file->WriteAt(header.data(), header.size(), 0);
  if (code == 0) {
    std::memcpy(t.prolog.data(), header.data(), fmt::kPrologSize);
    t.version = header[0];
    t.headerLen = static_cast<std::uint16_t>(header.size());
    t.recLen = static_cast<std::uint16_t>(recLen);
    t.recCount = 0;
    t.state = UpdateState::Appended;
    code = HeaderUpdate(t, true);
  }
  if (code != 0) {
    t.file.reset();
    if (emptied) File::Remove(name);
    Report(code, "Error writing " + name + ". [CreateDbf]");
    return;
  }
  if (memo) {  // still holding the table's exclusive lock
    const std::string memoName = ReplaceExtension(name, "DBT");
    code = MemoFile::Create(memoName);
    if (code != 0) File::Remove(name);  // a memo table without its memo file cannot be opened
    t.file.reset();
    if (code != 0) Report(code, "Cannot create memo file " + memoName + " [CreateDbf]");
  }
}

void CreateDbf(std::string_view fileName, const std::vector<FieldDef>& fields) {
  ClearErrorCode();
  CreateTableFile(std::string(fileName), fields, 0);
}

void CreateDbf(std::string_view fileName, const std::vector<FieldDef>& fields,
               std::uint8_t languageDriver) {
  ClearErrorCode();
  CreateTableFile(std::string(fileName), fields, languageDriver);
}

}  // namespace tavrin::dbf
