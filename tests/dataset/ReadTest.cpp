// The dataset as the send loop reads it: open, RecordTotal, GoFirst, GetField, SkipBy, AtEnd,
// hidden deleted records, and engine failures raised as EDbfError instead of ending the program.
#include <filesystem>
#include <fstream>

#include "DataSetTestSupport.h"
#include "dbf/Engine.h"
#include "dbf/File.h"

namespace tavrin::dataset::test {
namespace {

const std::vector<std::pair<std::string, std::string>> kThree = {
    {"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}, {"Cy", "cy@example.com"}};

// The send loop: every record from GoFirst to AtEnd, its NAME as GetField gives it.
std::vector<std::string> SendLoop(TXbDbf& table) {
  std::vector<std::string> names;
  table.GoFirst();
  while (!table.AtEnd()) {
    names.push_back(table.GetField("NAME"));
    table.SkipBy(1);
  }
  return names;
}

class ReadTest : public DataSetTest {};

TEST_F(ReadTest, SendLoopVisitsEveryRecordOnceInFileOrderMarkedOnesIncluded) {
  TXbDbf table("tblRecipients");
  OpenOn(table, MakeTable(kThree, {2}));
  EXPECT_EQ(table.RecordTotal(), 3);
  EXPECT_EQ(SendLoop(table), (std::vector<std::string>{"Ann       ", "Bob       ", "Cy        "}));
  // A further move keeps the last record current, and the engine on it.
  EXPECT_EQ(table.SkipBy(1), 0);
  EXPECT_TRUE(table.AtEnd());
  EXPECT_EQ(table.GetField("name"), "Cy        ");
  EXPECT_EQ(table.RecNo(), 3);
}

TEST_F(ReadTest, HiddenMarkedRecordsAreSkippedButCounted) {
  TXbDbf table("tblDatabase");
  OpenOn(table, MakeTable(kThree, {2}), true);
  EXPECT_EQ(table.RecordTotal(), 3);
  EXPECT_EQ(SendLoop(table), (std::vector<std::string>{"Ann       ", "Cy        "}));
  table.GoFirst();
  EXPECT_TRUE(table.AtStart());
  EXPECT_FALSE(table.RecordDeleted());
}

TEST_F(ReadTest, EmptyTableIsAtBothEnds) {
  TXbDbf table("tblRecipients");
  OpenOn(table, MakeTable({}));
  EXPECT_EQ(table.RecordTotal(), 0);
  table.GoFirst();
  EXPECT_TRUE(table.AtStart());
  EXPECT_TRUE(table.AtEnd());
  EXPECT_TRUE(SendLoop(table).empty());
}

TEST_F(ReadTest, AllRecordsHiddenIsEmpty) {
  TXbDbf table("tblDatabase");
  OpenOn(table, MakeTable(kThree, {1, 2, 3}), true);
  EXPECT_TRUE(table.IsEmpty());
  EXPECT_TRUE(SendLoop(table).empty());
}

TEST_F(ReadTest, GetFieldCountsTheFirstTenCharactersOfTheNameAndIgnoresCase) {
  TXbDbf table("tblRecipients");
  OpenOn(table, MakeTable(kThree));
  table.GoFirst();
  EXPECT_EQ(table.GetField("email"), "ann@example.com     ");
  EXPECT_EQ(table.GetField("Name      and what follows"), "Ann       ");
}

TEST_F(ReadTest, ReopeningWithAnotherFileSeesItsFields) {
  TXbDbf table("tblRecipients");
  OpenOn(table, MakeTable(kThree));
  table.GoFirst();
  EXPECT_EQ(table.GetField("NAME"), "Ann       ");
  table.SetDbfFileName(MakeTable({{"Zed", "z@example.com"}}, {}, "other.dbf"));
  EXPECT_TRUE(table.Active());
  table.GoFirst();
  EXPECT_EQ(table.GetField("NAME"), "Zed       ");
}

TEST_F(ReadTest, APathHoldingOpenWordsIsTakenWhole) {
  // A table in "club exclusive alias x" must not be read as "club" opened exclusively.
  std::filesystem::create_directories(Path("club exclusive alias x"));
  const std::string path = MakeTable(kThree, {}, "club exclusive alias x/ list .dbf");
  MakeTable({{"Wrong", "w@example.com"}}, {}, "club.dbf");
  TXbDbf table("tblRecipients");
  OpenOn(table, path);
  EXPECT_EQ(SendLoop(table), (std::vector<std::string>{"Ann       ", "Bob       ", "Cy        "}));
  TXbDbf other("tblDatabase");
  OpenOn(other, path);  // shared use: a second open of the same table is allowed
  EXPECT_EQ(other.RecordTotal(), 3);
}

// ---- Failures come back as EDbfError with the engine's text; nothing halts.

TEST_F(ReadTest, MissingFileFailsTheOpenWithTheEngineText) {
  TXbDbf table("tblDatabase");
  table.SetCreateIfNotFound(false);
  table.SetDbfFileName(Path("absent"));
  try {
    table.Open();
    FAIL() << "opened a missing file";
  } catch (const EDbfError& e) {
    EXPECT_NE(std::string(e.what()).find("Error # 2 (File not found)"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(table.Active());
  // The work area was not kept: a later open of a good file works.
  table.SetDbfFileName(MakeTable(kThree));
  table.Open();
  EXPECT_EQ(table.RecordTotal(), 3);
}

TEST_F(ReadTest, FileThatIsNoTableFailsTheOpen) {
  std::ofstream(Path("short.dbf")) << "0123456789";
  TXbDbf table("tblRecipients");
  table.SetDbfFileName(Path("short.dbf"));
  try {
    table.Open();
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error # 210 (Not a dBASE data file)\r\n", 0), 0u)
        << e.what();
  }
}

TEST_F(ReadTest, EmptyFileNameFailsTheOpen) {
  TXbDbf table("tblRecipients");
  EXPECT_THROW(table.Open(), EDbfError);
  EXPECT_FALSE(table.Active());
}

TEST_F(ReadTest, FieldTheTableLacksFailsTheOpenWhenRequiredAndGetFieldOtherwise) {
  const std::string path = MakeTable(kThree);
  TXbDbf table("tblRecipients");
  table.SetRequiredFieldNames({"NAME", "MAIL"});
  table.SetDbfFileName(path);
  try {
    table.Open();
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 220 (Invalid parameter)\r\nField 'MAIL' not in '" + path + "' [Open]");
  }
  EXPECT_FALSE(table.Active());
  table.SetRequiredFieldNames({});
  table.Open();
  table.GoFirst();
  try {
    table.GetField("MAIL");
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 220 (Invalid parameter)\r\nField 'MAIL' not in '" + path + "' [GetField]");
  }
  EXPECT_EQ(table.GetField("NAME"), "Ann       ");
}

TEST_F(ReadTest, OperationsOnAClosedDatasetRaise) {
  TXbDbf table("tblRecipients");
  table.SetDbfFileName(MakeTable(kThree));
  EXPECT_THROW(table.GetField("NAME"), EDbfError);
  EXPECT_THROW(table.RecordTotal(), EDbfError);
  EXPECT_THROW(table.GoFirst(), EDbfError);
}

TEST_F(ReadTest, ReadingLeavesTheFileUnchanged) {
  const std::string path = MakeTable(kThree, {2});
  std::ifstream before(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(before)), {});
  {
    TXbDbf table("tblRecipients");
    OpenOn(table, path);
    SendLoop(table);
    table.Close();
  }
  std::ifstream after(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), bytes);
}

// The browser packs at every close; with nothing marked and nothing changed, that close writes
// nothing (not even today's date into the header).
TEST_F(ReadTest, BrowsingThenPackingWithNothingMarkedWritesNothing) {
  const std::string path = MakeTable(kThree);
  std::ifstream before(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(before)), {});
  dbf::SetClockHook([] { return dbf::LocalDate{2031, 5, 6}; });
  {
    TXbDbf table("tblDatabase");
    OpenOn(table, path, true);
    SendLoop(table);
    table.Pack();
    table.Close();
  }
  dbf::SetClockHook({});
  std::ifstream after(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), bytes);
}

// Other programs leave headers whose count is not the file's: a writer killed before its header
// update, or a file cut short. The records the file holds are read, and reading writes nothing;
// only AutoFixRecCount puts the count right.
TEST_F(ReadTest, HeaderCountThatIsNotTheFilesIsReadAroundAndLeftAsItWas) {
  const std::string path = MakeTable(kThree);
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign((std::istreambuf_iterator<char>(in)), {});
  }
  const std::size_t header =
      static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
  const std::size_t record =
      static_cast<unsigned char>(bytes[10]) | static_cast<unsigned char>(bytes[11]) << 8;
  auto write = [&path](const std::string& b) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << b;
  };
  auto read = [&path] {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  std::string noCount = bytes;  // count 0, three records
  noCount[4] = 0;
  std::string cut = bytes.substr(0, header + 2 * record + record / 2);  // count 100, 2.5 records
  cut[4] = 100;
  for (const auto& [stored, records] : {std::pair{noCount, 3}, std::pair{cut, 2}}) {
    for (bool exclusive : {false, true}) {
      write(stored);
      TXbDbf table("tblRecipients");
      table.SetExclusive(exclusive);
      OpenOn(table, path);
      EXPECT_EQ(table.RecordTotal(), records);
      EXPECT_EQ(SendLoop(table).size(), static_cast<std::size_t>(records));
      table.Close();
      EXPECT_EQ(read(), stored) << records << (exclusive ? " exclusive" : " shared");
    }
  }
  TXbDbf table("tblRecipients");
  table.SetAutoFixRecCount(true);
  OpenOn(table, path);
  table.Close();
  EXPECT_EQ(read()[4], 2);
}

// ---- The file step: creating a missing file, exclusive use, packing

TEST_F(ReadTest, MissingFileIsCreatedFromDbfFieldsWhenAllowed) {
  TXbDbf table("tblRecipients");
  table.SetDbfFields({"name,C,30,0", "EMAIL,C,60,0", "SKIPPED,X,1,0", "AMOUNT,N,8,2"});
  OpenOn(table, Path("new"));
  EXPECT_EQ(table.DbfFileName(), Path("new.DBF"));
  EXPECT_EQ(table.FieldCount(), 3);
  EXPECT_EQ(table.FieldByName("AMOUNT")->DataType(), TFieldType::ftFloat);
  EXPECT_TRUE(table.IsEmpty());
  EXPECT_TRUE(dialogs_.Messages().empty());

  TXbDbf other("tblOther");
  other.SetDbfFields({"NAME,C,30"});  // not three commas: nothing is created
  EXPECT_THROW(OpenOn(other, Path("bad")), EDbfError);
  TXbDbf none("tblNone");
  EXPECT_THROW(OpenOn(none, Path("none")), EDbfError);
  EXPECT_EQ(dialogs_.Messages(),
            (std::vector<std::string>{"Could not create '" + Path("bad.DBF") + "'",
                                      "FieldList.Count is <= 0 trying to create a database"}));
}

TEST_F(ReadTest, ExclusiveUseKeepsOthersOutAndPackRemovesMarkedRecords) {
  const std::string path = MakeTable(kThree, {2});
  TXbDbf table("tblDatabase");
  OpenOn(table, path);
  table.SetExclusive(true);
  EXPECT_TRUE(table.Active());
  TXbDbf other("tblRecipients");
  try {
    OpenOn(other, path);
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_NE(std::string(e.what()).find("Error # 32 "), std::string::npos) << e.what();
  }
  table.Last();
  EXPECT_TRUE(table.Pack());
  EXPECT_EQ(table.RecordTotal(), 2);
  EXPECT_EQ(SendLoop(table), (std::vector<std::string>{"Ann       ", "Cy        "}));
}

}  // namespace
}  // namespace tavrin::dataset::test
