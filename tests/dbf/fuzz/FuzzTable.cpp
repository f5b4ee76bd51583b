// Fuzz target: arbitrary bytes opened as a table and its memo file.
//
// The input is split at the first occurrence of the marker "\n--DBT--\n": what comes before is
// the table file, what follows the memo file (no marker: the whole input is the table and the
// memo file is empty). The target opens the table shared, scans every record with GoTop/SKIP,
// reads every field and every memo, then walks backwards and jumps with GO; then it does the same
// with the table opened exclusively (where the header's record count is believed), packs it and
// scans what is left. Engine failures are expected and caught; crashes, sanitizer reports and
// hangs are the faults. One thread.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "dbf/Engine.h"
#include "dbf/Memo.h"

namespace {

constexpr std::string_view kMemoMarker = "\n--DBT--\n";
// Bounds the work per input; a table file of the fuzzer's sizes has far fewer records.
constexpr int kMaxSteps = 20000;

// A private folder for the two files, removed when the process ends.
class WorkFolder {
 public:
  WorkFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "dbf-fuzz-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    path_ = templ;
  }
  ~WorkFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

const std::filesystem::path& WorkDir() {
  static const WorkFolder folder;
  return folder.path();
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void ReadRecordFields() {
  namespace dbf = tavrin::dbf;
  for (int n = 0; n <= dbf::FieldCount() + 1; ++n) {
    try {
      (void)dbf::FieldText(n);
      (void)dbf::Peek(n, dbf::RecNo());
      if (dbf::FieldType(n) == 'M') (void)dbf::ReadMemo(n);
    } catch (const dbf::EDbfError&) {
    }
  }
}

void Scan() {
  namespace dbf = tavrin::dbf;
  int steps = 0;
  try {
    for (dbf::GoTop(); !dbf::dEOF() && steps < kMaxSteps; dbf::SKIP(1), ++steps) ReadRecordFields();
  } catch (const dbf::EDbfError&) {
  }
  try {
    dbf::GoBottom();
    for (; !dbf::dBOF() && steps < kMaxSteps; dbf::SKIP(-1), ++steps) ReadRecordFields();
    const std::int32_t count = dbf::RecCount();
    for (std::int32_t r : {count, count + 1, std::int32_t{0}, std::int32_t{1}}) {
      try {
        dbf::GO(r);
        ReadRecordFields();
      } catch (const dbf::EDbfError&) {
      }
    }
  } catch (const dbf::EDbfError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace dbf = tavrin::dbf;
  static const bool once = [] {
    dbf::SetRaise(true);
    dbf::SetHaltHook([](int, const std::string&) { std::abort(); });
    return true;
  }();
  (void)once;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t marker = input.find(kMemoMarker);
  const std::string_view table = input.substr(0, marker);
  const std::string_view memo = marker == std::string_view::npos
                                    ? std::string_view()
                                    : input.substr(marker + kMemoMarker.size());
  WriteFile(WorkDir() / "fuzz.dbf", table);
  WriteFile(WorkDir() / "fuzz.dbt", memo);

  const std::string path = (WorkDir() / "fuzz.dbf").string();
  dbf::Select(1);
  try {
    dbf::USE(path);
    Scan();
  } catch (const dbf::EDbfError&) {
  }
  try {
    dbf::USE(path + " EXCLUSIVE");
    Scan();
    dbf::Pack();
    Scan();
  } catch (const dbf::EDbfError&) {
  }
  try {
    dbf::Shutdown();
  } catch (const dbf::EDbfError&) {
  }
  dbf::ResetErrorState();
  dbf::SetRaise(true);
  dbf::SetHaltHook([](int, const std::string&) { std::abort(); });
  return 0;
}
