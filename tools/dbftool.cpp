// dbftool: create, inspect, dump, export, import and pack tables from the command line.
//
// Tables and their memo files are read and written through the engine; their text is in code
// page 437 unless --ansi is given, and everything on the terminal and in CSV or JSON is UTF-8.
// An engine failure prints the engine's error text on stderr and exits with status 1; a usage
// error prints the usage and exits with status 2. Single-threaded.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dbf/Engine.h"
#include "dbf/Errors.h"
#include "dbf/Memo.h"
#include "platform/CodePage.h"
#include "platform/IntConv.h"
#include "tools/Csv.h"
#include "tools/FieldValues.h"
#include "tools/Json.h"

namespace tavrin::tools {
namespace {

constexpr char kUsage[] =
    "usage: dbftool [--ansi] COMMAND TABLE [ARGS]\n"
    "  create TABLE NAME,TYPE,LENGTH,DECIMALS ...  create a table (TYPE one of C N F L D M;\n"
    "                                            LENGTH may be left out for L, D and M)\n"
    "         [--force]                          replace an existing table\n"
    "  info TABLE                                header values and fields\n"
    "  dump TABLE                                every record as JSON, values as stored\n"
    "  export TABLE                              live records as CSV on stdout\n"
    "  import TABLE CSV                          append one record per CSV row\n"
    "  delete TABLE RECNO...                     mark records deleted\n"
    "  recall TABLE RECNO...                     clear the deletion mark of records\n"
    "  pack TABLE                                remove deleted records (and unused memo space)\n"
    "--ansi: the table holds Windows-1252 text instead of code page 437.\n";

// Raised for failures of the tool's own (bad CSV, unknown column, a value that does not fit).
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  bool ansi = false;
  bool force = false;
  std::string command;
  std::vector<std::string> args;  // after the command: the table, then the rest
};

// Everything the tool prints as its result goes through here; a write that fails (a full disk,
// /dev/full, a closed pipe) ends the run with the error, so a cut file never passes for a whole one.
void Write(const std::string& s) {
  if (std::fwrite(s.data(), 1, s.size(), stdout) != s.size()) {
    throw ToolError(std::string("cannot write the output: ") + std::strerror(errno));
  }
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void FlushOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    throw ToolError(std::string("cannot write the output: ") + std::strerror(errno));
  }
}

// Puts the engine into the tool's mode for the length of a run: failures are thrown, never
// halting the process from inside the engine; dates are MM/DD/YYYY; every area is closed at the end
// so the header reaches the file even when a command fails half-way.
class EngineSession {
 public:
  explicit EngineSession(bool ansi) {
    dbf::SetRaise(true);
    dbf::SetHaltHook([](int, const std::string& text) {
      std::fprintf(stderr, "dbftool: %s\n", text.c_str());
      std::exit(1);
    });
    dbf::SetDateFormat(0);
    dbf::SetCentury(true);
    dbf::Settings().noTranslation = ansi;
  }
  ~EngineSession() {
    try {
      dbf::Shutdown();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "dbftool: %s\n", e.what());
    }
  }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;
};

enum class Access { Read, Shared, Exclusive };

// Opens `table` in area 1. Reading opens it read-only: nothing is written to the table or its memo
// file, and a table the user may only read opens too.
void Open(const std::string& table, Access access) {
  dbf::Select(1);
  dbf::OpenOptions options;
  options.exclusive = access == Access::Exclusive;
  dbf::Settings().openOverride = access == Access::Read ? dbf::OpenOverride::ReadOnly : dbf::OpenOverride::None;
  dbf::UseFile(table, options);
}

// The version byte and header length, read from the header of the open table's file.
struct HeaderFacts {
  int version = 0;
  int header_length = 0;
};

HeaderFacts ReadHeaderFacts() {
  std::ifstream in(dbf::DbfName(), std::ios::binary);
  unsigned char b[12] = {};
  if (!in.read(reinterpret_cast<char*>(b), sizeof b)) throw ToolError("cannot read the header of " + dbf::DbfName());
  HeaderFacts f;
  f.version = b[0];
  f.header_length = (b[0] & 7) == 2 ? 521 : b[8] | (b[9] << 8);
  return f;
}

// Stored bytes of a field as UTF-8 (untranslated bytes are OEM unless --ansi).
std::string StoredUtf8(const std::string& raw, bool ansi) {
  return platform::AnsiToUtf8(ansi ? raw : platform::OemToAnsi(raw));
}

// Field names are ASCII in well-formed tables; other bytes are shown as Windows-1252.
std::string FieldNameUtf8(int field) { return platform::AnsiToUtf8(dbf::Field(field)); }

std::string FieldValueUtf8(int field, bool ansi) {
  if (dbf::FieldType(field) == 'M') return platform::AnsiToUtf8(dbf::ReadMemo(field));
  return StoredUtf8(dbf::Peek(field, dbf::RecNo()), ansi);
}

// ---- create -------------------------------------------------------------------------------

// Every existing file that creating `table` would truncate: the table file and, with memo fields,
// the memo file beside it, in any letter case (the engine writes into an existing twin).
std::vector<std::string> FilesCreateWouldReplace(const std::string& table, bool memo) {
  namespace fs = std::filesystem;
  const fs::path path(table);
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string stem = path.has_extension() ? path.stem().string() : path.filename().string();
  std::vector<std::string> wanted = {Lower(path.has_extension() ? path.filename().string() : stem + ".dbf")};
  if (memo) wanted.push_back(Lower(stem + ".dbt"));
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    for (const std::string& w : wanted) {
      if (Lower(name) == w) found.push_back(path.has_parent_path() ? (dir / name).string() : name);
    }
  }
  return found;
}

int CmdCreate(const Options& o) {
  if (o.args.size() < 2) throw UsageError("create needs a table and at least one field");
  std::vector<dbf::FieldDef> fields;
  bool memo = false;
  for (std::size_t i = 1; i < o.args.size(); ++i) {
    const auto def = ParseFieldArg(o.args[i]);
    if (!def) throw UsageError("bad field definition \"" + o.args[i] + "\" (NAME,TYPE,LENGTH,DECIMALS)");
    fields.push_back(*def);
    memo = memo || def->type == 'M' || def->type == 'm';
  }
  if (fields.size() > 255) throw UsageError("a table has at most 255 fields");
  const std::vector<std::string> existing = FilesCreateWouldReplace(o.args[0], memo);
  if (!o.force && !existing.empty()) {
    std::string list;
    for (const std::string& f : existing) list += (list.empty() ? "" : ", ") + f;
    throw ToolError(list + (existing.size() > 1 ? " already exist" : " already exists") +
                    " (use --force to replace)");
  }
  EngineSession session(o.ansi);
  dbf::CreateDbf(o.args[0], fields);
  return 0;
}

// ---- info ---------------------------------------------------------------------------------

int CmdInfo(const Options& o) {
  if (o.args.size() != 1) throw UsageError("info needs exactly one table");
  EngineSession session(o.ansi);
  Open(o.args[0], Access::Read);
  const HeaderFacts h = ReadHeaderFacts();
  char line[200];
  std::snprintf(line, sizeof line, "Version byte:  0x%02X%s\n", h.version,
                (h.version & 0x80) != 0 ? " (memo file)" : "");
  Write("Table:         " + dbf::DbfName() + "\n" + line);
  Write("Last update:   " + dbf::LastUpdate() + "\n");
  Write("Records:       " + std::to_string(dbf::RecCount()) + "\n");
  Write("Header length: " + std::to_string(h.header_length) + "\n");
  Write("Record length: " + std::to_string(dbf::RecSize()) + "\n");
  Write("Fields:        " + std::to_string(dbf::FieldCount()) + "\n");
  for (int n = 1; n <= dbf::FieldCount(); ++n) {
    std::snprintf(line, sizeof line, "  %3d  %-10s  %c  %3d  %2d\n", n, FieldNameUtf8(n).c_str(),
                  dbf::FieldType(n), dbf::FieldLen(n), dbf::FieldDec(n));
    Write(line);
  }
  return 0;
}

// ---- dump ---------------------------------------------------------------------------------

std::string FieldsJson() {
  std::string out = "[";
  for (int n = 1; n <= dbf::FieldCount(); ++n) {
    if (n > 1) out += ", ";
    out += "{\"name\": " + JsonString(FieldNameUtf8(n)) + ", \"type\": " +
           JsonString(std::string(1, dbf::FieldType(n))) + ", \"length\": " +
           std::to_string(dbf::FieldLen(n)) + ", \"decimals\": " + std::to_string(dbf::FieldDec(n)) + "}";
  }
  return out + "]";
}

int CmdDump(const Options& o) {
  if (o.args.size() != 1) throw UsageError("dump needs exactly one table");
  EngineSession session(o.ansi);
  Open(o.args[0], Access::Read);
  Write("{\"version\": " + std::to_string(ReadHeaderFacts().version) + ",\n \"fields\": " + FieldsJson() +
        ",\n \"records\": [");
  bool first = true;
  for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1)) {
    std::string rec = first ? "\n" : ",\n";
    first = false;
    rec += "  {\"deleted\": " + std::string(dbf::Deleted() ? "true" : "false") + ", \"values\": [";
    for (int n = 1; n <= dbf::FieldCount(); ++n) {
      if (n > 1) rec += ", ";
      rec += JsonString(FieldValueUtf8(n, o.ansi));
    }
    Write(rec + "]}");
  }
  Write("\n ]}\n");
  return 0;
}

// ---- export -------------------------------------------------------------------------------

int CmdExport(const Options& o) {
  if (o.args.size() != 1) throw UsageError("export needs exactly one table");
  EngineSession session(o.ansi);
  Open(o.args[0], Access::Read);
  std::vector<std::string> row;
  for (int n = 1; n <= dbf::FieldCount(); ++n) row.push_back(FieldNameUtf8(n));
  Write(CsvRow(row));
  for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1)) {
    if (dbf::Deleted()) continue;
    row.clear();
    for (int n = 1; n <= dbf::FieldCount(); ++n) {
      const char type = dbf::FieldType(n);
      const std::string value = FieldValueUtf8(n, o.ansi);
      row.push_back(type == 'M' ? value : ExportText(type, value));
    }
    Write(CsvRow(row));
  }
  return 0;
}

// ---- import -------------------------------------------------------------------------------

// One CSV row checked and converted, ready to be stored: per field, its value (nothing = blank).
using PreparedRow = std::vector<std::optional<ImportValue>>;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Maps the CSV header to field numbers (case-insensitive); an unknown or repeated column fails.
std::vector<int> MapColumns(const std::vector<std::string>& header, const std::string& csv) {
  std::vector<int> map;
  for (const std::string& name : header) {
    const std::string ansi = platform::Utf8ToAnsi(name);
    int found = 0;
    for (int n = 1; n <= dbf::FieldCount() && found == 0; ++n) {
      if (Upper(dbf::Field(n)) == Upper(ansi)) found = n;
    }
    if (found == 0) throw ToolError(csv + ": unknown column \"" + name + "\" (no such field in the table)");
    for (int m : map) {
      if (m == found) throw ToolError(csv + ": column \"" + name + "\" appears twice");
    }
    map.push_back(found);
  }
  return map;
}

struct ImportPlan {
  std::vector<PreparedRow> rows;
  std::string lossy;  // where a character had no counterpart in the table's code page (first case)
};

void NoteLossy(ImportPlan& plan, const std::string& cell, const std::string& ansi, bool oem,
               const std::string& where) {
  if (!plan.lossy.empty()) return;
  const bool lossy = platform::AnsiToUtf8(ansi) != cell ||
                     (oem && platform::OemToAnsi(platform::AnsiToOem(ansi)) != ansi);
  if (lossy) plan.lossy = where;
}

ImportPlan PrepareImport(const std::string& text, const std::string& csv, bool ansi) {
  CsvReader reader(text);
  std::vector<std::string> cells;
  if (!reader.Next(cells)) throw ToolError(csv + ": no header row");
  const std::vector<int> columns = MapColumns(cells, csv);
  ImportPlan plan;
  while (reader.Next(cells)) {
    if (cells.size() == 1 && cells[0].empty()) continue;  // blank line
    const std::string line = csv + ", line " + std::to_string(reader.RowLine());
    if (cells.size() > columns.size()) throw ToolError(line + ": more cells than columns");
    PreparedRow row(static_cast<std::size_t>(dbf::FieldCount()));
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const int n = columns[c];
      const std::string where = line + ", column " + FieldNameUtf8(n);
      const std::string cell_ansi = platform::Utf8ToAnsi(cells[c]);
      NoteLossy(plan, cells[c], cell_ansi, !ansi, where);
      try {
        row[n - 1] = ConvertImportValue({dbf::FieldType(n), dbf::FieldLen(n), dbf::FieldDec(n)}, cell_ansi);
      } catch (const ValueError& e) {
        throw ToolError(where + ": " + e.what());
      }
    }
    plan.rows.push_back(std::move(row));
  }
  return plan;
}

void StoreValue(int n, const ImportValue& v) {
  switch (dbf::FieldType(n)) {
    case 'C': dbf::SetString(n, v.text); break;
    case 'M': dbf::WriteMemo(n, v.text); break;
    case 'L': dbf::SetLogical(n, v.truth); break;
    case 'D': dbf::SetString(n, StoredDateToText(v.text)); break;
    default:
      if (dbf::FieldDec(n) > 0) dbf::SetDouble(n, v.number);
      else dbf::SetInteger(n, static_cast<std::int32_t>(v.number));
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int CmdImport(const Options& o) {
  if (o.args.size() != 2) throw UsageError("import needs a table and a CSV file");
  const std::string text = ReadWholeFile(o.args[1]);
  EngineSession session(o.ansi);
  Open(o.args[0], Access::Shared);
  const ImportPlan plan = PrepareImport(text, o.args[1], o.ansi);
  if (!plan.lossy.empty()) {
    std::fprintf(stderr, "dbftool: warning: %s (and maybe others): characters the table's code page "
                 "cannot hold were stored as look-alikes or '?'\n", plan.lossy.c_str());
  }
  if (!dbf::ALock()) throw ToolError(o.args[0] + " is locked for appending by another program; try again later");
  for (const PreparedRow& row : plan.rows) {
    dbf::ClearRecord();
    for (int n = 1; n <= static_cast<int>(row.size()); ++n) {
      if (row[n - 1]) StoreValue(n, *row[n - 1]);
    }
    dbf::Append();
  }
  dbf::Unlock();
  std::fprintf(stderr, "dbftool: %zu records appended\n", plan.rows.size());
  return 0;
}

// ---- delete / recall / pack ---------------------------------------------------------------

int CmdMark(const Options& o, bool deleted) {
  if (o.args.size() < 2) throw UsageError(o.command + " needs a table and record numbers");
  std::vector<std::int32_t> records;
  for (std::size_t i = 1; i < o.args.size(); ++i) {
    const auto n = platform::StrToInt(o.args[i]);
    if (!n || *n < 1 || o.args[i].find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError("bad record number \"" + o.args[i] + "\"");
    }
    records.push_back(*n);
  }
  EngineSession session(o.ansi);
  Open(o.args[0], Access::Shared);
  for (std::int32_t n : records) {
    dbf::GO(n);
    if (!dbf::RLock()) throw ToolError("record " + std::to_string(n) + " is locked by another program");
    if (deleted) dbf::DeleteRec();
    else dbf::RecallRec();
    dbf::Unlock();
  }
  return 0;
}

int CmdPack(const Options& o) {
  if (o.args.size() != 1) throw UsageError("pack needs exactly one table");
  EngineSession session(o.ansi);
  Open(o.args[0], Access::Exclusive);
  if (!dbf::Pack() && dbf::RecCount() > 0) throw ToolError(o.args[0] + " could not be packed");
  return 0;
}

// ---- main ---------------------------------------------------------------------------------

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ansi") o.ansi = true;
    else if (a == "--force") o.force = true;
    else if (a == "--help" || a == "-h") throw UsageError("");
    else if (a.size() > 2 && a.rfind("--", 0) == 0) throw UsageError("unknown option " + a);
    else if (o.command.empty()) o.command = a;
    else o.args.push_back(a);
  }
  if (o.command.empty()) throw UsageError("no command given");
  return o;
}

int Dispatch(const Options& o) {
  if (o.command == "create") return CmdCreate(o);
  if (o.command == "info") return CmdInfo(o);
  if (o.command == "dump") return CmdDump(o);
  if (o.command == "export") return CmdExport(o);
  if (o.command == "import") return CmdImport(o);
  if (o.command == "delete") return CmdMark(o, true);
  if (o.command == "recall") return CmdMark(o, false);
  if (o.command == "pack") return CmdPack(o);
  throw UsageError("unknown command \"" + o.command + "\"");
}

// The engine's text has CR LF between the code text and the detail; the terminal wants LF.
std::string TerminalText(std::string text) {
  for (std::size_t p; (p = text.find("\r\n")) != std::string::npos;) text.replace(p, 2, "\n");
  return text;
}

}  // namespace
}  // namespace tavrin::tools

int main(int argc, char** argv) {
  using namespace tavrin::tools;
  try {
    const Options o = ParseOptions(argc, argv);
    const int status = Dispatch(o);
    FlushOutput();
    return status;
  } catch (const UsageError& e) {
    if (*e.what() != '\0') std::fprintf(stderr, "dbftool: %s\n", e.what());
    std::fputs(kUsage, stderr);
    return 2;
  } catch (const tavrin::dbf::EDbfError& e) {
    std::fprintf(stderr, "dbftool: %s\n", TerminalText(e.what()).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dbftool: %s\n", e.what());
    return 1;
  }
}
