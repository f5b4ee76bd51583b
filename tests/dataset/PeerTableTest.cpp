// A table written by another program (python3-dbf): '*' numbers, blank numbers and dates and '?'
// logicals read without failure, and an edit of another field keeps them byte for byte.
#include <cstdlib>

#include "DataSetTestSupport.h"

namespace tavrin::dataset::test {
namespace {

class PeerTableTest : public DataSetTest {};

TEST_F(PeerTableTest, OtherProgramsMissingValuesReadAsNullAndSurviveAnEdit) {
  const std::string path = Path("peer.dbf");
  const std::string command =
      "/usr/bin/python3 " TAVRIN_DATASET_TEST_DIR "/make_peer_table.py " + path;
  ASSERT_EQ(std::system(command.c_str()), 0) << "needs Debian's python3-dbf";
  TXbDbf table("tblDatabase");
  OpenOn(table, path);
  EXPECT_TRUE(table.FieldByName("COUNT")->IsNull());
  EXPECT_EQ(table.FieldByName("AMOUNT")->AsString(), "12.50");
  EXPECT_EQ(table.FieldByName("JOINED")->DisplayText(), "12/31/45");
  EXPECT_TRUE(table.FieldByName("OK")->AsBoolean());
  EXPECT_EQ(table.GetField("NAME"), "Ann       ");
  table.Next();
  for (const char* name : {"COUNT", "AMOUNT", "JOINED", "OK"})
    EXPECT_TRUE(table.FieldByName(name)->IsNull()) << name;
  EXPECT_EQ(table.FieldByName("JOINED")->DisplayText(), "");

  const std::string before =
      RawField(path, 3, 2) + RawField(path, 4, 2) + RawField(path, 5, 2) + RawField(path, 6, 2);
  table.Edit();
  table.FieldByName("NAME")->SetAsString("Robert");
  table.Post();
  table.First();
  table.Edit();
  table.FieldByName("EMAIL")->SetAsString("ann@example.org");
  table.Post();
  EXPECT_EQ(
      RawField(path, 3, 2) + RawField(path, 4, 2) + RawField(path, 5, 2) + RawField(path, 6, 2),
      before);
  EXPECT_EQ(RawField(path, 3, 1), "*****");
  EXPECT_EQ(RawField(path, 5, 1), "19451231");
  EXPECT_EQ(RawField(path, 1, 2), "Robert    ");
}

}  // namespace
}  // namespace tavrin::dataset::test
