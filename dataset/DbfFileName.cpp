#include "dataset/DbfFileName.h"

namespace tavrin::dataset {
namespace {

std::string TrimBlanks(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string TrimRightBlanks(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

std::string NormalizeDbfFileName(const std::string& name) {
  std::string text = TrimBlanks(name);
  if (text.empty() || text.back() == '.') return text;

  const auto slash = text.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
  const std::string file = text.substr(dir.size());
  const auto dot = file.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot + 1 < file.size();
  if (hasExtension) return text;
  return dir + TrimRightBlanks(file) + ".DBF";
}

}  // namespace tavrin::dataset
