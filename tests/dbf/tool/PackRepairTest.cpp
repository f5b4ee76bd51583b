// Pack and repair of tables with memo texts, driven through dbftool as a separate process and read
// back by another program's reader (dbfread): a table cut inside a record is refused by pack and cut
// only by repair, which keeps the cut bytes; pack leaves the memo file alone unless compacting it is
// asked for or most of it is dead.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dbf/Engine.h"
#include "tests/dbf/tool/ToolRunner.h"

namespace tavrin::tools::test {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

bool HaveDbfread() {
  return std::system((std::string(kPython) + " -c 'import dbfread' 2>/dev/null").c_str()) == 0;
}

// "ID=NOTE" per live record, as dbfread reads the table (memo texts without the bytes past their end
// that it reads along from a block header).
std::string ReadWithDbfread(const std::string& table) {
  const std::string script =
      "import sys, dbfread\n"
      "for r in dbfread.DBF(sys.argv[1], encoding='cp437'):\n"
      "    print('%s=%s' % (r['ID'], (r['NOTE'] or '').rstrip('\\x00')))\n";
  std::string out;
  FILE* p = popen(("script=$(cat <<'PYEOF'\n" + script + "PYEOF\n); " + kPython +
                   " -c \"$script\" '" + table + "' 2>&1")
                      .c_str(),
                  "r");
  if (p == nullptr) return "popen failed";
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

class PackRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveDbfread())
      GTEST_SKIP() << "dbfread is not installed (test.sh installs python3-dbfread)";
  }

  // Rows "ID,NOTE" with texts of the given lengths, each text the ID's letter repeated.
  void MakeTable(const std::vector<int>& lengths) {
    ASSERT_EQ(dir_.Run({"create", "t.dbf", "ID,N,3", "NOTE,M"}).status, 0);
    std::string csv = "ID,NOTE\n";
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      csv += std::to_string(i + 1) + "," + Text(static_cast<int>(i + 1), lengths[i]) + "\n";
    }
    dir_.WriteFile("rows.csv", csv);
    const ToolResult r = dir_.Run({"import", "t.dbf", "rows.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static std::string Text(int id, int length) {
    return std::string(static_cast<std::size_t>(length), static_cast<char>('a' + id - 1));
  }
  static std::string Line(int id, int length) {
    return std::to_string(id) + "=" + Text(id, length) + "\n";
  }

  ToolDir dir_;
};

// 1 + 3 + 10 bytes per record after a 97-byte header (two fields).
constexpr std::size_t kHeader = 97, kRecord = 14;

TEST_F(PackRepairTest, ATableEndingInsideARecordIsRefusedByPackAndCutOnlyByRepair) {
  MakeTable({20, 30, 40});
  ASSERT_EQ(dir_.Run({"delete", "t.dbf", "1"}).status, 0);
  std::string whole = dir_.ReadFile("t.dbf");
  ASSERT_EQ(whole.size(), kHeader + 3 * kRecord + 1);
  const std::string cut = whole.substr(0, kHeader + 2 * kRecord + 9);  // record 3 cut after 9 bytes
  dir_.WriteFile("t.dbf", cut);
  const std::string memo = dir_.ReadFile("t.dbt");

  const ToolResult pack = dir_.Run({"pack", "t.dbf"});
  EXPECT_EQ(pack.status, 1);
  EXPECT_NE(
      pack.err.find("The table ends inside a record (9 bytes after record 2): it is damaged."),
      std::string::npos)
      << pack.err;
  EXPECT_EQ(dir_.ReadFile("t.dbf"), cut);
  EXPECT_EQ(dir_.ReadFile("t.dbt"), memo);
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out,
            "ID,NOTE\r\n2," + Text(2, 30) + "\r\n");  // reading goes on

  const ToolResult repair = dir_.Run({"repair", "t.dbf"});
  ASSERT_EQ(repair.status, 0) << repair.err;
  EXPECT_NE(repair.err.find("cut off 9 bytes after record 2, saved in " + dir_.Path("t.dbf.cut")),
            std::string::npos)
      << repair.err;
  EXPECT_EQ(dir_.ReadFile("t.dbf.cut"), cut.substr(kHeader + 2 * kRecord));
  std::string repaired = whole.substr(0, kHeader + 2 * kRecord) + "\x1A";
  repaired.replace(4, 4, std::string("\x02\0\0\0", 4));  // the header counts the whole records
  EXPECT_EQ(dir_.ReadFile("t.dbf").substr(4), repaired.substr(4));
  EXPECT_EQ(ReadWithDbfread(dir_.Path("t.dbf")), Line(2, 30));

  EXPECT_NE(dir_.Run({"repair", "t.dbf"}).err.find("nothing to repair"), std::string::npos);
  ASSERT_EQ(dir_.Run({"pack", "t.dbf"}).status, 0);
  EXPECT_EQ(ReadWithDbfread(dir_.Path("t.dbf")), Line(2, 30));
}

// The program's own pack (the browser's close) refuses too, and writes nothing.
TEST_F(PackRepairTest, TheEnginesPackRefusesATableEndingInsideARecord) {
  MakeTable({20, 30});
  ASSERT_EQ(dir_.Run({"delete", "t.dbf", "1"}).status, 0);
  std::string table = dir_.ReadFile("t.dbf");
  table.resize(kHeader + kRecord + 3);
  dir_.WriteFile("t.dbf", table);
  dbf::ErrorSilencer quiet;
  dbf::Select(1);
  dbf::UseFile(dir_.Path("t.dbf"), dbf::OpenOptions{true, ""});
  ASSERT_TRUE(dbf::IsOpen());
  EXPECT_EQ(dbf::RecCount(), 1);
  EXPECT_FALSE(dbf::Pack());
  EXPECT_EQ(dbf::ErrorCode(), 213);
  EXPECT_NE(dbf::TakeDetail().find(
                "The table ends inside a record (3 bytes after record 1): it is damaged."),
            std::string::npos);
  dbf::USE("");
  EXPECT_EQ(dir_.ReadFile("t.dbf"), table);
}

// A repair stopped after saving the cut bytes is finished by the next one; a .cut file holding other
// bytes is never written over.
TEST_F(PackRepairTest, RepairTakesItsOwnEarlierCopyButNeverOverwritesAnother) {
  MakeTable({20, 30});
  std::string table = dir_.ReadFile("t.dbf");
  table.resize(kHeader + kRecord + 5);
  dir_.WriteFile("t.dbf", table);
  dir_.WriteFile("t.dbf.cut", "other bytes");
  const ToolResult refused = dir_.Run({"repair", "t.dbf"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("already exists"), std::string::npos) << refused.err;
  EXPECT_EQ(dir_.ReadFile("t.dbf"), table);
  EXPECT_EQ(dir_.ReadFile("t.dbf.cut"), "other bytes");

  dir_.WriteFile("t.dbf.cut", table.substr(kHeader + kRecord));
  ASSERT_EQ(dir_.Run({"repair", "t.dbf"}).status, 0);
  EXPECT_EQ(dir_.ReadFile("t.dbf").size(), kHeader + kRecord + 1);
  EXPECT_EQ(ReadWithDbfread(dir_.Path("t.dbf")), Line(1, 20));
}

// The kept records keep their memo references; the memo file changes only when compacting it is
// asked for, or by itself once more than half of it is dead.
TEST_F(PackRepairTest, PackLeavesTheMemoFileAloneUntilCompactingIsDue) {
  MakeTable({100, 600, 1500, 50});  // 1, 2, 3 and 1 blocks after the header block
  const std::string memo = dir_.ReadFile("t.dbt");
  ASSERT_EQ(dir_.Run({"delete", "t.dbf", "2"}).status, 0);
  ASSERT_EQ(dir_.Run({"pack", "t.dbf"}).status, 0);
  EXPECT_EQ(dir_.ReadFile("t.dbt"), memo);
  EXPECT_EQ(ReadWithDbfread(dir_.Path("t.dbf")), Line(1, 100) + Line(3, 1500) + Line(4, 50));

  ASSERT_EQ(dir_.Run({"pack", "--memo", "t.dbf"}).status, 0);  // 2 of 7 blocks were dead
  EXPECT_EQ(dir_.ReadFile("t.dbt").size(), 512u * 5 + 58);     // the texts back to back
  EXPECT_EQ(ReadWithDbfread(dir_.Path("t.dbf")), Line(1, 100) + Line(3, 1500) + Line(4, 50));

  ASSERT_EQ(dir_.Run({"delete", "t.dbf", "1"}).status, 0);  // 1 dead of 5: stays
  ASSERT_EQ(dir_.Run({"pack", "t.dbf"}).status, 0);
  EXPECT_EQ(dir_.ReadFile("t.dbt").size(), 512u * 5 + 58);
  ASSERT_EQ(dir_.Run({"delete", "t.dbf", "1"}).status, 0);  // 4 dead of 5: compacted by itself
  ASSERT_EQ(dir_.Run({"pack", "t.dbf"}).status, 0);
  EXPECT_EQ(dir_.ReadFile("t.dbt").size(), 512u + 58);
  EXPECT_EQ(ReadWithDbfread(dir_.Path("t.dbf")), Line(4, 50));
}

}  // namespace
}  // namespace tavrin::tools::test
