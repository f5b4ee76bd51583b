// The CSV reader and writer and the JSON string writer behind dbftool's export, import and dump.
#include "csv/Csv.h"
#include "tools/Json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrin::tools {
namespace {

using Rows = std::vector<std::vector<std::string>>;

Rows ReadAll(std::string_view text) {
  CsvReader reader(text);
  Rows rows;
  std::vector<std::string> row;
  while (reader.Next(row)) rows.push_back(row);
  return rows;
}

TEST(CsvReaderTest, ReadsQuotedFieldsWithCommasQuotesAndLineBreaks) {
  const struct {
    const char* text;
    Rows rows;
  } cases[] = {
      {"a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}},
      {"a,b\nc,d", {{"a", "b"}, {"c", "d"}}},
      {"\"x, y\",z\n", {{"x, y", "z"}}},
      {"\"say \"\"hi\"\"\"\n", {{"say \"hi\""}}},
      {"\"two\r\nlines\",2\r\n", {{"two\r\nlines", "2"}}},
      {"a,,c\n", {{"a", "", "c"}}},
      {"a,\n", {{"a", ""}}},
      {"a,", {{"a", ""}}},
      {"\"\"\n", {{""}}},
      {"\xEF\xBB\xBFNAME\n", {{"NAME"}}},
      {"Jos\xC3\xA9,\xC3\xBC\n", {{"Jos\xC3\xA9", "\xC3\xBC"}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadAll(c.text), c.rows) << c.text;
  }
}

TEST(CsvReaderTest, ReportsTheLineOfEachRow) {
  CsvReader reader("h\n\"a\nb\"\nc\n");
  std::vector<std::string> row;
  ASSERT_TRUE(reader.Next(row));
  EXPECT_EQ(reader.RowLine(), 1);
  ASSERT_TRUE(reader.Next(row));
  EXPECT_EQ(reader.RowLine(), 2);
  ASSERT_TRUE(reader.Next(row));
  EXPECT_EQ(reader.RowLine(), 4);
  EXPECT_FALSE(reader.Next(row));
}

// Malformed input is refused with the line it starts on, never read past its end.
TEST(CsvReaderTest, RefusesUnterminatedQuotesAndTextAfterAClosingQuote) {
  EXPECT_THROW(ReadAll("a\n\"open,b\n"), CsvError);
  EXPECT_THROW(ReadAll("\"a\"b,c\n"), CsvError);
  try {
    ReadAll("ok\nok\n\"never closed");
    FAIL();
  } catch (const CsvError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
}

TEST(CsvRowTest, QuotesOnlyWhatNeedsItAndReadsBackTheSame) {
  EXPECT_EQ(CsvRow({"a", "b c"}), "a,b c\r\n");
  EXPECT_EQ(CsvRow({"x,y", "q\"q", "l\nl"}), "\"x,y\",\"q\"\"q\",\"l\nl\"\r\n");
  EXPECT_EQ(CsvRow({""}), "\r\n");
  const std::vector<std::string> awkward = {"", ",", "\"", "\r\n", "end\r", " lead", "trail "};
  EXPECT_EQ(ReadAll(CsvRow(awkward)), Rows{awkward});
}

TEST(JsonStringTest, EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("l1\r\nl2\t"), "\"l1\\r\\nl2\\t\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString(std::string("nul\0!", 5)), "\"nul\\u0000!\"");
  EXPECT_EQ(JsonString("Z\xC3\xB6"), "\"Z\xC3\xB6\"");
}

}  // namespace
}  // namespace tavrin::tools
