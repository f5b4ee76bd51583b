// dbftool and the code page of a table's text: an import never loses a character in silence, and a
// table can be made in the code page its names need, read back alike by dbftool and by another
// program's reader (dbfread, which picks the code page by the language-driver byte).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/dbf/tool/ToolRunner.h"

namespace tavrin::tools::test {
namespace {

// The NAME of every record as dbfread reads it, one per line, in UTF-8.
std::string NamesByDbfread(const std::string& table) {
  const std::string cmd =
      "/usr/bin/python3 -c \"import sys, dbfread\n"
      "for r in dbfread.DBF(sys.argv[1]): print(r['NAME'])\" '" +
      table + "' 2>&1";
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
  EXPECT_NE(
      refused.err.find(
          "t.csv, line 3, column NOTE: \"И\" cannot be stored in the table's code page (437)"),
      std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("nothing was appended"), std::string::npos) << refused.err;
  EXPECT_EQ(dir_.ReadFile("t.dbf"), table);
  EXPECT_EQ(dir_.ReadFile("t.dbt"), memo);

  const ToolResult replaced = dir_.Run({"import", "--replace", "t.dbf", "t.csv"});
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_NE(replaced.err.find("t.csv, line 3, column NOTE"), std::string::npos) << replaced.err;
  EXPECT_EQ(dir_.Run({"export", "t.dbf"}).out,
            "NAME,NOTE\r\nAnn,fine\r\nZoë,???? ??????\r\nΣ????τ??,x\r\n");  // 437 holds Σ and τ
}

// Each code page keeps the names it is made for, for dbftool and for other programs alike.
TEST_F(CodePageToolTest, TablesOfEachCodePageKeepTheirNames) {
  const struct {
    const char* page;
    std::string name;
  } cases[] = {{"1250", "Dvořák Łukasz"}, {"852", "Dvořák Łukasz"}, {"1251", "Иван Петров"},
               {"866", "Иван Петров"},    {"1253", "Σωκράτης"},     {"737", "Σωκράτης"},
               {"1252", "Zoë Müller"},    {"437", "Zoë Müller"}};
  for (const auto& c : cases) {
    const std::string table = std::string("p") + c.page + ".dbf";
    ASSERT_EQ(dir_.Run({"--codepage", c.page, "create", table, "NAME,C,20"}).status, 0) << c.page;
    dir_.WriteFile("n.csv", "NAME\n" + c.name + "\n");
    const ToolResult r = dir_.Run({"import", table, "n.csv"});
    ASSERT_EQ(r.status, 0) << c.page << ": " << r.err;
    EXPECT_EQ(dir_.Run({"export", table}).out, "NAME\r\n" + c.name + "\r\n") << c.page;
    EXPECT_NE(dir_.Run({"info", table})
                  .out.find(std::string("Code page:     ") + (c.page[0] == '1' ? "Windows-" : "") +
                            c.page + "\n"),
              std::string::npos)
        << c.page;
    EXPECT_EQ(NamesByDbfread(dir_.Path(table)), c.name + "\n") << c.page;
  }
  const ToolResult bad = dir_.Run({"--codepage", "1254", "create", "x.dbf", "NAME,C,5"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--codepage is one of 437, 1252, 1250, 1251, 1253, 852, 866, 737"),
            std::string::npos);
}

}  // namespace
}  // namespace tavrin::tools::test
