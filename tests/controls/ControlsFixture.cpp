#include "ControlsFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "dbf/Engine.h"

namespace tavrin::controls::test {

void ControlsTest::SetUp() {
  char tmpl[] = "/tmp/tavrin_ctl_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  dbf::Shutdown();
  dbf::ResetErrorState();
  dbf::Settings() = dbf::EngineSettings{};
  dbf::SetDateFormat(0);
  dbf::SetCentury(false);
  dbf::SetHaltHook([](int code, const std::string& text) {
    ADD_FAILURE() << "the engine halted the program: " << code << " " << text;
  });
  table_.SetDialogs(&dialogs_);
}

void ControlsTest::TearDown() {
  table_.Close();
  dbf::Shutdown();
  dbf::SetHaltHook({});
  dbf::ResetErrorState();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string ControlsTest::MakeTable(const std::vector<Person>& people,
                                    const std::vector<int>& marked) {
  const std::string path = dir_ + "/people.dbf";
  dbf::CreateDbf(path, {{"NAME", 'C', 10, 0}, {"EMAIL", 'C', 20, 0}, {"ACTIVE", 'L', 1, 0}});
  const int area = dbf::CurrentArea();
  dbf::Select(0);
  dbf::USE(path + " EXCLUSIVE");
  for (const Person& p : people) {
    dbf::ClearRecord();
    dbf::SetString(1, p.name);
    dbf::SetString(2, p.email);
    dbf::SetLogical(3, p.active);
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

std::string ControlsTest::MakeNumbered(int count) {
  std::vector<Person> people;
  for (int i = 1; i <= count; ++i) {
    std::string name = "N";
    name += std::to_string(i);  // (appending sidesteps a false -Wrestrict of g++ 12 on "N" + ...)
    people.push_back({name, "n@x", false});
  }
  return MakeTable(people);
}

void ControlsTest::Open(const std::string& path, bool hideDeleted) {
  path_ = path;
  table_.SetHideDeletedRecs(hideDeleted);
  table_.SetDbfFileName(path);
  table_.Open();
}

std::string ControlsTest::Raw(int field, int record) {
  const int area = dbf::CurrentArea();
  dbf::Select(0);
  dbf::USE(path_ + " ALIAS PEEKER");
  const std::string bytes = dbf::Peek(field, record);
  dbf::USE("");
  dbf::Select(area);
  return bytes;
}

bool InOtherProcess(const std::string& path, const std::function<void()>& work) {
  const pid_t pid = fork();
  if (pid == 0) {
    dbf::SetStopOnError(false);
    dbf::Select(0);
    dbf::USE(path + " ALIAS OTHER");
    work();
    dbf::USE("");
    _exit(dbf::LastReportedCode() == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tavrin::controls::test
