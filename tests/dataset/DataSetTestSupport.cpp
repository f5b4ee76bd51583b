#include "DataSetTestSupport.h"

#include <cstdlib>
#include <filesystem>

#include "dbf/Engine.h"
#include "dbf/File.h"

namespace tavrin::dataset::test {

void DataSetTest::SetUp() {
  char tmpl[] = "/tmp/tavrin_ds_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  dbf::Shutdown();
  dbf::ResetErrorState();
  dbf::Settings() = dbf::EngineSettings{};
  dbf::SetDateFormat(0);
  dbf::SetCentury(false);
  dbf::SetPivotYear(1956);
  dbf::SetHaltHook([](int code, const std::string& text) {
    ADD_FAILURE() << "the engine halted the program: " << code << " " << text;
  });
}

void DataSetTest::TearDown() {
  dbf::SetStopOnError(false);
  dbf::Shutdown();
  dbf::SetHaltHook({});
  dbf::ResetErrorState();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string DataSetTest::MakeTable(const std::vector<std::pair<std::string, std::string>>& rows,
                                   const std::vector<int>& marked, const std::string& name) {
  const std::string path = Path(name);
  dbf::CreateDbf(path, {{"NAME", 'C', 10, 0}, {"EMAIL", 'C', 20, 0}});
  const int area = dbf::CurrentArea();
  dbf::Select(0);
  dbf::UseFile(path, {true, ""});
  for (const auto& [n, e] : rows) {
    dbf::ClearRecord();
    dbf::SetString(1, n);
    dbf::SetString(2, e);
    dbf::Append();
  }
  for (int r : marked) {
    dbf::GO(r);
    dbf::DeleteRec();
  }
  dbf::USE("");
  dbf::Select(area);
  return path;
}

std::string DataSetTest::RawField(const std::string& path, int field, int record) {
  const int area = dbf::CurrentArea();
  dbf::Select(0);
  dbf::UseFile(path, {false, "PEEKER"});
  const std::string bytes = dbf::Peek(field, record);
  dbf::USE("");
  dbf::Select(area);
  return bytes;
}

void DataSetTest::OpenOn(TXbDbf& table, const std::string& path, bool hideDeleted) {
  table.SetDialogs(&dialogs_);
  table.SetHideDeletedRecs(hideDeleted);
  table.SetDbfFileName(path);
  table.Open();
}

}  // namespace tavrin::dataset::test
