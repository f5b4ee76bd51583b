#include "tools/ToolSession.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dbf/Engine.h"
#include "dbf/Errors.h"
#include "platform/TextPage.h"

namespace tavrin::tools {
namespace fs = std::filesystem;

void Write(const std::string& s) {
  if (std::fwrite(s.data(), 1, s.size(), stdout) != s.size()) {
    throw ToolError(std::string("cannot write the output: ") + std::strerror(errno));
  }
}

void FlushOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    throw ToolError(std::string("cannot write the output: ") + std::strerror(errno));
  }
}

EngineSession::EngineSession() {
  dbf::SetRaise(true);
  dbf::SetHaltHook([](int, const std::string& text) {
    std::fprintf(stderr, "dbftool: %s\n", text.c_str());
    std::exit(1);
  });
  dbf::SetDateFormat(0);
  dbf::SetCentury(true);
  dbf::Settings().noTranslation = true;  // the tool converts between the code page and UTF-8
}

EngineSession::~EngineSession() {
  try {
    dbf::Shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dbftool: %s\n", e.what());
  }
}

bool WithWait(const Options& o, const std::function<bool()>& attempt) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(o.waitSeconds * 1000));
  for (;;) {
    if (attempt()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

namespace {

bool ExistsAnyCase(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir.empty() ? fs::path(".") : dir, ec)) {
    std::string a = e.path().filename().string(), b = name;
    for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : b) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (a == b) return true;
  }
  return false;
}

// Plain words for the open failures a user can do something about; nothing for the others.
std::string OpenProblem(const std::string& path, int code, Access access) {
  const fs::path p(path);
  if (code == dbf::err::kSharingViolation) {
    return access == Access::Exclusive
               ? path +
                     " is open in another program; it must be closed there first (or use --wait "
                     "SECONDS)"
               : path +
                     " is being packed or is held exclusively by another program; try again later "
                     "(or use --wait SECONDS)";
  }
  if (code == dbf::err::kFileNotFound && fs::exists(p) && !fs::is_directory(p)) {
    const std::string stem = p.has_extension() ? p.stem().string() : p.filename().string();
    if (!ExistsAnyCase(p.parent_path(), stem + ".dbt")) {
      return "the memo file " + (p.parent_path() / (stem + ".dbt")).string() + " of " + path +
             " is missing";
    }
  }
  return {};
}

}  // namespace

void OpenTable(const Options& o, Access access) {
  const std::string& path = o.args.at(0);
  std::error_code ec;
  if (fs::is_directory(path, ec) && !fs::exists(path + ".dbf") && !fs::exists(path + ".DBF")) {
    throw ToolError(path + " is a folder, not a table");
  }
  dbf::Select(1);
  dbf::OpenOptions options;
  options.exclusive = access == Access::Exclusive;
  dbf::Settings().openOverride =
      access == Access::Read ? dbf::OpenOverride::ReadOnly : dbf::OpenOverride::None;
  int code = 0;
  std::string message;
  const bool opened = WithWait(o, [&] {
    try {
      dbf::UseFile(path, options);
      return true;
    } catch (const dbf::EDbfError& e) {
      code = dbf::ErrorCode();
      message = e.what();
      return code !=
             dbf::err::kSharingViolation;  // only another program's hold is worth waiting for
    }
  });
  if (opened && dbf::IsOpen()) return;
  const std::string plain = OpenProblem(path, code, access);
  if (!plain.empty()) throw ToolError(plain);
  throw dbf::EDbfError(message);
}

HeaderFacts ReadHeaderFacts() {
  std::ifstream in(dbf::DbfName(), std::ios::binary);
  unsigned char b[32] = {};
  if (!in.read(reinterpret_cast<char*>(b), 12))
    throw ToolError("cannot read the header of " + dbf::DbfName());
  in.read(reinterpret_cast<char*>(b) + 12, 20);
  HeaderFacts f;
  f.version = b[0];
  const bool old = (b[0] & 7) == 2;
  f.headerLength = old ? 521 : b[8] | (b[9] << 8);
  f.language = old ? 0 : b[29];
  return f;
}

CodePage TablePage(const Options& o) { return o.ansi ? CodePage::Ansi1252 : dbf::TableTextPage(); }

unsigned char LanguageByte(const Options& o) {
  const int number = o.codepage != 0 ? o.codepage : (o.ansi ? 1252 : 437);
  return platform::LanguageDriverOf(
      platform::PageFromNumber(number).value_or(platform::TextPage::Oem437));
}

int TablePageNumber(const Options& o) { return platform::PageNumber(TablePage(o)); }

}  // namespace tavrin::tools
