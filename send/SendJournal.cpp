#include "send/SendJournal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "dataset/XbDbf.h"
#include "platform/LineEscape.h"
#include "platform/PrivateFile.h"
#include "send/DatasetRecipientTable.h"

namespace tavrin::app {
namespace {

constexpr const char* kFirstLine = "Tavrin send journal 1";
constexpr const char* kSuffix = ".journal";
// A journal holds a message and one line per recipient: anything near this is not one of ours.
constexpr std::int64_t kMostBytes = std::int64_t{1} << 30;

std::string Reason(int error) { return std::generic_category().message(error); }

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Escape(const std::string& value) { return platform::EscapeLine(value, true); }

std::optional<std::string> Unescape(const std::string& value) {
  return platform::UnescapeLine(value);
}

std::string Line(const std::string& key, const std::vector<std::string>& fields) {
  std::string line = key;
  for (const std::string& field : fields) line += '\t' + Escape(field);
  return line + '\n';
}

std::optional<std::int64_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::size_t at = text[0] == '-' ? 1 : 0;
  if (at == text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return at == 1 ? -value : value;
}

const char* OutcomeKey(JournalOutcome outcome) {
  switch (outcome) {
    case JournalOutcome::kAccepted: return "Accepted";
    case JournalOutcome::kRefused: return "Refused";
    case JournalOutcome::kSkipped: return "Skipped";
  }
  return "Skipped";
}

std::string HeadText(const JournalHead& head) {
  std::string text = std::string(kFirstLine) + "\n";
  text += Line("Started", {std::to_string(head.started)});
  text += Line("Subject", {head.subject});
  text += Line("Table", {head.tableFile, head.nameField, head.emailField});
  text += Line("Total", {std::to_string(head.total)});
  text += Line("Return", {head.returnEmail});
  text += Line("Boundary", {head.boundary});
  for (const std::string& line : head.lines) text += Line("Line", {line});
  if (!head.optOutField.empty()) text += Line("OptOut", {head.optOutField});
  if (head.personalised) {
    const MessageInput& in = head.input;
    text += Line("Personal", {in.SenderName, in.ReturnEmail, in.To, in.Subject, in.Date,
                              in.MessageIdToken, in.ReplyTo, in.ListUnsubscribe});
    for (const std::string& line : in.Body) text += Line("PersonalLine", {line});
  }
  for (const JournalAttachment& a : head.attachments)
    text += Line("Attachment", {std::to_string(a.size), std::to_string(a.mtimeNs), a.path});
  text += "Begin\n";
  return text;
}

}  // namespace

std::string JournalFolder(const std::string& homeDir) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string base =
      xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : homeDir + "/.local/share";
  return base + "/Tavrin/journal";
}

std::vector<std::string> JournalFiles(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return files;
  const std::string suffix = kSuffix;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > suffix.size() && name.rfind("send-", 0) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      files.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

std::variant<JournalState, std::string> ParseJournal(const std::string& text) {
  JournalState state;
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a write the program did not finish: ignored
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (lines.empty() || lines[0] != kFirstLine) return std::string("it is not a send journal");
  bool begun = false;
  std::set<std::int32_t> sentNotFinal;
  for (std::size_t n = 1; n < lines.size(); ++n) {
    const std::string where = "line " + std::to_string(n + 1) + ": ";
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
      const std::size_t tab = lines[n].find('\t', from);
      const std::string raw = lines[n].substr(from, tab == std::string::npos ? tab : tab - from);
      if (fields.empty()) {
        fields.push_back(raw);
      } else {
        const auto value = Unescape(raw);
        if (!value) return where + "a broken escape";
        fields.push_back(*value);
      }
      if (tab == std::string::npos) break;
      from = tab + 1;
    }
    const std::string& key = fields[0];
    const auto want = [&](std::size_t count) { return fields.size() == count + 1; };
    const auto number = [&](std::size_t index) { return Number(fields[index]); };
    if (!begun) {
      JournalHead& h = state.head;
      if (key == "Begin" && want(0)) {
        begun = true;
      } else if (key == "Started" && want(1) && number(1)) {
        h.started = *number(1);
      } else if (key == "Subject" && want(1)) {
        h.subject = fields[1];
      } else if (key == "Table" && want(3)) {
        h.tableFile = fields[1], h.nameField = fields[2], h.emailField = fields[3];
      } else if (key == "Total" && want(1) && number(1) && *number(1) >= 0) {
        h.total = *number(1);
      } else if (key == "Return" && want(1)) {
        h.returnEmail = fields[1];
      } else if (key == "Boundary" && want(1)) {
        h.boundary = fields[1];
      } else if (key == "Line" && want(1)) {
        h.lines.push_back(fields[1]);
      } else if (key == "OptOut" && want(1)) {
        h.optOutField = fields[1];
      } else if (key == "Personal" && want(8)) {
        h.personalised = true;
        MessageInput& in = h.input;
        in.SenderName = fields[1], in.ReturnEmail = fields[2], in.To = fields[3];
        in.Subject = fields[4], in.Date = fields[5], in.MessageIdToken = fields[6];
        in.ReplyTo = fields[7], in.ListUnsubscribe = fields[8];
      } else if (key == "PersonalLine" && want(1) && h.personalised) {
        h.input.Body.push_back(fields[1]);
      } else if (key == "Attachment" && want(3) && number(1) && number(2) && *number(1) >= 0) {
        h.attachments.push_back({fields[3], static_cast<std::uint64_t>(*number(1)), *number(2)});
      } else {
        return where + "not understood";
      }
      continue;
    }
    if (state.closed) return where + "a line after the journal was closed";
    if (key == "Accepted" || key == "Refused" || key == "Skipped") {
      // The address came later as a fourth field: journals without it still read.
      if (!(want(3) || want(4)) || !number(1) || !number(2) || *number(1) <= 0 ||
          *number(1) > INT32_MAX)
        return where + "not understood";
      const auto record = static_cast<std::int32_t>(*number(1));
      const JournalOutcome outcome = key == "Accepted"  ? JournalOutcome::kAccepted
                                     : key == "Refused" ? JournalOutcome::kRefused
                                                        : JournalOutcome::kSkipped;
      // A record settled twice keeps its first outcome: the first is what happened.
      state.final.emplace(record, JournalRecord{outcome, *number(2), fields[3],
                                                want(4) ? fields[4] : std::string()});
      sentNotFinal.erase(record);
    } else if (key == "Sent") {
      // A newer transaction's "Sent" leaves the older one's unsettled records as they were.
      for (std::size_t i = 1; i < fields.size(); ++i) {
        const auto record = Number(fields[i]);
        if (!record || *record <= 0 || *record > INT32_MAX) return where + "not understood";
        if (!state.final.count(static_cast<std::int32_t>(*record)))
          sentNotFinal.insert(static_cast<std::int32_t>(*record));
      }
    } else if (key == "Paused" && want(1) && number(1)) {
      state.pausedUntil = *number(1);
    } else if (key == "Resumed" && want(1) && number(1)) {
      state.pausedUntil.reset();
    } else if (key == "Closed" && want(1) && number(1)) {
      state.closed = true;
    } else {
      return where + "not understood";
    }
  }
  if (!begun) return std::string("its head is incomplete");
  state.mayHaveBeenDelivered = std::move(sentNotFinal);
  return state;
}

std::variant<JournalState, std::string> ReadJournal(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "Cannot open " + path + ": " + Reason(errno);
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMostBytes) {
    ::close(fd);
    return path + " is not a send journal";
  }
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return "Cannot read " + path + ": " + Reason(error);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(done);
  auto parsed = ParseJournal(text);
  if (auto* reason = std::get_if<std::string>(&parsed))
    return "The send journal " + path + " cannot be read: " + *reason + ".";
  std::get<JournalState>(parsed).path = path;
  return parsed;
}

std::optional<JournalAttachment> AttachmentNow(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return JournalAttachment{path, static_cast<std::uint64_t>(st.st_size),
                           std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<std::string> AttachmentChange(const JournalHead& head) {
  for (const JournalAttachment& a : head.attachments) {
    const auto now = AttachmentNow(a.path);
    if (!now)
      return "The attachment " + a.path +
             " is missing. The send cannot be resumed with the same message.";
    if (now->size != a.size || now->mtimeNs != a.mtimeNs)
      return "The attachment " + a.path +
             " has changed since the send began. The send cannot be resumed with the same message.";
  }
  return std::nullopt;
}

std::variant<std::int64_t, std::string> LiveRecords(const std::string& tableFile) {
  dataset::TXbDbf dataset{"tblJournalCount"};
  TDatasetRecipientTable table{dataset};
  dataset.SetDbfFileName(tableFile);
  try {
    table.Open();
    std::int64_t live = 0;
    for (table.GoFirst(); !table.AtEnd(); table.SkipBy(1))
      if (!table.RecordDeleted()) ++live;
    table.Close();
    return live;
  } catch (const std::exception& error) {
    table.Close();
    return std::string(error.what());
  }
}

std::string ResumeQuestion(const JournalState& state, const std::string& date) {
  const std::int64_t m = state.head.total, n = std::min(state.Reached(), m);
  return "The send of \"" + state.head.subject + "\" on " + date + " reached " + std::to_string(n) +
         " of " + std::to_string(m) + " recipients. Send to the remaining " +
         std::to_string(m - n) + "?";
}

std::unordered_map<std::int32_t, SettledRecipient> SettledFor(const JournalState& state,
                                                              bool includeMayHaveBeenDelivered) {
  std::unordered_map<std::int32_t, SettledRecipient> settled;
  for (const auto& [record, r] : state.final) {
    const RecipientStatus status = r.outcome == JournalOutcome::kAccepted ? RecipientStatus::kOk
                                   : r.outcome == JournalOutcome::kRefused
                                       ? RecipientStatus::kFailed
                                       : RecipientStatus::kNotSent;
    settled.emplace(record, SettledRecipient{status, r.reply, r.address});
  }
  if (!includeMayHaveBeenDelivered)
    for (const std::int32_t record : state.mayHaveBeenDelivered)
      settled.emplace(record,
                      SettledRecipient{RecipientStatus::kNotSent, kMayHaveBeenDelivered, {}});
  return settled;
}

std::deque<std::int64_t> SentTimes(const std::string& folder, std::int64_t since) {
  std::deque<std::int64_t> times;
  for (const std::string& path : JournalFiles(folder)) {
    const auto read = ReadJournal(path);
    const auto* state = std::get_if<JournalState>(&read);
    if (state == nullptr) continue;
    for (const auto& [record, r] : state->final)
      if (r.outcome == JournalOutcome::kAccepted && r.at >= since) times.push_back(r.at * 1000);
  }
  std::sort(times.begin(), times.end());
  return times;
}

// ---------------------------------------------------------------- writing

std::variant<std::unique_ptr<TSendJournal>, std::string> TSendJournal::Create(
    const std::string& folder, const JournalHead& head) {
  if (const auto error = platform::MakePrivateFolder(folder)) return *error;
  // The start time names the file, so the names sort in the order the sends began; a random
  // tail keeps two sends of one second apart.
  std::random_device random;
  for (int attempt = 0; attempt < 20; ++attempt) {
    char stamp[32];
    const std::time_t t = static_cast<std::time_t>(head.started);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string path =
        folder + "/send-" + stamp + "-" + std::to_string(random() % 1000000) + kSuffix;
    std::string text = HeadText(head), error;
    bool given = false;
    const auto result = platform::WriteNewFile(
        path,
        [&]() -> std::string {
          if (given) return "";
          given = true;
          return text;
        },
        &error);
    if (result == platform::NewFile::kExists) continue;
    if (result == platform::NewFile::kFailed) return error;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return "Cannot open " + path + ": " + Reason(errno);
    return std::unique_ptr<TSendJournal>(new TSendJournal(path, fd));
  }
  return "Cannot make a new send journal in " + folder;
}

std::variant<std::unique_ptr<TSendJournal>, std::string> TSendJournal::Reopen(
    const JournalState& state) {
  const int fd = ::open(state.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "Cannot open " + state.path + ": " + Reason(errno);
  auto journal = std::unique_ptr<TSendJournal>(new TSendJournal(state.path, fd));
  for (const auto& entry : state.final) journal->final_.insert(entry.first);
  // A torn last line (a write the program did not finish) would run into the next one: it goes.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    char last = '\n';
    if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
      std::string tail(static_cast<std::size_t>(std::min<off_t>(st.st_size, 1 << 16)), '\0');
      const off_t from = st.st_size - static_cast<off_t>(tail.size());
      const std::size_t nl =
          ::pread(fd, tail.data(), tail.size(), from) == static_cast<ssize_t>(tail.size())
              ? tail.rfind('\n')
              : std::string::npos;
      if (nl == std::string::npos || ::ftruncate(fd, from + static_cast<off_t>(nl) + 1) != 0 ||
          ::fdatasync(fd) != 0)
        return "Cannot repair " + state.path + ": its last line is cut short";
    }
  }
  return journal;
}

// Outcomes written unsynced reach the disk within this, also while a paced send waits.
constexpr int kSyncDelayMs = 200;

TSendJournal::TSendJournal(std::string path, int fd) : path_(std::move(path)), fd_(fd) {
  syncSoon_.setSingleShot(true);
  QObject::connect(&syncSoon_, &QTimer::timeout, [this] { Flush(); });
}

TSendJournal::~TSendJournal() {
  if (fd_ >= 0) ::close(fd_);
}

bool TSendJournal::Append(const std::string& lines) {
  if (!error_.empty()) return false;
  if (!platform::WriteAll(fd_, lines) || ::fdatasync(fd_) != 0) {
    error_ = path_ + ": " + Reason(errno);
    return false;
  }
  unsynced_ = false;
  syncSoon_.stop();
  return true;
}

bool TSendJournal::WriteSettled() {
  if (!error_.empty()) return false;
  if (pending_.empty()) return true;
  if (!platform::WriteAll(fd_, pending_)) {
    error_ = path_ + ": " + Reason(errno);
    return false;
  }
  pending_.clear();
  unsynced_ = true;
  if (!syncSoon_.isActive()) syncSoon_.start(kSyncDelayMs);
  return true;
}

void TSendJournal::Settle(std::int32_t recordNo, RecipientStatus status, const std::string& reply,
                          const std::string& address) {
  if (status == RecipientStatus::kNotSent || !final_.insert(recordNo).second) return;
  const char* key = status == RecipientStatus::kOk ? "Accepted" : "Refused";
  std::vector<std::string> fields = {std::to_string(recordNo), std::to_string(Now()), reply};
  if (!address.empty()) fields.push_back(address);
  pending_ += Line(key, fields);
}

void TSendJournal::Skip(std::int32_t recordNo, const std::string& reason) {
  if (!final_.insert(recordNo).second) return;
  pending_ += Line(OutcomeKey(JournalOutcome::kSkipped),
                   {std::to_string(recordNo), std::to_string(Now()), reason});
}

bool TSendJournal::Flush() {
  if (pending_.empty() && !unsynced_) return error_.empty();
  const std::string lines = std::move(pending_);
  pending_.clear();
  return Append(lines);
}

bool TSendJournal::DataEnding(const std::vector<std::int32_t>& records) {
  std::vector<std::string> fields;
  for (const std::int32_t record : records) fields.push_back(std::to_string(record));
  std::string lines = std::move(pending_);
  pending_.clear();
  return Append(lines + Line("Sent", fields));
}

bool TSendJournal::Pause(std::int64_t until) {
  return Flush() && Append(Line("Paused", {std::to_string(until)}));
}

bool TSendJournal::Resumed() { return Flush() && Append(Line("Resumed", {std::to_string(Now())})); }

bool TSendJournal::Close() { return Flush() && Append(Line("Closed", {std::to_string(Now())})); }

void TSendJournal::Bind(SendEvents& events, const TSendLog& log) {
  events.recipientSettled = [this](std::int32_t recordNo, RecipientStatus status,
                                   const std::string& reply, const std::string& address) {
    Settle(recordNo, status, reply, address);
  };
  events.transactionSettled = [this] { WriteSettled(); };
  events.dataEnding = [this](const std::vector<std::int32_t>& records) {
    return DataEnding(records);
  };
  events.outcome = [this, &log, prior = std::move(events.outcome)](const SendOutcome& outcome) {
    Ended(log);
    if (prior) prior(outcome);
  };
}

// Every recipient of the send final (or left out on purpose): nothing is left to resume.
void TSendJournal::Ended(const TSendLog& log) {
  if (!Flush()) return;
  for (const LogEntry& entry : log.Entries())
    if (entry.status == RecipientStatus::kNotSent && !IsFinal(entry.recordNo)) return;
  Close();
}

JournalHead JournalHeadFor(const std::string& subject, const SendSetup& setup,
                           const MailMessage& message, std::int64_t started) {
  JournalHead head;
  head.started = started;
  head.subject = subject;
  head.tableFile = setup.tableFile;
  head.nameField = setup.nameField;
  head.emailField = setup.emailField;
  head.returnEmail = setup.returnEmail;
  head.lines = message.lines;
  head.boundary = message.boundary;
  head.optOutField = message.optOutField;
  head.personalised = message.personalised;
  if (message.personalised) head.input = message.input;
  const auto live = LiveRecords(setup.tableFile);
  head.total = std::holds_alternative<std::int64_t>(live) ? std::get<std::int64_t>(live) : 0;
  for (const std::string& path : message.attachments) {
    const auto now = AttachmentNow(path);
    head.attachments.push_back(now ? *now : JournalAttachment{path, 0, 0});
  }
  return head;
}

}  // namespace tavrin::app
