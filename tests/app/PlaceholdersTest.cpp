// Personalised texts: placeholders read, checked against the table and filled from a record, and
// the per-record verdicts on duplicate addresses and opt-outs.
#include "send/Placeholders.h"

#include <gtest/gtest.h>

#include <map>

#include "../dataset/DataSetTestSupport.h"
#include "send/DatasetRecipientTable.h"
#include "send/RecipientFilter.h"
#include "send/RecipientTable.h"

namespace tavrin::app {
namespace {

// One record of named fields; names matched without regard to case, as the table does.
class FakeTable final : public TRecipientTable {
 public:
  struct Value {
    char type;
    std::string text;  // as GetField gives it: padded, 8-bit
  };
  explicit FakeTable(std::map<std::string, Value> fields) : fields_(std::move(fields)) {}

  void Open() override {}
  void Close() override {}
  bool IsOpen() const override { return true; }
  bool HasField(const std::string& name) override { return Find(name) != nullptr; }
  std::int32_t RecordTotal() override { return 1; }
  void GoFirst() override {}
  void SkipBy(std::int32_t) override {}
  bool AtEnd() override { return false; }
  bool RecordDeleted() override { return false; }
  std::string GetField(const std::string& name) override { return Find(name)->text; }
  char FieldType(const std::string& name) override {
    const Value* v = Find(name);
    return v ? v->type : '\0';
  }
  void Set(const std::string& name, const std::string& text) { fields_.at(name).text = text; }

 private:
  const Value* Find(const std::string& name) const {
    for (const auto& [key, value] : fields_)
      if (strcasecmp(key.c_str(), name.c_str()) == 0) return &value;
    return nullptr;
  }
  std::map<std::string, Value> fields_;
};

FakeTable Ann() {
  return FakeTable({{"NAME", {'C', "Ann Martin          "}},
                    {"EMAIL", {'C', "ann+news@example.org          "}},
                    {"CITY",
                     {'C',
                      "Montr\xE9"
                      "al   "}},  // Windows-1252, as the table gives it
                    {"OPTOUT", {'L', "F"}}});
}

std::string Filled(const std::string& text, TRecipientTable& table) {
  return TPlaceholderText(text).Fill(RecordValues(table));
}

TEST(Placeholders, FieldsAreFilledWithoutRegardToCaseAndTrimmedAsUtf8) {
  FakeTable table = Ann();
  EXPECT_EQ(Filled("Dear {NAME}, your address is {email}.", table),
            "Dear Ann Martin, your address is ann+news@example.org.");
  EXPECT_EQ(Filled("{City}", table),
            "Montr\xC3\xA9"
            "al");
  EXPECT_EQ(Filled("{NAME}{NAME}", table), "Ann MartinAnn Martin");
}

TEST(Placeholders, DoubledBracesAreOneLiteralBrace) {
  FakeTable table = Ann();
  EXPECT_EQ(Filled("{{NAME}}", table), "{NAME}");
  EXPECT_EQ(Filled("{{{NAME}}}", table), "{Ann Martin}");
  EXPECT_EQ(Filled("a {{ b }} c", table), "a { b } c");
  EXPECT_FALSE(TPlaceholderText("{{NAME}}").HasPlaceholders());
}

TEST(Placeholders, BracesThatAreNoPlaceholderStayAsTyped) {
  FakeTable table = Ann();
  for (const std::string text :
       {"{ a, b }", "x } y", "{unclosed", "{NAME", "NAME}", "{}", "{1ST}", "{NA ME}", "{NAME-2}",
        "{\xC3\x84}", "}{", "{", "}", "int f() { return 0; }"}) {
    EXPECT_EQ(Filled(text, table), text);
    EXPECT_FALSE(TPlaceholderText(text).HasPlaceholders()) << text;
  }
  // A placeholder right after a stray brace is still one.
  EXPECT_EQ(Filled("{x {NAME}", table), "{x Ann Martin");
}

TEST(Placeholders, FieldsAreListedOnceInTheOrderFirstMet) {
  EXPECT_EQ(TPlaceholderText("{Name} {EMAIL} {NAME} {email}").Fields(),
            (std::vector<std::string>{"Name", "EMAIL"}));
  EXPECT_EQ(FieldsUsed({"Hello {NAME}", "{{CITY}}", "Dear {name}, {Email}"}),
            (std::vector<std::string>{"NAME", "Email"}));
  // A placeholder never spans two texts.
  EXPECT_TRUE(FieldsUsed({"{NA", "ME}"}).empty());
  EXPECT_TRUE(AnyPlaceholders({"plain", "{EMAIL}"}));
  EXPECT_FALSE(AnyPlaceholders({"plain", "{{EMAIL}}"}));
}

TEST(Placeholders, AFieldTheTableLacksIsRefusedByItsWrittenName) {
  FakeTable table = Ann();
  EXPECT_EQ(MissingFieldRefusal({"Hello {name}", "{Xyz} and {ABC}"}, table),
            "The message uses {Xyz}, but the recipients table has no field Xyz.");
  EXPECT_EQ(MissingFieldRefusal({"Hello {name}", "{{XYZ}}", "{email}"}, table), std::nullopt);
}

TEST(Placeholders, UrlValuesArePercentEncodedSoTheyCannotChangeTheUrl) {
  FakeTable table = Ann();
  const TPlaceholderText url("https://example.org/u?e={EMAIL}&c={CITY}&n={NAME}");
  EXPECT_EQ(url.FillUrl(RecordValues(table)),
            "https://example.org/u?e=ann%2Bnews%40example.org&c=Montr%C3%A9al&n=Ann%20Martin");
}

TEST(Placeholders, BodyLinesSplitWhereAMemoValueBreaksLines) {
  FakeTable table = Ann();
  table.Set("NAME", "first\r\nsecond\nthird\rfourth");
  EXPECT_EQ(FillLines({"<{NAME}>", "{{x}}", ""}, RecordValues(table)),
            (std::vector<std::string>{"<first", "second", "third", "fourth>", "{x}", ""}));
}

TEST(Placeholders, APersonalMessageCarriesOnlyItsOwnRecordsData) {
  FakeTable table = Ann();
  MessageInput shared;
  shared.To = "{NAME}";
  shared.Subject = "Hello {NAME} {{NAME}}";
  shared.Body = {"Dear {NAME}, your address is {EMAIL}."};
  shared.ReplyTo = "office@example.com";
  shared.ListUnsubscribe = "https://example.com/u?e={EMAIL}";
  const MessageInput in = PersonalisedInput(shared, RecordValues(table), "  ann@example.org  ");
  EXPECT_EQ(in.To, "Ann Martin");
  EXPECT_EQ(in.ToAddress, "ann@example.org");
  EXPECT_EQ(in.Subject, "Hello Ann Martin {NAME}");
  EXPECT_EQ(in.Body,
            std::vector<std::string>{"Dear Ann Martin, your address is ann+news@example.org."});
  EXPECT_EQ(in.ListUnsubscribe, "https://example.com/u?e=ann%2Bnews%40example.org");
  EXPECT_EQ(in.ReplyTo, "office@example.com");
  // Nothing of the record stays behind in the shared message.
  EXPECT_EQ(shared.Subject, "Hello {NAME} {{NAME}}");
}

// ---- duplicates and opt-out

TEST(RecipientFilter, ALaterCopyOfAnAddressIsADuplicateOfTheFirstRecord) {
  TRecipientFilter filter;
  EXPECT_TRUE(filter.Judge(1, "ann@example.org   ", false).Send());
  EXPECT_TRUE(filter.Judge(2, "bob@example.org", false).Send());
  const RecipientVerdict again = filter.Judge(3, "  ann@EXAMPLE.Org", false);
  EXPECT_EQ(again.kind, RecipientVerdict::Kind::kDuplicate);
  EXPECT_EQ(again.LogText(), "Duplicate of record 1");
  EXPECT_EQ(filter.Judge(7, "ann@example.ORG", false).LogText(), "Duplicate of record 1");
  // The local part is compared as written: servers may tell the two apart.
  EXPECT_TRUE(filter.Judge(8, "Ann@example.org", false).Send());
  // Accented domain letters compare without regard to case too (Windows-1252).
  EXPECT_TRUE(filter.Judge(9, "x@caf\xE9.example", false).Send());
  EXPECT_EQ(filter.Judge(10, "x@CAF\xC9.EXAMPLE", false).LogText(), "Duplicate of record 9");
}

TEST(RecipientFilter, OptedOutRecordsAreUnsubscribedAndTheirAddressCountsAsSeen) {
  TRecipientFilter filter;
  const RecipientVerdict out = filter.Judge(1, "ann@example.org", true);
  EXPECT_EQ(out.kind, RecipientVerdict::Kind::kUnsubscribed);
  EXPECT_EQ(out.LogText(), "Unsubscribed");
  EXPECT_FALSE(filter.Judge(2, "ann@example.org", false).Send());
  // Blank addresses are the send's to refuse, never duplicates of each other.
  EXPECT_TRUE(filter.Judge(3, "   ", false).Send());
  EXPECT_TRUE(filter.Judge(4, "", false).Send());
  EXPECT_EQ(RecipientVerdict{}.LogText(), "");
}

TEST(RecipientFilter, TheOptOutFieldIsReadFromTheRecordAndMustBeLogical) {
  FakeTable table = Ann();
  EXPECT_EQ(TRecipientFilter("").OptOutFieldRefusal(table), std::nullopt);
  EXPECT_EQ(TRecipientFilter("optout").OptOutFieldRefusal(table), std::nullopt);
  EXPECT_EQ(TRecipientFilter("GONE").OptOutFieldRefusal(table),
            "The opt-out field GONE named in the settings is not in the recipients table.");
  EXPECT_EQ(TRecipientFilter("NAME").OptOutFieldRefusal(table),
            "The opt-out field NAME named in the settings is not a logical field of the "
            "recipients table.");

  TRecipientFilter filter("OPTOUT");
  EXPECT_TRUE(filter.Judge(1, "a@example.org", table).Send());
  for (const char* yes : {"T", "t", "Y", "y"}) {
    table.Set("OPTOUT", yes);
    EXPECT_EQ(filter.Judge(2, std::string("b") + yes + "@example.org", table).LogText(),
              "Unsubscribed");
  }
  for (const char* no : {"F", "N", " ", "?"}) {
    table.Set("OPTOUT", no);
    EXPECT_TRUE(filter.Judge(3, std::string("c") + no + "@example.org", table).Send()) << no;
  }
}

TEST(RecipientFilter, ASendIsRefusedBeforeConnectingForTheFirstSettingThatCannotWork) {
  FakeTable table = Ann();
  const TRecipientFilter none;
  const TRecipientFilter gone("GONE");
  const std::string unsubscribe = "https://example.com/u?e={EMAIL}";
  EXPECT_EQ(BulkMailRefusal({"Hello {NAME}"}, unsubscribe, "office@example.com", none, table),
            std::nullopt);
  EXPECT_EQ(BulkMailRefusal({"Hello"}, "https://example.com/u?c={CODE}", "", none, table),
            "The message uses {CODE}, but the recipients table has no field CODE.");
  EXPECT_EQ(BulkMailRefusal({"Hello {NOPE}"}, "ftp://x", "", gone, table),
            "The message uses {NOPE}, but the recipients table has no field NOPE.");
  EXPECT_EQ(BulkMailRefusal({"Hello"}, "ftp://x", "", gone, table),
            "The unsubscribe link in the settings is not a mailto: address or an https URL: "
            "ftp://x");
  EXPECT_EQ(BulkMailRefusal({"Hello"}, unsubscribe, "a b@example.com", gone, table),
            "The reply-to address in the settings is not a plain e-mail address: a b@example.com");
  EXPECT_EQ(BulkMailRefusal({"Hello"}, "", "", gone, table),
            "The opt-out field GONE named in the settings is not in the recipients table.");
}

// ---- the values a real table gives

class TableValues : public dataset::test::DataSetTest {};

TEST_F(TableValues, EachFieldTypeGivesItsTextAsAMessageShowsIt) {
  dataset::TXbDbf table("tblRecipients");
  table.SetDbfFields({"NAME,C,20,0", "OPTOUT,L,1,0", "NOTE,M,10,0", "AGE,N,5,0", "PAID,N,8,2"});
  table.SetCreateIfNotFound(true);
  OpenOn(table, Path("people.dbf"));
  table.Append();
  table.FieldByName("NAME")->SetAsString("  Zo\xEB");
  table.FieldByName("OPTOUT")->SetAsString("Y");
  table.FieldByName("NOTE")->SetAsString("line one\r\nline two");
  table.FieldByName("AGE")->SetAsString("42");
  table.FieldByName("PAID")->SetAsString("3.5");
  table.Post();
  table.Append();
  table.FieldByName("NAME")->SetAsString("Bob");
  table.Post();
  table.Close();

  TDatasetRecipientTable recipients(table);
  recipients.Open();
  recipients.GoFirst();
  EXPECT_EQ(recipients.FieldText("name"), "Zo\xEB");  // padding gone on both sides
  EXPECT_EQ(recipients.FieldText("OPTOUT"), "T");     // the letter as the table holds it
  EXPECT_EQ(recipients.FieldText("NOTE"), "line one\r\nline two");
  EXPECT_EQ(recipients.FieldText("AGE"), "42");
  EXPECT_EQ(recipients.FieldText("PAID"), "3.50");
  EXPECT_EQ(recipients.FieldType("OPTOUT"), 'L');
  EXPECT_EQ(recipients.FieldType("NOTE"), 'M');
  EXPECT_EQ(recipients.FieldType("NAME"), 'C');
  EXPECT_EQ(recipients.FieldType("MISSING"), '\0');
  EXPECT_THROW(recipients.FieldText("MISSING"), std::runtime_error);
  EXPECT_EQ(Filled("{NAME}: {NOTE}", recipients), "Zo\xC3\xAB: line one\r\nline two");

  TRecipientFilter filter("optout");
  EXPECT_EQ(filter.OptOutFieldRefusal(recipients), std::nullopt);
  EXPECT_EQ(filter.Judge(1, "z@example.org", recipients).LogText(), "Unsubscribed");
  recipients.SkipBy(1);
  EXPECT_EQ(recipients.FieldText("OPTOUT"), "F");  // a new record's logical starts false
  EXPECT_EQ(recipients.FieldText("NOTE"), "");     // no memo
  EXPECT_TRUE(filter.Judge(2, "b@example.org", recipients).Send());
  recipients.Close();
}

}  // namespace
}  // namespace tavrin::app
