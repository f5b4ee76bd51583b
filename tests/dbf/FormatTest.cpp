// The table file: open and its checks (including damaged headers), create, the header update,
// field conversions and the date texts.
#include <cstdio>
#include <cstring>

#include "DbfTestSupport.h"
#include "dbf/File.h"

namespace tavrin::dbf::test {
namespace {

struct RawField {
  std::string name;
  char type;
  int len;
  int dec;
};

// A 32-byte-layout table image built byte by byte.
std::vector<std::uint8_t> RawTable(std::uint8_t version, const std::vector<RawField>& fields,
                                   const std::vector<std::string>& records, int recLen = -1,
                                   int headerLen = -1, int count = -1) {
  int sum = 1;
  for (const auto& f : fields) sum += f.len;
  if (recLen < 0) recLen = sum;
  if (headerLen < 0) headerLen = 32 * static_cast<int>(fields.size()) + 33;
  std::vector<std::uint8_t> h(
      static_cast<std::size_t>(std::max(headerLen, 32 + 32 * static_cast<int>(fields.size()) + 1)),
      0);
  h[0] = version;
  h[1] = 126;
  h[2] = 1;
  h[3] = 31;
  const int n = count < 0 ? static_cast<int>(records.size()) : count;
  h[4] = static_cast<std::uint8_t>(n);
  h[5] = static_cast<std::uint8_t>(n >> 8);
  h[8] = static_cast<std::uint8_t>(headerLen);
  h[9] = static_cast<std::uint8_t>(headerLen >> 8);
  h[10] = static_cast<std::uint8_t>(recLen);
  h[11] = static_cast<std::uint8_t>(recLen >> 8);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::uint8_t* d = &h[32 + 32 * i];
    std::memcpy(d, fields[i].name.data(), std::min<std::size_t>(fields[i].name.size(), 11));
    d[11] = static_cast<std::uint8_t>(fields[i].type);
    d[16] = static_cast<std::uint8_t>(fields[i].len);
    d[17] = static_cast<std::uint8_t>(fields[i].dec);
  }
  h[32 + 32 * fields.size()] = 0x0D;
  h.resize(static_cast<std::size_t>(headerLen), 0);
  for (const auto& r : records) h.insert(h.end(), r.begin(), r.end());
  h.push_back(0x1A);
  return h;
}

class FormatTest : public DbfTest {
 protected:
  // Opens `bytes` as a table and answers the failure message ("" when it opened).
  std::string OpenImage(const std::vector<std::uint8_t>& bytes) {
    WriteAll(Path("t.dbf"), bytes);
    std::string msg;
    try {
      USE(Path("t.dbf"));
    } catch (const EDbfError& e) {
      msg = e.what();
    }
    return msg;
  }
};

// ---- Damaged or foreign headers: each refused with its code, nothing left open ----

TEST_F(FormatTest, ShortFileIsRefusedWith210) {
  const std::string msg = OpenImage(std::vector<std::uint8_t>(31, 0x03));
  EXPECT_NE(msg.find("Error # 210"), std::string::npos);
  EXPECT_NE(msg.find("Prolog is less than 32 bytes"), std::string::npos);
  EXPECT_FALSE(IsOpen());
}

TEST_F(FormatTest, VersionBytesAcceptedAndRefused) {
  const std::vector<RawField> f = {{"A", 'C', 2, 0}};
  // Memo-flagged versions also need their memo file.
  WriteAll(Path("t.dbt"),
           {1, 0, 0, 0, 0, 0, 0, 0, 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 2, 0, 0});
  for (std::uint8_t v : {0x03, 0x83, 0x8B, 0xF3}) {
    EXPECT_EQ(OpenImage(RawTable(v, f, {" ab"})), "") << int(v);
    USE("");
  }
  for (std::uint8_t v : {0x30, 0x04}) {
    const std::string msg = OpenImage(RawTable(v, f, {" ab"}));
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", v);
    EXPECT_NE(msg.find(Path("t.dbf") + " is not a dBASE database. (Invalid version byte " + hex +
                       ") [USE/OpenDBF]"),
              std::string::npos)
        << msg;
  }
}

TEST_F(FormatTest, FieldCountOutOfRange) {
  auto img = RawTable(0x03, {{"A", 'C', 2, 0}}, {}, -1, 63);
  EXPECT_NE(OpenImage(img).find(
                "t.dbf is not a dBASE database. (Number of fields is out of range) [Use/OpenDbf]"),
            std::string::npos);
  img = RawTable(0x03, {{"A", 'C', 2, 0}}, {}, -1, 8224 + 33);
  EXPECT_NE(OpenImage(img).find("Number of fields is out of range"), std::string::npos);
}

TEST_F(FormatTest, BadFieldTypeIsRefusedWith211AndTheLetter) {
  const std::string msg = OpenImage(RawTable(0x03, {{"A", 'B', 2, 0}}, {}));
  EXPECT_NE(msg.find("Error # 211"), std::string::npos);
  EXPECT_NE(msg.find("Field: A [B] in " + Path("t.dbf") + " is not a valid field type"),
            std::string::npos);
}

TEST_F(FormatTest, RecordLengthThatCannotHoldTheFieldsIsRefused) {
  const std::vector<RawField> f = {{"A", 'C', 10, 0}, {"B", 'N', 5, 0}};
  std::string msg = OpenImage(RawTable(0x03, f, {}, 0));
  EXPECT_NE(msg.find("Error # 210"), std::string::npos);
  EXPECT_NE(msg.find("Record length is 0"), std::string::npos);
  msg = OpenImage(RawTable(0x03, f, {}, 12));
  EXPECT_NE(msg.find("Record length 12 is shorter than its fields need (16)"), std::string::npos);
  msg = OpenImage(RawTable(0x03, f, {std::string(20, ' ')}, 20));
  EXPECT_NE(msg.find("Record length 20 does not match its fields (16)"), std::string::npos) << msg;
}

// A descriptor whose length was zeroed puts the memo field at another field's place: the header is
// damaged, refused like a record length of 0, and nothing is written (not even by a pack).
TEST_F(FormatTest, ZeroFieldLengthIsRefusedAndTheFileLeftAsItIs) {
  WriteAll(Path("t.dbt"),
           {1, 0, 0, 0, 0, 0, 0, 0, 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 2, 0, 0});
  const auto img =
      RawTable(0x8B, {{"NAME", 'C', 4, 0}, {"NOTE", 'M', 0, 0}}, {" abcd         1"}, 15);
  const std::string msg = OpenImage(img);
  EXPECT_NE(msg.find("Error # 210"), std::string::npos) << msg;
  EXPECT_NE(msg.find("(Field NOTE has length 0)"), std::string::npos) << msg;
  EXPECT_FALSE(IsOpen());
  EXPECT_NE(Failure([&] {
              USE(Path("t.dbf") + " EXCLUSIVE");
              Pack();
            }).find("has length 0"),
            std::string::npos);
  EXPECT_EQ(ReadAll(Path("t.dbf")), img);
}

TEST_F(FormatTest, HeaderCutShortSaysHowMuchIsThere) {
  auto img = RawTable(0x03, {{"A", 'C', 2, 0}, {"B", 'C', 2, 0}}, {});
  img.resize(70);
  EXPECT_NE(
      OpenImage(img).find("The table's header is cut short (70 of 97 bytes): " + Path("t.dbf")),
      std::string::npos);
}

TEST_F(FormatTest, BytesAfterTheTerminatorEndTheFieldList) {
  // A writer that reserves room after the terminator: header length well above 32n + 33.
  auto img = RawTable(0x03, {{"NAME", 'C', 4, 0}}, {" abcd"}, -1, 32 + 32 + 1 + 263);
  EXPECT_EQ(OpenImage(img), "");
  EXPECT_EQ(FieldCount(), 1);
  EXPECT_EQ(GetString(1), "abcd");
}

TEST_F(FormatTest, LowerCaseNameIsUpperCasedAndFound) {
  EXPECT_EQ(OpenImage(RawTable(0x03, {{"name", 'C', 3, 0}}, {" abc"})), "");
  EXPECT_EQ(Field(1), "NAME");
  EXPECT_EQ(FieldNo("name"), 1);
}

TEST_F(FormatTest, OldFixedLayoutIsReadAndShortOneRefused) {
  std::vector<std::uint8_t> img(521, 0);
  img[0] = 0x02;
  img[1] = 1;  // one record
  img[6] = 6;  // record length
  std::memcpy(&img[8], "CITY", 4);
  img[8 + 11] = 'C';
  img[8 + 12] = 5;
  img[8 + 16] = 0x0D;
  const std::string rec = " Paris";
  img.insert(img.end(), rec.begin(), rec.end());
  EXPECT_EQ(OpenImage(img), "");
  EXPECT_EQ(RecCount(), 1);
  EXPECT_EQ(GetString(1), "Paris");
  USE("");
  // Appending writes the old layout's header: count at 1-2, then month, day, year.
  USE(Path("t.dbf EXCLUSIVE"));
  ClearRecord();
  SetString(1, "Rome");
  Append();
  USE("");
  const auto b = ReadAll(Path("t.dbf"));
  EXPECT_EQ(b[1] | (b[2] << 8), 2);
  EXPECT_EQ(b[3], 12);
  EXPECT_EQ(b[4], 7);
  EXPECT_EQ(b[5], 126);
  EXPECT_EQ(b[6], 6);  // record length untouched
  EXPECT_EQ(b.size(), 521u + 2 * 6 + 1);
  img.resize(400);
  EXPECT_NE(OpenImage(img).find("Header is less than 521 bytes"), std::string::npos);
}

// Another version byte of the old layout reads its descriptors at the newer positions, but its
// header update still writes the old layout: the record length at 6-7 survives.
TEST_F(FormatTest, OldLayoutWithAnotherVersionByteKeepsItsRecordLength) {
  std::vector<std::uint8_t> img(521, 0);
  img[0] = 0x0A;
  img[1] = 1;
  img[6] = 14;
  std::memcpy(&img[8], "CITY", 4);
  img[8 + 11] = 'C';
  img[8 + 16] = 0x0D;  // ends the list and, read at the newer position, is the length 13
  const std::string rec = " Paris        ";
  img.insert(img.end(), rec.begin(), rec.end());
  ASSERT_EQ(OpenImage(img), "");
  USE("");
  USE(Path("t.dbf EXCLUSIVE"));
  ClearRecord();
  SetString(1, "Rome");
  Append();
  USE("");
  const auto b = ReadAll(Path("t.dbf"));
  EXPECT_EQ(b[1] | (b[2] << 8), 2);
  EXPECT_EQ(b[6] | (b[7] << 8), 14);
  USE(Path("t.dbf"));
  EXPECT_EQ(RecCount(), 2);
  GO(2);
  EXPECT_EQ(GetString(1), "Rome         ");
}

TEST_F(FormatTest, MissingFileFailsWithTheOsCode) {
  const std::string msg = Failure([&] { USE(Path("nothere")); });
  EXPECT_EQ(msg, "Error # 2 (File not found)\r\nFailure to open " + Path("nothere.DBF") +
                     " [USE/OpenDbf]");
}

// ---- Create and the header update ----

TEST_F(FormatTest, NewTableHasExpectedHeaderAndEndMarker) {
  CreateDbf(Path("two"), {{"NAME", 'C', 10, 0}, {"BORN", 'D', 3, 0}});
  const auto b = ReadAll(Path("two.DBF"));
  ASSERT_EQ(b.size(), 98u);
  EXPECT_EQ(b[0], 0x03);
  EXPECT_EQ(b[1], 126);  // 2026
  EXPECT_EQ(b[8] | (b[9] << 8), 97);
  EXPECT_EQ(b[10] | (b[11] << 8), 19);
  EXPECT_EQ(b[4], 0);
  EXPECT_EQ(b[96], 0x0D);
  EXPECT_EQ(b[97], 0x1A);
  USE(Path("two"));
  EXPECT_EQ(FieldLen(2), 8);
  EXPECT_EQ(LastUpdate(), "12/07/26");
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
  EXPECT_EQ(RecNo(), 0);
}

TEST_F(FormatTest, CreateNormalisesDefinitionsAndRefusesBadOnes) {
  CreateDbf(Path("n.dbf"),
            {{"  ab  ", 'c', 4, 3}, {"FLAG", 'L', 9, 2}, {"PAY", 'n', 8, 2}, {"NOTE", 'M', 1, 0}});
  USE(Path("n.dbf"));
  EXPECT_EQ(Field(1), "AB");
  EXPECT_EQ(FieldDec(1), 0);
  EXPECT_EQ(FieldLen(2), 1);
  EXPECT_EQ(FieldDec(2), 0);
  EXPECT_EQ(FieldDec(3), 2);
  EXPECT_EQ(FieldLen(4), 10);
  EXPECT_EQ(ReadAll(Path("n.dbf"))[0], 0x8B);
  EXPECT_EQ(ReadAll(Path("n.dbt")).size(), 24u);
  USE("");
  EXPECT_NE(Failure([&] {
              CreateDbf(Path("e.dbf"), {{"   ", 'C', 4, 0}});
            }).find("Empty field name [CreateDbf("),
            std::string::npos);
  EXPECT_NE(Failure([&] {
              CreateDbf(Path("e.dbf"), {{"A", 'C', 0, 0}});
            }).find("Error # 211"),
            std::string::npos);
  EXPECT_NE(Failure([&] {
              CreateDbf(Path("e.dbf"), {{"A", 'X', 3, 0}});
            }).find("Invalid dBASE field definition [CreateDBF]"),
            std::string::npos);
}

TEST_F(FormatTest, CreateOverATableInUseIsRefusedAndLeavesItIntact) {
  const std::string path = MakePeople(2);
  const auto before = ReadAll(path);
  USE(path);
  EXPECT_EQ(Failure([&] {
              CreateDbf(path, {{"X", 'C', 1, 0}});
            }),
            "Error # 32 (File sharing violation)\r\nError writing " + path + ". [CreateDbf]");
  EXPECT_EQ(ReadAll(path), before);
  USE("");
  CreateDbf(path, {{"X", 'C', 1, 0}});  // nobody has it open now
  EXPECT_EQ(ReadAll(path).size(), 32u + 32 + 1 + 1);
}

TEST_F(FormatTest, CloseWritesCountDateAndMarkerAfterAppends) {
  const std::string path = MakePeople(3);
  const auto b = ReadAll(path);
  const int hl = b[8] | (b[9] << 8), rl = b[10] | (b[11] << 8);
  EXPECT_EQ(b[4], 3);
  EXPECT_EQ(b.size(), static_cast<std::size_t>(hl + 3 * rl + 1));
  EXPECT_EQ(b.back(), 0x1A);
  EXPECT_EQ(b[1], 126);
  EXPECT_EQ(b[2], 12);
  EXPECT_EQ(b[3], 7);
}

TEST_F(FormatTest, HeaderWriteFailureOnCloseIsReportedWithTheFileName) {
  const std::string path = MakePeople(1);
  USE(path + " EXCLUSIVE");
  GO(1);
  SetString(1, "changed");
  Replace();
  SetFileFaultHook(
      [](FileOp op, const std::string&) { return op == FileOp::Write ? 28 /*ENOSPC*/ : 0; });
  const std::string msg = Failure([] { USE(""); });
  SetFileFaultHook({});
  EXPECT_EQ(msg, "Error # 101 (Disk write error (probable cause: Disk Full).)\r\nFile:  " + path +
                     " [CloseDbf(" + path + ")]");
  EXPECT_FALSE(IsOpen());
}

TEST_F(FormatTest, LastUpdateTextIsAlwaysEightCharacters) {
  MakePeople(0);
  USE(Path("people.dbf"));
  EXPECT_EQ(LastUpdate().size(), 8u);
  EXPECT_EQ(LastUpdate(), "12/07/26");
}

// ---- Field conversions ----

TEST_F(FormatTest, NumbersRoundTripAndOverflowAsStars) {
  CreateDbf(Path("num.dbf"), {{"PAY", 'N', 5, 2}, {"QTY", 'N', 4, 0}, {"OK", 'L', 1, 0}});
  USE(Path("num.dbf EXCLUSIVE"));
  ClearRecord();
  SetDouble(1, 123.456);
  SetInteger(2, 12345);
  Append();
  EXPECT_EQ(Peek(1, 1), "*****");
  EXPECT_EQ(Peek(2, 1), "****");
  EXPECT_EQ(Peek(3, 1), "F");
  ClearRecord();
  SetDouble(1, -3.14159);
  SetInteger(2, -42);
  SetLogical(3, true);
  Append();
  EXPECT_EQ(Peek(1, 2), "-3.14");
  EXPECT_EQ(Peek(2, 2), " -42");
  EXPECT_EQ(Peek(3, 2), "T");
  GO(2);
  EXPECT_DOUBLE_EQ(GetDouble(1), -3.14);
  EXPECT_EQ(GetInteger(2), -42);
  EXPECT_EQ(FieldText(1), "-3.14");
  EXPECT_EQ(FieldText(3), "Y");
  Settings().decimalSeparator = ',';
  EXPECT_EQ(FieldText(1), "-3,14");
}

TEST_F(FormatTest, StoredTextsReadLeniently) {
  const std::vector<RawField> f = {
      {"N", 'N', 6, 2}, {"I", 'N', 4, 0}, {"L", 'L', 1, 0}, {"M", 'C', 3, 0}};
  EXPECT_EQ(OpenImage(RawTable(0x03, f,
                               {std::string(" ") + "  1.50" + "   7" + "y" + "abc",
                                std::string(" ") + "abcdef" + "xxxx" + "?" + "   ",
                                std::string(" ") + "\x01 2.5 " + "  -3" + "t" + "   "})),
            "");
  EXPECT_DOUBLE_EQ(GetDouble(1), 1.5);
  EXPECT_EQ(GetInteger(2), 7);
  EXPECT_TRUE(GetLogical(3));
  SKIP(1);
  EXPECT_DOUBLE_EQ(GetDouble(1), 0.0);  // not a number
  EXPECT_EQ(GetInteger(2), 0);
  EXPECT_FALSE(GetLogical(3));  // '?' is false
  SKIP(1);
  EXPECT_DOUBLE_EQ(GetDouble(1), 2.5);  // control characters trimmed
  EXPECT_EQ(GetInteger(2), -3);
  EXPECT_TRUE(GetLogical(3));
}

TEST_F(FormatTest, NotANumberOrInfinityInANumberFieldReadsAsZero) {
  const std::vector<RawField> f = {{"N", 'N', 6, 2}, {"I", 'N', 4, 0}};
  EXPECT_EQ(
      OpenImage(RawTable(
          0x03, f, {std::string(" ") + "   nan" + "nAn ", std::string(" ") + "  -inf" + " INF"})),
      "");
  EXPECT_DOUBLE_EQ(GetDouble(1), 0.0);
  EXPECT_EQ(GetInteger(2), 0);
  SKIP(1);
  EXPECT_DOUBLE_EQ(GetDouble(1), 0.0);
  EXPECT_EQ(GetInteger(2), 0);
}

TEST_F(FormatTest, CharacterValuesAreCutAndPadded) {
  MakePeople(1);
  USE(Path("people.dbf EXCLUSIVE"));
  SetString(1, "far too long a name");
  Replace();
  EXPECT_EQ(GetString(1), "far too lo");
  SetString(1, "ab");
  Replace();
  EXPECT_EQ(Peek(1, 1), "ab        ");
  EXPECT_EQ(FieldText(1), "ab        ");
}

TEST_F(FormatTest, FieldQueriesRefuseBadNumbers) {
  MakePeople(1);
  USE(Path("people.dbf"));
  EXPECT_EQ(Failure([] { FieldType(7); }),
            "Error # 220 (Invalid parameter)\r\nInvalid field number. [FieldType(7)]");
  EXPECT_NE(Failure([] { FieldLen(0); }).find("[FieldLen(0)]"), std::string::npos);
  EXPECT_EQ(FieldNo("nosuch"), 0);
  EXPECT_EQ(FieldNo("age       xyz"), 2);  // only the first 10 characters count
}

// ---- Dates ----

TEST_F(FormatTest, DateFormatsAndCentury) {
  struct Case {
    int format;
    bool century;
    const char* text;
    const char* blank;
  };
  const Case cases[] = {
      {0, false, "01/31/26", "  /  /  "},    {1, false, "26.01.31", "  .  .  "},
      {2, false, "31/01/26", "  /  /  "},    {3, false, "31-01-26", "  -  -  "},
      {5, false, "31.01.26", "  .  .  "},    {2, true, "31/01/2026", "  /  /    "},
      {1, true, "2026.01.31", "    .  .  "}, {9, false, "01/31/26", "  /  /  "}};
  for (const Case& c : cases) {
    SetDateFormat(c.format);
    SetCentury(c.century);
    EXPECT_EQ(StoredToDateText("20260131"), c.text) << c.format;
    EXPECT_EQ(DateTextToStored(c.text), "20260131") << c.format;
    EXPECT_EQ(BlankDateText(), c.blank) << c.format;
    EXPECT_EQ(DateTextToStored(c.blank), "        ");
  }
  SetDateFormat(2);
  SetCentury(true);
  EXPECT_EQ(ShortDateFormat(), "dd/MM/yyyy");
}

TEST_F(FormatTest, CenturyWindowAroundThePivot) {
  SetPivotYear(1956);
  EXPECT_EQ(DateTextToStored("01/01/55"), "20550101");
  EXPECT_EQ(DateTextToStored("01/01/56"), "19560101");
  EXPECT_EQ(DateTextToStored("02/30/26"), "        ");  // no such day
  EXPECT_EQ(DateTextToStored("1/1/26"), "        ");    // wrong length
}

TEST_F(FormatTest, DateCheckNormalisesAndRefuses) {
  SetDateFormat(2);
  std::string t = " 1-2-26 ";
  EXPECT_TRUE(DateTextCheck(t));
  EXPECT_EQ(t, "01/02/26");
  t = "29/02/00";  // 2000 is a leap year
  EXPECT_TRUE(DateTextCheck(t));
  t = "29/02/00";
  SetPivotYear(1900);  // now "00" is 1900, not a leap year
  EXPECT_FALSE(DateTextCheck(t));
  EXPECT_EQ(t, "29/02/00");  // unchanged when refused
  t = "31/04/26";
  EXPECT_FALSE(DateTextCheck(t));
  t = " / / ";
  EXPECT_TRUE(DateTextCheck(t));
  EXPECT_EQ(t, "  /  /  ");
  t = "hello";
  EXPECT_FALSE(DateTextCheck(t));
}

TEST_F(FormatTest, DateFieldReadsInTheCurrentFormat) {
  MakePeople(1);
  SetDateFormat(2);
  USE(Path("people.dbf"));
  EXPECT_EQ(GetString(3), "31/01/26");
  EXPECT_EQ(Peek(3, 1), "20260131");
}

}  // namespace
}  // namespace tavrin::dbf::test
