// The table with other programs on the same file: appends counted in the header before the append
// lock goes (seen by a real second program that trusts the header, and after a kill), appends that
// fail leave no fragment, and damage (zero-filled records) refused at open with the file untouched.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "DbfTestSupport.h"
#include "dbf/File.h"

namespace tavrin::dbf::test {
namespace {

constexpr std::size_t kPeopleHeader = 161;  // MakePeople: 4 fields
constexpr std::size_t kPeopleRecord = 23;

class AppendsTest : public DbfTest {
 protected:
  static std::int32_t HeaderCount(const std::vector<std::uint8_t>& b) {
    return static_cast<std::int32_t>(b[4] | (b[5] << 8) | (b[6] << 16) |
                                     (static_cast<std::uint32_t>(b[7]) << 24));
  }
  static void AppendName(const std::string& name) {
    ClearRecord();
    SetString(1, name);
    Append();
  }
  // Runs Debian's python3 (whose modules the peers come from) with `script`, argv[1] = `path`;
  // answers what it printed.
  static std::string Python(const std::string& script, const std::string& path, int* status) {
    const std::string file = path + ".py";
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs(script.c_str(), f);
    std::fclose(f);
    const std::string cmd = "/usr/bin/python3 " + file + " " + path + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    while (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    *status = p == nullptr ? -1 : pclose(p);
    std::filesystem::remove(file);
    return out;
  }
  static bool HasPythonModules() {
    return std::system("/usr/bin/python3 -c 'import dbf, dbfread' >/dev/null 2>&1") == 0;
  }
  // Names of the records as dbfread lists them (it trusts the header's count), one per line.
  static std::string DbfreadNames(const std::string& path) {
    int status = 0;
    return Python(
        "import sys, dbfread\n"
        "for r in dbfread.DBF(sys.argv[1], encoding='cp437', ignore_missing_memofile=True):\n"
        "    print(r['NAME'])\n",
        path, &status);
  }
};

// Another program that trusts the header appends while this one still has its fresh record (and
// the table open): it writes after our record, not over it, and both are counted.
TEST_F(AppendsTest, AppendInSharedUseIsCountedBeforeTheAppendLockGoes) {
  if (!HasPythonModules()) GTEST_SKIP() << "/usr/bin/python3 with dbf and dbfread is not installed";
  const std::string path = MakePeople(2);
  USE(path);
  ASSERT_TRUE(ALock());
  AppendName("mine");
  auto b = ReadAll(path);  // still under the append lock
  EXPECT_EQ(HeaderCount(b), 3);
  EXPECT_EQ(b.size(), kPeopleHeader + 3 * kPeopleRecord + 1);
  EXPECT_EQ(b.back(), 0x1A);
  Unlock();
  int status = 0;
  const std::string out = Python(
      "import sys, dbf\n"
      "t = dbf.Table(sys.argv[1], codepage='cp437')\n"
      "t.open(dbf.READ_WRITE)\n"
      "t.append({'name': 'theirs'})\n"
      "t.close()\n",
      path, &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(RecCount(), 4);
  GO(3);
  EXPECT_EQ(GetString(1), "mine      ");
  USE("");
  EXPECT_EQ(DbfreadNames(path), "P1\nP2\nmine\ntheirs\n");
  EXPECT_EQ(HeaderCount(ReadAll(path)), 4);
}

// A program killed right after an append (still holding the lock, the table still open) leaves the
// header counting the record, so readers that trust the header see it.
TEST_F(AppendsTest, KillRightAfterAnAppendLeavesTheRecordCounted) {
  const std::string path = MakePeople(2);
  int up[2], down[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(down), 0);
  const pid_t child = fork();
  if (child == 0) {
    SetRaise(true);
    try {
      USE(path);
      if (ALock()) AppendName("killed");
    } catch (...) {
    }
    char c = 'r';
    (void)!write(up[1], &c, 1);
    (void)!read(down[0], &c, 1);  // never answered: the parent kills
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(up[0], &c, 1), 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  for (int fd : {up[0], up[1], down[0], down[1]}) close(fd);
  const auto b = ReadAll(path);
  EXPECT_EQ(HeaderCount(b), 3);
  EXPECT_EQ(b.size(), kPeopleHeader + 3 * kPeopleRecord + 1);
  if (HasPythonModules()) {
    EXPECT_EQ(DbfreadNames(path), "P1\nP2\nkilled\n");
  }
}

// An append the disk refuses part-way (here: the file size limit, which lets the first bytes of the
// record through and then fails like a full disk) or whole leaves the file byte for byte as it was,
// in shared and in exclusive use.
TEST_F(AppendsTest, FailedAppendLeavesNoFragmentBehind) {
  const std::string path = MakePeople(2);
  const auto before = ReadAll(path);
  for (const bool exclusive : {false, true}) {
    SCOPED_TRACE(exclusive);
    const pid_t child = fork();
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{before.size() + 5, before.size() + 5};
      setrlimit(RLIMIT_FSIZE, &limit);
      SetRaise(true);
      int rc = 1;
      try {
        UseFile(path, OpenOptions{exclusive, ""});
        if (ALock()) AppendName("lost");
      } catch (const EDbfError& e) {
        rc = std::string(e.what()).find("Error # 101") == 0 ? 0 : 2;
      }
      try {
        USE("");
      } catch (...) {
      }
      _exit(rc);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadAll(path), before);
  }
  // A write refused outright, from this process.
  USE(path);
  ASSERT_TRUE(ALock());
  SetFileFaultHook([&](FileOp op, const std::string& file) {
    return op == FileOp::Write && file == path ? 28 : 0;
  });
  EXPECT_NE(Failure([] { AppendName("lost"); }).find("[Replace/Append/PutDbfRecord]"),
            std::string::npos);
  SetFileFaultHook({});
  Unlock();
  EXPECT_EQ(RecCount(), 2);
  USE("");
  EXPECT_EQ(ReadAll(path), before);
}

// A create that a full disk stops leaves neither an empty table nor a table without its memo
// file: the name stays free for the retry. A table someone has open is not taken away.
TEST_F(AppendsTest, FailedCreateLeavesNoTableBehind) {
  const std::string path = Path("new.dbf");
  const std::string memo = Path("new.dbt");
  for (const std::string& failing : {path, memo}) {
    SetFileFaultHook([&](FileOp op, const std::string& file) {
      return op == FileOp::Write && file == failing ? 28 : 0;
    });
    EXPECT_NE(Failure([&] {
                CreateDbf(path, {{"NAME", 'C', 10, 0}, {"NOTE", 'M', 10, 0}});
              }),
              "<no failure>");
    SetFileFaultHook({});
    EXPECT_FALSE(std::filesystem::exists(path)) << failing;
    EXPECT_FALSE(std::filesystem::exists(memo)) << failing;
  }
  const std::string held = MakePeople(2);
  const auto before = ReadAll(held);
  USE(held);
  EXPECT_NE(Failure([&] { CreateDbf(held, {{"NAME", 'C', 10, 0}}); }), "<no failure>");
  USE("");
  EXPECT_EQ(ReadAll(held), before);
}

// A table grown by zeros (a sparse `truncate -s`) is refused at open and left as it was; zeros
// inside the table refuse the record when it is read. Readers change nothing.
TEST_F(AppendsTest, ZeroFilledRecordsAreDamageRefusedWithoutAWrite) {
  const std::string path = MakePeople(3);
  {
    std::unique_ptr<File> f;
    ASSERT_EQ(File::Open(path, true, &f), 0);
    ASSERT_EQ(f->Truncate(static_cast<std::int64_t>(kPeopleHeader + 3 * kPeopleRecord) + 1000000),
              0);
  }
  const auto grown = ReadAll(path);
  for (const bool exclusive : {false, true}) {
    const std::string msg = Failure([&] { UseFile(path, OpenOptions{exclusive, ""}); });
    EXPECT_NE(msg.find("Error # 210"), std::string::npos) << msg;
    EXPECT_NE(msg.find(path + " is damaged: record 4 is not a record"), std::string::npos) << msg;
    EXPECT_FALSE(IsOpen());
  }
  EXPECT_EQ(ReadAll(path), grown);

  const std::string mid = MakePeople(3, "mid.dbf");
  auto bytes = ReadAll(mid);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(kPeopleHeader + kPeopleRecord),
              kPeopleRecord, 0);
  WriteAll(mid, bytes);
  USE(mid);
  EXPECT_EQ(GetString(1), "P1        ");
  EXPECT_NE(Failure([] { SKIP(1); }).find(mid + " is damaged: record 2 is not a record"),
            std::string::npos);
  GO(3);
  EXPECT_EQ(GetString(1), "P3        ");
  USE("");
  EXPECT_EQ(ReadAll(mid), bytes);
}

// Pack reads every record: a zero-filled one in the middle (not seen at open) refuses the pack,
// with or without the memo step, and leaves the table as it was instead of keeping or dropping it.
TEST_F(AppendsTest, PackRefusesARecordThatIsNotARecord) {
  const std::string path = MakePeople(4);
  USE(path + " EXCLUSIVE");
  GO(4);
  DeleteRec();
  USE("");
  auto bytes = ReadAll(path);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(kPeopleHeader + kPeopleRecord),
              kPeopleRecord, 0);
  WriteAll(path, bytes);
  for (const MemoPacking memo : {MemoPacking::WhenMostlyDead, MemoPacking::Always}) {
    USE(path);
    const std::string msg = Failure([memo] { Pack(memo); });
    EXPECT_NE(msg.find(path + " is damaged: record 2 is not a record"), std::string::npos) << msg;
    USE("");
    EXPECT_EQ(ReadAll(path), bytes);
  }
}

// Pack with nothing to remove (as the browser runs it at every close) writes nothing when nothing
// was changed: not even today's date.
TEST_F(AppendsTest, PackWithNothingToRemoveWritesNothing) {
  const std::string path = MakePeople(3);
  const auto before = ReadAll(path);
  SetClockHook([] { return LocalDate{2027, 3, 4}; });
  USE(path);
  Pack();
  USE("");
  EXPECT_EQ(ReadAll(path), before);
  // A header whose count a killed writer left behind is still put right.
  auto stale = before;
  stale[4] = 1;
  WriteAll(path, stale);
  USE(path);
  Pack();
  USE("");
  EXPECT_EQ(HeaderCount(ReadAll(path)), 3);
}

}  // namespace
}  // namespace tavrin::dbf::test
