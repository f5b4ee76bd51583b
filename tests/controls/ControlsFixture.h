// Shared fixture for the control tests: a fresh temporary folder, the engine at its start-up
// settings (a halt fails the test), recording dialogs, and a table of people with a logical field,
// opened through a data source the controls bind to.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dataset/XbDbf.h"
#include "platform/RecordingDialogs.h"

namespace tavrin::controls::test {

struct Person {
  std::string name;
  std::string email;
  bool active = false;
};

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // NAME C10, EMAIL C20, ACTIVE L; records listed in `marked` (1-based) carry the deletion mark.
  std::string MakeTable(const std::vector<Person>& people, const std::vector<int>& marked = {});
  // `count` records "N1", "N2", ... made straight in the file.
  std::string MakeNumbered(int count);
  void Open(const std::string& path, bool hideDeleted = false);
  // The stored text of `field` of `record`, read straight from the file.
  std::string Raw(int field, int record);

  std::string dir_;
  std::string path_;
  platform::RecordingDialogs dialogs_;
  dataset::TXbDbf table_{"tblDatabase"};
  dataset::TDataSource source_{&table_};
};

// Another program on the same table: a child process with its own open of the file runs `work`
// and ends; true when it ended well.
bool InOtherProcess(const std::string& path, const std::function<void()>& work);

}  // namespace tavrin::controls::test
