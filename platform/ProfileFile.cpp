#include "platform/ProfileFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/CodePage.h"
#include "platform/Trim.h"

namespace tavrin::platform {
namespace {

constexpr const char* kBom = "\xEF\xBB\xBF";
constexpr int kMaxLinkHops = 40;

// The one mapper from an error number to the text the user reads.
std::string Reason(int error) { return std::generic_category().message(error); }

using Problem = std::optional<std::string>;

// ---- the text of the file ----

struct Line {
  std::string text;
  std::string eol;  // as found: "\n", "\r\n", "\r", or empty on a last line without one
};

struct Content {
  std::string bom;  // a leading UTF-8 byte-order mark, written back as it was
  std::vector<Line> lines;
  std::string eol = "\n";  // for new lines: the file's first line end
};

// Blanks and tabs around a name or a value are layout; other control characters are content.
constexpr std::string_view kLayout = " \t";

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AnsiUpper(x) == AnsiUpper(y);
         });
}

// A NUL or another control byte than a tab means the line is not text (UTF-16, a file overwritten
// with binary data): reading skips such lines, and the file is never written back, where its lines
// would be corrupted.
constexpr const char* kNotText = "it is not a UTF-8 text file";
bool IsTextByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x20 ? b != 0x7F : (c == '\t' || c == '\r' || c == '\n');
}
bool IsText(std::string_view bytes) { return std::all_of(bytes.begin(), bytes.end(), IsTextByte); }

std::string_view WithoutBom(std::string_view bytes) {
  return bytes.starts_with(kBom) ? bytes.substr(3) : bytes;
}

// Calls `line(text, eol)` for each line of `bytes`, split at LF, CR LF and CR (`eol` is empty on a
// last line without one), until it answers false. Nothing is copied: a file of a million line
// ends is read as fast as one long line.
template <class LineFn>
void ForEachLine(std::string_view bytes, LineFn&& line) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", i);
    if (end == std::string_view::npos) {
      line(bytes.substr(i), std::string_view());
      return;
    }
    const bool crlf = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n';
    const std::size_t eolSize = crlf ? 2 : 1;
    if (!line(bytes.substr(i, end - i), bytes.substr(end, eolSize))) return;
    i = end + eolSize;
  }
}

// The file's lines, each with its own line end, as a write keeps them.
Problem Parse(const std::string& bytes, Content* c) {
  if (!IsText(bytes)) return kNotText;
  const std::string_view text = WithoutBom(bytes);
  c->bom = bytes.substr(0, bytes.size() - text.size());
  bool sawEol = false;
  ForEachLine(text, [&](std::string_view line, std::string_view eol) {
    if (!sawEol && !eol.empty()) {
      c->eol = eol;
      sawEol = true;
    }
    c->lines.push_back({std::string(line), std::string(eol)});
    return true;
  });
  return std::nullopt;
}

std::string Serialize(const Content& c) {
  std::string out = c.bom;
  for (std::size_t i = 0; i < c.lines.size(); ++i) {
    const Line& line = c.lines[i];
    out += line.text;
    out += line.eol.empty() && i + 1 < c.lines.size() ? c.eol : line.eol;
  }
  return out;
}

// "[name]" -> name; nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view t = Trim(line, kLayout);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  const auto close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1), kLayout);
}

// "key = value" -> key; nullopt for comments and lines without '='.
std::optional<std::string_view> KeyName(std::string_view line) {
  const std::string_view t = Trim(line, kLayout);
  if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return std::nullopt;
  const auto eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(0, eq), kLayout);
}

// Index range [begin, end) of the lines that belong to `section` (after its header), if present.
std::optional<std::pair<std::size_t, std::size_t>> FindSection(const Content& c,
                                                               const std::string& section) {
  for (std::size_t i = 0; i < c.lines.size(); ++i) {
    const auto name = SectionName(c.lines[i].text);
    if (!name || !SameName(*name, section)) continue;
    std::size_t end = i + 1;
    while (end < c.lines.size() && !SectionName(c.lines[end].text)) ++end;
    return std::make_pair(i + 1, end);
  }
  return std::nullopt;
}

std::optional<std::size_t> FindKey(const Content& c, std::size_t begin, std::size_t end,
                                   const std::string& key) {
  for (std::size_t i = begin; i < end; ++i) {
    const auto name = KeyName(c.lines[i].text);
    if (name && SameName(*name, key)) return i;
  }
  return std::nullopt;
}

// A value stays on its own line: a line break (or NUL) in it is written as a blank.
std::string OneLine(std::string value) {
  for (char& ch : value)
    if (ch == '\r' || ch == '\n' || ch == '\0') ch = ' ';
  return value;
}

void Set(Content& c, const ProfileEntry& e) {
  const Line entry{e.key + "=" + OneLine(e.value), c.eol};
  const auto range = FindSection(c, e.section);
  if (!range) {
    c.lines.push_back({"[" + e.section + "]", c.eol});
    c.lines.push_back(entry);
    return;
  }
  if (const auto at = FindKey(c, range->first, range->second, e.key)) {
    c.lines[*at].text = entry.text;
    return;
  }
  // New keys go after the section's last non-blank line, ahead of the blank lines that separate it
  // from the next section.
  std::size_t insertAt = range->second;
  while (insertAt > range->first && Trim(c.lines[insertAt - 1].text, kLayout).empty()) --insertAt;
  c.lines.insert(c.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
}

// ---- the file on disk ----

struct FileState {
  bool exists = false;
  struct stat st {};
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

std::string DirPart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a chain of symbolic links ends at (the path itself when it is no link).
Problem FollowLinks(std::string path, std::string* target) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = path;
      return std::nullopt;
    }
    std::string link(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0) return Reason(errno);
    if (static_cast<std::size_t>(n) >= link.size()) return Reason(ENAMETOOLONG);
    link.resize(static_cast<std::size_t>(n));
    path = link.front() == '/' ? link : DirPart(path) + link;
  }
  return Reason(ELOOP);
}

// Reads the whole file; a missing file reads as empty. Never blocks on a pipe or device.
Problem ReadBytes(const std::string& path, std::string* out, FileState* state) {
  out->clear();
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return errno == ENOENT ? Problem() : Reason(errno);
  if (::fstat(fd.get(), &state->st) != 0) return Reason(errno);
  if (!S_ISREG(state->st.st_mode)) return "it is not a regular file";
  state->exists = true;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Reason(errno);
    if (n == 0) return std::nullopt;
    out->append(buffer, static_cast<std::size_t>(n));
    if (out->size() > ProfileFile::kMaxSize) return "it is larger than 1 MiB";
  }
}

Problem WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Reason(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

std::string SiblingName(const std::string& target, long pid) {
  return target + "." + std::to_string(pid) + ".tmp";
}

// Removes the siblings that writers killed half-way left behind: those whose process is gone.
void RemoveStaleSiblings(const std::string& target) {
  const std::string folder = DirPart(target);
  const std::string prefix = target.substr(folder.size()) + ".";
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string pid = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid.size() > 9) continue;
    const long id = std::stol(pid);
    if (folder + name == SiblingName(target, id) && ::kill(static_cast<pid_t>(id), 0) != 0 &&
        errno == ESRCH)
      ::unlink((folder + name).c_str());
  }
  ::closedir(dir);
}

// A new sibling of `target` that nobody else can have opened; a name left by a killed writer with
// the same process id is taken over.
int CreateSibling(const std::string& target, std::string* name) {
  *name = SiblingName(target, ::getpid());
  int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST && ::unlink(name->c_str()) == 0)
    fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  return fd;
}

void SyncFolder(const std::string& folder) {
  const Fd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

// Writes `bytes` to a sibling file, makes it durable, and renames it over `target`: at every moment
// the file is either the old one or the new one, whole.
Problem ReplaceFile(const std::string& target, const std::string& bytes, const FileState& state) {
  std::string temp;
  Fd fd(CreateSibling(target, &temp));
  if (fd.get() < 0) return "its folder could not be written (" + Reason(errno) + ")";
  Problem problem;
  if (state.exists && ::fchmod(fd.get(), state.st.st_mode & 07777) != 0) problem = Reason(errno);
  if (state.exists && ::fchown(fd.get(), state.st.st_uid, state.st.st_gid) != 0) {
    // Only a privileged user may give the file back to its owner; anyone else keeps it as theirs.
  }
  if (!problem) problem = WriteAll(fd.get(), bytes);
  if (!problem && ::fsync(fd.get()) != 0) problem = Reason(errno);
  if (fd.Close() != 0 && !problem) problem = Reason(errno);
  if (!problem && ::rename(temp.c_str(), target.c_str()) != 0) problem = Reason(errno);
  if (problem) {
    ::unlink(temp.c_str());
    return problem;
  }
  SyncFolder(DirPart(target));
  RemoveStaleSiblings(target);
  return std::nullopt;
}

bool IsReadOnly(const std::string& path, const FileState& state) {
  return (state.st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

}  // namespace

std::string ProfileFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue) const {
  std::string bytes;
  FileState state;
  if (ReadBytes(path_, &bytes, &state)) return defaultValue;
  // The key's first line in the first section of the name, where a write finds it too.
  enum { kBefore, kIn, kAfter } where = kBefore;
  std::optional<std::string_view> value;
  ForEachLine(WithoutBom(bytes), [&](std::string_view line, std::string_view) {
    if (!IsText(line)) return true;  // skipped: UnreadableLines says which
    if (const auto name = SectionName(line)) {
      if (where == kIn) where = kAfter;
      if (where == kBefore && SameName(*name, section)) where = kIn;
    } else if (const auto name = KeyName(line); where == kIn && name && SameName(*name, key)) {
      value = Trim(line.substr(line.find('=') + 1), kLayout);
    }
    return where != kAfter && !value;
  });
  return value ? std::string(*value) : defaultValue;
}

std::vector<int> ProfileFile::UnreadableLines() const {
  std::string bytes;
  FileState state;
  std::vector<int> lines;
  if (ReadBytes(path_, &bytes, &state)) return lines;
  int number = 0;
  ForEachLine(WithoutBom(bytes), [&](std::string_view line, std::string_view) {
    ++number;
    if (!IsText(line)) lines.push_back(number);
    return true;
  });
  return lines;
}

bool ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
  return WriteStrings({{section, key, value}});
}

bool ProfileFile::WriteStrings(const std::vector<ProfileEntry>& entries) {
  error_.clear();
  std::string target;
  std::string bytes;
  FileState state;
  Content c;
  Problem problem = FollowLinks(path_, &target);
  if (!problem) problem = ReadBytes(target, &bytes, &state);
  if (!problem) problem = Parse(bytes, &c);
  if (problem) {
    error_ = "the file could not be read (" + *problem + ")";
    return false;
  }
  for (const auto& entry : entries) Set(c, entry);
  const std::string updated = Serialize(c);
  if (state.exists && updated == bytes) return true;  // nothing to change: the file is left alone
  // A file too large to be read would lose every setting at the next start.
  if (updated.size() > kMaxSize) problem = "the file would grow larger than 1 MiB";
  if (!problem && state.exists && IsReadOnly(target, state)) problem = "the file is read-only";
  if (!problem) problem = ReplaceFile(target, updated, state);
  if (problem) error_ = *problem;
  return !problem;
}

}  // namespace tavrin::platform
