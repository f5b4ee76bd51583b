// Memo files: both styles on read, writing with block reuse and the free chain, damaged memo
// references, translation, and packing a table with memo fields.
#include <cstring>

#include "DbfTestSupport.h"
#include "dbf/Memo.h"

namespace tavrin::dbf::test {
namespace {

class MemoTest : public DbfTest {
 protected:
  void SetUp() override {
    DbfTest::SetUp();
    CreateDbf(Path("notes.dbf"), {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 10, 0}});
  }
  // Appends a record whose memo holds `text`; answers its block number.
  std::int32_t AppendWithMemo(const std::string& name, const std::string& text) {
    ClearRecord();
    SetString(1, name);
    WriteMemo(2, text);
    Append();
    return GetInteger(2);
  }
  std::int32_t RewriteMemo(std::int32_t record, const std::string& text) {
    GO(record);
    WriteMemo(2, text);
    Replace();
    return GetInteger(2);
  }
  static std::int32_t I32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::int32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
                                     (static_cast<std::uint32_t>(b[at + 3]) << 24));
  }
  // Overwrites the memo file with a header block followed by `blocks`.
  void WriteMemoFile(const std::vector<std::uint8_t>& header,
                     const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> all(512 + body.size(), 0);
    std::copy(header.begin(), header.end(), all.begin());
    std::copy(body.begin(), body.end(), all.begin() + 512);
    WriteAll(Path("notes.dbt"), all);
  }
  void SetMemoRef(const std::string& ref) {
    ClearRecord();
    SetString(1, "x");
    Append();
    Poke(ref, 2, RecNo());
    SKIP(0);
  }
};

TEST_F(MemoTest, HeadedBlockWithLengthThirteenReadsFiveBytes) {
  WriteMemoFile({2, 0, 0, 0, 0, 0, 0, 0, 'n', 'o', 't', 'e', 's', 0, 0, 0, 0, 0, 2, 1, 0, 2, 0, 0},
                {0xFF, 0xFF, 0x08, 0x00, 13, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 'X', 'X'});
  USE(Path("notes.dbf EXCLUSIVE"));
  SetMemoRef("         1");
  EXPECT_EQ(ReadMemo(2), "hello");
}

TEST_F(MemoTest, PlainStyleTextEndsAtTheTerminator) {
  auto dbf = ReadAll(Path("notes.dbf"));
  dbf[0] = 0x83;
  WriteAll(Path("notes.dbf"), dbf);
  WriteMemoFile({1, 0, 0, 0}, {'a', 'b', 'c', 0x1A, 0x1A, 0, 0});
  USE(Path("notes.dbf EXCLUSIVE"));
  SetMemoRef("1");
  EXPECT_EQ(ReadMemo(2), "abc");
  // Texts this engine writes carry a block header in either style.
  const std::int32_t b = RewriteMemo(1, "new text");
  EXPECT_EQ(ReadMemo(2), "new text");
  EXPECT_GE(b, 2);
  // Other writers of this style put their next text at the header's next-free block: it must
  // point past every text written here, or theirs lands on ours.
  EXPECT_EQ(I32(ReadAll(Path("notes.dbt")), 0), b + 1);
  const std::int32_t big = AppendWithMemo("big", std::string(1100, 'x'));  // 3 blocks
  EXPECT_EQ(big, b + 1);
  EXPECT_EQ(I32(ReadAll(Path("notes.dbt")), 0), big + 3);
}

TEST_F(MemoTest, TextIsTranslatedUnlessItHoldsANul) {
  USE(Path("notes.dbf EXCLUSIVE"));
  AppendWithMemo("a",
                 "Gr\xFC\xDF"
                 "e");
  const std::string binary("a\0\xFC", 3);
  AppendWithMemo("b", binary);
  GO(1);
  EXPECT_EQ(ReadMemo(2),
            "Gr\xFC\xDF"
            "e");
  const auto dbt = ReadAll(Path("notes.dbt"));
  EXPECT_EQ(dbt[512 + 8 + 2], 0x81);  // stored in code page 437
  GO(2);
  EXPECT_EQ(ReadMemo(2), binary);
  const std::size_t at = static_cast<std::size_t>(GetInteger(2)) * 512 + 8;
  EXPECT_EQ(ReadAll(Path("notes.dbt"))[at + 2], 0xFC);  // untouched
}

TEST_F(MemoTest, BlockCountsFollowTheTextLength) {
  USE(Path("notes.dbf EXCLUSIVE"));
  const std::int32_t first = AppendWithMemo("a", std::string(600, 'x'));
  const std::int32_t second = AppendWithMemo("b", "short");
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 3);  // (600 + 8) / 512 + 1 = 2 blocks
  GO(1);
  EXPECT_EQ(ReadMemo(2), std::string(600, 'x'));
  const auto dbt = ReadAll(Path("notes.dbt"));
  EXPECT_EQ(I32(dbt, 0), 4);  // the next free block points just past the last text
}

// A saved text is never written over: the new one goes to free space, and the old blocks join
// the free chain only once Replace has stored the record without them. Until then (a crash, or an
// edit given up) the record still reads its old text whole.
TEST_F(MemoTest, RewriteLeavesTheSavedTextWholeUntilTheRecordLetsGoOfIt) {
  USE(Path("notes.dbf EXCLUSIVE"));
  const std::int32_t big = AppendWithMemo("a", std::string(1100, 'a'));  // 3 blocks
  const std::int32_t tail = AppendWithMemo("b", "tail");
  EXPECT_EQ(big, 1);
  EXPECT_EQ(tail, 4);
  GO(1);
  WriteMemo(2, "tiny");
  EXPECT_EQ(GetInteger(2), 5);
  SKIP(0);  // the edit is given up: nothing was freed, the saved text is whole
  EXPECT_EQ(ReadMemo(2), std::string(1100, 'a'));
  EXPECT_EQ(I32(ReadAll(Path("notes.dbt")), 0), 6);
  EXPECT_EQ(RewriteMemo(1, "tiny"), 6);
  auto dbt = ReadAll(Path("notes.dbt"));
  EXPECT_EQ(I32(dbt, 0), 1);        // free chain starts at block 1
  EXPECT_EQ(I32(dbt, 512 + 4), 3);  // three blocks long
  EXPECT_EQ(I32(dbt, 32), 3);       // counted as given up
  // A two-block text takes the front of the freed chunk.
  EXPECT_EQ(RewriteMemo(2, std::string(700, 'b')), 1);
  GO(1);
  EXPECT_EQ(ReadMemo(2), "tiny");
  GO(2);
  EXPECT_EQ(ReadMemo(2), std::string(700, 'b'));
  EXPECT_EQ(AppendWithMemo("c", "fits"), 3);  // the chunk's last block
}

TEST_F(MemoTest, LongerRewriteGivesUpTheOldBlocksAndCountsThem) {
  USE(Path("notes.dbf EXCLUSIVE"));
  AppendWithMemo("a", "small");
  AppendWithMemo("b", "other");
  const std::int32_t moved = RewriteMemo(1, std::string(2000, 'z'));
  EXPECT_EQ(moved, 3);
  const auto dbt = ReadAll(Path("notes.dbt"));
  EXPECT_EQ(I32(dbt, 0), 1);   // block 1 is free now
  EXPECT_EQ(I32(dbt, 32), 1);  // one block given up
  EXPECT_EQ(ReadMemo(2), std::string(2000, 'z'));
  // The freed block takes the next small text.
  EXPECT_EQ(AppendWithMemo("c", "fits"), 1);
}

TEST_F(MemoTest, EmptyTextStoresNoBlock) {
  USE(Path("notes.dbf EXCLUSIVE"));
  AppendWithMemo("a", "text");
  RewriteMemo(1, "");
  EXPECT_EQ(GetInteger(2), 0);
  EXPECT_EQ(Peek(2, 1), std::string(10, ' '));
  EXPECT_EQ(ReadMemo(2), "");
  EXPECT_EQ(FieldText(2), "none");
}

// ---- Damaged memo data ----

TEST_F(MemoTest, ReferenceBeyondTheMemoFileIs1003) {
  USE(Path("notes.dbf EXCLUSIVE"));
  SetMemoRef("      9999");
  const std::string msg = Failure([] { ReadMemo(2); });
  EXPECT_EQ(msg.rfind("Error # 1003 (Invalid memo address)", 0), 0u);
}

TEST_F(MemoTest, BlockHeaderLengthBeyondTheFileIs1003) {
  WriteMemoFile({2, 0, 0, 0, 0, 0, 0, 0, 'n', 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 2, 0, 0},
                {0xFF, 0xFF, 0x08, 0x00, 0xF0, 0xFF, 0xFF, 0x7F, 'a', 'b'});
  USE(Path("notes.dbf EXCLUSIVE"));
  SetMemoRef("1");
  EXPECT_NE(Failure([] { ReadMemo(2); }).find("Error # 1003"), std::string::npos);
  // Rewriting such a text never trusts its length: the old blocks are left alone.
  GO(1);
  WriteMemo(2, "replacement");
  Replace();
  EXPECT_EQ(ReadMemo(2), "replacement");
}

TEST_F(MemoTest, ZeroBlockSizeMeansTheDefault) {
  WriteMemoFile({2, 0, 0, 0, 0, 0, 0, 0, 'n', 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0},
                {0xFF, 0xFF, 0x08, 0x00, 11, 0, 0, 0, 'a', 'b', 'c'});
  USE(Path("notes.dbf EXCLUSIVE"));
  SetMemoRef("1");
  EXPECT_EQ(ReadMemo(2), "abc");
}

TEST_F(MemoTest, TruncatedOrMissingMemoFileFailsTheOpen) {
  WriteAll(Path("notes.dbt"), {1, 0, 0});
  std::string msg = Failure([&] { USE(Path("notes.dbf")); });
  EXPECT_NE(msg.find("Problem with memo [USE(" + Path("notes.dbf") + ",<@Buffer>,0)]"),
            std::string::npos);
  EXPECT_FALSE(IsOpen());
  std::remove(Path("notes.dbt").c_str());
  msg = Failure([&] { USE(Path("notes.dbf")); });
  EXPECT_EQ(msg.rfind("Error # 2 (File not found)", 0), 0u);
  EXPECT_NE(msg.find("The memo file " + Path("notes.dbt") + " is missing [USE("), std::string::npos)
      << msg;
  EXPECT_FALSE(IsOpen());
}

TEST_F(MemoTest, StreamCallsWithoutAStreamDoNothing) {
  USE(Path("notes.dbf EXCLUSIVE"));
  char buf[4];
  EXPECT_EQ(ReadBlobStream(buf, 4), 0);
  EXPECT_EQ(WriteBlobStream("abcd", 4), 0);
  DestroyBlobDescriptor();
}

// ---- Packing with memo ----

TEST_F(MemoTest, PackKeepsEveryLiveTextAndDropsTheDeletedOnes) {
  USE(Path("notes.dbf EXCLUSIVE"));
  AppendWithMemo("a", std::string(3000, 'a'));
  AppendWithMemo("b", "bee");
  AppendWithMemo("c", std::string(900, 'c'));
  ClearRecord();
  SetString(1, "d");
  Append();  // no memo
  GO(1);
  DeleteRec();
  RewriteMemo(3, "see");  // leaves freed blocks behind
  const auto before = ReadAll(Path("notes.dbt")).size();
  EXPECT_TRUE(Pack());
  EXPECT_EQ(RecCount(), 3);
  EXPECT_LT(ReadAll(Path("notes.dbt")).size(), before);
  GO(1);
  EXPECT_EQ(ReadMemo(2), "bee");
  GO(2);
  EXPECT_EQ(ReadMemo(2), "see");
  GO(3);
  EXPECT_EQ(GetInteger(2), 0);
  USE("");
  USE(Path("notes.dbf"));
  GO(2);
  EXPECT_EQ(ReadMemo(2), "see");
  // New texts go after the packed ones.
  ASSERT_TRUE(ALock());
  const std::int32_t b = AppendWithMemo("e", "after pack");
  Unlock();
  EXPECT_GE(b, 3);
  EXPECT_EQ(ReadMemo(2), "after pack");
  GO(1);
  EXPECT_EQ(ReadMemo(2), "bee");
}

}  // namespace
}  // namespace tavrin::dbf::test
