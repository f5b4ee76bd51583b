// A program started against a settings file and a table folder in a fresh temporary folder, with
// recording dialogs, a recording secret store and a counted "terminate".
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "program/AppServices.h"
#include "windows/BrowserWindow.h"
#include "windows/ConfigDialog.h"
#include "windows/MainWindow.h"
#include "windows/Program.h"
#include "platform/RecordingDialogs.h"
#include "platform/RecordingSecretStore.h"

namespace tavrin::app::testing {

class AppFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("tavrin-app-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "home" / "Tavrin");
    services_ = std::make_unique<AppServices>(AppServices{
        dialogs_,
        {(root_ / "Tavrin.ini").string(), (root_ / "home").string(), (root_ / "tmp").string()},
        [this] { ++terminateCalls_; }});
    services_->secrets = &secrets_;
    AppSettings() = Settings{};
  }

  void TearDown() override {
    program_.reset();
    AppSettings() = Settings{};
    std::filesystem::remove_all(root_);
  }

  std::string Root() const { return root_.string(); }
  std::string IniPath() const { return (root_ / "Tavrin.ini").string(); }

  void WriteIni(const std::string& text) { std::ofstream(IniPath(), std::ios::binary) << text; }
  std::string ReadIni() const {
    std::ifstream in(IniPath(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Puts an (empty) recipients table where the default settings look for it.
  void CreateDefaultTable() {
    std::ofstream(root_ / "home" / "Tavrin" / "tavrin.dbf", std::ios::binary) << "";
  }

  void StartProgram() {
    program_ = std::make_unique<TProgram>(*services_);
    program_->Start();
  }
  // A recipients table of NAME and EMAIL holding the `csv` rows where the settings look for it
  // (made by dbftool, as a user would), and the program started on it with its window active.
  void StartOnTable(const std::string& csv, const std::string& ini = "[Options]\n") {
    WriteIni(ini);
    std::ofstream(root_ / "people.csv", std::ios::binary) << "NAME,EMAIL\n" << csv;
    const std::string tool = TAVRIN_DBFTOOL, table = Root() + "/home/Tavrin/tavrin.dbf";
    ASSERT_EQ(std::system((tool + " create " + table + " NAME,C,40 EMAIL,C,60 >/dev/null && " +
                           tool + " import " + table + " " + Root() + "/people.csv >/dev/null")
                              .c_str()),
              0);
    std::filesystem::create_directories(root_ / "tmp");
    StartProgram();
    Main().show();
    QApplication::setActiveWindow(&Main());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
  }
  TfrmEmailMerge& Main() { return *program_->frmEmailMerge(); }
  TfrmConfiguration& Config() { return *program_->frmConfiguration(); }

  // Runs `action` on the configuration dialog as soon as it is up as a modal window.
  void WhenConfigShows(std::function<void(TfrmConfiguration&)> action) {
    QTimer::singleShot(0, [this, action] { action(Config()); });
  }

  std::filesystem::path root_;
  platform::RecordingDialogs dialogs_;
  platform::RecordingSecretStore secrets_;
  std::unique_ptr<AppServices> services_;
  std::unique_ptr<TProgram> program_;
  int terminateCalls_ = 0;
};

}  // namespace tavrin::app::testing
