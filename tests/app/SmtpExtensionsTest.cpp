// The extension list read from a reply to "EHLO".
#include "send/SmtpExtensions.h"

#include <gtest/gtest.h>

namespace tavrin::app {
namespace {

TEST(SmtpExtensions, ReadsKeywordsAndParametersButNotTheServersName) {
  TSmtpExtensions ext;
  ext.Clear();
  for (const char* line : {"250-PIPELINING mail.example.com\r\n", "250-size 35882577\r\n",
                           "250-AUTH=LOGIN\r\n", "250-AUTH PLAIN login\r\n", "250 STARTTLS\r\n"})
    ext.AddReplyLine(line);
  EXPECT_FALSE(ext.Has("PIPELINING"));  // the first line is the server's name
  EXPECT_TRUE(ext.Has("starttls"));
  EXPECT_EQ(ext.SizeLimit(), 35882577u);
  EXPECT_TRUE(ext.OffersAuth("plain"));
  EXPECT_TRUE(ext.OffersAuth("LOGIN"));
  EXPECT_EQ(ext.Parameters("AUTH").size(), 2u);  // LOGIN listed twice counts once
  ext.Clear();
  EXPECT_TRUE(ext.Empty());
  EXPECT_FALSE(ext.Has("STARTTLS"));
}

TEST(SmtpExtensions, SizeWithoutAUsableNumberSetsNoLimit) {
  for (const char* line : {"250 SIZE\r\n", "250 SIZE 0\r\n", "250 SIZE 12x\r\n",
                           "250 SIZE 99999999999999999999999\r\n"}) {
    TSmtpExtensions ext;
    ext.AddReplyLine("250-mail.example.com\r\n");
    ext.AddReplyLine(line);
    EXPECT_TRUE(ext.Has("SIZE")) << line;
    EXPECT_FALSE(ext.SizeLimit()) << line;
  }
}

}  // namespace
}  // namespace tavrin::app
