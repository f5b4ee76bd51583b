// The headers of personalised and bulk mail: a To naming one recipient, Reply-To, and the
// unsubscribe headers of RFC 2369 and RFC 8058, checked byte for byte and read back by Python's
// email package as a mail program would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "send/MessageAssembly.h"

namespace tavrin::app {
namespace {

const std::string kBoundary = "________________012345678012_______";

MessageInput Personal() {
  MessageInput in;
  in.SenderName = "John Doe";
  in.ReturnEmail = "john@example.com";
  in.To = "Ann Martin";
  in.ToAddress = "ann@example.org";
  in.Subject = "Hello Ann";
  in.Body = {"Dear Ann,"};
  in.Date = "Mon, 07 Dec 2026 10:15:00 +0100";
  in.MessageIdToken = "token1";
  return in;
}

std::vector<std::string> Headers(const MessageInput& in) {
  std::vector<std::string> lines = BuildMessage(in, kBoundary);
  lines.resize(static_cast<std::size_t>(std::find(lines.begin(), lines.end(), "") - lines.begin()));
  return lines;
}

TEST(BulkHeaders, APersonalMessageNamesItsRecipientThenReplyToAndUnsubscribe) {
  MessageInput in = Personal();
  in.ReplyTo = "office@example.com";
  in.ListUnsubscribe = "https://example.com/u?e=ann%40example.org";
  EXPECT_EQ(Headers(in), (std::vector<std::string>{
                             "From: \"John Doe\" <john@example.com>",
                             "To: \"Ann Martin\" <ann@example.org>",
                             "Subject:Hello Ann",
                             "Date: Mon, 07 Dec 2026 10:15:00 +0100",
                             "Message-ID: <token1@example.com>",
                             "Reply-To: office@example.com",
                             "List-Unsubscribe: <https://example.com/u?e=ann%40example.org>",
                             "List-Unsubscribe-Post: List-Unsubscribe=One-Click",
                             "Mime-Version: 1.0",
                             "Content-Type: multipart/mixed; boundary=\"" + kBoundary + "\"",
                         }));
  // A mailto: target has nothing to post to.
  in.ListUnsubscribe = "mailto:leave@example.com?subject=unsubscribe";
  const auto lines = Headers(in);
  EXPECT_EQ(lines[6], "List-Unsubscribe: <mailto:leave@example.com?subject=unsubscribe>");
  EXPECT_EQ(lines[7], "Mime-Version: 1.0");
}

TEST(BulkHeaders, TheRecipientsNameIsQuotedEncodedOrLeftOut) {
  EXPECT_EQ(MailboxHeaderLines("To:", "Martin, Ann \"Nan\"", "ann@example.org"),
            std::vector<std::string>{"To: \"Martin, Ann \\\"Nan\\\"\" <ann@example.org>"});
  EXPECT_EQ(MailboxHeaderLines("To:", "", "ann@example.org"),
            std::vector<std::string>{"To: <ann@example.org>"});
  // A line break in a field value cannot start a header of its own.
  EXPECT_EQ(MailboxHeaderLines("To:", "Ann\r\nBcc: x@example.net", "ann@example.org"),
            std::vector<std::string>{"To: \"Ann  Bcc: x@example.net\" <ann@example.org>"});
  const auto encoded = MailboxHeaderLines(
      "To:", std::string(30, 'x') + " Zo\xC3\xAB " + std::string(40, 'y'), "zoe@example.org");
  ASSERT_GE(encoded.size(), 2u);
  EXPECT_EQ(encoded[0].rfind("To: =?UTF-8?B?", 0), 0u);
  EXPECT_EQ(encoded.back().substr(encoded.back().size() - 18), " <zoe@example.org>");
  for (const std::string& line : encoded) EXPECT_LE(line.size(), 78u) << line;
}

TEST(BulkHeaders, OnlyMailtoAddressesAndHttpsUrlsAreUnsubscribeTargets) {
  for (const std::string good :
       {"mailto:leave@example.com", "MAILTO:leave@example.com?subject=stop", "https://example.com",
        "HTTPS://example.com/u?e={EMAIL}", "https://h/p#f"})
    EXPECT_TRUE(IsListUnsubscribeTarget(good)) << good;
  for (const std::string bad :
       {"", "leave@example.com", "mailto:", "mailto:leave", "mailto:@example.com", "mailto:a@b c",
        "http://example.com/u", "https://", "https:///path", "https://example.com/a b",
        "https://example.com/<x>", "https://example.com/\"x\"", "ftp://example.com",
        "https://example.com/\tx"})
    EXPECT_FALSE(IsListUnsubscribeTarget(bad)) << bad;
  EXPECT_FALSE(IsListUnsubscribeTarget("https://example.com/" + std::string(900, 'a')));
  EXPECT_TRUE(IsOneClickUnsubscribe("Https://example.com"));
  EXPECT_FALSE(IsOneClickUnsubscribe("mailto:a@example.com"));
}

TEST(BulkHeaders, AnUnsubscribeUrlAlwaysEndsWhereItShould) {
  // A filled-in value that slipped past encoding still cannot break out of the brackets.
  EXPECT_EQ(ListUnsubscribeLines("https://e.com/u?n=a b>\r\nBcc:x\xC3\xA9")[0],
            "List-Unsubscribe: <https://e.com/u?n=a%20b%3E%0D%0ABcc:x%C3%A9>");
  // Long: on a continuation line of its own; very long: cut into folded pieces.
  const std::string longUrl = "https://example.com/" + std::string(100, 'a');
  EXPECT_EQ(ListUnsubscribeLines(longUrl),
            (std::vector<std::string>{"List-Unsubscribe:", " <" + longUrl + ">",
                                      "List-Unsubscribe-Post: List-Unsubscribe=One-Click"}));
  const std::string hugeUrl = "mailto:a@example.com?body=" + std::string(2000, 'b');
  const auto lines = ListUnsubscribeLines(hugeUrl);
  std::string joined;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 78u);
    EXPECT_EQ(lines[i][0], ' ');
    joined += lines[i].substr(1);
  }
  EXPECT_EQ(joined, "<" + hugeUrl + ">");
}

// Python's email package (as a mail program) reads a personal message with every new header.
TEST(BulkHeaders, PythonsEmailPackageReadsTheHeadersBack) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  MessageInput in = Personal();
  in.To = "Zo\xC3\xAB \"Z\" M\xC3\xBCller";
  in.ToAddress = "zoe@example.org";
  in.ReplyTo = "office@example.com";
  in.ListUnsubscribe = "https://example.com/unsubscribe?e=zoe%40example.org";
  std::vector<std::string> lines = BuildMessage(in, kBoundary);
  const auto closing = ClosingLines(kBoundary);
  lines.insert(lines.end(), closing.begin(), closing.end() - 1);  // no end-of-data "."

  const auto dir =
      std::filesystem::temp_directory_path() / ("tavrin-headers-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "message.eml";
  {
    std::ofstream out(file, std::ios::binary);
    for (const std::string& line : lines) out << line << "\r\n";
  }
  const std::string script =
      "import email, email.policy, sys\n"
      "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)\n"
      "a = m['To'].addresses[0]\n"
      "print(a.display_name, a.addr_spec, sep='|')\n"
      "print(m['Reply-To'].addresses[0].addr_spec)\n"
      "print(m['List-Unsubscribe'])\n"
      "print(m['List-Unsubscribe-Post'])\n"
      "print(len(m.defects), m.get_body().get_content().strip())\n";
  std::ofstream(dir / "read.py") << script;
  const std::string command =
      "/usr/bin/python3 " + (dir / "read.py").string() + " " + file.string() + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  std::string output;
  char chunk[512];
  while (const std::size_t n = fread(chunk, 1, sizeof chunk, pipe.get())) output.append(chunk, n);
  pipe.reset();
  std::filesystem::remove_all(dir);
  EXPECT_EQ(output,
            "Zo\xC3\xAB \"Z\" M\xC3\xBCller|zoe@example.org\n"
            "office@example.com\n"
            "<https://example.com/unsubscribe?e=zoe%40example.org>\n"
            "List-Unsubscribe=One-Click\n"
            "0 Dear Ann,\n");
}

}  // namespace
}  // namespace tavrin::app
