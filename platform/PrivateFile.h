// PrivateFile: files only their owner may read, written whole under a name no other file holds.
//
// MakePrivateFolder makes a folder (and its parents) and leaves the last one 0700. WriteNewFile
// writes a file as a temporary sibling (0600), syncs it, and renames it to its name only when no
// file of that name exists, so a file is never replaced and a kill at any moment leaves either no
// file or the whole one. Errors are returned as words, operation and object included. Not
// thread-safe; one writer per folder at a time.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tavrin::platform {

// Nothing when `dir` exists as a folder of mode 0700 (made so, or narrowed to it); else why not.
std::optional<std::string> MakePrivateFolder(const std::string& dir);

enum class NewFile {
  kWritten,  // the file is there, whole and durable
  kExists,   // a file of that name was there already: nothing written
  kFailed,   // `error` says why; nothing is left behind
};

// Writes all of `bytes` to `fd`, again after an interruption; false with errno set (EIO when the
// file took nothing) when it could not.
bool WriteAll(int fd, const std::string& bytes);

// The folder part of `path`: "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string& path);

// Writes the bytes `next` hands out, chunk by chunk until it hands out "", as the new file `path`.
NewFile WriteNewFile(const std::string& path, const std::function<std::string()>& next,
                     std::string* error);

}  // namespace tavrin::platform
