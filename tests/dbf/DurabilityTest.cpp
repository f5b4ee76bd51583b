// What survives when things go wrong half-way: header updates that must not hide another program's
// appends, a pack whose writes fail part-way through, and a memo write that fails while it holds
// the memo file lock.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "DbfTestSupport.h"
#include "dbf/File.h"
#include "dbf/Memo.h"

namespace tavrin::dbf::test {
namespace {

class DurabilityTest : public DbfTest {
 protected:
  static std::int32_t HeaderCount(const std::vector<std::uint8_t>& b) {
    return static_cast<std::int32_t>(b[4] | (b[5] << 8) | (b[6] << 16) |
                                     (static_cast<std::uint32_t>(b[7]) << 24));
  }
  static bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  }
  // Fails the `after`+1-th call of `which` on a file whose name ends with `suffix` (once).
  static void FailAfter(FileOp which, const std::string& suffix, int after) {
    auto seen = std::make_shared<int>(0);
    SetFileFaultHook([=](FileOp op, const std::string& path) {
      if (op != which || !EndsWith(path, suffix)) return 0;
      return ++*seen == after + 1 ? 5 /*EIO*/ : 0;
    });
  }
};

// A flush in shared use recounts: the header never claims fewer records than the file holds, and
// the end marker that a flush could not write is still written at close.
TEST_F(DurabilityTest, FlushInSharedUseCountsTheOtherAreasAppends) {
  const std::string path = MakePeople(2);
  Select(1);
  USE(path + " ALIAS A");
  ASSERT_TRUE(ALock());
  ClearRecord();
  SetString(1, "mine");
  Append();
  Unlock();
  Select(2);
  USE(path + " ALIAS B");
  ASSERT_TRUE(ALock());
  ClearRecord();
  SetString(1, "theirs");
  Append();
  Unlock();
  USE("");
  Select(1);
  FlushFile();
  EXPECT_EQ(HeaderCount(ReadAll(path)), 4);
  USE("");
  const auto bytes = ReadAll(path);
  EXPECT_EQ(HeaderCount(bytes), 4);
  ASSERT_EQ(bytes.size(), 161u + 4 * 23 + 1);  // header, four records, end marker
  EXPECT_EQ(bytes.back(), 0x1A);
}

// A pack whose writes fail after the first chunk of records, or on the header, or whose packed
// table cannot take the table's name, leaves the table as it was: every live record exactly once,
// the deleted one still there, and no new file behind.
TEST_F(DurabilityTest, PackFailingHalfWayLeavesTheTableAsItWas) {
  const int n = 6000;  // three pack chunks of 23-byte records
  const std::string path = MakePeople(n);
  const std::pair<FileOp, int> faults[] = {
      {FileOp::Write, 1}, {FileOp::Write, 4}, {FileOp::Rename, 0}};
  for (const auto& [op, callsBefore] : faults) {
    SCOPED_TRACE(callsBefore);
    USE(path + " EXCLUSIVE");
    GO(1);
    DeleteRec();
    const auto before = ReadAll(path);
    FailAfter(op, ".$db", callsBefore);
    EXPECT_NE(Failure([] { Pack(); }).find("Error packing"), std::string::npos);
    SetFileFaultHook({});
    USE("");
    const auto after = ReadAll(path);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin() + 8, before.end(), after.begin() + 8));
    USE(path);
    EXPECT_EQ(RecCount(), n);
    GO(n);
    EXPECT_EQ(GetString(1), "P6000     ");
    USE("");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
  }
}

// A (sparse) file long enough for more records than a record number can count: the count stops
// one below the largest number, moves stay in range and an append is refused.
TEST_F(DurabilityTest, FileWithMoreRecordsThanNumbersIsCappedAndRefusesAppends) {
  CreateDbf(Path("huge.dbf"), {{"X", 'C', 1, 0}});
  {
    std::unique_ptr<File> f;
    ASSERT_EQ(File::Open(Path("huge.dbf"), true, &f), 0);
    ASSERT_EQ(f->Truncate(65 + 2LL * 0x80000000LL + 10), 0);
    // Live-record flags where the open looks for damage; the zeros between are never read here.
    ASSERT_EQ(f->WriteAt(" ", 1, 65), 0);
    ASSERT_EQ(f->WriteAt(" ", 1, 65 + 2LL * (0x7FFFFFFE - 1)), 0);
  }
  USE(Path("huge.dbf"));
  EXPECT_EQ(RecCount(), 0x7FFFFFFE);
  GoBottom();
  EXPECT_EQ(RecNo(), 0x7FFFFFFE);
  SKIP(1);
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(RecNo(), 0x7FFFFFFF);
  ASSERT_TRUE(ALock());
  EXPECT_NE(Failure([] { Append(); }).find("is full. [APPEND]"), std::string::npos);
  Unlock();
  USE("");
  std::filesystem::remove(Path("huge.dbf"));
}

class MemoDurabilityTest : public DurabilityTest {
 protected:
  void SetUp() override {
    DurabilityTest::SetUp();
    CreateDbf(Path("notes.dbf"), {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 10, 0}});
  }
  void AppendWithMemo(const std::string& name, const std::string& text) {
    ClearRecord();
    SetString(1, name);
    WriteMemo(2, text);
    Append();
  }
};

// A pack that fails after it committed (here the packed memo file cannot take its name) is
// finished by the next open: until then and after, every record reads its own text.
TEST_F(MemoDurabilityTest, PackStoppedAfterItsCommitIsFinishedByTheNextOpen) {
  USE(Path("notes.dbf EXCLUSIVE"));
  AppendWithMemo("a", std::string(2000, 'a'));
  AppendWithMemo("b", "bee");
  AppendWithMemo("c", std::string(700, 'c'));
  GO(1);
  DeleteRec();
  FailAfter(FileOp::Rename, ".$$$", 0);
  EXPECT_NE(Failure([] { Pack(MemoPacking::Always); }),
            "<no failure>");  // the memo file is compacted
  SetFileFaultHook({});
  const auto check = [] {
    ASSERT_EQ(RecCount(), 2);
    GO(1);
    EXPECT_EQ(ReadMemo(2), "bee");
    GO(2);
    EXPECT_EQ(ReadMemo(2), std::string(700, 'c'));
  };
  check();
  USE("");
  Settings().openOverride =
      OpenOverride::ReadOnly;  // a reader reads the packed pair, changing nothing
  USE(Path("notes.dbf"));
  check();
  USE("");
  EXPECT_TRUE(std::filesystem::exists(Path("notes.$pk")));
  Settings().openOverride = OpenOverride::None;
  USE(Path("notes.dbf"));
  check();
  USE("");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 2);
}

// A program that dies at any single write while it rewrites a saved text (shorter, then longer)
// leaves every record reading a whole text: its old one or its new one, never a mix. The child
// process ends itself right before its n-th write, as a kill at that moment would.
TEST_F(MemoDurabilityTest, DeathAtEveryWriteOfAMemoRewriteKeepsEveryTextWhole) {
  USE(Path("notes.dbf EXCLUSIVE"));
  AppendWithMemo("a", std::string(1500, 'a'));
  AppendWithMemo("b", "bee");
  USE("");
  const auto table = ReadAll(Path("notes.dbf")), memo = ReadAll(Path("notes.dbt"));
  const std::string olds[] = {std::string(1500, 'a'), "bee"};
  const std::string news[] = {"short", std::string(3000, 'z')};
  for (int n = 1;; ++n) {
    WriteAll(Path("notes.dbf"), table);
    WriteAll(Path("notes.dbt"), memo);
    const pid_t pid = fork();
    if (pid == 0) {
      auto writes = std::make_shared<int>(0);
      SetFileFaultHook([=](FileOp op, const std::string&) {
        if ((op == FileOp::Write || op == FileOp::Truncate) && ++*writes == n) ::_exit(9);
        return 0;
      });
      USE(Path("notes.dbf"));
      for (int r = 1; r <= 2; ++r) {
        GO(r);
        RLock();
        WriteMemo(2, news[r - 1]);
        Replace();
        Unlock();
      }
      USE("");
      ::_exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    SCOPED_TRACE(n);
    USE(Path("notes.dbf"));
    for (int r = 1; r <= 2; ++r) {
      GO(r);
      const std::string text = ReadMemo(2);
      EXPECT_TRUE(text == olds[r - 1] || text == news[r - 1])
          << "record " << r << ": " << text.size() << " bytes";
    }
    USE("");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) break;
    ASSERT_LT(n, 100);
  }
}

// A memo stream left open across a pack ends there: it cannot write into the packed file.
TEST_F(MemoDurabilityTest, StreamOpenAcrossAPackWritesNothingIntoThePackedFile) {
  USE(Path("notes.dbf EXCLUSIVE"));
  AppendWithMemo("a", std::string(1500, 'a'));
  AppendWithMemo("b", "bee");
  AppendWithMemo("c", "sea");
  GO(1);
  WriteMemo(2, "x");  // a new block; blocks 1 to 3 are freed by the Replace
  Replace();
  ASSERT_EQ(CreateBlobDescriptor(0, BlobMode::Write, false, 20),
            1);  // where "bee" lands after packing
  DeleteRec();
  ASSERT_TRUE(Pack());
  EXPECT_EQ(WriteBlobStream("XXXXXXXXXXXXXXXXXXXX", 20), 0);
  DestroyBlobDescriptor();
  GO(1);
  EXPECT_EQ(ReadMemo(2), "bee");
  GO(2);
  EXPECT_EQ(ReadMemo(2), "sea");
}

// A text's old blocks are reused only while the record in the file still refers to them: another
// opener may have moved the text meanwhile and its blocks may hold a third record's text by now.
TEST_F(MemoDurabilityTest, StaleReferenceNeverOverwritesAnotherRecordsText) {
  Select(1);
  USE(Path("notes.dbf ALIAS A"));
  ASSERT_TRUE(ALock());
  AppendWithMemo("one", "first text");
  Unlock();
  Select(2);
  USE(Path("notes.dbf ALIAS B"));
  GO(1);  // B holds record 1's reference as it is now
  Select(1);
  ASSERT_TRUE(RLock());
  WriteMemo(2, std::string(2000, 'L'));  // moves the text: its old block goes to the free chain
  Replace();
  Unlock();
  ASSERT_TRUE(ALock());
  AppendWithMemo("two", "victim");  // takes the freed block
  Unlock();
  Select(2);
  ASSERT_TRUE(RLock());
  WriteMemo(2, "short");
  Replace();
  Unlock();
  Select(1);
  GO(2);
  EXPECT_EQ(ReadMemo(2), "victim");
  GO(1);
  EXPECT_EQ(ReadMemo(2), "short");
  // A text written twice before its record is stored keeps its block: nobody else can have it.
  ASSERT_TRUE(ALock());
  ClearRecord();
  WriteMemo(2, "draft");
  const std::int32_t first = GetInteger(2);
  WriteMemo(2, "final");
  EXPECT_EQ(GetInteger(2), first);
  Append();
  Unlock();
  EXPECT_EQ(ReadMemo(2), "final");
}

// A memo write that fails half-way releases the memo file lock, so other openers can still write.
TEST_F(MemoDurabilityTest, FailedMemoWriteReleasesTheMemoLock) {
  Select(1);
  USE(Path("notes.dbf ALIAS A"));
  ASSERT_TRUE(ALock());
  ClearRecord();
  // Reserving the room writes the file's padding, the free-chain link and the empty text's header;
  // the first piece of the text fails.
  FailAfter(FileOp::Write, ".dbt", 3);
  EXPECT_NE(Failure([] { WriteMemo(2, std::string(40000, 'x')); }), "<no failure>");
  SetFileFaultHook({});
  Unlock();
  Select(2);
  USE(Path("notes.dbf ALIAS B"));
  ASSERT_TRUE(ALock());
  AppendWithMemo("b", "still writable");
  Unlock();
  EXPECT_EQ(ReadMemo(2), "still writable");
}

}  // namespace
}  // namespace tavrin::dbf::test
