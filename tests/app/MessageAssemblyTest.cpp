// The message text: header block, body, attachment part headers, closing lines, transparency.
#include "app/MessageAssembly.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>

namespace tavrin::app {
namespace {

const std::string kBoundary = "________________012345678012_______";

MessageInput SampleInput() {
  MessageInput in;
  in.SenderName = "John Doe";
  in.ReturnEmail = "john@example.com";
  in.To = "All club members";
  in.Subject = "Spring meeting";
  in.Body = {"Hello all,", ".", "..dots", "See you."};
  in.Date = "Mon, 07 Dec 2026 10:15:00 +0100";
  in.MessageIdToken = "token1";
  return in;
}

// The lines as they go on the wire: transparency on every data line but the final ".".
std::string Wire(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool endOfData = i + 1 == lines.size() && lines[i] == ".";
    out += (endOfData ? lines[i] : MailDataLine(lines[i])) + "\r\n";
  }
  return out;
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

const char* const kHeaderAndBody =
    "From: \"John Doe\" <john@example.com>\r\n"
    "To:All club members\r\n"
    "Subject:Spring meeting\r\n"
    "Date: Mon, 07 Dec 2026 10:15:00 +0100\r\n"
    "Message-ID: <token1@example.com>\r\n"
    "Mime-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"________________012345678012_______\"\r\n"
    "\r\n"
    "--________________012345678012_______\r\n"
    "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
    "\r\n"
    "Hello all,\r\n"
    "..\r\n"
    "...dots\r\n"
    "See you.\r\n";

TEST(MessageAssembly, MessageWithoutAttachmentByteForByte) {
  std::vector<std::string> lines = BuildMessage(SampleInput(), kBoundary);
  Append(lines, ClosingLines(kBoundary));
  EXPECT_EQ(Wire(lines), std::string(kHeaderAndBody) +
                             "\r\n"
                             "--________________012345678012_______--\r\n"
                             ".\r\n");
}

TEST(MessageAssembly, MessageWithTwoAttachmentsByteForByte) {
  std::vector<std::string> lines = BuildMessage(SampleInput(), kBoundary);
  Append(lines, AttachmentHeaderLines(kBoundary, "/home/ann/docs/a.txt"));
  lines.push_back("SGVsbG8=");  // stands for the encoded stream
  Append(lines, AttachmentHeaderLines(kBoundary, "/home/ann/docs/b"));
  lines.push_back("AAEC");
  Append(lines, ClosingLines(kBoundary));
  EXPECT_EQ(Wire(lines),
            std::string(kHeaderAndBody) +
                "\r\n"
                "--________________012345678012_______\r\n"
                "Content-Type: text/plain; name=\"a.txt\"\r\n"
                "Content-Transfer-Encoding: BASE64\r\n"
                "Content-Disposition: attachment; filename=\"a.txt\"\r\n"
                "\r\n"
                "SGVsbG8=\r\n"
                "\r\n"
                "--________________012345678012_______\r\n"
                "Content-Type: application/octet-stream; name=\"b\"\r\n"
                "Content-Transfer-Encoding: BASE64\r\n"
                "Content-Disposition: attachment; filename=\"b\"\r\n"
                "\r\n"
                "AAEC\r\n"
                "\r\n"
                "--________________012345678012_______--\r\n"
                ".\r\n");
}

TEST(MessageAssembly, LineBreaksInHeaderValuesCannotStartNewHeaders) {
  MessageInput in = SampleInput();
  in.To = "Members\r\nBcc: victim@example.org";
  in.Subject = "Hi\n\nbody";
  const auto lines = BuildMessage(in, kBoundary);
  EXPECT_EQ(lines[1], "To:Members  Bcc: victim@example.org");
  EXPECT_EQ(lines[2], "Subject:Hi  body");
  EXPECT_EQ(lines[7], "");  // the header block still ends where it should
}

TEST(MessageAssembly, MessageIdTakesTheSenderDomainOrLocalhost) {
  MessageInput in = SampleInput();
  in.ReturnEmail = "no-at-sign";
  EXPECT_EQ(BuildMessage(in, kBoundary)[4], "Message-ID: <token1@localhost>");
  in.ReturnEmail = "ann@";
  EXPECT_EQ(BuildMessage(in, kBoundary)[4], "Message-ID: <token1@localhost>");
  in.ReturnEmail = "a@b@mail.example.net";
  EXPECT_EQ(BuildMessage(in, kBoundary)[4], "Message-ID: <token1@mail.example.net>");
  EXPECT_NE(NewMessageIdToken(), NewMessageIdToken());
}

TEST(MessageAssembly, InternetDateUsesLocalTimeAndItsOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "CET-1", 1);
  tzset();
  EXPECT_EQ(InternetDate(1796634900), "Mon, 07 Dec 2026 10:15:00 +0100");
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(InternetDate(0), "Thu, 01 Jan 1970 00:00:00 +0000");
  setenv("TZ", "EST+5", 1);
  tzset();
  EXPECT_EQ(InternetDate(0), "Wed, 31 Dec 1969 19:00:00 -0500");
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(MessageAssembly, BoundaryIs35CharactersWithoutANine) {
  const std::regex shape("_{16}[0-8]{12}_{7}");
  std::set<char> digits;
  for (int i = 0; i < 200; ++i) {
    const std::string b = Boundary();
    ASSERT_TRUE(std::regex_match(b, shape)) << b;
    digits.insert(b.begin() + 16, b.begin() + 28);
  }
  EXPECT_EQ(digits.size(), 9u);  // every digit from 0 to 8 turns up
}

TEST(MessageAssembly, PathHelpersSplitAtTheLastSlashAndDot) {
  EXPECT_EQ(ExtractNamePart("/home/ann/docs/a.txt"), "a.txt");
  EXPECT_EQ(ExtractNamePart("plain"), "plain");
  EXPECT_EQ(ExtractNamePart("/my.dir/readme"), "readme");
  EXPECT_EQ(ExtractNamePart("/x/" + std::string(300, 'n')).size(), 260u);
  EXPECT_EQ(ExtractExtPart("a.txt"), "txt");
  EXPECT_EQ(ExtractExtPart("/my.dir/readme"), "");
  EXPECT_EQ(ExtractExtPart("readme"), "");
  EXPECT_EQ(ExtractExtPart("archive.tar.gz"), "gz");
  EXPECT_EQ(ExtractDirPart("/opt/tavrin/bin/tavrin"), "/opt/tavrin/bin/");
  EXPECT_EQ(ExtractDirPart("tavrin"), "");
}

TEST(MessageAssembly, ContentTypeComesFromTheExtension) {
  EXPECT_EQ(ContentTypeOf("a.txt"), "text/plain");
  EXPECT_EQ(ContentTypeOf("photo.JPG"), "image/jpeg");
  EXPECT_EQ(ContentTypeOf("b"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOf("readme."), "application/octet-stream");
  EXPECT_EQ(ContentTypeOf("data.nosuchextension"), "application/octet-stream");
}

TEST(MessageAssembly, OnlyLinesStartingWithAPeriodGetOneMore) {
  EXPECT_EQ(MailDataLine("."), "..");
  EXPECT_EQ(MailDataLine(".x."), "..x.");
  EXPECT_EQ(MailDataLine("x."), "x.");
  EXPECT_EQ(MailDataLine(""), "");
  EXPECT_EQ(MailDataLine(" ."), " .");
}

}  // namespace
}  // namespace tavrin::app
