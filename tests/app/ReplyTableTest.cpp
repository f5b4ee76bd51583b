// Reply lines judged by their code: continue or abort, description, recipient outcome, transcript.
#include "send/ReplyTable.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavrin::app {
namespace {

struct Case {
  const char* line;
  bool proceed;
  const char* replyText;
};

TEST(ReplyTable, ContinuesOnlyOnTheCodesThatLetTheSendGoOn) {
  const std::vector<Case> cases = {
      {"220 mail.example.com ESMTP\r\n", true, "<domain> Service ready"},
      {"220-first line of a long greeting\r\n", true, "<domain> Service ready"},
      {"221 Bye\r\n", true, "<domain> Service closing transmission channel"},
      {"250 OK\r\n", true, "Requested mail action okay, completed"},
      {"251 forwarding\r\n", true, "User not local; will forward to <forward-path>"},
      {"354 go ahead\r\n", true, "Start mail input; end with <CRLF>.<CRLF>"},
      {"550 no such user\r\n", true,
       "Requested action not taken: mailbox unavailable[E.g., mailbox not found, no access]"},
      {"551 try elsewhere\r\n", true, "User not local; please try <forward-path>"},
      {"553 bad name\r\n", true,
       "Requested action not taken: mailbox name not allowed[E.g., mailbox syntax incorrect]"},
      {"211 status\r\n", false, "System status, or system help reply"},
      {"214 help\r\n", false, "Help message"},
      {"421 closing\r\n", false,
       "<domain> Service not available,closing transmission channel[This may be a reply to any "
       "command if the service knows itmust shut down]"},
      {"450 busy\r\n", false,
       "Requested mail action not taken: mailbox unavailable[E.g., mailbox busy]"},
      {"451 local error\r\n", false, "Requested action aborted: local error in processing"},
      {"452 full\r\n", false, "Requested action not taken: insufficient system storage"},
      {"500 what\r\n", false,
       "Syntax error, command unrecognized[This may include errors such as command line too "
       "long]"},
      {"501 args\r\n", false, "Syntax error in parameters or arguments"},
      {"502 no\r\n", false, "Command not implemented"},
      {"503 order\r\n", false, "Bad sequence of commands"},
      {"504 param\r\n", false, "Command parameter not implemented"},
      {"552 too big\r\n", false, "Requested mail action aborted: exceeded storage allocation"},
      {"554 failed\r\n", false, "Transaction failed"},
      {"Reply: 250 fine\r\n", true, "Requested mail action okay, completed"},
  };
  for (const Case& c : cases) {
    TReplyTable table;
    EXPECT_EQ(table.CheckReply(c.line), c.proceed) << c.line;
    EXPECT_EQ(table.ReplyText, c.replyText) << c.line;
  }
}

TEST(ReplyTable, UnknownOrUnreadableCodesAbortAndKeepTheLastDescription) {
  for (const char* line :
       {"299 odd\r\n", "no digits here\r\n", "2x0 broken\r\n", "25\r\n", "", "\n", "7"}) {
    TReplyTable table;
    table.CheckReply("250 ok\r\n");
    EXPECT_FALSE(table.CheckReply(line)) << line;
    EXPECT_EQ(table.ReplyText, "Requested mail action okay, completed") << line;
  }
}

TEST(ReplyTable, CodeStartsAtTheFirstDigitBeforeTheLineEnd) {
  EXPECT_EQ(TReplyTable::ReplyCode("x: 354 go\r\n"), 354);
  EXPECT_EQ(TReplyTable::ReplyCode("abc9\n"), std::nullopt);  // digit too close to the end
  EXPECT_EQ(TReplyTable::ReplyCode("abc\n5"), std::nullopt);  // the last character never counts
  EXPECT_EQ(TReplyTable::ReplyCode("250"), 250);
}

TEST(ReplyTable, EachLineAddsItsDescriptionToTheTranscript) {
  TReplyTable table;
  std::vector<std::string> transcript;
  table.Transcript = [&](const std::string& text) { transcript.push_back(text); };
  table.CheckReply("220 hi\r\n");
  table.CheckReply("299 unknown\r\n");
  EXPECT_EQ(transcript,
            (std::vector<std::string>{"<domain> Service ready", "<domain> Service ready"}));
}

}  // namespace
}  // namespace tavrin::app
