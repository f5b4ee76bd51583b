// Shared fixture for the dataset tests: a fresh temporary folder, the engine at its start-up
// settings with its normal failure handling (a halt fails the test: the dataset must never let the
// engine end the program), dialogs that record, and helpers that build and inspect tables.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dataset/XbDbf.h"
#include "platform/RecordingDialogs.h"

namespace tavrin::dataset::test {

class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // A table with NAME C10, EMAIL C20 and the records given as {name, email}; records listed in
  // `marked` (1-based) carry the deletion mark.
  std::string MakeTable(const std::vector<std::pair<std::string, std::string>>& rows,
                        const std::vector<int>& marked = {}, const std::string& name = "list.dbf");
  // The raw bytes of field `field` (0 = flag) of `record`, read straight from the file.
  std::string RawField(const std::string& path, int field, int record);
  // A dataset on `path` with the recording dialogs, opened.
  void OpenOn(TXbDbf& table, const std::string& path, bool hideDeleted = false);

  std::string dir_;
  platform::RecordingDialogs dialogs_;
};

}  // namespace tavrin::dataset::test
