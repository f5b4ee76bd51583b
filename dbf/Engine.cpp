// Work areas: selection, opening a table from a USE command, closing, shutdown.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>

#include "dbf/Errors.h"
#include "dbf/Format.h"
#include "dbf/WorkArea.h"
#include "platform/CodePage.h"
#include "platform/Trim.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

bool KeywordEndsAt(const std::string& s, std::size_t pos) {
  if (pos >= s.size()) return true;
  const unsigned char c = static_cast<unsigned char>(s[pos]);
  return !(std::isalnum(c) || c == '\\' || c == '_');
}

// Removes every `keyword` occurrence not glued to a following name character from both the
// upper-cased text and the original (same length); answers whether one was removed.
bool RemoveKeyword(std::string* upper, std::string* orig, const std::string& keyword) {
  bool removed = false;
  std::size_t pos = 0;
  while ((pos = upper->find(keyword, pos)) != std::string::npos) {
    if (KeywordEndsAt(*upper, pos + keyword.size())) {
      upper->erase(pos, keyword.size());
      orig->erase(pos, keyword.size());
      removed = true;
    } else {
      pos += keyword.size();
    }
  }
  return removed;
}

std::string DefaultAlias(const std::string& path) {
  std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.resize(dot);
  return platform::AnsiUpper(base);
}

struct ParsedUse {
  std::string fileName;
  std::string alias;
  bool exclusive = false;
};

ParsedUse ParseUse(const std::string& command) {
  std::string upper = platform::AnsiUpper(command) + " ";
  std::string orig = command + " ";
  ParsedUse p;
  p.exclusive = RemoveKeyword(&upper, &orig, " EXCLUSIVE");
  const std::size_t at = upper.find(" ALIAS ");
  if (at != std::string::npos) {
    std::string alias = upper.substr(at + 7, 64);
    const std::size_t sp = alias.find(' ');
    if (sp != std::string::npos) alias.resize(sp);
    p.alias = alias;
    orig.resize(at);
  }
  p.fileName = File::Absolute(std::string(platform::TrimControls(orig)));
  if (p.alias.empty()) p.alias = DefaultAlias(p.fileName);
  p.fileName = WithDefaultExtension(p.fileName, "DBF");
  return p;
}

bool NameInUse(const std::string& name) {
  if (name.size() > 10) return false;
  for (int i = 1; i <= kWorkAreaCount; ++i) {
    const auto& a = Engine().areas[i];
    if (i != Engine().current && a && a->table && a->name() == name) return true;
  }
  return false;
}

bool AliasInUse(const std::string& alias, int self) {
  for (int i = 1; i <= kWorkAreaCount; ++i) {
    const auto& a = Engine().areas[i];
    if (i != self && a && a->alias == alias) return true;
  }
  return false;
}

// The record count at open: the file size decides, so records that a writer appended without
// living to update the header are neither hidden nor overwritten. The header's count is put right
// only when the table is changed, or when the recount-on-open switch asks for it: a table that is
// only read is left as it was.
bool SetOpenCount(WorkArea& a) {
  int code = 0;
  const std::int32_t fromSize = CountFromFileSize(a.t(), &code);
  if (code != 0) {
    Report(code, "Error reading " + a.name() + " [Use/OpenDbf]");
    return false;
  }
  if (!CheckRecordFlagsAtOpen(a.t(), a.t().recCount, fromSize)) return false;
  if (fromSize != a.t().recCount && !a.readOnly && Engine().settings.recountOnOpen)
    a.t().state = UpdateState::Modified;
  a.t().recCount = fromSize;
  return true;
}

bool AttachValueArea(WorkArea& a, void* buffer, std::size_t size, const std::string& command) {
  std::size_t need = 0;
  LayOutValues(a.t(), &need);
  if (buffer == nullptr) {
    a.ownedValues.assign(need, 0);
    a.values = a.ownedValues.data();
  } else if (size != need) {
    Report(err::kInvalidSize, "Database record/buffer size mismatch: " + command + " [USE()]" +
                                  "\n\r" + "Record Size=" + std::to_string(need) +
                                  ", Buffer Size=" + std::to_string(size));
    return false;
  } else {
    a.values = static_cast<std::uint8_t*>(buffer);
  }
  a.valuesSize = need;
  return true;
}

// Opens the table part of USE into a new work area; false (nothing kept) on failure.
std::unique_ptr<WorkArea> OpenArea(const ParsedUse& p, const std::string& command, void* buffer,
                                   std::size_t size) {
  EngineState& e = Engine();
  auto a = std::make_unique<WorkArea>();
  a->number = e.current;
  const bool locking = e.settings.lockingEnabled;
  a->exclusive = p.exclusive || !locking;
  a->readOnly = e.settings.openOverride == OpenOverride::ReadOnly;
  a->oem = !e.settings.noTranslation;
  a->alias = p.alias;
  OpenMode mode;
  mode.write = !a->readOnly;
  mode.exclusive = p.exclusive;
  mode.shareLock = locking;
  if (!OpenDbf(p.fileName, mode, &a->table)) return nullptr;
  if (!SetOpenCount(*a)) return nullptr;
  if (a->t().recCount < 1) {
    a->recNo = 0;
    a->eof = a->bof = true;
  } else {
    a->recNo = 1;
    a->eof = a->bof = false;
  }
  if (!AttachValueArea(*a, buffer, size, command)) return nullptr;
  return a;
}

}  // namespace

EngineState& Engine() {
  static EngineState state;
  return state;
}

EngineSettings& Settings() { return Engine().settings; }

WorkArea* CurrentOrNull() {
  auto& a = Engine().areas[Engine().current];
  return (a && a->table) ? a.get() : nullptr;
}

WorkArea* RequireOpen(const char* op) {
  ClearErrorCode();
  WorkArea* a = CurrentOrNull();
  if (a == nullptr) {
    Report(err::kNoDatabaseInUse, std::string("No database in use [") + op +
                                      "]  WorkArea = " + std::to_string(Engine().current));
  }
  return a;
}

void Select(int area) {
  ClearErrorCode();
  EngineState& e = Engine();
  if (area == 0) {
    for (int i = 1; i <= kWorkAreaCount; ++i) {
      if (!e.areas[i]) {
        e.current = i;
        return;
      }
    }
    Report(err::kInvalidParameter, "No free workarea available [Select(0)]");
    return;
  }
  if (area < 0 || area > kWorkAreaCount) {
    Report(err::kInvalidParameter,
           "Invalid workarea selected = [Select(" + std::to_string(area) + ")]");
    return;
  }
  e.current = area;
}

int CurrentArea() { return Engine().current; }
bool IsOpen() { return CurrentOrNull() != nullptr; }
std::string Alias() { return CurrentOrNull() ? CurrentOrNull()->alias : std::string(); }
std::string DbfName() { return CurrentOrNull() ? CurrentOrNull()->name() : std::string(); }
bool IsExclusive() { return CurrentOrNull() && CurrentOrNull()->exclusive; }
platform::TextPage TableTextPage() {
  return CurrentOrNull() ? TextPageOf(CurrentOrNull()->t()) : platform::TextPage::Oem437;
}

namespace {

// The part of an open shared by USE and UseFile, once the file name, alias and mode are known.
// `command` is the text the messages name.
void OpenParsed(const ParsedUse& p, const std::string& command, void* buffer, std::size_t size,
                TranslateProc readProc, TranslateProc writeProc) {
  EngineState& e = Engine();
  if ((buffer == nullptr) != (size == 0)) {
    Report(err::kInvalidParameter,
           "Buffer is NIL or size is zero, attempting to open " + command + " [USE]");
    return;
  }
  if (NameInUse(p.fileName)) {
    Report(err::kAlreadyInUse, "File: " + p.fileName + " is already in use." + " [" + "USE" + "]");
    return;
  }
  std::unique_ptr<WorkArea> a = OpenArea(p, command, buffer, size);
  if (!a) return;
  if (AliasInUse(a->alias, e.current)) {
    const std::string alias = a->alias;
    a.reset();
    Report(err::kInvalidParameter, "Alias name \"" + alias + "\" already in use." + " [USE]");
    return;
  }
  a->readProc = std::move(readProc);
  a->writeProc = std::move(writeProc);
  WorkArea& area = *a;
  e.areas[e.current] = std::move(a);
  if (area.t().recCount < 1) {
    std::fill(area.values, area.values + area.valuesSize, 0);
    Blank(area);
  } else {
    GoTop();
  }
  area.swap.assign(area.valuesSize, 0);
  if (area.t().hasMemo) {
    const int code = OpenMemoFor(area);
    if (code != 0) {
      const std::string memoName =
          area.t().memoPath.empty() ? ReplaceExtension(area.name(), "DBT") : area.t().memoPath;
      CloseArea(e.current);
      const std::string where = "[USE(" + command + ",<@Buffer>," + std::to_string(size) + ")]";
      Report(code, code == err::kFileNotFound ? "The memo file " + memoName + " is missing " + where
                                              : "Problem with memo " + where);
    }
  }
}

}  // namespace

void USE(std::string_view commandText, void* buffer, std::size_t size, TranslateProc readProc,
         TranslateProc writeProc) {
  ClearErrorCode();
  CloseArea(Engine().current);
  const std::string command(platform::TrimControls(commandText));
  if (command.empty()) return;
  const std::string upper = platform::AnsiUpper(command);
  if (upper.find("LINKED LIST") != std::string::npos ||
      upper.find("VIRTUAL FILE") != std::string::npos) {
    Report(err::kNotAvailable, "In-memory tables are not available: " + command + " [USE]");
    return;
  }
  OpenParsed(ParseUse(command), command, buffer, size, std::move(readProc), std::move(writeProc));
}

void UseFile(std::string_view path, const OpenOptions& options, void* buffer, std::size_t size,
             TranslateProc readProc, TranslateProc writeProc) {
  ClearErrorCode();
  CloseArea(Engine().current);
  if (path.empty()) return;
  ParsedUse p;
  p.fileName = File::Absolute(std::string(path));
  p.alias = options.alias.empty() ? DefaultAlias(p.fileName)
                                  : platform::AnsiUpper(options.alias.substr(0, 64));
  p.fileName = WithDefaultExtension(p.fileName, "DBF");
  p.exclusive = options.exclusive;
  OpenParsed(p, std::string(path), buffer, size, std::move(readProc), std::move(writeProc));
}

int UpdateHeaderOf(WorkArea& a) {
  Table& t = a.t();
  bool holdsAppend = a.exclusive || a.lockState == LockState::Append;
  bool took = false;
  if (!holdsAppend) {
    took = t.file->TryLock(fmt::kAppendLockOffset, 1, LockKind::Write) == 0;
    holdsAppend = took;
  }
  int code = 0;
  if (!a.exclusive) {
    const std::int32_t n = CountFromFileSize(t, &code);
    if (code == 0) t.recCount = n;
  }
  const bool appended = t.state == UpdateState::Appended;
  // Without the append lock someone may be appending right now: a count taken here could be
  // overtaken (the appender writes its own under the lock), and the end marker could land on the
  // new record, so it stays owed.
  if (code == 0) code = HeaderUpdate(t, appended && holdsAppend, holdsAppend);
  if (code == 0 && appended && !holdsAppend) t.state = UpdateState::Appended;
  if (took) t.file->Unlock(fmt::kAppendLockOffset, 1);
  return code;
}

void CloseArea(int n) {
  EngineState& e = Engine();
  if (n < 1 || n > kWorkAreaCount || !e.areas[n]) return;
  std::unique_ptr<WorkArea> a = std::move(e.areas[n]);
  if (!a->table) return;
  // Locks go first so that the header update below can take the append lock itself.
  ReleaseLocks(*a);
  if (a->memo && a->stream.mode != StreamMode::None) a->memo->End(&a->stream);
  a->swap.clear();
  a->memo.reset();
  Table& t = a->t();
  int code = 0;
  if (t.state != UpdateState::Clean && !a->readOnly) code = UpdateHeaderOf(*a);
  const std::string name = t.fileName;
  a.reset();  // closes the files; the slot is already empty
  if (code != 0) Report(code, "File:  " + name + " [CloseDbf(" + name + ")]");
}

void Shutdown() {
  // Every area is closed even when one close raises; the first failure is raised at the end.
  std::exception_ptr first;
  for (int i = 1; i <= kWorkAreaCount; ++i) {
    Engine().current = i;
    try {
      CloseArea(i);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  Engine().current = 1;
  if (first) std::rethrow_exception(first);
}

}  // namespace tavrin::dbf
