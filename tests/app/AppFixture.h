// A program started against a settings file and a table folder in a fresh temporary folder, with
// recording dialogs, a recording secret store and a counted "terminate".
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDialog>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/AppServices.h"
#include "app/BrowserWindow.h"
#include "app/ConfigDialog.h"
#include "app/MainWindow.h"
#include "app/Program.h"
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
