// The recipients table from the windows: the missing-table question at start, the command line,
// File > New/Open Recipients Table, Import and Export Recipients, and the table in the status bar.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QTableWidget>
#include <cstdlib>
#include <sstream>

#include "AppFixture.h"
#include "program/CommandLine.h"
#include "windows/ImportDialog.h"
#include "program/RecipientsFile.h"
#include "program/RecipientsImport.h"
#include "windows/RecipientsMenu.h"
#include "csv/Csv.h"
#include "csv/CsvSniff.h"
#include "dbf/Engine.h"

namespace tavrin::app::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct FieldFacts {
  std::string name;
  char type;
  int length;
};

// What the table holds, read through the engine untranslated: its fields and its live records.
struct TableContents {
  std::vector<FieldFacts> fields;
  std::vector<std::vector<std::string>> records;  // trimmed, code page 437 bytes
};

TableContents ReadTable(const std::string& path) {
  TableContents t;
  OwnTableArea area(path, OwnTableArea::Mode::kRead);
  for (int n = 1; n <= dbf::FieldCount(); ++n)
    t.fields.push_back({dbf::Field(n), dbf::FieldType(n), dbf::FieldLen(n)});
  for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1)) {
    std::vector<std::string> record;
    for (int n = 1; n <= dbf::FieldCount(); ++n) {
      std::string v = dbf::Peek(n, dbf::RecNo());
      while (!v.empty() && v.back() == ' ') v.pop_back();
      record.push_back(v);
    }
    t.records.push_back(record);
  }
  return t;
}

class Recipients : public AppFixture {
 protected:
  std::string TablePath() const { return Root() + "/home/Tavrin/tavrin.dbf"; }

  // A table made by the command-line tool, as a user's existing table would be.
  void MakeTable(const std::string& path, const std::string& csv) {
    std::ofstream(Root() + "/seed.csv", std::ios::binary) << csv;
    ASSERT_EQ(std::system((std::string(TAVRIN_DBFTOOL) + " create '" + path +
                           "' NAME,C,40 EMAIL,C,60 >/dev/null && " + TAVRIN_DBFTOOL + " import '" +
                           path + "' " + Root() + "/seed.csv >/dev/null")
                              .c_str()),
              0);
  }
  QString StatusText() { return Main().Recipients->lblTable->text(); }
  std::string Choices() const {
    std::string all;
    for (const auto& s : dialogs_.shown) all += s.kind + ";";
    return all;
  }
};

// ---- the question at start -----------------------------------------------------------------

TEST_F(Recipients, MissingTableQuitKeepsTheOldMessageAndEndsWithStatusOne) {
  dialogs_.choiceAnswers = {2};
  StartProgram();
  ASSERT_EQ(dialogs_.shown.size(), 2u);
  EXPECT_EQ(dialogs_.shown[0].kind, "choose");
  EXPECT_EQ(dialogs_.shown[0].text,
            "The recipients table " + TablePath() +
                " does not exist. Create an empty one there, choose another, or quit?");
  EXPECT_EQ(dialogs_.choiceButtons[0],
            (std::vector<std::string>{"&Create", "C&hoose...", "&Quit"}));
  EXPECT_EQ(dialogs_.shown[1].text, std::string(kNoDatabaseMessage) + "\n" + TablePath());
  EXPECT_EQ(terminateCalls_, 1);
  EXPECT_EQ(services_->exitStatus, 1);
  EXPECT_FALSE(fs::exists(TablePath()));
}

TEST_F(Recipients, MissingTableCreateMakesTheSampleFieldsInAFolderThatWasMissing) {
  fs::remove_all(Root() + "/home/Tavrin");
  dialogs_.choiceAnswers = {0};
  StartProgram();
  EXPECT_EQ(terminateCalls_, 0);
  const TableContents t = ReadTable(TablePath());
  ASSERT_EQ(t.fields.size(), 2u);
  EXPECT_EQ(t.fields[0].name, "NAME");
  EXPECT_EQ(t.fields[0].type, 'C');
  EXPECT_EQ(t.fields[0].length, 40);
  EXPECT_EQ(t.fields[1].name, "EMAIL");
  EXPECT_EQ(t.fields[1].length, 60);
  EXPECT_TRUE(t.records.empty());
  EXPECT_EQ(ReadFile(TablePath())[29], '\x01');  // code page 437, as the sample table
  EXPECT_EQ(StatusText(), "tavrin.dbf: 0 records");
  EXPECT_EQ(ReadIni().find("TableName"), std::string::npos);  // the settings' own place
}

// A chosen file that is no table is refused and the question comes back; a real one is taken and
// remembered, so the next start finds it.
TEST_F(Recipients, MissingTableChooseTakesAndRemembersARealTableOnly) {
  fs::create_directories(Root() + "/lists");
  std::ofstream(Root() + "/lists/notes.dbf") << "not a table";
  MakeTable(Root() + "/lists/club.dbf", "NAME,EMAIL\nAnn,ann@example.com\nBob,bob@example.com\n");
  dialogs_.choiceAnswers = {1, 1};
  dialogs_.fileAnswers = {Root() + "/lists/notes.dbf", Root() + "/lists/club.dbf"};
  StartProgram();
  EXPECT_EQ(Choices(), "choose;open;message;choose;open;");
  EXPECT_EQ(dialogs_.shown[1].text, "dBASE tables|*.dbf;*.DBF|All Files|*.*");
  EXPECT_EQ(dialogs_.Messages()[0].rfind(Root() + "/lists/notes.dbf cannot be read as a table", 0),
            0u);
  EXPECT_EQ(terminateCalls_, 0);
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/lists/club.dbf");
  EXPECT_EQ(StatusText(), "club.dbf: 2 records");
  const std::string ini = ReadIni();
  EXPECT_NE(ini.find("Dir=" + Root() + "/lists\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("TableName=club.dbf\n"), std::string::npos) << ini;

  program_.reset();
  AppSettings() = Settings{};
  dialogs_.shown.clear();
  StartProgram();
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/lists/club.dbf");
}

// ---- the command line ----------------------------------------------------------------------

TEST(CommandLineParse, NamesOneTableLetsQtOptionsThroughAndRefusesTheRest) {
  using A = CommandLine::Action;
  const auto parse = [](std::vector<const char*> args) {
    args.insert(args.begin(), "tavrin");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
  };
  EXPECT_EQ(parse({}).action, A::kRun);
  EXPECT_EQ(parse({}).table, "");
  EXPECT_EQ(parse({"/lists/club.dbf"}).table, "/lists/club.dbf");
  EXPECT_EQ(parse({"-platform", "offscreen", "club.dbf", "-reverse"}).table, "club.dbf");
  EXPECT_EQ(parse({"--", "-odd name.dbf"}).table, "-odd name.dbf");
  EXPECT_EQ(parse({"club.dbf", "--version"}).action, A::kVersion);
  EXPECT_EQ(parse({"--help"}).action, A::kHelp);
  EXPECT_EQ(parse({"--bogus"}).action, A::kUsageError);
  EXPECT_EQ(parse({"--bogus"}).error, "unknown option --bogus");
  EXPECT_EQ(parse({"-x"}).action, A::kUsageError);
  EXPECT_EQ(parse({"a.dbf", "b.dbf"}).action, A::kUsageError);
  EXPECT_EQ(parse({"-style"}).action, A::kUsageError);
  EXPECT_EQ(parse({""}).action, A::kUsageError);
}

TEST(CommandLineRun, AnUnknownOptionPrintsTheUsageAndEndsWithStatusTwo) {
  const std::string out = ::testing::TempDir() + "/tavrin-usage-" + std::to_string(::getpid());
  const int status = std::system(
      (std::string(TAVRIN_PROGRAM) + " --bogus >" + out + ".out 2>" + out + ".err").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(ReadFile(out + ".out"), "");
  EXPECT_EQ(ReadFile(out + ".err"), "tavrin: unknown option --bogus\n" + UsageText());
  EXPECT_EQ(std::system((std::string(TAVRIN_PROGRAM) + " --help >" + out + ".out").c_str()), 0);
  EXPECT_EQ(ReadFile(out + ".out"), UsageText());
  fs::remove(out + ".out");
  fs::remove(out + ".err");
}

// The table named on the command line is this run's table; the settings file keeps its own.
TEST_F(Recipients, TableOnTheCommandLineIsUsedForThisRunOnly) {
  CreateDefaultTable();
  MakeTable(Root() + "/club.dbf", "NAME,EMAIL\nAnn,ann@example.com\n");
  services_->tableArgument = Root() + "/club.dbf";
  StartProgram();
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/club.dbf");
  EXPECT_EQ(StatusText(), "club.dbf: 1 record");
  Main().ApplySettings();  // as after the configuration dialog: it keeps the table
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/club.dbf");
  Main().close();
  EXPECT_EQ(ReadIni().find("TableName"), std::string::npos);
}

TEST_F(Recipients, MissingTableOnTheCommandLineIsAskedAbout) {
  CreateDefaultTable();
  services_->tableArgument = Root() + "/new.dbf";
  dialogs_.choiceAnswers = {0};
  StartProgram();
  ASSERT_FALSE(dialogs_.shown.empty());
  EXPECT_EQ(dialogs_.shown[0].text, MissingTablePrompt(Root() + "/new.dbf"));
  EXPECT_EQ(ReadTable(Root() + "/new.dbf").fields.size(), 2u);
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/new.dbf");
}

// A folder by the table's name cannot be made into a table: only Choose and Quit are offered.
TEST_F(Recipients, AFolderByTheTablesNameIsNotOfferedCreate) {
  CreateDefaultTable();
  std::filesystem::create_directories(Root() + "/folder.dbf");
  services_->tableArgument = Root() + "/folder.dbf";
  StartProgram();  // the box closed: Quit
  ASSERT_FALSE(dialogs_.shown.empty());
  EXPECT_EQ(dialogs_.shown[0].text, NotATablePrompt(Root() + "/folder.dbf"));
  EXPECT_EQ(dialogs_.choiceButtons.at(0), (std::vector<std::string>{"C&hoose...", "&Quit"}));
  EXPECT_EQ(services_->exitStatus, 1);
  EXPECT_TRUE(std::filesystem::is_directory(Root() + "/folder.dbf"));
}

// ---- File > New and Open -------------------------------------------------------------------

TEST_F(Recipients, NewTableIsCreatedRememberedAndNeverReplacesAFile) {
  MakeTable(TablePath(), "NAME,EMAIL\nAnn,ann@example.com\n");
  StartProgram();
  EXPECT_EQ(StatusText(), "tavrin.dbf: 1 record");
  EXPECT_EQ(Main().Recipients->miNewTable->text(), "&New Recipients Table...");
  dialogs_.saveAnswers = {Root() + "/spring"};
  Main().Recipients->miNewTable->trigger();
  EXPECT_EQ(ReadTable(Root() + "/spring.dbf").fields.size(), 2u);
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/spring.dbf");
  EXPECT_EQ(StatusText(), "spring.dbf: 0 records");
  EXPECT_NE(ReadIni().find("TableName=spring.dbf"), std::string::npos);

  const std::string before = ReadFile(TablePath());
  dialogs_.saveAnswers = {TablePath()};
  Main().Recipients->miNewTable->trigger();
  EXPECT_EQ(dialogs_.Messages().back(),
            TablePath() + " already exists; open it, or choose another name.");
  EXPECT_EQ(ReadFile(TablePath()), before);
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/spring.dbf");
}

TEST_F(Recipients, OpenTakesAnotherTableAndRefusesWhatIsNoTable) {
  CreateDefaultTable();
  MakeTable(Root() + "/club.dbf",
            "NAME,EMAIL\nAnn,ann@example.com\nBob,bob@example.com\nCy,cy@example.com\n");
  std::ofstream(Root() + "/photo.dbf") << "\x89PNG";
  StartProgram();
  EXPECT_EQ(StatusText(), "tavrin.dbf: cannot be read");  // an empty file is no table
  EXPECT_EQ(Main().Recipients->miOpenTable->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
  dialogs_.fileAnswers = {Root() + "/photo.dbf"};
  Main().Recipients->miOpenTable->trigger();
  EXPECT_EQ(dialogs_.Messages().back().rfind(Root() + "/photo.dbf cannot be read as a table", 0),
            0u);
  EXPECT_EQ(Main().NextSendSetup().tableFile, TablePath());

  dialogs_.fileAnswers = {Root() + "/club.dbf"};
  Main().Recipients->miOpenTable->trigger();
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/club.dbf");
  EXPECT_EQ(StatusText(), "club.dbf: 3 records");
  EXPECT_NE(ReadIni().find("TableName=club.dbf"), std::string::npos);
}

// ---- Import and Export ---------------------------------------------------------------------

// A spreadsheet's file: semicolons, Windows-1252, the columns in another order than the fields and
// one more, 1,000 rows of which a few cannot go in; the user picks the column for NAME.
TEST_F(Recipients, ImportOfASemicolonWindows1252FileAppendsAndReportsWhatItSkipped) {
  MakeTable(TablePath(), "NAME,EMAIL\nAnn,ann@example.com\n");
  std::string csv = "E-mail;Nickname;Full name\r\n";
  for (int i = 1; i <= 1000; ++i) {
    const std::string n = std::to_string(i);
    if (i == 10)
      csv += "ANN@example.com;0;Ann again\r\n";  // already in the table
    else if (i == 20)
      csv += ";0;Nobody\r\n";  // no address
    else if (i == 30)
      csv += "two words@example.com;0;Bad\r\n";  // not a plain address
    else if (i == 40)
      csv += "p40@example.com;0;" + std::string(41, 'x') + "\r\n";  // longer than NAME
    else if (i == 50)
      csv += "p5@example.com;0;Twice\r\n";  // earlier in the file
    else
      csv += "p" + n + "@example.com;555;Ren\xE9" + " M\xFCller " + n + "\r\n";
  }
  csv += ";;\r\n";
  std::ofstream(Root() + "/people.csv", std::ios::binary) << csv;
  StartProgram();
  dialogs_.fileAnswers = {Root() + "/people.csv"};
  bool shown = false;
  Main().Recipients->runImportDialog = [&](TImportDialog& dialog) {
    shown = true;
    EXPECT_EQ(dialog.lblSource->text(),
              "people.csv: separated by semicolons; text in Windows-1252.");
    EXPECT_EQ(dialog.tblPreview->columnCount(), 3);
    EXPECT_EQ(dialog.tblPreview->item(0, 2)->text(),
              QString::fromUtf8("Ren\xC3\xA9 M\xC3\xBCller 1"));
    EXPECT_EQ(dialog.cbxColumns.size(), 2u);
    EXPECT_EQ(dialog.ColumnOfField(), (std::vector<int>{1, 0}));  // "Nickname" holds "name"
    dialog.cbxColumns[0]->setCurrentIndex(3);  // the user takes "3: Full name" for NAME
    return static_cast<int>(QDialog::Accepted);
  };
  Main().Recipients->miImport->trigger();
  ASSERT_TRUE(shown);
  ASSERT_FALSE(dialogs_.Messages().empty());
  EXPECT_EQ(
      dialogs_.Messages().back(),
      "995 recipients were appended to tavrin.dbf.\n\n5 rows were skipped:\n"
      "- 2 with an address that is empty or not plain\n- 2 with an address already in the table\n"
      "- 1 with a value its field cannot hold\n\nThe first of them:\n"
      "line 11: ANN@example.com is already in the table\nline 21: no address\n"
      "line 31: \"two words@example.com\" is not a plain address\n"
      "line 41: NAME: text of 41 characters is longer than the field (40)\nline 51: p5@example.com "
      "is already in the table\n\n"
      "1 blank row was left out.");
  const TableContents t = ReadTable(TablePath());
  ASSERT_EQ(t.records.size(), 996u);
  EXPECT_EQ(t.records[1],
            (std::vector<std::string>{"Ren\x82 M\x81ller 1", "p1@example.com"}));  // code page 437
  EXPECT_EQ(t.records.back(),
            (std::vector<std::string>{"Ren\x82 M\x81ller 1000", "p1000@example.com"}));
  EXPECT_EQ(StatusText(), "tavrin.dbf: 996 records");
  EXPECT_EQ(dialogs_.busyDepth, 0);
}

TEST_F(Recipients, ImportWithoutAnAddressColumnOrCancelledChangesNothing) {
  MakeTable(TablePath(), "NAME,EMAIL\nAnn,ann@example.com\n");
  std::ofstream(Root() + "/a.csv") << "\xEF\xBB\xBFName,Mail\nBo,bo@example.com\n";
  StartProgram();
  const std::string before = ReadFile(TablePath());
  dialogs_.fileAnswers = {Root() + "/a.csv", Root() + "/a.csv"};
  Main().Recipients->runImportDialog = [](TImportDialog& dialog) {
    EXPECT_EQ(dialog.lblSource->text(), "a.csv: separated by commas; text in UTF-8.");
    EXPECT_EQ(dialog.ColumnOfField(), (std::vector<int>{0, -1}));  // the BOM is no part of "Name"
    return static_cast<int>(QDialog::Accepted);
  };
  Main().Recipients->miImport->trigger();
  EXPECT_EQ(
      dialogs_.Messages().back(),
      "No column was chosen for the field EMAIL, which holds the addresses; nothing was imported.");
  Main().Recipients->runImportDialog = [](TImportDialog&) {
    return static_cast<int>(QDialog::Rejected);
  };
  Main().Recipients->miImport->trigger();
  EXPECT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_EQ(ReadFile(TablePath()), before);
}

// Files a user may pick by mistake: a pipe (which would wait for a writer for ever) is refused at
// once, and a cell with a NUL byte keeps its row out of the table, said in the report.
TEST_F(Recipients, ImportRefusesAPipeAndRowsWithNulBytes) {
  MakeTable(TablePath(), "NAME,EMAIL\nAnn,ann@example.com\n");
  ASSERT_EQ(::mkfifo((Root() + "/pipe.csv").c_str(), 0600), 0);
  std::ofstream(Root() + "/nul.csv", std::ios::binary)
      << std::string("NAME,EMAIL\nB\0o,bo@example.com\nCy,cy@example.com\n", 48);
  StartProgram();
  dialogs_.fileAnswers = {Root() + "/pipe.csv", Root() + "/nul.csv"};
  Main().Recipients->runImportDialog = [](TImportDialog&) {
    return static_cast<int>(QDialog::Accepted);
  };
  Main().Recipients->miImport->trigger();
  EXPECT_EQ(dialogs_.Messages().back(), Root() + "/pipe.csv is not a file.");
  Main().Recipients->miImport->trigger();
  EXPECT_EQ(dialogs_.Messages().back(),
            "1 recipient was appended to tavrin.dbf.\n\n1 row was skipped:\n"
            "- 1 with a value its field cannot hold\n\nThe first of them:\n"
            "line 2: NAME: the text holds a NUL byte");
  EXPECT_EQ(ReadTable(TablePath()).records.size(), 2u);
}

// Another program holds the append lock and appends an address while the import waits for it:
// that address counts as already in the table, so nobody is in it twice.
TEST_F(Recipients, ImportWaitingForAnotherProgramsAppendSeesWhatItAppended) {
  MakeTable(TablePath(), "NAME,EMAIL\nAnn,ann@example.com\n");
  std::ofstream(Root() + "/in.csv") << "NAME,EMAIL\nBo,bo@example.com\nCy,cy@example.com\n";
  StartProgram();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {  // the other program: the engine alone
    int rc = 1;
    try {
      OwnTableArea area(TablePath(), OwnTableArea::Mode::kShared);
      if (dbf::ALock()) {
        (void)!::write(ready[1], "r", 1);
        ::usleep(700 * 1000);
        dbf::ClearRecord();
        dbf::SetString(1, "Bo");
        dbf::SetString(2, "bo@example.com");
        dbf::Append();
        dbf::Unlock();
        rc = 0;
      }
    } catch (...) {
    }
    ::_exit(rc);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  dialogs_.fileAnswers = {Root() + "/in.csv"};
  Main().Recipients->runImportDialog = [](TImportDialog&) {
    return static_cast<int>(QDialog::Accepted);
  };
  Main().Recipients->miImport->trigger();
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(dialogs_.Messages().back(),
            "1 recipient was appended to tavrin.dbf.\n\n1 row was skipped:\n"
            "- 1 with an address already in the table\n\nThe first of them:\n"
            "line 2: bo@example.com is already in the table");
  EXPECT_EQ(ReadTable(TablePath()).records.size(), 3u);
}

// A file of thousands of columns is no address list: refused at once rather than building a
// preview and choices that would keep the window busy for minutes; wide rows are cut in the preview.
TEST_F(Recipients, PreviewRefusesThousandsOfColumnsAndUtf16AndCutsWideRows) {
  std::string wide;
  for (int i = 0; i < 5000; ++i) wide += "c,";
  std::ofstream(Root() + "/wide.csv") << wide << "\n";
  try {
    PreviewCsv(Root() + "/wide.csv");
    ADD_FAILURE() << "a header of 5001 columns was taken";
  } catch (const RecipientsError& e) {
    EXPECT_EQ(
        std::string(e.what()),
        Root() +
            "/wide.csv has 5001 columns; a file of more than 1000 columns cannot be imported.");
  }
  std::ofstream(Root() + "/rows.csv") << "NAME,EMAIL\n" << wide << "\n";
  const CsvPreview preview = PreviewCsv(Root() + "/rows.csv");
  ASSERT_EQ(preview.rows.size(), 1u);
  EXPECT_EQ(preview.rows[0].size(), 1000u);

  // A spreadsheet's "Unicode text" is named for what it is rather than read as NULs.
  std::ofstream(Root() + "/u16.csv", std::ios::binary)
      << std::string("\xFF\xFEN\0A\0M\0E\0\n\0", 12);
  try {
    PreviewCsv(Root() + "/u16.csv");
    ADD_FAILURE() << "UTF-16 was read as 8-bit text";
  } catch (const RecipientsError& e) {
    EXPECT_EQ(std::string(e.what()),
              Root() + "/u16.csv is UTF-16 text; save it as CSV in UTF-8 and import that.");
  }
}

TEST_F(Recipients, ExportWritesUtf8CsvThatReadsBackAsTheTable) {
  MakeTable(TablePath(),
            "NAME,EMAIL\n\"M\xC3\xBCller, Ren\xC3\xA9\",rene@example.com\nAnn \"Nan\" "
            "Lee,ann@example.com\n"
            "Bob,bob@example.com\n");
  ASSERT_EQ(std::system(
                (std::string(TAVRIN_DBFTOOL) + " delete " + TablePath() + " 3 >/dev/null").c_str()),
            0);
  StartProgram();
  EXPECT_EQ(StatusText(), "tavrin.dbf: 2 records");
  dialogs_.saveAnswers = {Root() + "/out"};
  Main().Recipients->miExport->trigger();
  EXPECT_EQ(dialogs_.Messages().back(), "2 records were written to " + Root() + "/out.csv.");
  tools::CsvReader reader(ReadFile(Root() + "/out.csv"));
  std::vector<std::vector<std::string>> rows;
  for (std::vector<std::string> row; reader.Next(row);) rows.push_back(row);
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{
                      {"NAME", "EMAIL"},
                      {"M\xC3\xBCller, Ren\xC3\xA9", "rene@example.com"},
                      {"Ann \"Nan\" Lee", "ann@example.com"}}));

  // Exported and imported into a new table, the same recipients come back.
  dialogs_.saveAnswers = {Root() + "/copy.dbf"};
  Main().Recipients->miNewTable->trigger();
  dialogs_.fileAnswers = {Root() + "/out.csv"};
  Main().Recipients->runImportDialog = [](TImportDialog&) {
    return static_cast<int>(QDialog::Accepted);
  };
  Main().Recipients->miImport->trigger();
  EXPECT_EQ(ReadTable(Root() + "/copy.dbf").records, ReadTable(TablePath()).records);
}

// A table whose header names Windows-1252: its text goes in and out in that page, and a row with a
// character the page lacks stays out of the table with a word in the report instead of a '?'.
TEST_F(Recipients, ImportAndExportUseTheCodePageTheTableNames) {
  ASSERT_EQ(std::system((std::string(TAVRIN_DBFTOOL) + " create --codepage 1252 '" + TablePath() +
                         "' NAME,C,40 EMAIL,C,60 >/dev/null")
                            .c_str()),
            0);
  std::ofstream(Root() + "/in.csv", std::ios::binary) << "NAME,EMAIL\nRen\xC3\xA9"
                                                         "e \xE2\x82\xAC,rene@example.com\n\xD0\x96"
                                                         "enya,zh@example.com\n";
  StartProgram();
  dialogs_.fileAnswers = {Root() + "/in.csv"};
  Main().Recipients->runImportDialog = [](TImportDialog&) {
    return static_cast<int>(QDialog::Accepted);
  };
  Main().Recipients->miImport->trigger();
  EXPECT_EQ(dialogs_.Messages().back(),
            "1 recipient was appended to tavrin.dbf.\n\n1 row was skipped:\n"
            "- 1 with a value its field cannot hold\n\nThe first of them:\n"
            "line 3: NAME: \"?\" (U+0416) cannot be stored in the table's code page (1252)");
  const TableContents t = ReadTable(TablePath());
  ASSERT_EQ(t.records.size(), 1u);
  EXPECT_EQ(t.records[0], (std::vector<std::string>{"Ren\xE9"
                                                    "e \x80",
                                                    "rene@example.com"}));  // Windows-1252

  dialogs_.saveAnswers = {Root() + "/out.csv"};
  Main().Recipients->miExport->trigger();
  EXPECT_EQ(ReadFile(Root() + "/out.csv"),
            "NAME,EMAIL\r\nRen\xC3\xA9"
            "e \xE2\x82\xAC,rene@example.com\r\n");
}

// An export onto a full disk says why it failed and leaves the file it would replace as it was.
TEST_F(Recipients, ExportOntoAFullDiskSaysSoAndKeepsTheOldFile) {
  std::string csv = "NAME,EMAIL\n";
  for (int i = 0; i < 3000; ++i)
    csv += "Name " + std::to_string(i) + ",p" + std::to_string(i) + "@example.com\n";
  MakeTable(TablePath(), csv);
  const std::string full = Root() + "/full";
  fs::create_directories(full);
  const pid_t pid = ::fork();
  if (pid == 0) {  // a mount of its own, gone with the child
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0)
      ::_exit(77);
    std::ofstream(full + "/out.csv") << "the old file\n";
    int rc = 1;
    try {
      ExportRecipients(TablePath(), full + "/out.csv");
    } catch (const RecipientsError& e) {
      const std::string what = e.what();
      if (what == full + "/out.csv cannot be written: No space left on device" &&
          ReadFile(full + "/out.csv") == "the old file\n" &&
          std::distance(fs::directory_iterator(full), fs::directory_iterator()) == 1)
        rc = 0;
      else
        std::fprintf(stderr, "%s\n", what.c_str());
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here for a small tmpfs";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---- what a CSV file is made of ------------------------------------------------------------

TEST(CsvSniff, SeparatorIsTheOneTheLinesHoldAlike) {
  EXPECT_EQ(tools::DetectSeparator("a,b,c\n1,2,3\n"), ',');
  EXPECT_EQ(tools::DetectSeparator("a;b;c\r\n1;2,5;3\r\n"), ';');
  EXPECT_EQ(tools::DetectSeparator("a\tb\n1\t2\n"), '\t');
  EXPECT_EQ(tools::DetectSeparator("\"x;y;z\",b\n\"1;2;3\",2\n"), ',');  // quoted ones do not count
  EXPECT_EQ(tools::DetectSeparator("name;mail,extra,more\nA;a@x\nB;b@x\n"),
            ';');  // steady beats frequent
  EXPECT_EQ(tools::DetectSeparator("single\nvalue\n"), ',');
  EXPECT_EQ(tools::DetectSeparator(""), ',');
}

TEST(CsvSniff, Utf8IsJudgedOverTheWholeStreamAcrossItsChunks) {
  const auto judge = [](const std::string& text) {
    std::istringstream in(text);
    return tools::IsUtf8Stream(in);
  };
  std::string cut(64 * 1024 - 1, 'a');
  EXPECT_TRUE(judge(cut + "\xC3\xA9 end"));   // a character across the chunk boundary
  EXPECT_TRUE(judge(cut + "a\xE2\x82\xAC"));  // and one just after it
  EXPECT_FALSE(judge(cut + "\xC3"));          // cut short by the end of the file
  EXPECT_FALSE(judge(std::string(200000, 'a') + "Ren\xE9"));  // Windows-1252 far into the file
  EXPECT_TRUE(judge("\xEF\xBB\xBFName\n"));
  EXPECT_TRUE(judge(""));
}

}  // namespace
}  // namespace tavrin::app::testing
