// The start-up locale step, and what typed fields show, take and refuse under it; calculated fields.
#include "DataSetTestSupport.h"
#include "dataset/Locale.h"
#include "dbf/Engine.h"

namespace tavrin::dataset::test {
namespace {

class FieldTextTest : public DataSetTest {
 protected:
  void TearDown() override {
    dbf::Settings().decimalSeparator = '.';
    dbf::Settings().thousandsSeparator = ',';
    DataSetTest::TearDown();
  }
  // NAME C10, AMOUNT N8.2, BORN D, OK L, COUNT N5 with one record.
  std::string MakeTyped() {
    const std::string path = Path("typed.dbf");
    dbf::CreateDbf(path, {{"NAME", 'C', 10, 0},
                          {"AMOUNT", 'N', 8, 2},
                          {"BORN", 'D', 8, 0},
                          {"OK", 'L', 1, 0},
                          {"COUNT", 'N', 5, 0}});
    dbf::Select(0);
    dbf::USE(path + " EXCLUSIVE");
    dbf::ClearRecord();
    dbf::Append();
    for (auto [field, raw] : std::vector<std::pair<int, std::string>>{
             {1, "ab        "}, {2, "    3.14"}, {3, "19451231"}, {4, "T"}, {5, "   42"}})
      dbf::Poke(raw, field, 1);
    dbf::USE("");
    return path;
  }
};

TEST_F(FieldTextTest, LocaleStepSetsDateFormatCenturyAndSeparators) {
  struct Case {
    LocaleInput in;
    int format;
    bool century;
    char decimal, thousands;
  };
  const Case cases[] = {
      {{"dd.MM.yyyy", ",", "."}, 5, true, ',', '.'},
      {{"M/d/yy", ".", ","}, 0, false, '.', ','},
      {{"yyyy-MM-dd", ".", " "}, 1, true, '.', ' '},
      {{"dd/MM/yyyy", ".", ","}, 2, true, '.', ','},
      {{"dd-MM-yy", ",", "\u202f"}, 3, false, ',', '.'},  // a non-ASCII separator is not taken
      {{"d MMM yyyy", "\u066b", "\u066c"}, 0, true, '.', ','},
  };
  for (const Case& c : cases) {
    ApplyLocale(c.in);
    EXPECT_EQ(dbf::DateFormat(), c.format) << c.in.shortDateFormat;
    EXPECT_EQ(dbf::Century(), c.century) << c.in.shortDateFormat;
    EXPECT_EQ(dbf::Settings().decimalSeparator, c.decimal) << c.in.shortDateFormat;
    EXPECT_EQ(dbf::Settings().thousandsSeparator, c.thousands) << c.in.shortDateFormat;
  }
}

TEST_F(FieldTextTest, FieldsShowAndTakeTextsInTheLocalesForms) {
  ApplyLocale({"dd.MM.yyyy", ",", "."});
  TXbDbf table("tblDatabase");
  const std::string path = MakeTyped();
  OpenOn(table, path);
  TField& amount = *table.FieldByName("AMOUNT");
  auto& born = dynamic_cast<TXbDateField&>(*table.FieldByName("BORN"));
  EXPECT_EQ(table.FieldByName("NAME")->AsString(), "ab");
  EXPECT_EQ(table.GetField("NAME"), "ab        ");
  EXPECT_EQ(amount.DisplayText(), "3,14");
  EXPECT_EQ(table.GetField("AMOUNT"), "    3,14");
  EXPECT_EQ(born.DisplayText(), "31.12.1945");
  EXPECT_EQ((born.AsDate()), (TDate{1945, 12, 31}));
  EXPECT_EQ(born.EditMask(), "99/99/9999;1; ");
  EXPECT_EQ(table.FieldByName("OK")->DisplayText(), "True");
  EXPECT_EQ(table.FieldByName("COUNT")->AsInteger(), 42);

  table.Edit();
  amount.SetAsString("2,5");
  born.SetAsString("29.02.2024");
  table.FieldByName("OK")->SetAsString("no");
  table.FieldByName("COUNT")->SetAsInteger(-7);
  table.Post();
  EXPECT_EQ(RawField(path, 2, 1), "    2.50");
  EXPECT_EQ(RawField(path, 3, 1), "20240229");
  EXPECT_EQ(RawField(path, 4, 1), "F");
  EXPECT_EQ(RawField(path, 5, 1), "   -7");
  EXPECT_EQ(amount.AsFloat(), 2.5);
}

TEST_F(FieldTextTest, TextsThatDoNotFitTheTypeAreRefusedAndChangeNothing) {
  TXbDbf table("tblDatabase");
  OpenOn(table, MakeTyped());
  TField& count = *table.FieldByName("COUNT");
  EXPECT_THROW(count.SetAsString("1"), EDbfError);  // browse state
  table.Edit();
  EXPECT_THROW(count.SetAsString("12345678901"), EDbfError);
  EXPECT_THROW(count.SetAsString("123456"), EDbfError);  // wider than the field
  EXPECT_THROW(count.SetAsString("4x"), EDbfError);
  EXPECT_THROW(table.FieldByName("OK")->SetAsString("maybe"), EDbfError);
  EXPECT_THROW(table.FieldByName("AMOUNT")->SetAsString("1e400"), EDbfError);
  EXPECT_EQ(count.AsInteger(), 42);
  EXPECT_FALSE(table.Modified());
  count.Clear();
  EXPECT_TRUE(count.IsNull());
}

// A number too large for its field says so, with the field's width; a text that is no number
// says that instead.
TEST_F(FieldTextTest, NumbersTooLargeSayTheyDoNotFitWithTheFieldsWidth) {
  const std::string path = MakeTyped();
  dbf::CreateDbf(Path("wide.dbf"), {{"BIG", 'N', 12, 0}});
  TXbDbf table("tblDatabase");
  OpenOn(table, path);
  table.Edit();
  auto refusal = [&](const char* field, const std::string& text) {
    try {
      table.FieldByName(field)->SetAsString(text);
    } catch (const EDbfError& e) {
      return std::string(e.what());
    }
    return std::string("<taken>");
  };
  EXPECT_EQ(refusal("COUNT", "123456"),
            "'123456' does not fit in field 'COUNT', which is 5 characters wide");
  EXPECT_EQ(refusal("COUNT", "-99999"),
            "'-99999' does not fit in field 'COUNT', which is 5 characters wide");
  EXPECT_EQ(refusal("AMOUNT", "123456.5"),
            "'123456.5' does not fit in field 'AMOUNT', which is 8 characters wide");
  EXPECT_EQ(refusal("COUNT", "4x"), "'4x' is not a valid value for field 'COUNT'");
  table.Cancel();
  table.Close();
  OpenOn(table, Path("wide.dbf"));
  table.Append();
  EXPECT_EQ(refusal("BIG", "99999999999"),
            "'99999999999' is too large for field 'BIG': whole numbers there go from -2147483648 "
            "to 2147483647");
  table.Cancel();
}

TEST_F(FieldTextTest, CalculatedFieldsAreComputedPerRecordAndMayNotSetDataFields) {
  TXbDbf table("tblDatabase");
  table.AddCalculatedField("DOUBLED", TFieldType::ftInteger, 6);
  bool tryDataField = false;
  table.OnCalcFields = [&](TDataSet& ds) {
    EXPECT_EQ(ds.State(), TDataSetState::dsCalcFields);
    ds.FieldByName("DOUBLED")->SetAsInteger(ds.FieldByName("COUNT")->AsInteger() * 2);
    if (tryDataField) {
      EXPECT_THROW(ds.FieldByName("NAME")->SetAsString("x"), EDbfError);
    }
  };
  OpenOn(table, MakeTyped());
  EXPECT_EQ(table.FieldByName("DOUBLED")->AsInteger(), 84);
  tryDataField = true;
  table.Edit();
  table.FieldByName("COUNT")->SetAsInteger(5);
  EXPECT_EQ(table.FieldByName("DOUBLED")->AsInteger(), 10);
  table.Cancel();
  EXPECT_EQ(table.FieldByName("DOUBLED")->AsInteger(), 84);
}

}  // namespace
}  // namespace tavrin::dataset::test
