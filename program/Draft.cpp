#include "program/Draft.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/LineEscape.h"
#include "platform/PrivateFile.h"

namespace tavrin::app {
namespace {

constexpr const char* kFirstLine = "Tavrin draft 1";
constexpr const char* kLastLine = "End";
constexpr const char* kFileName = "message.txt";
// The temporary sibling every save writes first; one name, since saves take the folder's lock.
constexpr const char* kTempName = "message.txt.new";
constexpr const char* kLockName = ".lock";
// A draft is a typed message and paths: anything near this size is not one of ours.
constexpr off_t kMostBytes = off_t{256} << 20;
constexpr int kMostSetAside = 100;

std::string Reason(int error) { return std::generic_category().message(error); }

// Closes its descriptor however the function it lives in is left.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string Escape(const std::string& value) { return platform::EscapeLine(value, false); }

std::optional<std::string> Unescape(const std::string& value) {
  return platform::UnescapeLine(value);
}

std::string Yes(bool value) { return value ? "yes" : "no"; }

// Renames a draft that cannot be read to a name of its own beside it; the name, or why not.
std::variant<std::string, int> SetAside(const std::string& path) {
  for (int n = 1; n <= kMostSetAside; ++n) {
    std::string name = path + ".broken";
    if (n > 1) name += '-' + std::to_string(n);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0)
      return name;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system that cannot rename without replacing: a link does the same there.
    if (::link(path.c_str(), name.c_str()) == 0) {
      ::unlink(path.c_str());
      return name;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

}  // namespace

bool Draft::SameMessage(const Draft& other) const {
  return to == other.to && subject == other.subject && body == other.body &&
         attachments == other.attachments && personalised == other.personalised &&
         otherKeys == other.otherKeys;
}

std::string DraftFolder(const std::string& homeDir) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string base =
      xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : homeDir + "/.local/share";
  return base + "/Tavrin/draft";
}

std::string DraftPath(const std::string& folder) { return folder + "/" + kFileName; }

std::string DraftText(const Draft& draft) {
  std::string text = std::string(kFirstLine) + "\n";
  auto line = [&text](const std::string& key, const std::string& value) {
    text += key + ": " + Escape(value) + "\n";
  };
  line("To", draft.to);
  line("Subject", draft.subject);
  for (const std::string& path : draft.attachments) line("Attachment", path);
  line("Personalised", Yes(draft.personalised));
  line("Sent", Yes(draft.sent));
  for (const auto& [key, value] : draft.otherKeys) line(key, value);
  line("Body", draft.body);
  return text + kLastLine + "\n";
}

std::variant<Draft, std::string> ParseDraft(const std::string& text) {
  Draft draft;
  std::size_t at = 0;
  bool first = true, ended = false;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) return "its last line is cut short.";
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (first) {
      if (line != kFirstLine) return "it is not a draft of this program.";
      first = false;
      continue;
    }
    if (ended) return "it goes on after its last line.";
    if (line == kLastLine) {
      ended = true;
      continue;
    }
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos || colon == 0)
      return "a line holds no key: " + line.substr(0, 40);
    const std::string key = line.substr(0, colon);
    const auto value = Unescape(line.substr(colon + 2));
    if (!value) return "the value of " + key + " is not written as this program writes it.";
    if (key == "To") {
      draft.to = *value;
    } else if (key == "Subject") {
      draft.subject = *value;
    } else if (key == "Body") {
      draft.body = *value;
    } else if (key == "Attachment") {
      draft.attachments.push_back(*value);
    } else if (key == "Personalised" || key == "Sent") {
      if (*value != "yes" && *value != "no") return key + " is neither yes nor no.";
      (key == "Sent" ? draft.sent : draft.personalised) = *value == "yes";
    } else {
      draft.otherKeys.emplace_back(key, *value);
    }
  }
  if (first) return "it is empty.";
  if (!ended) return "it ends before its last line.";
  return draft;
}

std::optional<std::string> SaveDraft(const std::string& folder, const Draft& draft) {
  if (auto problem = platform::MakePrivateFolder(folder)) return problem;
  const std::string path = DraftPath(folder), temp = folder + "/" + kTempName;
  auto failed = [&path](int error) -> std::optional<std::string> {
    return "The draft " + path + " could not be saved: " + Reason(error) + ".";
  };
  // Two windows of the program save one after the other, never into one temporary file at once.
  Fd lock(::open((folder + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.fd < 0) return failed(errno);
  while (::flock(lock.fd, LOCK_EX) != 0)
    if (errno != EINTR) return failed(errno);
  int problem = 0;
  {
    // The lock is held, so whatever is under the temporary name was left by a run that ended
    // (or put there by hand): it goes, so that a FIFO cannot block the open for ever and the
    // file made is a new one.
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return failed(errno);
    Fd file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.fd < 0) return failed(errno);
    if (::fchmod(file.fd, 0600) != 0) problem = errno;  // a umask may have taken bits
    if (problem == 0 && !platform::WriteAll(file.fd, DraftText(draft)))
      problem = errno != 0 ? errno : EIO;
    if (problem == 0 && ::fsync(file.fd) != 0) problem = errno;
    if (::close(file.fd) != 0 && problem == 0) problem = errno;
    file.fd = -1;
  }
  if (problem == 0 && ::rename(temp.c_str(), path.c_str()) != 0) problem = errno;
  if (problem != 0) {
    ::unlink(temp.c_str());
    return failed(problem);
  }
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd >= 0) ::fsync(dir.fd);
  return std::nullopt;
}

DraftRead ReadDraft(const std::string& folder) {
  DraftRead read;
  const std::string path = DraftPath(folder);
  std::string why;
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (file.fd < 0) {
    if (errno == ENOENT) return read;
    why = "it could not be opened: " + Reason(errno) + ".";
  } else if (::fstat(file.fd, &st) != 0) {
    why = "it could not be read: " + Reason(errno) + ".";
  } else if (!S_ISREG(st.st_mode)) {
    why = "it is not a file.";
  } else if (st.st_size > kMostBytes) {
    why = "it is far larger than a draft.";
  } else {
    std::string bytes;
    char block[1 << 16];
    for (;;) {
      const ssize_t n = ::read(file.fd, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        why = "it could not be read: " + Reason(errno) + ".";
        break;
      }
      if (n == 0) break;
      bytes.append(block, static_cast<std::size_t>(n));
      if (static_cast<off_t>(bytes.size()) > kMostBytes) {
        why = "it is far larger than a draft.";
        break;
      }
    }
    if (why.empty()) {
      auto parsed = ParseDraft(bytes);
      if (auto* draft = std::get_if<Draft>(&parsed)) {
        read.draft = std::move(*draft);
        return read;
      }
      why = std::get<std::string>(parsed);
    }
  }
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
  const auto aside = SetAside(path);
  if (const auto* name = std::get_if<std::string>(&aside)) {
    read.note = "The draft could not be restored and was set aside as " + *name + ": " + why;
  } else {
    read.keep = false;
    read.note = "The draft " + path + " could not be restored (" + why +
                ") nor set aside: " + Reason(std::get<int>(aside)) +
                ". Drafts are not kept in this run.";
  }
  return read;
}

}  // namespace tavrin::app
