// Runs dbftool as a separate process for the tool tests and captures what it prints.
// Each ToolDir owns a fresh temporary folder, removed with it. Test thread only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavrin::tools::test {

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

class ToolDir {
 public:
  ToolDir();
  ~ToolDir();
  ToolDir(const ToolDir&) = delete;
  ToolDir& operator=(const ToolDir&) = delete;

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // Writes `content` to the file `name` in the folder and returns its path.
  std::string WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const;

  // Runs dbftool with `args` (the working directory is the folder). `stdoutTo` sends its output
  // to that file instead of capturing it; `prefix` runs it through another program (setpriv ...).
  ToolResult Run(const std::vector<std::string>& args, const std::string& stdoutTo = "",
                 const std::vector<std::string>& prefix = {}) const;

 private:
  std::filesystem::path dir_;
};

}  // namespace tavrin::tools::test
