// The personalised send against the capture server: one message per record with its own fields,
// pipelined or one command at a time, across servers that close after a few messages; duplicates
// and opt-outs in both kinds of send; the test send to the sender alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

#include "../net/LoopbackPeer.h"
#include "SendSupport.h"
#include "send/MailSend.h"

namespace tavrin::app::testing {
namespace {

const std::vector<std::pair<std::string, std::string>> kThree = {{"Ann Martin", "ann@example.com"},
                                                                 {"Bob Stone", "bob@example.com"},
                                                                 {"Cy Young", "cy@example.com"}};

// Each message the server kept, by its envelope recipient, without the capture's own headers.
std::map<std::string, std::string> MessagesByRecipient(const SmtpServer& server) {
  std::map<std::string, std::string> out;
  for (const auto& file : server.Messages()) {
    std::string text = ReadFile(file);
    const auto to = text.find("X-Envelope-To: ");
    const auto end = text.find("\r\n", to);
    const std::string who = text.substr(to + 15, end - to - 15);
    EXPECT_EQ(out.count(who), 0u) << who << " received a second message";
    out[who] = text.substr(end + 2);
  }
  return out;
}

std::string WithoutMessageId(const std::string& message) {
  return std::regex_replace(message, std::regex("Message-ID: <[^>]*>"), "Message-ID: <>");
}

class PersonalSendTest : public SendTest {
 protected:
  SendJob PersonalJob(const std::string& subject = "Hello {NAME}",
                      const std::vector<std::string>& body = {
                          "Dear {NAME}, your address is {EMAIL}."}) {
    SendJob job = Job();
    job.personalised = true;
    job.input = MessageInput{"John Doe", "sender@example.com", "{NAME}", subject,
                             body,       InternetDate(0),      ""};
    return job;
  }
  // A table with a logical opt-out field OUT: rows of name, address and "T" or "F".
  void MakeOptOutTable(const std::vector<std::vector<std::string>>& rows) {
    const std::string table = (root_ / "rcpt.dbf").string();
    std::string csv = "NAME,EMAIL,OUT\r\n";
    for (const auto& row : rows) csv += row[0] + "," + row[1] + "," + row[2] + "\r\n";
    WriteFile(root_ / "rcpt.csv", csv);
    std::filesystem::remove(table);
    Tool("create " + table + " NAME,C,40 EMAIL,C,60 OUT,L,1");
    Tool("import " + table + " " + (root_ / "rcpt.csv").string());
  }
  std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

// Three records, three messages: each to its own recipient alone, with its own name and address
// in To, Subject and body and nothing of the others'; pipelined and one command at a time give
// the same bytes but for the Message-ID, which differs between messages.
TEST_F(PersonalSendTest, EachRecordGetsItsOwnMessageTheSameWithOrWithoutPipelining) {
  MakeTable(kThree);
  std::map<std::string, std::string> sent[2];
  const SendJob job = PersonalJob();  // one boundary for both sends
  for (const bool pipelining : {true, false}) {
    SmtpServer server(
        root_ / (pipelining ? "piped" : "single"),
        pipelining ? std::vector<std::string>{"--pipelining"} : std::vector<std::string>{});
    log.StartLog("P", "S", "d", "t");
    Send(server.Port(), job);
    ASSERT_EQ(kinds.back(), FailureKind::kNone) << (failures.empty() ? "" : failures.back());
    EXPECT_EQ(lastOutcome.deliveredTo, 3);
    EXPECT_EQ(Outcomes(log),
              (std::vector<std::string>{"Ann Martin ok", "Bob Stone ok", "Cy Young ok"}));
    EXPECT_EQ(Count(server.Transcript(), "MAIL FROM"), 3u);
    EXPECT_EQ(Count(server.Transcript(), "RCPT TO"), 3u);
    sent[pipelining ? 0 : 1] = MessagesByRecipient(server);
    ASSERT_EQ(sent[pipelining ? 0 : 1].size(), 3u);
    std::set<std::string> ids;
    for (const auto& [name, address] : kThree) {
      const std::string& message = sent[pipelining ? 0 : 1][address];
      WriteFile(root_ / "one.eml", message);
      const DecodedMail decoded = DecodeMail(root_ / "one.eml");
      EXPECT_EQ(decoded.subject, "Hello " + name);
      EXPECT_EQ(decoded.body, "Dear " + name + ", your address is " + address + ".\n");
      EXPECT_NE(message.find("To: \"" + name + "\" <" + address + ">"), std::string::npos)
          << message;
      for (const auto& [other, otherAddress] : kThree) {
        if (other == name) continue;
        EXPECT_EQ(message.find(other), std::string::npos);
        EXPECT_EQ(message.find(otherAddress), std::string::npos);
      }
      const std::smatch id = [&] {
        std::smatch m;
        std::regex_search(message, m, std::regex("Message-ID: <[^>]*>"));
        return m;
      }();
      ids.insert(id.str());
    }
    EXPECT_EQ(ids.size(), 3u);
  }
  for (const auto& [name, address] : kThree)
    EXPECT_EQ(WithoutMessageId(sent[0][address]), WithoutMessageId(sent[1][address])) << name;
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Sending message 2 of 3"), statuses.end());
}

// A refused recipient costs that recipient alone: the server's refusal of "Data" that follows a
// pipelined refusal is expected, and the next transaction starts clean after "RSET".
TEST_F(PersonalSendTest, ARefusedRecipientCostsThatRecipientAlone) {
  MakeTable(kThree);
  for (const bool pipelining : {true, false}) {
    std::vector<std::string> args{"--refuse", "bob@example.com=550 No such user"};
    if (pipelining) args.push_back("--pipelining");
    SmtpServer server(root_ / (pipelining ? "piped" : "single"), args);
    log.StartLog("P", "S", "d", "t");
    Send(server.Port(), PersonalJob());
    EXPECT_EQ(kinds.back(), FailureKind::kNone) << (failures.empty() ? "" : failures.back());
    EXPECT_EQ(Outcomes(log),
              (std::vector<std::string>{"Ann Martin ok", "Bob Stone failed 550 No such user",
                                        "Cy Young ok"}));
    const auto messages = MessagesByRecipient(server);
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages.count("bob@example.com"), 0u);
    ASSERT_EQ(messages.count("cy@example.com"), 1u);  // made after Bob's: none of his in it
    EXPECT_EQ(messages.at("cy@example.com").find("Bob"), std::string::npos);
    EXPECT_NE(messages.at("cy@example.com").find("Dear Cy Young"), std::string::npos);
  }
}

// Attachments small enough to hold in memory go out with each message in one piece; one too
// large to hold is streamed for every message. Either way each recipient's message has its own
// text and every attachment whole, in order.
TEST_F(PersonalSendTest, HeldAndStreamedAttachmentsReachEveryRecipientWhole) {
  MakeTable(kThree);
  std::string small(3000, '\0'), large(6500 * 1024, '\0');  // large: over 8 MiB once encoded
  std::uint32_t seed = 7;
  for (std::string* bytes : {&small, &large})
    for (char& c : *bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  WriteFile(root_ / "small.bin", small);
  WriteFile(root_ / "large.bin", large);
  for (const bool withLarge : {false, true}) {
    SmtpServer server(root_ / (withLarge ? "large" : "small"), {"--pipelining"});
    log.StartLog("P", "S", "d", "t");
    SendJob job = PersonalJob();
    job.attachments = {(root_ / "small.bin").string()};
    if (withLarge) job.attachments.push_back((root_ / "large.bin").string());
    Send(server.Port(), job);
    ASSERT_EQ(kinds.back(), FailureKind::kNone) << (failures.empty() ? "" : failures.back());
    const auto messages = MessagesByRecipient(server);
    ASSERT_EQ(messages.size(), 3u);
    for (const auto& [name, address] : kThree) {
      WriteFile(root_ / "one.eml", messages.at(address));
      const DecodedMail mail = DecodeMail(root_ / "one.eml");
      EXPECT_EQ(mail.body, "Dear " + name + ", your address is " + address + ".\n");
      ASSERT_EQ(mail.attachments.size(), withLarge ? 2u : 1u) << name;
      EXPECT_TRUE(mail.attachments[0].second == small) << name;
      EXPECT_TRUE(!withLarge || mail.attachments[1].second == large) << name;
    }
  }
}

// A placeholder naming a field the table lacks ends the send before it connects; doubled braces
// are text.
TEST_F(PersonalSendTest, AnUnknownFieldRefusesBeforeConnectingAndDoubledBracesAreText) {
  MakeTable(kThree);
  SmtpServer server(root_ / "outbox", {"--pipelining"});
  Send(server.Port(), PersonalJob("Hello {XYZ}"));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], "The message uses {XYZ}, but the recipients table has no field XYZ.");
  EXPECT_EQ(kinds.back(), FailureKind::kLocalFile);
  EXPECT_EQ(server.Transcript().find("EHLO"), std::string::npos);

  log.StartLog("P", "S", "d", "t");
  Send(server.Port(), PersonalJob("About {{NAME}}", {"{{NAME}} is {NAME}."}));
  const auto messages = MessagesByRecipient(server);
  ASSERT_EQ(messages.size(), 3u);
  WriteFile(root_ / "one.eml", messages.at("bob@example.com"));
  const DecodedMail mail = DecodeMail(root_ / "one.eml");
  EXPECT_EQ(mail.subject, "About {NAME}");
  EXPECT_EQ(mail.body, "{NAME} is Bob Stone.\n");
}

// A server that closes after every second message: new connections carry the send on, every
// recipient gets exactly one message, and the attachment is encoded once for all of them.
TEST_F(PersonalSendTest, AServerClosingAfterEverySecondMessageStillDeliversEachOnce) {
  std::vector<std::pair<std::string, std::string>> seven;
  for (int i = 1; i <= 7; ++i)
    seven.push_back({"P" + std::to_string(i), "p" + std::to_string(i) + "@example.com"});
  MakeTable(seven);
  WriteFile(root_ / "notes.txt", std::string(3000, 'x'));
  for (const bool pipelining : {true, false}) {
    std::vector<std::string> args{"--close-after", "2"};
    if (pipelining) args.push_back("--pipelining");
    SmtpServer server(root_ / (pipelining ? "piped" : "single"), args);
    dialogue->mostReconnections = kMostReconnections;
    log.StartLog("P", "S", "d", "t");
    const std::uint64_t encodedBefore = dialogue->AttachmentEncodings();
    SendJob job = PersonalJob();
    job.attachments = {(root_ / "notes.txt").string()};
    Send(server.Port(), job);
    EXPECT_EQ(kinds.back(), FailureKind::kNone) << (failures.empty() ? "" : failures.back());
    EXPECT_EQ(lastOutcome.deliveredTo, 7);
    const auto messages = MessagesByRecipient(server);
    EXPECT_EQ(messages.size(), 7u);
    WriteFile(root_ / "one.eml", messages.at("p7@example.com"));
    const DecodedMail mail = DecodeMail(root_ / "one.eml");
    ASSERT_EQ(mail.attachments.size(), 1u);
    EXPECT_EQ(mail.attachments[0].second, std::string(3000, 'x'));
    EXPECT_EQ(mail.body, "Dear P7, your address is p7@example.com.\n");
    for (const std::string& line : Outcomes(log))
      EXPECT_NE(line.find(" ok"), std::string::npos) << line;
    EXPECT_EQ(Outcomes(log).size(), 7u);
    EXPECT_EQ(dialogue->AttachmentEncodings() - encodedBefore, 1u);
  }
}

// A repeated address (its domain in another case) and a record that opted out get no message in
// either kind of send; each record is in the log once, with the reason.
TEST_F(PersonalSendTest, DuplicatesAndOptOutsAreSkippedInBothSends) {
  MakeOptOutTable({{"Ann", "ann@example.com", "F"},
                   {"Bob", "bob@example.com", "T"},
                   {"Ann again", "ann@EXAMPLE.com", "F"},
                   {"Cy", "cy@example.com", "F"}});
  const std::vector<std::string> expected{"Ann ok", "Bob not sent Unsubscribed",
                                          "Ann again not sent Duplicate of record 1", "Cy ok"};
  for (const bool personalised : {false, true}) {
    SmtpServer server(root_ / (personalised ? "personal" : "shared"), {"--pipelining"});
    log.StartLog("P", "S", "d", "t");
    SendJob job = personalised ? PersonalJob() : Job();
    job.optOutField = "OUT";
    Send(server.Port(), job);
    EXPECT_EQ(Outcomes(log), expected) << (personalised ? "personalised" : "shared");
    EXPECT_EQ(Count(server.Transcript(), "RCPT TO"), 2u);
    EXPECT_EQ(server.Transcript().find("bob@"), std::string::npos);
    EXPECT_EQ(lastOutcome.deliveredTo, 2);
  }
  // An opt-out field the table does not have refuses the send before it connects.
  SmtpServer server(root_ / "missing", {});
  log.StartLog("P", "S", "d", "t");
  SendJob job = Job();
  job.optOutField = "GONE";
  Send(server.Port(), job);
  ASSERT_FALSE(failures.empty());
  EXPECT_NE(failures.back().find("GONE"), std::string::npos);
  EXPECT_EQ(server.Transcript().find("EHLO"), std::string::npos);
}

// The test send: only the chosen record's message, to the return address alone, its Subject
// marked, and an outcome that tells the window to keep no log.
TEST_F(PersonalSendTest, ATestSendGoesToTheSenderAloneWithTheRecordsMessage) {
  MakeTable(kThree);
  for (const bool personalised : {true, false}) {
    SmtpServer server(root_ / (personalised ? "personal" : "shared"), {"--pipelining"});
    log.StartLog("P", "S", "d", "t");
    SendJob job = personalised ? PersonalJob() : Job();
    job.testRecord = 2;
    Send(server.Port(), job);
    EXPECT_EQ(kinds.back(), FailureKind::kNone) << (failures.empty() ? "" : failures.back());
    EXPECT_TRUE(lastOutcome.testSend);
    EXPECT_TRUE(dialogue->TestSend());
    EXPECT_EQ(Count(server.Transcript(), "RCPT TO"), 1u);
    const auto messages = MessagesByRecipient(server);
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages.count("sender@example.com"), 1u);
    WriteFile(root_ / "one.eml", messages.begin()->second);
    const DecodedMail mail = DecodeMail(root_ / "one.eml");
    EXPECT_EQ(mail.subject, personalised ? "[Test] Hello Bob Stone" : "[Test] News");
    if (personalised) {
      EXPECT_EQ(mail.body, "Dear Bob Stone, your address is bob@example.com.\n");
    }
    EXPECT_EQ(Outcomes(log).size(), 1u);
  }
}

TEST(GroupedCountTest, GroupsDigitsInThrees) {
  EXPECT_EQ(GroupedCount(0), "0");
  EXPECT_EQ(GroupedCount(999), "999");
  EXPECT_EQ(GroupedCount(1000), "1,000");
  EXPECT_EQ(GroupedCount(100000), "100,000");
  EXPECT_EQ(GroupedCount(1234567), "1,234,567");
}

}  // namespace
}  // namespace tavrin::app::testing
