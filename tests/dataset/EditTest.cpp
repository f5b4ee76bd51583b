// Editing under locks: a post writes only what the user set, over the record as the file holds it
// then; locks held by another process; the engine on the active record for every write; new
// records; read-only datasets; memo streams.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "DataSetTestSupport.h"
#include "dataset/XbBlobStream.h"
#include "dbf/Engine.h"
#include "dbf/File.h"
#include "dbf/Memo.h"

namespace tavrin::dataset::test {
namespace {

// Another program on the same table: a child process with its own open of the file. It runs
// `before`, tells the parent, waits for the parent's word, runs `after` and ends.
class OtherProcess {
 public:
  OtherProcess(const std::string& path, std::function<void()> before,
               std::function<void()> after = {}) {
    if (pipe(toChild_) != 0 || pipe(toParent_) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dbf::SetStopOnError(false);
      dbf::Select(0);
      dbf::USE(path + " ALIAS OTHER");
      before();
      char c = 'r';
      (void)!write(toParent_[1], &c, 1);
      (void)!read(toChild_[0], &c, 1);
      if (after) after();
      _exit(dbf::LastReportedCode() == 0 ? 0 : 1);
    }
    char c = 0;
    (void)!read(toParent_[0], &c, 1);
  }
  // Lets the child run its second part and waits for it to end; true when it ended well.
  bool Finish() {
    if (pid_ <= 0) return false;
    char c = 'g';
    (void)!write(toChild_[1], &c, 1);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  ~OtherProcess() {
    if (pid_ > 0) Finish();
    for (int fd : {toChild_[0], toChild_[1], toParent_[0], toParent_[1]}) close(fd);
  }

 private:
  pid_t pid_ = 0;
  int toChild_[2]{};
  int toParent_[2]{};
};

class EditTest : public DataSetTest {
 protected:
  // NAME C10, EMAIL C20, BORN D, BIG N10, STAR N5, BLANKN N5, Q L, AMOUNT N8.2, NOTES M; one record
  // whose fields hold what other programs write: 1945, a whole number beyond 32 bits, '*', blanks, '?'.
  std::string MakeOdd() {
    const std::string path = Path("odd.dbf");
    dbf::CreateDbf(path, {{"NAME", 'C', 10, 0},
                          {"EMAIL", 'C', 20, 0},
                          {"BORN", 'D', 8, 0},
                          {"BIG", 'N', 10, 0},
                          {"STAR", 'N', 5, 0},
                          {"BLANKN", 'N', 5, 0},
                          {"Q", 'L', 1, 0},
                          {"AMOUNT", 'N', 8, 2},
                          {"NOTES", 'M', 10, 0}});
    dbf::Select(0);
    dbf::USE(path + " EXCLUSIVE");
    dbf::ClearRecord();
    dbf::WriteMemo(9, "first memo");
    dbf::Append();
    const std::vector<std::string> raw = {
        "Old       ", "old@example.com     ", "19451231", "9876543210", "*****", "     ", "?",
        "    3.14"};
    for (std::size_t i = 0; i < raw.size(); ++i) dbf::Poke(raw[i], static_cast<int>(i + 1), 1);
    dbf::USE("");
    return path;
  }
  std::vector<std::string> RawRecord(const std::string& path) {
    std::vector<std::string> fields;
    for (int f = 0; f <= 9; ++f) fields.push_back(RawField(path, f, 1));
    return fields;
  }
  TXbDbf table_{"tblDatabase"};
};

TEST_F(EditTest, OddStoredValuesReadAsNullAndFailNothing) {
  OpenOn(table_, MakeOdd());
  EXPECT_EQ(table_.FieldByName("BIG")->AsInteger(), 9876543210);
  EXPECT_TRUE(table_.FieldByName("STAR")->IsNull());
  EXPECT_TRUE(table_.FieldByName("BLANKN")->IsNull());
  EXPECT_TRUE(table_.FieldByName("Q")->IsNull());
  EXPECT_EQ(table_.FieldByName("AMOUNT")->AsString(), "3.14");
  EXPECT_EQ(table_.FieldByName("BORN")->DisplayText(), "12/31/45");
  EXPECT_EQ(table_.FieldByName("NOTES")->AsString(), "first memo");
}

TEST_F(EditTest, PostOfOneFieldLeavesEveryOtherFieldByteForByte) {
  const std::string path = MakeOdd();
  const auto before = RawRecord(path);
  OpenOn(table_, path);
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("New");
  table_.Post();
  auto after = RawRecord(path);
  EXPECT_EQ(after[1], "New       ");
  after[1] = before[1];
  EXPECT_EQ(after, before);
  EXPECT_TRUE(table_.FieldByName("STAR")->IsNull());
}

TEST_F(EditTest, AnotherProgramsChangeMadeDuringTheEditSurvivesThePost) {
  const std::string path = MakeOdd();
  OpenOn(table_, path);
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("Mine");
  {
    OtherProcess other(path, [] {
      dbf::GO(1);
      dbf::RLock();
      dbf::SetString(2, "theirs@example.com");
      dbf::ReplaceFields({2});
      dbf::Unlock();
    });
    EXPECT_TRUE(other.Finish());
  }
  table_.Post();
  EXPECT_EQ(RawField(path, 1, 1), "Mine      ");
  EXPECT_EQ(RawField(path, 2, 1), "theirs@example.com  ");
  EXPECT_EQ(table_.FieldByName("EMAIL")->AsString(), "theirs@example.com");
}

TEST_F(EditTest, EditStartsFromTheRecordAsTheFileHoldsItNow) {
  const std::string path = MakeTable({{"Ann", "ann@x"}});
  OpenOn(table_, path);
  OtherProcess(path, [] {
    dbf::GO(1);
    dbf::RLock();
    dbf::SetString(1, "Anna");
    dbf::ReplaceFields({1});
    dbf::Unlock();
  }).Finish();
  table_.Edit();
  EXPECT_EQ(table_.FieldByName("NAME")->AsString(), "Anna");
}

// ---- Locks held by another process

TEST_F(EditTest, PostWhileAnotherProcessHoldsTheRecordShowsLockFailedOnceAndTheStoredValues) {
  const std::string path = MakeTable({{"Ann", "ann@x"}});
  OpenOn(table_, path);
  OtherProcess holder(path, [] {
    dbf::GO(1);
    dbf::RLock();
  });
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("Changed");
  table_.Post();
  EXPECT_EQ(dialogs_.Messages(), (std::vector<std::string>{"Lock failed [Post]"}));
  EXPECT_EQ(table_.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(table_.FieldByName("NAME")->AsString(), "Ann");
  EXPECT_TRUE(holder.Finish());
  EXPECT_EQ(RawField(path, 1, 1), "Ann       ");
}

TEST_F(EditTest, LockFailedHandlerAskingOneRetryWritesOnce) {
  const std::string path = MakeTable({{"Ann", "ann@x"}});
  OpenOn(table_, path);
  auto holder = std::make_unique<OtherProcess>(path, [] {
    dbf::GO(1);
    dbf::RLock();
  });
  int calls = 0, posts = 0;
  table_.OnRLockFailedOnPost = [&](TDataSet&, bool& retry) {
    ++calls;
    holder->Finish();  // the other program lets go
    retry = true;
  };
  table_.AfterPost = [&](TDataSet&) { ++posts; };
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("Changed");
  table_.Post();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(posts, 1);
  EXPECT_TRUE(dialogs_.Messages().empty());
  EXPECT_EQ(RawField(path, 1, 1), "Changed   ");
}

TEST_F(EditTest, HandlerThatAlwaysRetriesGivesUpWithTheMessage) {
  const std::string path = MakeTable({{"Ann", "ann@x"}, {"Bob", "bob@x"}});
  OpenOn(table_, path);
  OtherProcess holder(path, [] {
    dbf::GO(2);
    dbf::RLock();
  });
  int calls = 0;
  table_.OnRLockFailedOnDelete = [&](TDataSet&, bool& retry) {
    ++calls;
    retry = true;
  };
  table_.Last();
  table_.Delete();
  EXPECT_EQ(calls, TXbFileDataSet::kLockTries - 1);
  EXPECT_EQ(dialogs_.Messages(), (std::vector<std::string>{"Lock failed [Delete]"}));
  EXPECT_FALSE(table_.RecordDeleted());
}

TEST_F(EditTest, WriteFailureRaisesTheEngineTextKeepsTheEditAndReleasesTheLock) {
  const std::string path = MakeTable({{"Ann", "ann@x"}});
  OpenOn(table_, path);
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("Changed");
  dbf::SetFileFaultHook([](dbf::FileOp op, const std::string&) {
    return op == dbf::FileOp::Write ? 28 /*ENOSPC*/ : 0;
  });
  try {
    table_.Post();
    ADD_FAILURE() << "the post did not fail";
  } catch (const EDbfError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error # ", 0), 0u) << e.what();
  }
  dbf::SetFileFaultHook({});
  EXPECT_EQ(table_.State(), TDataSetState::dsEdit);
  EXPECT_TRUE(OtherProcess(path, [] {
                dbf::GO(1);
                if (!dbf::RLock()) dbf::Report(33, "still locked");
              }).Finish());
  table_.Post();
  EXPECT_EQ(RawField(path, 1, 1), "Changed   ");
}

// ---- The engine is on the active record for every write

TEST_F(EditTest, NextAtTheLastRecordThenPostOrDeleteActsOnThatRecord) {
  const std::string path = MakeTable({{"Ann", "ann@x"}, {"Bob", "bob@x"}});
  OpenOn(table_, path);
  table_.Last();
  table_.Next();
  ASSERT_TRUE(table_.Eof());
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("Robert");
  table_.Post();
  EXPECT_EQ(RawField(path, 1, 2), "Robert    ");
  table_.Next();
  table_.Delete();
  EXPECT_EQ(RawField(path, 0, 2), "*");
  EXPECT_EQ(RawField(path, 0, 1), " ");
}

TEST_F(EditTest, InsertRefusedTheFileLockShowsLockFailedAndComesBackWhereItWasMade) {
  const std::string path = MakeTable({{"Ann", "a"}, {"Bob", "b"}, {"Cy", "c"}});
  OpenOn(table_, path);
  OtherProcess holder(path, [] { dbf::ALock(); });
  table_.Next();
  table_.Insert();
  table_.FieldByName("NAME")->SetAsString("New");
  table_.Post();
  EXPECT_EQ(dialogs_.Messages(), (std::vector<std::string>{"Lock failed [Insert]"}));
  EXPECT_EQ(table_.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(table_.RecordTotal(), 3);
  EXPECT_EQ(table_.RecNo(), 2);
  EXPECT_EQ(table_.GetField("NAME"), "Bob       ");
}

// While the browser still has the table open with a record it just added, another program that
// trusts the header (Debian's python3-dbf) appends: it writes after that record, not over it, and
// dbfread finds both.
TEST_F(EditTest, RecordAddedHereSurvivesAnotherProgramsAppend) {
  if (std::system("/usr/bin/python3 -c 'import dbf, dbfread' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "/usr/bin/python3 with dbf and dbfread is not installed";
  const std::string path = MakeTable({{"Ann", "a"}});
  OpenOn(table_, path);
  table_.Append();
  table_.FieldByName("NAME")->SetAsString("Mine");
  table_.Post();
  const std::string append =
      "/usr/bin/python3 -c \"import dbf; t = dbf.Table('" + path +
      "', codepage='cp437'); t.open(dbf.READ_WRITE); t.append({'name': 'Theirs'}); t.close()\"";
  ASSERT_EQ(std::system(append.c_str()), 0);
  table_.Close();
  const std::string read =
      "/usr/bin/python3 -c \"import dbfread; print(','.join(r['NAME'] for r in dbfread.DBF('" +
      path + "', encoding='cp437')))\" > " + path + ".txt";
  ASSERT_EQ(std::system(read.c_str()), 0);
  std::ifstream names(path + ".txt");
  std::string line;
  std::getline(names, line);
  EXPECT_EQ(line, "Ann,Mine,Theirs");
}

TEST_F(EditTest, TwoDatasetsOnOneFileOneEditingWhileTheOtherReads) {
  const std::string path = MakeTable({{"Ann", "ann@x"}, {"Bob", "bob@x"}});
  TXbDbf reader("tblRecipients");
  OpenOn(table_, path);
  OpenOn(reader, path);
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("Anna");
  reader.GoFirst();
  EXPECT_EQ(reader.GetField("NAME"), "Ann       ");
  reader.SkipBy(1);
  table_.Post();
  EXPECT_EQ(reader.GetField("NAME"), "Bob       ");
  reader.GoFirst();
  EXPECT_EQ(reader.GetField("NAME"), "Anna      ");
  EXPECT_EQ(table_.GetField("NAME"), "Anna      ");
}

// Another program that ignores the locks empties the file under an open dataset: the records it
// showed are gone, a delete or restore of one writes nothing, and a refresh or First shows the table empty.
TEST_F(EditTest, TableEmptiedByAnotherProgramWritesNothingAndReadsEmpty) {
  const std::string path = MakeTable({{"Ann", "a"}, {"Bob", "b"}, {"Cy", "c"}}, {2});
  const auto header = static_cast<off_t>(std::filesystem::file_size(path) - 3 * 31 - 1);
  for (const auto& write : std::vector<std::function<void(TXbDbf&)>>{
           [](TXbDbf& t) { t.Delete(); }, [](TXbDbf& t) { t.SetRecordDeleted(false); }}) {
    TXbDbf table("tblDatabase");
    OpenOn(table, path);
    table.Next();
    ASSERT_EQ(truncate(path.c_str(), header), 0);
    EXPECT_THROW(write(table), EDbfError);
    EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(header));
    table.Refresh();
    EXPECT_TRUE(table.IsEmpty());
    table.First();
    EXPECT_TRUE(table.AtEnd());
    EXPECT_EQ(table.RecordTotal(), 0);
    table.Close();
    MakeTable({{"Ann", "a"}, {"Bob", "b"}, {"Cy", "c"}}, {2});
  }
}

// ---- New records, deletes, read-only

TEST_F(EditTest, NewRecordPostedUntouchedIsBlankZeroAndFalse) {
  const std::string path = MakeOdd();
  OpenOn(table_, path);
  table_.Append();
  table_.Post();
  EXPECT_EQ(table_.RecordTotal(), 2);
  EXPECT_EQ(table_.RecNo(), 2);
  EXPECT_EQ(RawField(path, 1, 2), "          ");
  EXPECT_EQ(RawField(path, 3, 2), "        ");
  EXPECT_EQ(RawField(path, 4, 2), "         0");
  EXPECT_EQ(RawField(path, 7, 2), "F");
  EXPECT_EQ(RawField(path, 8, 2), "    0.00");
  EXPECT_TRUE(table_.FieldByName("BORN")->IsNull());
}

TEST_F(EditTest, InsertIntoAnEmptyTableAndCancelLeaveItEmpty) {
  OpenOn(table_, MakeTable({}));
  table_.Edit();  // on an empty dataset: a new record
  EXPECT_EQ(table_.State(), TDataSetState::dsInsert);
  table_.Cancel();
  EXPECT_TRUE(table_.IsEmpty());
  table_.Insert();
  table_.FieldByName("NAME")->SetAsString("First");
  table_.Post();
  EXPECT_EQ(table_.RecordTotal(), 1);
  EXPECT_EQ(table_.GetField("NAME"), "First     ");
}

TEST_F(EditTest, DeleteWithHiddenRecordsMovesOnAndRestoreRecalls) {
  const std::string path = MakeTable({{"Ann", "a"}, {"Bob", "b"}, {"Cy", "c"}});
  OpenOn(table_, path, true);
  table_.Next();
  table_.Delete();
  EXPECT_EQ(table_.GetField("NAME"), "Cy        ");
  table_.First();
  table_.SetRecNo(2);  // the scroll thumb on a hidden record: the next visible one
  EXPECT_EQ(table_.RecNo(), 3);
  table_.Delete();  // the last visible record: back to the previous one
  EXPECT_EQ(table_.GetField("NAME"), "Ann       ");
  table_.SetRecNo(2);  // a hidden record gives way to the next visible, else the previous
  EXPECT_EQ(table_.RecNo(), 1);
  EXPECT_FALSE(table_.BookmarkValid(2));
  EXPECT_TRUE(table_.BookmarkValid(1));
  EXPECT_FALSE(table_.BookmarkValid(4));
  table_.SetHideDeletedRecs(false);
  table_.Refresh();
  table_.SetRecNo(3);
  table_.SetRecordDeleted(false);
  EXPECT_EQ(RawField(path, 0, 3), " ");
  table_.SetRecordDeleted(false);  // no mark: nothing happens
  EXPECT_EQ(table_.RecordTotal(), 3);
}

TEST_F(EditTest, ReadOnlyDatasetRefusesEditsAndWritesNothing) {
  const std::string path = MakeTable({{"Ann", "a"}});
  table_.SetReadOnly(true);
  OpenOn(table_, path);
  EXPECT_THROW(table_.Edit(), EDbfError);
  EXPECT_THROW(table_.Insert(), EDbfError);
  EXPECT_THROW(table_.FieldByName("NAME")->SetAsString("x"), EDbfError);
  table_.Delete();
  EXPECT_EQ(RawField(path, 0, 1), " ");
}

TEST_F(EditTest, DateTextThatIsNoDateShowsTheMessageAndStoresBlank) {
  const std::string path = MakeOdd();
  OpenOn(table_, path);
  table_.Edit();
  table_.FieldByName("BORN")->SetAsString("13/45/99");
  EXPECT_EQ(dialogs_.Messages(), (std::vector<std::string>{"        Invalid date       "}));
  table_.Post();
  EXPECT_EQ(RawField(path, 3, 1), "        ");
  table_.Edit();
  table_.FieldByName("BORN")->SetAsString("02/29/24");
  table_.Post();
  EXPECT_EQ(RawField(path, 3, 1), "20240229");
}

// ---- Memo streams

TEST_F(EditTest, MemoStreamOpenedForWritingAndDestroyedUnwrittenEmptiesTheMemo) {
  const std::string path = MakeOdd();
  OpenOn(table_, path);
  TField& notes = *table_.FieldByName("NOTES");
  table_.CreateBlobStream(notes, TBlobStreamMode::bmWrite).reset();
  EXPECT_EQ(table_.State(), TDataSetState::dsEdit);
  table_.Post();
  EXPECT_EQ(notes.AsString(), "");
  EXPECT_EQ(RawField(path, 9, 1), "          ");
}

TEST_F(EditTest, MemoStreamWritesAndReadsBack) {
  const std::string path = MakeOdd();
  OpenOn(table_, path);
  TField& notes = *table_.FieldByName("NOTES");
  {
    auto out = table_.CreateBlobStream(notes, TBlobStreamMode::bmWrite);
    out->Write("second, ", 8);
    out->Write("longer memo text", 16);
  }
  table_.Post();
  auto in = table_.CreateBlobStream(notes, TBlobStreamMode::bmRead);
  char text[64] = {};
  EXPECT_EQ(in->Read(text, sizeof text), 24u);
  EXPECT_EQ(std::string(text), "second, longer memo text");
  in.reset();
  table_.Edit();
  notes.SetAsString("third");
  table_.Cancel();
  EXPECT_EQ(notes.AsString(), "second, longer memo text");
}

TEST_F(EditTest, MemoStreamEndsWithItsDataSetOrTheNextStreamAndEmptiesOnlyItsOwnEdit) {
  const std::string path = MakeOdd();
  OpenOn(table_, path);
  TField* notes = table_.FieldByName("NOTES");
  char text[16] = {};
  // Kept across a close and reopen: its dataset's fields are new ones by then.
  auto kept = table_.CreateBlobStream(*notes, TBlobStreamMode::bmWrite);
  table_.Close();
  EXPECT_THROW(kept->Write("x", 1), EDbfError);
  table_.Open();
  kept.reset();
  notes = table_.FieldByName("NOTES");
  EXPECT_EQ(notes->AsString(), "first memo");
  // A second stream ends the first, whose end then leaves the second's reading alone.
  auto first = table_.CreateBlobStream(*notes, TBlobStreamMode::bmRead);
  auto second = table_.CreateBlobStream(*notes, TBlobStreamMode::bmRead);
  EXPECT_THROW(first->Read(text, 5), EDbfError);
  first.reset();
  EXPECT_EQ(second->Read(text, 5), 5u);
  second.reset();
  // An unwritten stream outliving its edit does not empty the memo of the edit that came after.
  auto unwritten = table_.CreateBlobStream(*notes, TBlobStreamMode::bmWrite);
  table_.Cancel();
  table_.Edit();
  unwritten.reset();
  table_.Post();
  EXPECT_EQ(notes->AsString(), "first memo");
  // Outliving the dataset itself.
  auto orphan = std::make_unique<TXbDbf>("tblOther");
  OpenOn(*orphan, path);
  auto stream = orphan->CreateBlobStream(*orphan->FieldByName("NOTES"), TBlobStreamMode::bmRead);
  orphan.reset();
  EXPECT_THROW(stream->Seek(0, platform::SeekOrigin::Begin), EDbfError);
}

}  // namespace
}  // namespace tavrin::dataset::test
