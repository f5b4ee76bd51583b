#include "platform/ProfileFile.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/CodePage.h"

namespace tavrin::platform {
namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) { return AnsiUpper(a) == AnsiUpper(b); }

struct Lines {
  std::vector<std::string> text;
  std::string eol = "\n";
};

Lines ReadLines(const std::string& path) {
  Lines lines;
  std::ifstream in(path, std::ios::binary);
  if (!in) return lines;
  std::string line;
  bool sawCr = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      sawCr = true;
    }
    lines.text.push_back(line);
  }
  if (sawCr) lines.eol = "\r\n";
  return lines;
}

// "[name]" -> name; nullopt for any other line.
std::optional<std::string> SectionName(const std::string& line) {
  const std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  const auto close = t.find(']');
  if (close == std::string::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

// "key = value" -> key; nullopt for comments and lines without '='.
std::optional<std::string> KeyName(const std::string& line) {
  const std::string t = Trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return std::nullopt;
  const auto eq = t.find('=');
  if (eq == std::string::npos) return std::nullopt;
  return Trim(t.substr(0, eq));
}

// Index range [begin, end) of the lines that belong to `section` (after its header), if present.
std::optional<std::pair<std::size_t, std::size_t>> FindSection(const Lines& lines,
                                                               const std::string& section) {
  for (std::size_t i = 0; i < lines.text.size(); ++i) {
    const auto name = SectionName(lines.text[i]);
    if (!name || !SameName(*name, section)) continue;
    std::size_t end = i + 1;
    while (end < lines.text.size() && !SectionName(lines.text[end])) ++end;
    return std::make_pair(i + 1, end);
  }
  return std::nullopt;
}

std::optional<std::size_t> FindKey(const Lines& lines, std::size_t begin, std::size_t end,
                                   const std::string& key) {
  for (std::size_t i = begin; i < end; ++i) {
    const auto name = KeyName(lines.text[i]);
    if (name && SameName(*name, key)) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string ProfileFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue) const {
  const Lines lines = ReadLines(path_);
  const auto range = FindSection(lines, section);
  if (!range) return defaultValue;
  const auto at = FindKey(lines, range->first, range->second, key);
  if (!at) return defaultValue;
  const std::string& line = lines.text[*at];
  return Trim(line.substr(line.find('=') + 1));
}

bool ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
  Lines lines = ReadLines(path_);
  const std::string entry = key + "=" + value;
  if (const auto range = FindSection(lines, section)) {
    if (const auto at = FindKey(lines, range->first, range->second, key)) {
      lines.text[*at] = entry;
    } else {
      // New keys go after the section's last non-blank line, ahead of the blank lines that
      // separate it from the next section.
      std::size_t insertAt = range->second;
      while (insertAt > range->first && Trim(lines.text[insertAt - 1]).empty()) --insertAt;
      lines.text.insert(lines.text.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    }
  } else {
    lines.text.push_back("[" + section + "]");
    lines.text.push_back(entry);
  }

  // Write a sibling file and rename it over the old one, so a failed write never leaves half a file.
  const std::string temp = path_ + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const auto& line : lines.text) out << line << lines.eol;
    out.flush();
    if (!out) {
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path_.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace tavrin::platform
