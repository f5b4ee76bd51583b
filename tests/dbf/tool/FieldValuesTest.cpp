// Field definitions from the command line and the checks an import value passes before it is stored.
#include "csv/FieldValues.h"

#include <gtest/gtest.h>

namespace tavrin::tools {
namespace {

TEST(ParseFieldArgTest, ReadsDefinitionsAndFixesTheLengthOfDatesLogicalsAndMemos) {
  auto d = ParseFieldArg("NAME,C,40");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->name, "NAME");
  EXPECT_EQ(d->type, 'C');
  EXPECT_EQ(d->length, 40);
  d = ParseFieldArg("pay,n,10,2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->type, 'N');
  EXPECT_EQ(d->decimals, 2);
  EXPECT_EQ(ParseFieldArg("BORN,D")->length, 8);
  EXPECT_EQ(ParseFieldArg("OK,L,5")->length, 1);
  EXPECT_EQ(ParseFieldArg("NOTES,M")->length, 10);
  for (const char* bad : {"", "NAME", "NAME,C", ",C,10", "NAME,CC,10", "NAME,B,10", "NAME,C,-1",
                          "NAME,C,x", "NAME,C,256", "NAME,N,0", "NAME,C,1,2,3"}) {
    EXPECT_FALSE(ParseFieldArg(bad)) << bad;
  }
}

TEST(ConvertImportValueTest, NumbersMustBePlainAndFitTheField) {
  const FieldShape money{'N', 6, 2};
  EXPECT_DOUBLE_EQ(ConvertImportValue(money, "123.45").number, 123.45);
  EXPECT_DOUBLE_EQ(ConvertImportValue(money, " -9.5 ").number, -9.5);
  EXPECT_DOUBLE_EQ(ConvertImportValue(money, "+1").number, 1);
  EXPECT_DOUBLE_EQ(ConvertImportValue(money, "").number, 0);
  for (const char* bad : {"1234.5", "1e3", "inf", "nan", "0x10", "1,5", "-", ".", "1.2.3"}) {
    EXPECT_THROW(ConvertImportValue(money, bad), ValueError) << bad;
  }
  EXPECT_EQ(ConvertImportValue(money, "-9.5").text, " -9.50");
  // Beyond a double's range is refused, not stored as 0.
  EXPECT_THROW(ConvertImportValue(FieldShape{'N', 20, 2}, "1" + std::string(309, '0')), ValueError);
  // A whole number is kept digit for digit whatever its size, when the field is wide enough.
  const FieldShape whole{'N', 20, 0};
  EXPECT_EQ(ConvertImportValue(whole, "-2147483648").text, "         -2147483648");
  EXPECT_EQ(ConvertImportValue(whole, "12345678901234567891").text, "12345678901234567891");
  EXPECT_EQ(ConvertImportValue(whole, "+007.00").text, std::string(19, ' ') + "7");
  EXPECT_EQ(ConvertImportValue(whole, "-0").text, std::string(19, ' ') + "0");
  EXPECT_THROW(ConvertImportValue(whole, "123456789012345678901"), ValueError);
  EXPECT_THROW(ConvertImportValue(whole, "2.5"), ValueError);
}

TEST(CheckFieldDefsTest, RefusesDefinitionsNoOneCouldFill) {
  using Defs = std::vector<dbf::FieldDef>;
  EXPECT_NO_THROW(CheckFieldDefs(Defs{{"NAME_1", 'C', 10, 0}, {"Amount", 'N', 4, 2}}));
  const Defs bad[] = {
      {{"NAME", 'C', 5, 0}, {"name", 'C', 5, 0}},  // the same name in another case
      {{"ELEVENCHARS", 'C', 5, 0}},                // cut to 10 it would clash with others
      {{"1ST", 'C', 5, 0}},
      {{"A-B", 'C', 5, 0}},
      {{"_X", 'C', 5, 0}},
      {{"N\xC3\xA9", 'C', 5, 0}},
      {{"PRICE", 'N', 3, 2}},  // no room for a digit before the point
  };
  for (const Defs& defs : bad) EXPECT_THROW(CheckFieldDefs(defs), ValueError) << defs[0].name;
}

TEST(ConvertImportValueTest, DatesMustBeRealDays) {
  const FieldShape date{'D', 8, 0};
  EXPECT_EQ(ConvertImportValue(date, "20240229").text, "20240229");
  EXPECT_EQ(ConvertImportValue(date, "2024-02-29").text, "20240229");
  EXPECT_EQ(ConvertImportValue(date, "").text, "        ");
  for (const char* bad :
       {"20230229", "19000229", "20261301", "20260431", "20260100", "2026131", "01/31/2026"}) {
    EXPECT_THROW(ConvertImportValue(date, bad), ValueError) << bad;
  }
  EXPECT_EQ(ConvertImportValue(date, "20000229").text, "20000229");
  EXPECT_EQ(StoredDateToText("20260131"), "01/31/2026");
  EXPECT_EQ(StoredDateToText("        "), "  /  /    ");
}

TEST(ConvertImportValueTest, LogicalsAndCharacterFields) {
  const FieldShape logical{'L', 1, 0};
  for (const char* yes : {"T", "t", "Y", "yes", "TRUE"})
    EXPECT_TRUE(ConvertImportValue(logical, yes).truth) << yes;
  for (const char* no : {"F", "n", "", "false", "No"})
    EXPECT_FALSE(ConvertImportValue(logical, no).truth) << no;
  EXPECT_THROW(ConvertImportValue(logical, "?"), ValueError);
  const FieldShape name{'C', 3, 0};
  EXPECT_EQ(ConvertImportValue(name, " ab").text, " ab");
  EXPECT_THROW(ConvertImportValue(name, "abcd"), ValueError);
}

TEST(ExportTextTest, CharacterFieldsKeepLeadingBlanksNumbersLoseTheirPadding) {
  EXPECT_EQ(ExportText('C', "  ab  "), "  ab");
  EXPECT_EQ(ExportText('N', "   12.50"), "12.50");
  EXPECT_EQ(ExportText('D', "        "), "");
}

}  // namespace
}  // namespace tavrin::tools
