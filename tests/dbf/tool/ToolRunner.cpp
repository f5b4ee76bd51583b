#include "tests/dbf/tool/ToolRunner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifndef DBFTOOL_PATH
#error "DBFTOOL_PATH must name the dbftool executable"
#endif

namespace tavrin::tools::test {
namespace {

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

ToolDir::ToolDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "dbftool-test-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
}

ToolDir::~ToolDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string ToolDir::WriteFile(const std::string& name, const std::string& content) const {
  std::ofstream out(dir_ / name, std::ios::binary);
  out << content;
  return Path(name);
}

std::string ToolDir::ReadFile(const std::string& name) const {
  std::ifstream in(dir_ / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ToolResult ToolDir::Run(const std::vector<std::string>& args, const std::string& stdoutTo,
                        const std::vector<std::string>& prefix) const {
  std::string cmd = "cd " + ShellQuote(dir_.string()) + " &&";
  for (const std::string& p : prefix) cmd.append(" ").append(ShellQuote(p));
  cmd.append(" ").append(ShellQuote(DBFTOOL_PATH));
  for (const std::string& a : args) cmd.append(" ").append(ShellQuote(a));
  cmd += " >" + ShellQuote(stdoutTo.empty() ? Path(".out") : stdoutTo) + " 2>" +
         ShellQuote(Path(".err")) + " </dev/null";
  std::filesystem::remove(Path(".out"));
  const int raw = std::system(cmd.c_str());
  ToolResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = ReadFile(".out");
  r.err = ReadFile(".err");
  return r;
}

}  // namespace tavrin::tools::test
