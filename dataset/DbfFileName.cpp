#include "dataset/DbfFileName.h"

#include "platform/Trim.h"

namespace tavrin::dataset {

std::string NormalizeDbfFileName(const std::string& name) {
  std::string text(platform::Trim(name, " "));
  if (text.empty() || text.back() == '.') return text;

  const auto slash = text.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
  const std::string file = text.substr(dir.size());
  const auto dot = file.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot + 1 < file.size();
  if (hasExtension) return text;
  return dir + std::string(platform::TrimRight(file, " ")) + ".DBF";
}

}  // namespace tavrin::dataset
