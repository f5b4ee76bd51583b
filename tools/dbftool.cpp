// dbftool: create, inspect, dump, export, import, pack and repair tables from the command line.
//
// Tables and their memo files are read and written through the engine; their text is in code
// page 437, or Windows-1252 with --ansi or when the table's header says so, and everything on the
// terminal and in CSV or JSON is UTF-8. An engine failure prints the engine's error text on stderr
// and exits with status 1; a usage error prints the usage and exits with status 2. Single-threaded.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "dbf/Engine.h"
#include "dbf/Errors.h"
#include "dbf/Memo.h"
#include "platform/IntConv.h"
#include "platform/TextPage.h"
#include "csv/Csv.h"
#include "tools/CsvImport.h"
#include "csv/FieldValues.h"
#include "tools/Json.h"
#include "tools/ToolSession.h"

namespace tavrin::tools {
namespace {

constexpr char kUsage[] =
    "usage: dbftool [OPTIONS] COMMAND TABLE [ARGS]\n"
    "  create TABLE NAME,TYPE,LENGTH,DECIMALS ...  create a table (TYPE one of C N F L D M;\n"
    "                                            LENGTH may be left out for L, D and M)\n"
    "         [--force]                          replace an existing table and memo file\n"
    "  info TABLE                                header values and fields\n"
    "  dump TABLE                                every record as JSON, values as stored\n"
    "  export TABLE                              live records as CSV on stdout\n"
    "  import TABLE CSV                          append one record per CSV row\n"
    "  delete TABLE RECNO...                     mark records deleted\n"
    "  recall TABLE RECNO...                     clear the deletion mark of records\n"
    "  pack TABLE [--memo]                       remove deleted records; with --memo also compact\n"
    "                                            the memo file (done anyway when over half is "
    "unused)\n"
    "  repair TABLE                              cut off a partial record at the end of the "
    "table,\n"
    "                                            saving its bytes in TABLE.cut\n"
    "options:\n"
    "  --ansi                  the table holds Windows-1252 text (default: as its header says,\n"
    "                          else code page 437); create marks the table so\n"
    "  --codepage N            create: the table's text is in code page N: 437 (the default),\n"
    "                          1252, 1250 (Central European), 1251 (Cyrillic), 1253 (Greek),\n"
    "                          852, 866 or 737 (their DOS counterparts); written into its header\n"
    "  --replace               import: store characters the table's code page cannot hold as\n"
    "                          '?' (without it such a CSV is refused and nothing is appended)\n"
    "  --csv-encoding ENC      import: the CSV is utf-8 (default) or cp1252\n"
    "  --separator CHAR        import: cells are separated by CHAR instead of ','\n"
    "  --wait SECONDS          import, delete, recall, pack: wait that long for another\n"
    "                          program's lock instead of failing at once\n";

std::string FieldNameUtf8(int field, CodePage page) { return ToUtf8(dbf::Field(field), page); }

std::string FieldValueUtf8(int field, CodePage page) {
  if (dbf::FieldType(field) == 'M') return ToUtf8(dbf::ReadMemo(field), page);
  return ToUtf8(dbf::Peek(field, dbf::RecNo()), page);
}

// ---- create -------------------------------------------------------------------------------

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Every existing file that creating `table` would truncate: the table file and, with memo fields,
// the memo file beside it, in any letter case (the engine writes into an existing twin).
std::vector<std::string> FilesCreateWouldReplace(const std::string& table, bool memo) {
  namespace fs = std::filesystem;
  const fs::path path(table);
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string stem = path.has_extension() ? path.stem().string() : path.filename().string();
  std::vector<std::string> wanted = {
      Lower(path.has_extension() ? path.filename().string() : stem + ".dbf")};
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

std::vector<dbf::FieldDef> ParseFieldArgs(const Options& o) {
  std::vector<dbf::FieldDef> fields;
  for (std::size_t i = 1; i < o.args.size(); ++i) {
    const auto def = ParseFieldArg(o.args[i]);
    if (!def)
      throw UsageError("bad field definition \"" + o.args[i] + "\" (NAME,TYPE,LENGTH,DECIMALS)");
    fields.push_back(*def);
  }
  if (fields.size() > 255) throw UsageError("a table has at most 255 fields");
  try {
    CheckFieldDefs(fields);
  } catch (const ValueError& e) {
    throw UsageError(e.what());
  }
  return fields;
}

int CmdCreate(const Options& o) {
  if (o.args.size() < 2) throw UsageError("create needs a table and at least one field");
  const std::vector<dbf::FieldDef> fields = ParseFieldArgs(o);
  const bool memo = std::any_of(fields.begin(), fields.end(),
                                [](const dbf::FieldDef& f) { return f.type == 'M'; });
  const std::vector<std::string> existing = FilesCreateWouldReplace(o.args[0], memo);
  if (!o.force && !existing.empty()) {
    std::string list;
    for (const std::string& f : existing) list += (list.empty() ? "" : ", ") + f;
    throw ToolError(list + (existing.size() > 1 ? " already exist" : " already exists") +
                    " (use --force to replace)");
  }
  EngineSession session;
  dbf::CreateDbf(o.args[0], fields, LanguageByte(o));
  return 0;
}

// ---- info, dump, export -------------------------------------------------------------------

int CmdInfo(const Options& o) {
  if (o.args.size() != 1) throw UsageError("info needs exactly one table");
  EngineSession session;
  OpenTable(o, Access::Read);
  const HeaderFacts h = ReadHeaderFacts();
  const CodePage page = TablePage(o);
  char line[200];
  std::snprintf(line, sizeof line, "Version byte:  0x%02X%s\n", h.version,
                (h.version & 0x80) != 0 ? " (memo file)" : "");
  Write("Table:         " + dbf::DbfName() + "\n" + line);
  Write("Last update:   " + dbf::LastUpdate() + "\n");
  Write("Records:       " + std::to_string(dbf::RecCount()) + "\n");
  Write("Header length: " + std::to_string(h.headerLength) + "\n");
  Write("Record length: " + std::to_string(dbf::RecSize()) + "\n");
  const int number = TablePageNumber(o);
  Write("Code page:     " +
        (number > 1000 ? "Windows-" + std::to_string(number) : std::to_string(number)) + "\n");
  Write("Fields:        " + std::to_string(dbf::FieldCount()) + "\n");
  for (int n = 1; n <= dbf::FieldCount(); ++n) {
    std::snprintf(line, sizeof line, "  %3d  %-10s  %c  %3d  %2d\n", n,
                  FieldNameUtf8(n, page).c_str(), dbf::FieldType(n), dbf::FieldLen(n),
                  dbf::FieldDec(n));
    Write(line);
  }
  return 0;
}

std::string FieldsJson(CodePage page) {
  std::string out = "[";
  for (int n = 1; n <= dbf::FieldCount(); ++n) {
    if (n > 1) out += ", ";
    out += "{\"name\": " + JsonString(FieldNameUtf8(n, page)) +
           ", \"type\": " + JsonString(std::string(1, dbf::FieldType(n))) +
           ", \"length\": " + std::to_string(dbf::FieldLen(n)) +
           ", \"decimals\": " + std::to_string(dbf::FieldDec(n)) + "}";
  }
  return out + "]";
}

int CmdDump(const Options& o) {
  if (o.args.size() != 1) throw UsageError("dump needs exactly one table");
  EngineSession session;
  OpenTable(o, Access::Read);
  const CodePage page = TablePage(o);
  Write("{\"version\": " + std::to_string(ReadHeaderFacts().version) +
        ",\n \"fields\": " + FieldsJson(page) + ",\n \"records\": [");
  bool first = true;
  for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1)) {
    std::string rec = first ? "\n" : ",\n";
    first = false;
    rec += "  {\"deleted\": " + std::string(dbf::Deleted() ? "true" : "false") + ", \"values\": [";
    for (int n = 1; n <= dbf::FieldCount(); ++n) {
      if (n > 1) rec += ", ";
      rec += JsonString(FieldValueUtf8(n, page));
    }
    Write(rec + "]}");
  }
  Write("\n ]}\n");
  return 0;
}

int CmdExport(const Options& o) {
  if (o.args.size() != 1) throw UsageError("export needs exactly one table");
  EngineSession session;
  OpenTable(o, Access::Read);
  const CodePage page = TablePage(o);
  std::vector<std::string> row;
  for (int n = 1; n <= dbf::FieldCount(); ++n) row.push_back(FieldNameUtf8(n, page));
  Write(CsvRow(row));
  for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1)) {
    if (dbf::Deleted()) continue;
    row.clear();
    for (int n = 1; n <= dbf::FieldCount(); ++n) {
      const char type = dbf::FieldType(n);
      const std::string value = FieldValueUtf8(n, page);
      row.push_back(type == 'M' ? value : ExportText(type, value));
    }
    Write(CsvRow(row));
  }
  return 0;
}

// ---- import, delete / recall, pack --------------------------------------------------------

int CmdImport(const Options& o) {
  if (o.args.size() != 2) throw UsageError("import needs a table and a CSV file");
  EngineSession session;
  OpenTable(o, Access::Shared);
  ImportCsv(o, o.args[1]);
  return 0;
}

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
  EngineSession session;
  OpenTable(o, Access::Shared);
  const std::int32_t count = dbf::RecCount();
  for (std::int32_t n : records) {  // every number is checked before anything changes
    if (n > count) {
      throw ToolError("record " + std::to_string(n) + " does not exist (" + o.args[0] + " has " +
                      std::to_string(count) + " records); nothing was changed");
    }
  }
  for (std::int32_t n : records) {
    dbf::GO(n);
    if (!WithWait(o, [] { return dbf::RLock(); })) {
      throw ToolError("record " + std::to_string(n) + " is locked by another program");
    }
    if (deleted)
      dbf::DeleteRec();
    else
      dbf::RecallRec();
    dbf::Unlock();
  }
  return 0;
}

int CmdPack(const Options& o) {
  if (o.args.size() != 1) throw UsageError("pack needs exactly one table");
  EngineSession session;
  OpenTable(o, Access::Exclusive);
  dbf::PartialRecord tail;
  if (dbf::EndsInsideRecord(&tail)) {
    throw ToolError(dbf::DbfName() + ": The table ends inside a record (" +
                    std::to_string(tail.bytes) + " bytes after " +
                    (tail.after > 0 ? "record " + std::to_string(tail.after) : "the header") +
                    "): it is damaged. Nothing was changed; `dbftool repair " + o.args[0] +
                    "` cuts the partial record off and keeps its bytes beside the table.");
  }
  const dbf::MemoPacking memo =
      o.memo ? dbf::MemoPacking::Always : dbf::MemoPacking::WhenMostlyDead;
  if (!dbf::Pack(memo) && dbf::RecCount() > 0) throw ToolError(o.args[0] + " could not be packed");
  return 0;
}

int CmdRepair(const Options& o) {
  if (o.args.size() != 1) throw UsageError("repair needs exactly one table");
  EngineSession session;
  OpenTable(o, Access::Exclusive);
  const std::string table = dbf::DbfName();
  dbf::PartialRecord tail;
  if (!dbf::EndsInsideRecord(&tail)) {
    std::fprintf(stderr, "dbftool: %s ends after a whole record; nothing to repair\n",
                 table.c_str());
    return 0;
  }
  const std::string cut = table + ".cut";
  dbf::CutPartialRecord(cut);
  std::fprintf(stderr,
               "dbftool: %s ended inside a record: cut off %lld bytes after %s, saved in %s; whole "
               "records kept: %d\n",
               table.c_str(), static_cast<long long>(tail.bytes),
               tail.after > 0 ? ("record " + std::to_string(tail.after)).c_str() : "the header",
               cut.c_str(), static_cast<int>(tail.after));
  return 0;
}

// ---- main ---------------------------------------------------------------------------------

// The value of an option that takes one: the next argument.
std::string OptionValue(int argc, char** argv, int* i) {
  if (*i + 1 >= argc) throw UsageError(std::string(argv[*i]) + " needs a value");
  return argv[++*i];
}

void ParseValueOption(const std::string& a, const std::string& value, Options* o) {
  if (a == "--separator") {
    if (value.size() != 1 || value == "\"" || value == "\n" || value == "\r") {
      throw UsageError("--separator takes one character other than a quote or a line break");
    }
    o->separator = value[0];
  } else if (a == "--csv-encoding") {
    const std::string v = Lower(value);
    if (v != "utf-8" && v != "utf8" && v != "cp1252" && v != "windows-1252") {
      throw UsageError("--csv-encoding is utf-8 or cp1252");
    }
    o->csvCp1252 = v == "cp1252" || v == "windows-1252";
  } else if (a == "--codepage") {
    const auto n = platform::StrToInt(value);
    if (!n || value.find_first_not_of("0123456789") != std::string::npos ||
        !platform::PageFromNumber(*n)) {
      throw UsageError("--codepage is one of 437, 1252, 1250, 1251, 1253, 852, 866, 737");
    }
    o->codepage = *n;
  } else {  // --wait
    const auto n = platform::StrToInt(value);
    if (!n || *n < 0 || *n > 86400 || value.find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError("--wait takes a whole number of seconds (0 to 86400)");
    }
    o->waitSeconds = *n;
  }
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ansi")
      o.ansi = true;
    else if (a == "--force")
      o.force = true;
    else if (a == "--memo")
      o.memo = true;
    else if (a == "--replace")
      o.replace = true;
    else if (a == "--help" || a == "-h")
      throw UsageError("");
    else if (a == "--separator" || a == "--csv-encoding" || a == "--wait" || a == "--codepage")
      ParseValueOption(a, OptionValue(argc, argv, &i), &o);
    else if (a.size() > 2 && a.rfind("--", 0) == 0)
      throw UsageError("unknown option " + a);
    else if (o.command.empty())
      o.command = a;
    else
      o.args.push_back(a);
  }
  if (o.command.empty()) throw UsageError("no command given");
  if (o.codepage != 0 && o.command != "create") {
    throw UsageError(
        "--codepage is for create; the other commands read the code page from the table's header");
  }
  if (o.codepage != 0 && o.ansi && o.codepage != 1252)
    throw UsageError("--ansi is code page 1252, not " + std::to_string(o.codepage));
  if (!o.args.empty() && o.args[0].empty()) throw UsageError("the table name is empty");
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
  if (o.command == "repair") return CmdRepair(o);
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
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("dbftool %s\n", TAVRIN_VERSION);
    return 0;
  }
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
