// ProfileFile: named-key access to one INI settings file.
//
// Sections and keys match without regard to case; values are trimmed of blanks and tabs; nothing is
// escaped. Lines end in LF, CR LF or CR; a write keeps every other line with its own line end, every
// comment, the order and a leading UTF-8 byte-order mark, and replaces the file at once (a sibling
// file renamed over it) through any symbolic link, keeping its permissions. It never writes a file
// it could not read or that is read-only, nor one too large to be read again. The file is read anew
// for every call, so hand edits made while the program runs are seen. Not thread-safe; one user at
// a time.
#pragma once

#include <string>
#include <vector>

namespace tavrin::platform {

struct ProfileEntry {
  std::string section;
  std::string key;
  std::string value;
};

class ProfileFile {
 public:
  explicit ProfileFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The value of `key` in `section`, or `defaultValue` when the file, section or key is missing or
  // the file cannot be read. Lines holding bytes that are no text (NUL, control bytes) are skipped;
  // every other line is read.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // The numbers (from 1) of the lines ReadString skips. A file with any is never written.
  std::vector<int> UnreadableLines() const;

  // Sets `key` in `section` to `value` (a line break in it is written as a blank). Returns false,
  // with the file unchanged and Error() saying why, when the file can't be read or written.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Sets every entry in one replacement of the file: all of them or none.
  bool WriteStrings(const std::vector<ProfileEntry>& entries);

  // Why the last write failed, as a reader would want it ("Permission denied"); empty after success.
  const std::string& Error() const { return error_; }

  // Files larger than this are not settings files; they are neither read nor written, and no write
  // makes a file this large.
  static constexpr std::size_t kMaxSize = 1 << 20;

 private:
  std::string path_;
  std::string error_;
};

}  // namespace tavrin::platform
