// The message text: header block, body, attachment part headers, closing lines, transparency.
#include "send/MessageAssembly.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <cstdlib>
#include <regex>
#include <set>

#include "send/MimeEncoding.h"
#include "platform/CodePage.h"

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
    "To: All club members:;\r\n"  // the description as an empty group's name
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
  EXPECT_EQ(Wire(lines), std::string(kHeaderAndBody) +
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
  EXPECT_EQ(lines[1], "To: \"Members  Bcc: victim@example.org\":;");
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
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
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
  std::string accents = "x";  // "x" then 150 "é": byte 260 is inside a character
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";
  EXPECT_EQ(ExtractNamePart("/x/" + accents), accents.substr(0, 259));
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

// ---- text in any language

TEST(MessageAssembly, QuotedPrintableKeepsLinesShortAndEndsUnambiguous) {
  const std::string a73(73, 'a'), a75(75, 'a'), a76(76, 'a');
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {a76, {a76}},                    // exactly 76: one line
      {a76 + "b", {a75 + "=", "ab"}},  // 77: a soft break, and no line over 76
      {"ends with blank ", {"ends with blank=20"}},
      {"ends with tab\t", {"ends with tab=09"}},
      {"a = b", {"a =3D b"}},
      {".", {"."}},  // its transparency dot is the wire's business
      {"", {""}},
      {a73 + "\xC3\xA9", {a73 + "=", "=C3=A9"}},  // an escape is never cut by a soft break
      {"caf\xC3\xA9 ", {"caf=C3=A9=20"}},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(QuotedPrintableLines(line), expected) << line;
}

TEST(MessageAssembly, BodyGoesAsTypedOnlyWhenAsciiAndWithinTheLineLimit) {
  auto bodyPart = [](std::vector<std::string> body) {
    MessageInput in = SampleInput();
    in.Body = std::move(body);
    const auto lines = BuildMessage(in, kBoundary);
    return std::vector<std::string>(lines.begin() + 9, lines.end());
  };
  const std::string asTyped = "Content-Type: text/plain; charset=\"us-ascii\"";
  EXPECT_EQ(bodyPart({std::string(998, 'x')})[0], asTyped);
  EXPECT_NE(bodyPart({std::string(999, 'x')})[0], asTyped);
  EXPECT_NE(bodyPart({"." + std::string(997, 'x')})[0], asTyped);  // 999 octets with its dot
  EXPECT_EQ(
      bodyPart({".", "\xCE\xB1"}),
      (std::vector<std::string>{"Content-Type: text/plain; charset=\"UTF-8\"",
                                "Content-Transfer-Encoding: quoted-printable", "", ".", "=CE=B1"}));
}

// A display name too long for one encoded word: every line within 78 columns, every word within
// 75 and holding whole characters, and all of them together the name.
TEST(MessageAssembly, LongDisplayNamesFoldIntoWholeCharacterWords) {
  std::string greek;
  for (int i = 0; i < 30; ++i) greek += "\xCE\xA3\xCF\x8D\xCE\xBB ";  // "Σύλ "
  MessageInput in = SampleInput();
  in.SenderName = greek;
  in.To = "\xC3\x89quipe: " + greek;
  std::string header, decoded;
  for (const std::string& line : BuildMessage(in, kBoundary)) {
    if (line.rfind("Subject:", 0) == 0) break;
    EXPECT_LE(line.size(), 78u) << line;
    header += line + "\n";
  }
  const std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=");
  for (std::sregex_iterator it(header.begin(), header.end(), word), end; it != end; ++it) {
    EXPECT_LE(it->length(0), 75) << it->str(0);
    const std::string piece =
        QByteArray::fromBase64(QByteArray::fromStdString(it->str(1))).toStdString();
    EXPECT_TRUE(platform::IsUtf8(piece)) << it->str(0);
    decoded += piece;
  }
  EXPECT_EQ(decoded, greek + "\xC3\x89quipe: " + greek);
  EXPECT_NE(header.find(" <john@example.com>\nTo: "), std::string::npos) << header;
  EXPECT_EQ(header.substr(header.size() - 4), " :;\n") << header;
}

}  // namespace
}  // namespace tavrin::app
