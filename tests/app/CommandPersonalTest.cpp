// tavrin-send with a message file that holds placeholders: sent personalised, checked against the
// table before anything connects, and a dry run that gives each record the verdict the send
// would reach (to be sent, a duplicate, unsubscribed, an invalid address).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "program/SendCommand.h"

namespace tavrin::app::testing {
namespace {

std::string MessageFile(const std::string& to, const std::string& subject,
                        const std::string& body) {
  return "From: Someone <someone@example.com>\r\nTo: " + to + ":;\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body + "\r\n";
}

class CommandPersonal : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("tavrin-cmd-personal-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "home");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string Path(const char* name) const { return (root_ / name).string(); }
  void Write(const char* name, const std::string& text) {
    std::ofstream(root_ / name, std::ios::binary) << text;
  }
  // NAME, EMAIL and a logical OPTOUT, with the rows of `csv`.
  void MakeTable(const std::string& csv) {
    Write("people.csv", "NAME,EMAIL,OPTOUT\n" + csv);
    const std::string tool = TAVRIN_DBFTOOL, table = Path("people.dbf");
    std::filesystem::remove(table);
    ASSERT_EQ(
        std::system((tool + " create " + table + " NAME,C,40 EMAIL,C,60 OPTOUT,L >/dev/null && " +
                     tool + " import " + table + " " + Path("people.csv") + " >/dev/null")
                        .c_str()),
        0);
  }
  void Settings(const std::string& more = "") {
    Write("Tavrin.ini",
          "[Options]\nServerName=127.0.0.1\nServerPort=25\nReturnEmail="
          "sender@example.com\nDir=" +
              root_.string() + "\nTableName=people.dbf\n" + more);
  }
  // Runs a dry run of the message file; keeps what it printed.
  int DryRun() {
    SendCommandLine line;
    line.settingsFile = Path("Tavrin.ini");
    line.dryRun = true;
    line.message = Path("news.eml");
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status =
        RunSendCommand(line, {Path("Tavrin.ini"), Path("home"), root_.string()}, nullptr, out, err);
    out_ = Read(out);
    err_ = Read(err);
    return status;
  }
  static std::string Read(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
      text.append(buffer, n);
    std::fclose(file);
    return text;
  }
  // The dry run's line for the recipient named `name`.
  std::string LineOf(const std::string& name) const {
    std::istringstream in(out_);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(name + " ", 0) == 0) return line;
    return {};
  }

  std::filesystem::path root_;
  std::string out_, err_;
};

TEST_F(CommandPersonal, ADryRunGivesEachRecordItsVerdict) {
  MakeTable(
      "Ann,ann@example.org,F\nBob,bob@example.org,T\nAnn again,ann@EXAMPLE.ORG,F\n"
      "Cy,not an address,F\nDi,di@example.org,\n");
  Settings("OptOutField=OPTOUT\n");
  Write("news.eml", MessageFile("{NAME}", "Hello {NAME}", "Dear {NAME}, your address is {EMAIL}."));
  EXPECT_EQ(DryRun(), 1) << err_;  // the invalid address makes it a partial run
  EXPECT_NE(out_.find("Subject: Hello {NAME}\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Sent as: one message per recipient"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Would be sent to 2 of 5 recipients:"), std::string::npos) << out_;
  EXPECT_NE(LineOf("Ann").find("  to be sent"), std::string::npos) << out_;
  EXPECT_NE(LineOf("Bob").find("  not sent: Unsubscribed"), std::string::npos) << out_;
  EXPECT_NE(LineOf("Ann again").find("  not sent: Duplicate of record 1"), std::string::npos)
      << out_;
  EXPECT_NE(LineOf("Cy").find("  not sent: Invalid address"), std::string::npos) << out_;
  EXPECT_NE(LineOf("Di").find("  to be sent"), std::string::npos) << out_;

  // Without an invalid address, the skipped records leave a run whole.
  MakeTable("Ann,ann@example.org,F\nBob,bob@example.org,T\nAnn again,ann@example.org,F\n");
  EXPECT_EQ(DryRun(), 0) << err_;
}

TEST_F(CommandPersonal, WhatTheTableCannotFillOrTheSettingsCannotGiveIsRefusedFirst) {
  MakeTable("Ann,ann@example.org,F\n");
  Settings();
  Write("news.eml", MessageFile("Members", "Hello {CITY}", "Hi"));
  EXPECT_EQ(DryRun(), 2);
  EXPECT_EQ(err_,
            "tavrin-send: The message uses {CITY}, but the recipients table has no field CITY.\n");
  EXPECT_EQ(out_, "");

  Write("news.eml", MessageFile("Members", "News", "Hi"));
  Settings("OptOutField=NAME\n");
  EXPECT_EQ(DryRun(), 2);
  EXPECT_NE(err_.find("is not a logical field"), std::string::npos) << err_;
}

TEST_F(CommandPersonal, APlainFileIsSharedUnlessTheUnsubscribeLinkIsPersonal) {
  MakeTable("Ann,ann@example.org,F\n");
  Write("news.eml", MessageFile("Members", "News {{not a field}}", "Hi"));
  Settings("ListUnsubscribe=mailto:leave@example.com\n");
  EXPECT_EQ(DryRun(), 0) << err_;
  EXPECT_EQ(out_.find("Sent as:"), std::string::npos) << out_;
  Settings("ListUnsubscribe=https://example.org/u?e={EMAIL}\n");
  EXPECT_EQ(DryRun(), 0) << err_;
  EXPECT_NE(out_.find("Sent as: one message per recipient"), std::string::npos) << out_;
}

}  // namespace
}  // namespace tavrin::app::testing
