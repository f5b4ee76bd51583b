// dbftool driven as users and scripts drive it: as a separate process on real files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dbf/Engine.h"
#include "tests/dbf/tool/ToolRunner.h"

namespace tavrin::tools::test {
namespace {

const std::vector<std::string> kPeopleFields = {"NAME,C,20", "AMOUNT,N,8,2", "COUNT,N,5,0",
                                                "ACTIVE,L",  "JOINED,D",     "NOTES,M"};

// Accents, a comma, quotes, a multi-line memo, a row that leaves fields out, a long memo.
const std::string kPeopleCsv =
    "NAME,AMOUNT,COUNT,ACTIVE,JOINED,NOTES\r\n"
    "José Müller,12.5,42,T,20260131,\"line one\r\nline two\"\r\n"
    "\"Jones, \"\"Kate\"\"\",-3.25,-7,F,1999-12-01,short\r\n"
    "Ana Peña\r\n"
    "Zoë,99999.99,99999,y,20000229," +
    std::string(700, 'x') + "\r\n";

const std::string kPeopleExport =
    "NAME,AMOUNT,COUNT,ACTIVE,JOINED,NOTES\r\n"
    "José Müller,12.50,42,T,20260131,\"line one\r\nline two\"\r\n"
    "\"Jones, \"\"Kate\"\"\",-3.25,-7,F,19991201,short\r\n"
    "Ana Peña,0.00,0,F,,\r\n"
    "Zoë,99999.99,99999,T,20000229," +
    std::string(700, 'x') + "\r\n";

class DbftoolTest : public ::testing::Test {
 protected:
  void CreatePeople() {
    std::vector<std::string> args = {"create", "people.dbf"};
    args.insert(args.end(), kPeopleFields.begin(), kPeopleFields.end());
    ASSERT_EQ(dir_.Run(args).status, 0);
    dir_.WriteFile("people.csv", kPeopleCsv);
    const ToolResult r = dir_.Run({"import", "people.dbf", "people.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  ToolDir dir_;
};

// ---- round trips ----

TEST_F(DbftoolTest, ImportThenExportGivesBackEveryValue) {
  CreatePeople();
  const ToolResult r = dir_.Run({"export", "people.dbf"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kPeopleExport);
}

TEST_F(DbftoolTest, ExportedCsvImportsIntoATwinTable) {
  CreatePeople();
  dir_.WriteFile("again.csv", dir_.Run({"export", "people.dbf"}).out);
  std::vector<std::string> args = {"create", "twin.dbf"};
  args.insert(args.end(), kPeopleFields.begin(), kPeopleFields.end());
  ASSERT_EQ(dir_.Run(args).status, 0);
  ASSERT_EQ(dir_.Run({"import", "twin.dbf", "again.csv"}).status, 0);
  EXPECT_EQ(dir_.Run({"export", "twin.dbf"}).out, kPeopleExport);
}

TEST_F(DbftoolTest, DumpShowsStoredTextDeletionFlagsAndMemoText) {
  CreatePeople();
  ASSERT_EQ(dir_.Run({"delete", "people.dbf", "2"}).status, 0);
  const ToolResult r = dir_.Run({"dump", "people.dbf"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("{\"version\": 139,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"name\": \"AMOUNT\", \"type\": \"N\", \"length\": 8, \"decimals\": 2}"),
            std::string::npos);
  EXPECT_NE(r.out.find("{\"deleted\": false, \"values\": [\"José Müller         \", \"   12.50\", "
                       "\"   42\", \"T\", \"20260131\", \"line one\\r\\nline two\"]}"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("{\"deleted\": true, \"values\": [\"Jones, \\\"Kate\\\"       \""),
            std::string::npos);
  EXPECT_NE(r.out.find("\"F\", \"        \", \"\"]}"), std::string::npos)
      << "blank date and no memo";
}

TEST_F(DbftoolTest, PackDropsDeletedRecordsAndKeepsTheOthersMemos) {
  CreatePeople();
  ASSERT_EQ(dir_.Run({"delete", "people.dbf", "1", "3"}).status, 0);
  ASSERT_EQ(dir_.Run({"recall", "people.dbf", "3"}).status, 0);
  const ToolResult packed = dir_.Run({"pack", "people.dbf"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  const ToolResult r = dir_.Run({"export", "people.dbf"});
  EXPECT_EQ(r.out,
            "NAME,AMOUNT,COUNT,ACTIVE,JOINED,NOTES\r\n"
            "\"Jones, \"\"Kate\"\"\",-3.25,-7,F,19991201,short\r\n"
            "Ana Peña,0.00,0,F,,\r\n"
            "Zoë,99999.99,99999,T,20000229," +
                std::string(700, 'x') + "\r\n");
  EXPECT_NE(dir_.Run({"info", "people.dbf"}).out.find("Records:       3\n"), std::string::npos);
}

// Words the engine's open command knows, and blanks, are part of the file name here: a change
// reaches the named table and no other.
TEST_F(DbftoolTest, TablePathsAreTakenWhole) {
  ASSERT_EQ(dir_.Run({"create", "club.dbf", "NAME,C,5"}).status, 0);
  std::filesystem::create_directories(dir_.Path("Alias virtual file"));
  dir_.WriteFile("rows.csv", "NAME\nann\nbob\n");
  for (const std::string name :
       {"club exclusive.dbf", "a alias b.dbf", " club .dbf", "Alias virtual file/x.dbf"}) {
    ASSERT_EQ(dir_.Run({"create", name, "NAME,C,5"}).status, 0) << name;
    ASSERT_EQ(dir_.Run({"import", name, "rows.csv"}).status, 0) << name;
    ASSERT_EQ(dir_.Run({"delete", name, "1"}).status, 0) << name;
    ASSERT_EQ(dir_.Run({"pack", name}).status, 0) << name;
    EXPECT_EQ(dir_.Run({"export", name}).out, "NAME\r\nbob\r\n") << name;
  }
  EXPECT_EQ(dir_.Run({"export", "club.dbf"}).out, "NAME\r\n");
}

TEST_F(DbftoolTest, InfoPrintsTheHeaderAndOneLinePerField) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,10", "BORN,D"}).status, 0);
  const ToolResult r = dir_.Run({"info", "t.dbf"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Version byte:  0x03\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Records:       0\n"), std::string::npos);
  EXPECT_NE(r.out.find("Header length: 97\n"), std::string::npos);
  EXPECT_NE(r.out.find("Record length: 19\n"), std::string::npos);
  EXPECT_NE(r.out.find("    1  NAME        C   10   0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    2  BORN        D    8   0\n"), std::string::npos);
  ASSERT_EQ(dir_.Run({"create", "m.dbf", "NOTES,M"}).status, 0);
  EXPECT_NE(dir_.Run({"info", "m.dbf"}).out.find("Version byte:  0x8B (memo file)\n"),
            std::string::npos);
}

// ---- nothing is lost or changed unasked ----

TEST_F(DbftoolTest, CreateRefusesToReplaceAnyExistingFileInAnyLetterCase) {
  dir_.WriteFile("people.dbf", "keep");
  dir_.WriteFile("notes.dbt", std::string(5000, 'n'));
  EXPECT_EQ(dir_.Run({"create", "people", "A,C,3"}).status, 1);
  EXPECT_EQ(dir_.Run({"create", "PEOPLE.DBF", "A,C,3"}).status, 1);
  const ToolResult r = dir_.Run({"create", "notes.DBF", "A,C,3", "N,M"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("notes.dbt already exists (use --force to replace)"), std::string::npos)
      << r.err;
  EXPECT_EQ(dir_.ReadFile("people.dbf"), "keep");
  EXPECT_EQ(dir_.ReadFile("notes.dbt"), std::string(5000, 'n'));
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("notes.DBF")));
  ASSERT_EQ(dir_.Run({"create", "--force", "people", "A,C,3"}).status, 0);
  EXPECT_EQ(dir_.ReadFile("people.dbf").size(), 66u);
}

TEST_F(DbftoolTest, ReadingCommandsLeaveEveryByteAsItWas) {
  CreatePeople();
  std::string table = dir_.ReadFile("people.dbf");
  table[4] = 1;  // a count behind the file, as a writer stopped before its header update leaves it
  dir_.WriteFile("people.dbf", table);
  const std::string memo = dir_.ReadFile("people.dbt");
  for (const std::string command : {"info", "dump", "export"}) {
    const ToolResult r = dir_.Run({command, "people.dbf"});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(dir_.ReadFile("people.dbf"), table);
  EXPECT_EQ(dir_.ReadFile("people.dbt"), memo);
}

TEST_F(DbftoolTest, ATableTheUserMayOnlyReadIsReadButNotWritten) {
  CreatePeople();
  std::filesystem::permissions(dir_.Path("people.dbf"), std::filesystem::perms(0444));
  std::filesystem::permissions(dir_.Path("people.dbt"), std::filesystem::perms(0444));
  std::vector<std::string> asUser;
  if (::geteuid() == 0) {  // root may write anything: read as an unprivileged user instead
    asUser = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    if (std::system("setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null") !=
        0) {
      GTEST_SKIP() << "no unprivileged user to switch to";
    }
    std::filesystem::permissions(dir_.Path(""), std::filesystem::perms(0755));
  }
  for (const std::string command : {"info", "dump", "export"}) {
    const ToolResult r = dir_.Run({command, "people.dbf"}, "", asUser);
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
  }
  EXPECT_EQ(dir_.Run({"export", "people.dbf"}, "", asUser).out, kPeopleExport);
  const ToolResult r = dir_.Run({"delete", "people.dbf", "1"}, "", asUser);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error # 5 (File access denied)"), std::string::npos) << r.err;
}

TEST_F(DbftoolTest, OutputThatCannotBeWrittenFailsTheCommand) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  CreatePeople();
  for (const std::string command : {"export", "dump", "info"}) {
    const ToolResult r = dir_.Run({command, "people.dbf"}, "/dev/full");
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("cannot write the output: No space left on device"), std::string::npos)
        << r.err;
  }
}

// ---- code pages ----

TEST_F(DbftoolTest, TablesHoldCodePage437UnlessAnsiIsAsked) {
  ASSERT_EQ(dir_.Run({"create", "oem.dbf", "NAME,C,5"}).status, 0);
  ASSERT_EQ(dir_.Run({"--ansi", "create", "ansi.dbf", "NAME,C,5"}).status, 0);
  dir_.WriteFile("e.csv", "NAME\nél\n");
  ASSERT_EQ(dir_.Run({"import", "oem.dbf", "e.csv"}).status, 0);
  ASSERT_EQ(dir_.Run({"--ansi", "import", "ansi.dbf", "e.csv"}).status, 0);
  // Record 1 starts right after the 1-field header (65 bytes): flag byte, then the name.
  EXPECT_EQ(dir_.ReadFile("oem.dbf").substr(66, 2), "\x82l");
  EXPECT_EQ(dir_.ReadFile("ansi.dbf").substr(66, 2), "\xE9l");
  EXPECT_EQ(dir_.Run({"export", "oem.dbf"}).out, "NAME\r\nél\r\n");
  EXPECT_EQ(dir_.Run({"--ansi", "export", "ansi.dbf"}).out, "NAME\r\nél\r\n");
}

TEST_F(DbftoolTest, ImportToldToReplaceWarnsAboutCharactersTheCodePageCannotHold) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,20"}).status, 0);
  dir_.WriteFile("t.csv", "name\nSørensen\n");
  const ToolResult r = dir_.Run({"import", "--replace", "t.dbf", "t.csv"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("warning: t.csv, line 2, column NAME"), std::string::npos) << r.err;
}

// Every character code page 437 holds is kept, and every stored byte shows as its character.
TEST_F(DbftoolTest, TextGoesStraightBetweenUtf8AndTheTablesCodePage) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,12"}).status, 0);
  dir_.WriteFile("t.csv", "NAME\nπ Σ α≤√∞╔═╗\n");
  const ToolResult r = dir_.Run({"import", "t.dbf", "t.csv"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME\r\nπ Σ α≤√∞╔═╗\r\n");
  EXPECT_EQ(dir_.ReadFile("t.dbf")[29], '\x01');  // the header names code page 437
  std::string table = dir_.ReadFile("t.dbf");
  table.replace(66, 2, "\x9E\xFE");  // bytes of a peer: peseta sign and a black square
  dir_.WriteFile("t.dbf", table);
  EXPECT_NE(dir_.Run({"dump", "t.dbf"}).out.find("\"₧■"), std::string::npos);
}

// A file that is not UTF-8 (or hides a line feed in an overlong form) is refused, naming the way out;
// --csv-encoding cp1252 reads a spreadsheet's Windows-1252 export.
TEST_F(DbftoolTest, CsvThatIsNotUtf8IsRefusedUnlessItsEncodingIsGiven) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,12", "EMAIL,C,20"}).status, 0);
  for (const std::string bad : {"Jos\xE9", "a\xC0\x8A@b.c", "\xED\xA0\x80", "cut\xE2\x82"}) {
    dir_.WriteFile("t.csv", "NAME,EMAIL\nok,x\n" + bad + ",y\n");
    const ToolResult r = dir_.Run({"import", "t.dbf", "t.csv"});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("t.csv, line 3, column NAME: the text is not valid UTF-8"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("--csv-encoding cp1252"), std::string::npos);
  }
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME,EMAIL\r\n");
  dir_.WriteFile("t.csv", "NAME\nJos\xE9 \x80\n");
  ASSERT_EQ(dir_.Run({"--csv-encoding", "cp1252", "--replace", "import", "t.dbf", "t.csv"}).status,
            0);
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME,EMAIL\r\nJosé ?,\r\n");  // no euro in 437
}

// ---- import refuses bad input and leaves the table as it was ----

TEST_F(DbftoolTest, ImportChecksEveryRowBeforeAppendingAny) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,5", "N,N,3,0", "D,D", "L,L"}).status, 0);
  const struct {
    const char* csv;
    const char* message;
  } cases[] = {
      {"NAME,N\nok,1\nok,1234\n", "line 3, column N: \"1234\" does not fit in 3 characters"},
      {"NAME,N\nok,1.5\n", "is not a whole number"},
      {"NAME,N\nok,12a\n", "\"12a\" is not a number"},
      {"NAME\nok\ntoo long\n",
       "line 3, column NAME: text of 8 characters is longer than the field (5)"},
      {"D\n20260230\n", "\"20260230\" is not a date"},
      {"L\nmaybe\n", "not a logical value"},
      {"NAME,AGE\nok,1\n", "unknown column \"AGE\""},
      {"NAME,name\nok,ok\n", "column \"name\" appears twice"},
      {"NAME\nok,extra\n", "line 2: more cells than columns"},
      {"NAME\n\"never closed\n", "unterminated quoted field starting on line 2"},
  };
  for (const auto& c : cases) {
    dir_.WriteFile("bad.csv", c.csv);
    const ToolResult r = dir_.Run({"import", "t.dbf", "bad.csv"});
    EXPECT_EQ(r.status, 1) << c.csv;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.csv << "\n" << r.err;
  }
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME,N,D,L\r\n");
}

TEST_F(DbftoolTest, ImportHeaderIsCaseInsensitiveAndMissingFieldsStayBlank) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,10", "EMAIL,C,20"}).status, 0);
  dir_.WriteFile("t.csv", "email\na@example.com\n\n");
  ASSERT_EQ(dir_.Run({"import", "t.dbf", "t.csv"}).status, 0);
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME,EMAIL\r\n,a@example.com\r\n");
}

// Spreadsheets write rows of nothing but separators and choose their own separator.
TEST_F(DbftoolTest, ImportSkipsBlankRowsAndTakesAnotherSeparator) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,5", "N,N,20"}).status, 0);
  dir_.WriteFile("t.csv", "NAME;N\nann;12345678901234567890\n;\n  ;  \nbob;-1\n");
  ToolResult r = dir_.Run({"import", "t.dbf", "t.csv"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("use --separator ';'"), std::string::npos) << r.err;
  r = dir_.Run({"--separator", ";", "import", "t.dbf", "t.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("2 records appended, 2 blank rows skipped"), std::string::npos) << r.err;
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME,N\r\nann,12345678901234567890\r\nbob,-1\r\n");
}

TEST_F(DbftoolTest, CreateRefusesFieldsNoOneCouldFill) {
  for (const std::vector<std::string>& fields : {std::vector<std::string>{"NAME,C,5", "name,C,5"},
                                                 {"LONGERTHAN10,C,5"},
                                                 {"A-B,C,5"},
                                                 {"P,N,3,2"}}) {
    std::vector<std::string> args = {"create", "t.dbf"};
    args.insert(args.end(), fields.begin(), fields.end());
    EXPECT_EQ(dir_.Run(args).status, 2) << fields[0];
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("t.dbf")));
}

// Import streams its input: a million rows (a 56 MB file) go through in a few megabytes.
TEST_F(DbftoolTest, AMillionRowImportKeepsItsMemoryFlat) {
  {
    std::ofstream csv(dir_.Path("big.csv"), std::ios::binary);
    csv << "NAME,EMAIL,AMOUNT,JOINED\n";
    for (int i = 0; i < 1000000; ++i) {
      csv << "Person " << i << ",person" << i << "@example.org," << i % 100000 << "." << i % 10
          << "0,2026" << (i % 12 < 9 ? "0" : "") << i % 12 + 1 << "1" << i % 9 + 1 << "\n";
    }
  }
  ASSERT_EQ(dir_.Run({"create", "big.dbf", "NAME,C,30", "EMAIL,C,40", "AMOUNT,N,10,2", "JOINED,D"})
                .status,
            0);
  const ToolResult r = dir_.Run({"import", "big.dbf", "big.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct rusage usage {};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak KiB of the largest child so far";
  EXPECT_EQ(std::filesystem::file_size(dir_.Path("big.dbf")), 161u + 1000000u * 89 + 1);
}

// ---- failures: exit status and message ----

TEST_F(DbftoolTest, EngineFailuresPrintTheCodeTextAndDetailAndExitWith1) {
  dir_.WriteFile("short.dbf", std::string(10, '\x03'));
  ToolResult r = dir_.Run({"info", "short.dbf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error # 210 (Not a dBASE data file)\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Prolog is less than 32 bytes"), std::string::npos) << r.err;

  r = dir_.Run({"dump", "missing.dbf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error # 2 (File not found)\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Failure to open"), std::string::npos) << r.err;

  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,5"}).status, 0);
  dir_.WriteFile("t.csv", "NAME\na\nb\nc\n");
  ASSERT_EQ(dir_.Run({"import", "t.dbf", "t.csv"}).status, 0);
  r = dir_.Run({"delete", "t.dbf", "1", "99", "3"});  // every number is checked before any change
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("record 99 does not exist (t.dbf has 3 records); nothing was changed"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME\r\na\r\nb\r\nc\r\n");
}

TEST_F(DbftoolTest, AMemoReferenceBeyondTheMemoFileFailsTheDumpWithItsCode) {
  ASSERT_EQ(dir_.Run({"create", "m.dbf", "NAME,C,5", "NOTES,M"}).status, 0);
  dir_.WriteFile("m.csv", "NAME,NOTES\nann,hello\n");
  ASSERT_EQ(dir_.Run({"import", "m.dbf", "m.csv"}).status, 0);
  // Header 97 bytes; record 1: flag, NAME (5), NOTES (10) at offset 103.
  std::string table = dir_.ReadFile("m.dbf");
  table.replace(103, 10, "    999999");
  dir_.WriteFile("m.dbf", table);
  const ToolResult r = dir_.Run({"dump", "m.dbf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error # 1003 (Invalid memo address)"), std::string::npos) << r.err;
}

TEST_F(DbftoolTest, ToolFailuresExitWith1) {
  EXPECT_EQ(dir_.Run({"import", "t.dbf", "missing.csv"}).status, 1);
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,5"}).status, 0);
  const ToolResult again = dir_.Run({"create", "t.dbf", "OTHER,C,5"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos);
  EXPECT_EQ(dir_.Run({"create", "--force", "t.dbf", "OTHER,C,5"}).status, 0);
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "OTHER\r\n");
}

TEST_F(DbftoolTest, UsageErrorsPrintTheUsageAndExitWith2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", "t.dbf"},
      {"create", "t.dbf"},
      {"create", "t.dbf", "NAME,X,10"},
      {"create", "t.dbf", "NAME,C"},
      {"create", "t.dbf", "NAME,C,0"},
      {"create", "t.dbf", "NAME,C,256"},
      {"info"},
      {"import", "t.dbf"},
      {"delete", "t.dbf", "two"},
      {"--bogus", "info", "t.dbf"},
  };
  for (const auto& args : cases) {
    const ToolResult r = dir_.Run(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(r.err.find("usage: dbftool"), std::string::npos);
  }
}

// ---- the sample table ----

TEST_F(DbftoolTest, SampleScriptCreatesTheRecipientsTableOnlyWhenItIsMissing) {
  const std::string bin = std::filesystem::path(DBFTOOL_PATH).parent_path().string();
  const std::string script = std::string(TAVRIN_SOURCE_DIR) + "/samples/make_sample_table.sh";
  const std::string table = dir_.Path("home/Tavrin/tavrin.dbf");
  const std::string run = "sh '" + script + "' '" + bin + "' '" + table + "' >/dev/null";
  ASSERT_EQ(std::system(run.c_str()), 0);
  const ToolResult r = dir_.Run({"export", table});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("NAME,EMAIL\r\n", 0), 0u);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 13);
  EXPECT_NE(r.out.find("Chloé Dubois,chloe.dubois@example.com\r\n"), std::string::npos);
  EXPECT_NE(r.out.find("\"Jones, Kate\",kate.jones@example.com\r\n"), std::string::npos);
  EXPECT_NE(dir_.Run({"info", table}).out.find("    2  EMAIL       C   60   0\n"),
            std::string::npos);

  ASSERT_EQ(dir_.Run({"delete", table, "1"}).status, 0);
  ASSERT_EQ(std::system(run.c_str()), 0);
  EXPECT_NE(dir_.Run({"dump", table}).out.find("\"deleted\": true"), std::string::npos)
      << "an existing table is left as it is";
}

// ---- sharing with another program ----

// The test process holds the table the way a second program would.
class HeldTable {
 public:
  explicit HeldTable(const std::string& path) {
    dbf::SetRaise(true);
    dbf::Select(1);
    dbf::USE(path);
  }
  ~HeldTable() { dbf::Shutdown(); }
};

TEST_F(DbftoolTest, ImportFailsWhileAnotherProgramHoldsTheAppendLock) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,5"}).status, 0);
  dir_.WriteFile("t.csv", "NAME\nok\n");
  HeldTable held(dir_.Path("t.dbf"));
  ASSERT_TRUE(dbf::ALock());
  const ToolResult r = dir_.Run({"import", "t.dbf", "t.csv"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("locked for appending by another program"), std::string::npos) << r.err;
  dbf::Unlock();
  EXPECT_EQ(dir_.Run({"import", "t.dbf", "t.csv"}).status, 0);
  EXPECT_EQ(dbf::RecCount(), 1);
}

TEST_F(DbftoolTest, LocksAnotherProgramHoldsAreWaitedForWhenAsked) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,5"}).status, 0);
  dir_.WriteFile("t.csv", "NAME\nok\n");
  {
    HeldTable held(dir_.Path("t.dbf"));
    dbf::UseFile(dir_.Path("t.dbf"), dbf::OpenOptions{true, ""});  // held alone, as a pack holds it
    ToolResult r = dir_.Run({"import", "t.dbf", "t.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("t.dbf is being packed or is held exclusively by another program"),
              std::string::npos)
        << r.err;
    dbf::UseFile(dir_.Path("t.dbf"));
    ASSERT_TRUE(dbf::ALock());
    std::thread release([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      dbf::Unlock();
    });
    r = dir_.Run({"--wait", "10", "import", "t.dbf", "t.csv"});
    release.join();
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out, "NAME\r\nok\r\n");
}

TEST_F(DbftoolTest, OpenFailuresAUserCanMendAreSaidInPlainWords) {
  std::filesystem::create_directories(dir_.Path("folder.dbf"));
  EXPECT_NE(dir_.Run({"info", "folder.dbf"}).err.find("folder.dbf is a folder, not a table"),
            std::string::npos);
  ASSERT_EQ(dir_.Run({"create", "m.dbf", "NAME,C,5", "NOTE,M"}).status, 0);
  std::filesystem::remove(dir_.Path("m.dbt"));
  const ToolResult r = dir_.Run({"dump", "m.dbf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the memo file m.dbt of m.dbf is missing"), std::string::npos) << r.err;
  EXPECT_EQ(dir_.Run({"dump", ""}).status, 2);
}

TEST_F(DbftoolTest, PackFailsWhileAnotherProgramHasTheTableOpen) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,5"}).status, 0);
  HeldTable held(dir_.Path("t.dbf"));
  const ToolResult r = dir_.Run({"pack", "t.dbf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("t.dbf is open in another program; it must be closed there first"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace tavrin::tools::test
