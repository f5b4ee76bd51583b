// ProfileFile: named-key access to one INI settings file.
//
// Sections and keys match without regard to case; values are trimmed of blanks and tabs; nothing is
// escaped or unquoted. Writing a key keeps every other line, comment and the order of the file, and
// creates the file, the section or the key when missing. The file is read anew for every call, so
// hand edits made while the program runs are seen. Not thread-safe; one user at a time.
#pragma once

#include <string>

namespace tavrin::platform {

class ProfileFile {
 public:
  explicit ProfileFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The value of `key` in `section`, or `defaultValue` when the file, section or key is missing.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;

  // Sets `key` in `section` to `value`. Returns false (file unchanged) when the file can't be written.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);

 private:
  std::string path_;
};

}  // namespace tavrin::platform
