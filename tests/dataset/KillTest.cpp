// A program killed at any write of an edit, a memo write or an append loses nothing already saved:
// every record reads as it was before or as it was meant to be after, and nothing else changed.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "DataSetTestSupport.h"
#include "dbf/Engine.h"
#include "dbf/File.h"
#include "dbf/Memo.h"

namespace tavrin::dataset::test {
namespace {

class KillTest : public DataSetTest {
 protected:
  std::string MakeNotes() {
    const std::string path = Path("notes.dbf");
    dbf::CreateDbf(path, {{"NAME", 'C', 10, 0}, {"EMAIL", 'C', 20, 0}, {"NOTES", 'M', 10, 0}});
    dbf::Select(0);
    dbf::USE(path + " EXCLUSIVE");
    for (const char* n : {"Ann", "Bob", "Cy"}) {
      dbf::ClearRecord();
      dbf::SetString(1, n);
      dbf::SetString(2, std::string(n) + "@example.com");
      dbf::WriteMemo(3, std::string("notes of ") + n);
      dbf::Append();
    }
    dbf::USE("");
    return path;
  }
  // Record `r` as NAME|EMAIL|memo text, read through the engine.
  static std::string Record(int r) {
    dbf::GO(r);
    return dbf::GetString(1) + "|" + dbf::GetString(2) + "|" + dbf::ReadMemo(3);
  }
  // The work of the child: edit Bob's name and notes, append one record, close.
  static void Work(const std::string& path) {
    TXbDbf table("tblDatabase");
    table.SetDbfFileName(path);
    table.Open();
    table.Next();
    table.Edit();
    table.FieldByName("NAME")->SetAsString("Robert");
    table.FieldByName("NOTES")->SetAsString("new notes of Robert, longer than before");
    table.Post();
    table.Append();
    table.FieldByName("NAME")->SetAsString("Added");
    table.Post();
    table.Close();
  }
};

TEST_F(KillTest, KilledAtAnyWriteEveryRecordIsOldOrNew) {
  const std::string pristine = MakeNotes();
  const std::string path = Path("work.dbf");
  const std::string bob = "Bob       |Bob@example.com     |notes of Bob";
  const std::string robert =
      "Robert    |Bob@example.com     |new notes of Robert, longer than before";
  bool finished = false;
  for (int n = 1; n < 60 && !finished; ++n) {
    std::filesystem::copy_file(pristine, path, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(Path("notes.dbt"), Path("work.dbt"),
                               std::filesystem::copy_options::overwrite_existing);
    const pid_t pid = fork();
    if (pid == 0) {
      auto writes = std::make_shared<int>(0);
      dbf::SetFileFaultHook([writes, n](dbf::FileOp op, const std::string&) {
        if (op == dbf::FileOp::Write && ++*writes == n) _exit(9);  // killed just before this write
        return 0;
      });
      try {
        Work(path);
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "the work failed at write " << n;
    finished = WEXITSTATUS(status) == 0;

    dbf::Select(0);
    dbf::USE(path);
    ASSERT_EQ(dbf::LastReportedCode(), 0) << dbf::GetErrorText();
    EXPECT_EQ(Record(1), "Ann       |Ann@example.com     |notes of Ann") << "write " << n;
    const std::string second = Record(2);
    EXPECT_TRUE(second == bob || second == robert) << "write " << n << ": " << second;
    EXPECT_EQ(Record(3), "Cy        |Cy@example.com      |notes of Cy") << "write " << n;
    const int count = dbf::RecCount();
    EXPECT_TRUE(count == 3 || count == 4) << "write " << n;
    if (count == 4) {
      EXPECT_EQ(Record(4), "Added     |                    |") << "write " << n;
    }
    if (finished) {
      EXPECT_EQ(second, robert);
      EXPECT_EQ(count, 4);
    }
    dbf::USE("");
  }
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace tavrin::dataset::test
