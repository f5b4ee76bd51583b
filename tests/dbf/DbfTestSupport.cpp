#include "DbfTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "dbf/File.h"

namespace tavrin::dbf::test {

void DbfTest::SetUp() {
  char tmpl[] = "/tmp/tavrin_dbf_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  Shutdown();
  ResetErrorState();
  SetRaise(true);
  Settings() = EngineSettings{};
  SetDateFormat(0);
  SetCentury(false);
  SetPivotYear(1956);
  SetFileFaultHook({});
  SetClockHook([] { return LocalDate{2026, 12, 7}; });
}

void DbfTest::TearDown() {
  SetFileFaultHook({});
  SetRaise(false);
  SetStopOnError(false);
  Shutdown();
  ResetErrorState();
  SetClockHook({});
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<std::uint8_t> DbfTest::ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void DbfTest::WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string DbfTest::MakePeople(int n, const std::string& name) {
  const std::string path = Path(name);
  CreateDbf(path,
            {{"NAME", 'C', 10, 0}, {"AGE", 'N', 3, 0}, {"BORN", 'D', 8, 0}, {"OK", 'L', 1, 0}});
  Select(0);
  OpenOptions exclusive;
  exclusive.exclusive = true;
  UseFile(path, exclusive);
  for (int i = 1; i <= n; ++i) {
    ClearRecord();
    SetString(1, std::string("P").append(std::to_string(i)));
    SetInteger(2, i);
    SetString(3, "01/31/26");
    SetLogical(4, i % 2 == 1);
    Append();
  }
  USE("");
  return path;
}

}  // namespace tavrin::dbf::test
