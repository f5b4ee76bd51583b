// TXbFileDataSet: the file step of opening, creating the file, and the locked writes.
#include "dataset/XbDbf.h"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "dbf/Engine.h"
#include "platform/Trim.h"

namespace tavrin::dataset {
namespace {

std::optional<int> SmallNumber(const std::string& text) {
  const std::string t(platform::Trim(text, " "));
  if (t.empty() || t.size() > 3 || t.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoi(t);
}

// One DbfFields line as a field definition; nothing when the line is not acceptable. Type X lines
// give a definition with type 'X', which the caller skips.
std::optional<dbf::FieldDef> ParseFieldLine(const std::string& line) {
  if (std::count(line.begin(), line.end(), ',') != 3) return std::nullopt;
  const auto c1 = line.find(','), c2 = line.find(',', c1 + 1), c3 = line.find(',', c2 + 1);
  dbf::FieldDef d;
  d.name = std::string(platform::Trim(line.substr(0, c1), " ").substr(0, 10));
  const std::string type(platform::Trim(line.substr(c1 + 1, c2 - c1 - 1), " "));
  const auto length = SmallNumber(line.substr(c2 + 1, c3 - c2 - 1));
  const auto decimals = SmallNumber(line.substr(c3 + 1));
  if (type.size() != 1 || !length || !decimals || d.name.empty()) return std::nullopt;
  d.type = static_cast<char>(std::toupper(static_cast<unsigned char>(type[0])));
  d.length = *length;
  d.decimals = *decimals;
  if (d.type == 'X') return d;
  if (std::string_view("CDFLMN").find(d.type) == std::string_view::npos) return std::nullopt;
  if (d.type == 'N' && (d.length > 19 || d.decimals > 15 ||
                        (d.decimals > 0 && (d.decimals == d.length || d.decimals == d.length - 1))))
    return std::nullopt;
  if (d.type == 'C' && (d.length < 1 || d.length >= 255)) return std::nullopt;
  return d;
}

}  // namespace

TXbFileDataSet::~TXbFileDataSet() {
  // Closed here, while the whole object still stands for the links that hear about it.
  try {
    Close();
  } catch (const EDbfError&) {
    // The work area is given back either way; a failed header update has nobody left to tell.
  }
}

void TXbFileDataSet::EngineOpen(const std::string& path, bool exclusive, const std::string& alias) {
  // The path goes to the engine whole: a folder or file name holding " exclusive" or "alias" is
  // a name, never an option.
  dbf::UseFile(path, dbf::OpenOptions{exclusive, alias});
}

bool TXbFileDataSet::OpenTableFile() {
  if (DbfFileName().empty()) Fail(1103, "DBF file name has not been specified for " + Name());
  std::error_code error;
  if (createIfNotFound_ && !std::filesystem::exists(DbfFileName(), error)) CreateFromDbfFields();
  dbf::EngineSettings& s = dbf::Settings();
  const bool recount = s.recountOnOpen;
  const dbf::OpenOverride override = s.openOverride;
  s.recountOnOpen = autoFixRecCount_;
  if (ReadOnly()) s.openOverride = dbf::OpenOverride::ReadOnly;
  EngineOpen(DbfFileName(), exclusive_, std::string(platform::Trim(Name(), " ")));
  s.recountOnOpen = recount;
  s.openOverride = override;
  return dbf::LastReportedCode() == 0;
}

void TXbFileDataSet::CreateFromDbfFields() {
  if (dbfFields_.empty()) {
    ShowMessage("FieldList.Count is <= 0 trying to create a database");
    return;
  }
  std::vector<dbf::FieldDef> defs;
  bool ok = true;
  for (const std::string& line : dbfFields_) {
    const auto d = ParseFieldLine(line);
    if (!d)
      ok = false;
    else if (d->type != 'X')
      defs.push_back(*d);
  }
  if (ok && !defs.empty()) {
    dbf::ErrorSilencer quiet;
    dbf::TakeDetail();
    dbf::CreateDbf(DbfFileName(), defs);
    ok = dbf::LastReportedCode() == 0;
    dbf::TakeDetail();
  }
  if (!ok || defs.empty()) ShowMessage("Could not create '" + DbfFileName() + "'");
}

bool TXbFileDataSet::WithLock(const char* operation, bool (*lock)(),
                              const std::function<void()>& write, const TXbLockFailedEvent& event,
                              const char* word) {
  if (ReadOnly()) return false;
  for (int attempt = 1;; ++attempt) {
    {
      EngineScope engine(*this, operation);
      EngineToActive();
      engine.Check();
      if (lock()) {
        write();
        const std::string failure =
            dbf::LastReportedCode() != 0 ? dbf::GetErrorText() : std::string();
        dbf::Unlock();
        if (!failure.empty()) throw EDbfError(failure);
        engine.Check();
        return true;
      }
    }
    bool retry = false;
    if (event && attempt < kLockTries) {
      event(*this, retry);
    } else {
      ShowMessage(std::string("Lock failed [") + word + "]");
    }
    if (!retry) return false;
  }
}

void TXbFileDataSet::AppendWithLock() {
  WithLock(
      "s_AppendWithLock", &dbf::ALock, [] { dbf::Append(); }, OnALockFailedOnInsert, "Insert");
}

namespace {

// Writes a record's flag byte only when the file still holds the record, reading it again under
// the lock: a program that ignores the locks may have cut the file short meanwhile, and a flag
// written past its end would make records out of nothing.
void WriteFlagOfStoredRecord(void (*write)()) {
  dbf::SKIP(0);
  if (dbf::LastReportedCode() == 0) write();
}

}  // namespace

void TXbFileDataSet::DeleteWithLock() {
  WithLock(
      "s_DeleteWithLock", &dbf::RLock, [] { WriteFlagOfStoredRecord(&dbf::DeleteRec); },
      OnRLockFailedOnDelete, "Delete");
}

void TXbFileDataSet::RestoreWithLock() {
  WithLock(
      "s_RestoreWithLock", &dbf::RLock, [] { WriteFlagOfStoredRecord(&dbf::RecallRec); },
      OnRLockFailedOnRestore, "Restore");
}

void TXbFileDataSet::ReplaceWithLock() {
  const std::vector<int> fields = TouchedFields();
  WithLock(
      "s_ReplaceWithLock", &dbf::RLock,
      [this, &fields] {
        CopyToEngine(fields);
        dbf::ReplaceFields(fields);
      },
      OnRLockFailedOnPost, "Post");
}

void TXbDbf::SetExclusive(bool on) {
  if (on == Exclusive()) return;
  const bool wasActive = Active();
  Close();
  SetExclusiveFlag(on);
  if (wasActive) Open();
}

}  // namespace tavrin::dataset
