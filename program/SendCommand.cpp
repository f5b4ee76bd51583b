#include "program/SendCommand.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocale>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "program/Passwords.h"
#include "program/PersonalMessage.h"
#include "program/SendAccess.h"
#include "send/DatasetRecipientTable.h"
#include "send/LogFiles.h"
#include "send/MailSend.h"
#include "send/MessageAssembly.h"
#include "send/MessageFile.h"
#include "send/RecipientFilter.h"
#include "send/SendDialogue.h"
#include "send/SendJournal.h"
#include "send/SendPacer.h"
#include "send/SendLog.h"
#include "send/SendText.h"
#include "dataset/XbDbf.h"
#include "platform/CodePage.h"

namespace tavrin::app {
namespace {

// Without a terminal, a progress line at most this often.
constexpr qint64 kProgressLineMs = 5000;
// On a terminal, the bar is redrawn at most this often.
constexpr qint64 kProgressDrawMs = 100;

// A text of the send (8-bit or UTF-8, perhaps a server's or a table's) as safe terminal text.
std::string Shown(const std::string& text) { return VisibleText(platform::TextToUtf8(text)); }

// The settings' checks report through message boxes; here they are lines on standard error.
class ConsoleDialogs final : public platform::Dialogs {
 public:
  explicit ConsoleDialogs(std::FILE* err) : err_(err) {}
  void ShowMessage(const std::string& text, const std::string& = {}) override { Say(text); }
  void ShowWarning(const std::string& text, const std::string& = {}) override { Say(text); }
  bool Confirm(const std::string&) override { return false; }
  std::optional<std::string> AskPassword(const std::string&) override { return std::nullopt; }
  std::optional<std::string> OpenFile(const platform::OpenFileRequest&) override {
    return std::nullopt;
  }
  void SetClipboardText(const std::string&) override {}
  std::optional<std::string> ClipboardText() override { return std::nullopt; }
  void SetBusyCursor(bool) override {}
  int Choose(const std::string&, const std::vector<std::string>& buttons) override {
    return static_cast<int>(buttons.size()) - 1;
  }
  std::optional<std::string> SaveFile(const platform::OpenFileRequest&) override {
    return std::nullopt;
  }

 private:
  void Say(const std::string& text) {
    std::fprintf(err_, "tavrin-send: %s\n", Shown(text).c_str());
  }
  std::FILE* err_;
};

// Progress on standard error: a bar redrawn in place on a terminal, else a line now and then.
class ProgressReport {
 public:
  explicit ProgressReport(std::FILE* err) : err_(err), terminal_(::isatty(::fileno(err)) != 0) {
    clock_.start();
  }
  void Status(const std::string& text) {
    status_ = Shown(text);
    Draw();
  }
  void Progress(std::int64_t maximum, std::int64_t position) {
    maximum_ = maximum;
    position_ = position;
    Draw();
  }
  // Clears the bar, so that what follows starts on a clean line.
  void Finish() {
    if (terminal_ && drawn_) std::fputs("\r\033[K", err_);
    std::fflush(err_);
    drawn_ = false;
  }

 private:
  int Percent() const {
    if (maximum_ <= 0) return -1;
    return static_cast<int>(std::clamp<std::int64_t>(position_ * 100 / maximum_, 0, 100));
  }
  void Draw() {
    const qint64 now = clock_.elapsed();
    if (drawn_ && now - last_ < (terminal_ ? kProgressDrawMs : kProgressLineMs)) return;
    last_ = now;
    drawn_ = true;
    const int percent = Percent();
    if (!terminal_) {
      std::string line = status_;
      if (percent >= 0) line += " (" + std::to_string(percent) + "%)";
      std::fprintf(err_, "%s\n", line.c_str());
      return;
    }
    struct winsize size {};
    const int columns =
        ::ioctl(::fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
    std::string bar;
    if (percent >= 0) {
      const std::size_t filled = static_cast<std::size_t>(percent) * 20 / 100;
      bar.assign(22, ' ');
      bar.front() = '[';
      bar.replace(1, filled, filled, '#');
      bar.back() = ']';
      bar += ' ';
      bar += FitText(std::to_string(percent) + "%", 4);
      bar += ' ';
    }
    const int room = columns - 1 - static_cast<int>(bar.size());
    std::fprintf(err_, "\r\033[K%s%s", bar.c_str(), room > 0 ? FitText(status_, room).c_str() : "");
    std::fflush(err_);
  }

  std::FILE* err_;
  bool terminal_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  bool drawn_ = false;
  std::string status_;
  std::int64_t maximum_ = 0, position_ = 0;
};

// SIGINT and SIGTERM stop the send as Stop does in the window: the log still holds everyone. The
// handler only marks the request and wakes the event loop through a pipe; the rest runs there.
volatile std::sig_atomic_t stopRequested = 0;
int stopPipe[2] = {-1, -1};
extern "C" void OnStopSignal(int) {
  stopRequested = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
}

// Catches the two signals for as long as it lives, so that the run always ends through its own
// clean-up (the temporary folder removed, the log written).
class StopOnSignal {
 public:
  StopOnSignal() {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      char byte;
      while (::read(stopPipe[0], &byte, 1) > 0) {
      }
      if (stop_) stop_();
    });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &oldInt_);
    ::sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~StopOnSignal() {
    if (!notifier_) return;
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    notifier_.reset();
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
  }
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;

  // What a signal does from now on; empty: nothing but the mark.
  void OnStop(std::function<void()> stop) { stop_ = std::move(stop); }
  static bool Requested() { return stopRequested != 0; }

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> stop_;
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

// One recipient as the dry run finds it.
struct Candidate {
  std::string name, address;  // UTF-8
  bool sendable = false;      // a valid address (duplicates and opt-outs aside)
  RecipientVerdict verdict;   // for a sendable address: sent, or skipped as the send skips it
};

class SendRun {
 public:
  SendRun(const SendCommandLine& line, const SettingsPlaces& places, platform::SecretStore* secrets,
          std::FILE* out, std::FILE* err)
      : line_(line), places_(places), secrets_(secrets), out_(out), err_(err), dialogs_(err) {}
  ~SendRun() {
    platform::WipeSecret(password_);
    std::error_code ignored;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ignored);
  }

  int Run() {
    if (!Prepare()) return kSendExitNothingSent;
    if (StopOnSignal::Requested()) {
      Fail(std::string(kStopped) + " Nothing was sent.");
      return kSendExitNothingSent;
    }
    return line_.dryRun ? DryRun() : Send();
  }

 private:
  bool Fail(const std::string& text) {
    std::fprintf(err_, "tavrin-send: %s\n", Shown(text).c_str());
    return false;
  }

  bool Prepare() {
    return ReadSettings() && ReadMessageFields() && FindPassword() && MakeSetup() && MakeMessage();
  }

  bool ReadSettings() {
    std::error_code error;
    if (!std::filesystem::is_regular_file(places_.settingsFile, error))
      return Fail("There is no settings file " + places_.settingsFile +
                  ". Set the program up with tavrin first, or name a settings file with "
                  "--settings.");
    LoadSettings(s_, places_);
    if (const auto unread = UnreadSettingsText(places_)) dialogs_.ShowWarning(*unread);
    if (s_.FirstRun)
      return Fail("The settings file " + places_.settingsFile +
                  " gives no return e-mail address. Set it with Properties in tavrin.");
    const auto port = ServerPortNumber(s_, dialogs_);
    if (!port) return false;
    port_ = *port;
    const auto security = ParseSecurity(s_.Security);
    if (!security) return Fail(UnknownSecurityMessage(s_.Security));
    if (!s_.UserName.empty() && *security == Security::kNone) return Fail(kPasswordNeedsEncryption);
    security_ = *security;
    recipientsPerMessage_ = RecipientsPerMessageLimit(s_, dialogs_);
    tablePath_ = line_.table.empty() ? TableFilePath(s_) : line_.table;
    if (!std::filesystem::is_regular_file(tablePath_, error))
      return Fail("The recipients table " + tablePath_ + " is not there.");
    return true;
  }

  bool ReadMessageFields() {
    auto read = ReadMessageFile(line_.message);
    if (const auto* error = std::get_if<std::string>(&read)) return Fail(*error);
    app::ReadMessage& message = std::get<app::ReadMessage>(read);
    to_ = message.to.value_or(s_.To);
    subject_ = message.subject;
    body_ = message.body;
    if (to_.empty())
      return Fail("The message names no To description, and the settings give none.");
    if (subject_.empty()) return Fail("The message has no Subject.");
    if (body_.empty() && message.attachments.empty())
      return Fail("The message has neither text nor attachments.");
    if (const auto refusal = RefusalOf({to_, subject_, body_, s_.SenderName}, s_.ReturnEmail))
      return Fail(*refusal);
    // A placeholder the table cannot fill, or an unusable bulk-mail setting, stops the run here.
    if (const auto refusal = CheckBulkMail(s_, tablePath_, Texts())) return Fail(*refusal);
    if (message.attachments.empty()) return true;
    // The send reads attachments by path, so they are written out, into a folder of this run.
    std::string pattern = places_.tempDir + "/tavrin-send-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      return Fail("No temporary folder could be made in " + places_.tempDir + ".");
    scratch_ = pattern;
    auto stored = StoreAttachments(scratch_, message.attachments);
    if (const auto* error = std::get_if<std::string>(&stored)) return Fail(*error);
    attachments_ = std::get<std::vector<std::string>>(stored);
    return true;
  }

  bool FindPassword() {
    if (s_.UserName.empty()) return true;
    const std::string account = s_.UserName + " at " + s_.ServerName;
    const char* file = std::getenv(kPasswordFileVariable);
    if (file != nullptr && *file != '\0') {
      PasswordFile read = ReadPasswordFile(file);
      if (!read.error.empty()) return Fail(read.error);
      password_ = std::move(read.password);
      passwordFrom_ = std::string("the password file ") + file;
      return true;
    }
    const std::string hint =
        std::string(" Name a password file in ") + kPasswordFileVariable + " (see tavrin-send(1)).";
    if (secrets_ == nullptr)
      return Fail("The settings sign in as " + account +
                  ", and the secret store cannot be reached without a desktop session." + hint);
    auto stored = secrets_->Read(PasswordKey(s_.UserName, s_.ServerName));
    if (!stored)
      return Fail("The secret store holds no password for " + account + " (or did not answer)." +
                  hint);
    password_ = std::move(*stored);
    passwordFrom_ = "the secret store";
    return true;
  }

  // The send as the window sets it up when Send is pressed, to the table of the command line.
  bool MakeSetup() {
    setup_ = SendSetupFrom(s_, port_, places_.tempDir);
    setup_.tableFile = tablePath_;
    SendAccess access;
    access.security = security_;
    access.userName = s_.UserName;
    access.password = password_;
    access.recipientsPerMessage = recipientsPerMessage_;
    access.FillSetup(setup_);
    platform::WipeSecret(password_);
    return true;
  }

  // The message file's texts as the window's fields would hold them. A file never asks for one
  // message per recipient by itself: its placeholders (or the settings' unsubscribe link) do.
  MessageTexts Texts() const {
    MessageTexts texts;
    texts.to = to_;
    texts.subject = subject_;
    texts.body = body_;
    texts.attachments = attachments_;
    return texts;
  }

  // The message as the window makes it when Send is pressed, from the message file's fields:
  // personalised when they hold placeholders, with the settings' Reply-To, List-Unsubscribe and
  // opt-out field.
  bool MakeMessage() {
    message_ = MailMessageFrom(s_, Texts());
    return true;
  }

  // ---------------------------------------------------------------- the dry run

  int DryRun() {
    std::vector<Candidate> candidates;
    if (!ReadRecipients(candidates)) return kSendExitNothingSent;
    std::vector<std::pair<std::string, std::uint64_t>> sized;
    for (const std::string& path : attachments_) {
      std::error_code error;
      sized.emplace_back(path, std::filesystem::file_size(path, error));
    }
    const std::uint64_t size = MessageSizeOnWire(message_.lines, message_.boundary, sized);
    Print("From: " + s_.SenderName + " <" + s_.ReturnEmail + ">");
    Print("To: " + to_);
    Print("Subject: " + subject_);
    if (message_.personalised) Print("Sent as: one message per recipient, fields filled in");
    for (const auto& [path, bytes] : sized)
      Print("Attachment: " + ExtractNamePart(path) + " (" + std::to_string(bytes) + " octets)");
    std::string through = "Through: " + s_.ServerName + " port " + std::to_string(port_) + ", " +
                          SecurityName(security_);
    if (!s_.UserName.empty()) through += ", signed in as " + s_.UserName;
    Print(through);
    Print("Size: " + std::to_string(size) + " octets on the wire");
    int sendable = 0, invalid = 0;
    for (const Candidate& c : candidates) {
      if (!c.sendable)
        ++invalid;
      else if (c.verdict.Send())
        ++sendable;
    }
    Print("Would be sent to " + std::to_string(sendable) + " of " +
          std::to_string(candidates.size()) + " recipients:");
    for (const Candidate& c : candidates) {
      const std::string verdict = !c.sendable        ? std::string("not sent: ") + kInvalidAddress
                                  : c.verdict.Send() ? std::string("to be sent")
                                                     : "not sent: " + c.verdict.LogText();
      Print(FitText(c.name, 35) + " " + FitText(c.address, 40) + "  " + verdict);
    }
    if (candidates.empty()) {
      Fail(kNoRecords);
      return kSendExitNothingSent;
    }
    // Duplicates and opt-outs are left out on purpose: they make no run a partial one.
    return SendExitStatus(FailureKind::kNone, {sendable, invalid, 0});
  }

  // The live records as the send would walk them, each judged as the send judges it.
  bool ReadRecipients(std::vector<Candidate>& candidates) {
    dataset::TXbDbf dbf{"tblRecipients"};
    dbf.SetDbfFileName(tablePath_);
    TDatasetRecipientTable table{dbf};
    TRecipientFilter filter(message_.optOutField);
    try {
      table.Open();
      for (const std::string* field : {&setup_.nameField, &setup_.emailField})
        if (!table.HasField(*field)) {
          table.Close();
          return Fail("The recipients table has no field " + *field);
        }
      for (table.GoFirst(); !table.AtEnd(); table.SkipBy(1)) {
        if (table.RecordDeleted()) continue;
        const std::string name = sendtext::TrimField(table.GetField(setup_.nameField));
        std::string address = sendtext::TrimField(table.GetField(setup_.emailField));
        if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
          address = sendtext::TrimField(address.substr(1, address.size() - 2));
        Candidate c{VisibleText(platform::AnsiToUtf8(name)),
                    VisibleText(platform::AnsiToUtf8(address)),
                    !sendtext::HasControl(name) && SendableAddress(address),
                    {}};
        if (c.sendable) c.verdict = filter.Judge(dbf.RecNo(), address, table);
        candidates.push_back(std::move(c));
      }
      table.Close();
    } catch (const std::exception& error) {
      table.Close();
      return Fail("The recipients table " + tablePath_ + " cannot be read: " + error.what());
    }
    return true;
  }

  void Print(const std::string& line) { std::fprintf(out_, "%s\n", Shown(line).c_str()); }

  // ---------------------------------------------------------------- the send

  int Send() {
    // The journal comes first, so that a send that ends half-way (a signal, a rate limit, a lost
    // network) can be resumed from the window's File > Resume Send without anyone getting the
    // message twice. It outlives the send that reports to it.
    auto made =
        TSendJournal::Create(JournalFolder(places_.homeDir),
                             JournalHeadFor(subject_, setup_, message_, std::time(nullptr)));
    if (auto* error = std::get_if<std::string>(&made)) {
      Fail(std::string(kJournalNotWritten) + *error + " Nothing was sent.");
      return kSendExitNothingSent;
    }
    const std::unique_ptr<TSendJournal> journal =
        std::get<std::unique_ptr<TSendJournal>>(std::move(made));
    TMailSend send(std::move(setup_));
    TSendLog& log = send.Log();
    const std::time_t started = StartLog(log);
    ProgressReport progress(err_);
    QEventLoop loop;
    bool ended = false;
    FailureKind kind = FailureKind::kInternal;  // until the send says how it ended
    SendEvents& e = send.Events();
    e.status = [&](const std::string& text) { progress.Status(text); };
    e.progress = [&](std::int64_t maximum, std::int64_t position) {
      progress.Progress(maximum, position);
    };
    e.outcome = [&](const SendOutcome& outcome) { kind = outcome.kind; };
    e.failed = [&](const std::string& text) {
      progress.Finish();
      Fail(text);
    };
    e.completed = [&](const std::string& note) {
      progress.Finish();
      if (!note.empty()) Fail(note);
    };
    e.ended = [&] {
      ended = true;
      loop.quit();
    };
    journal->Bind(e, log);  // after the handlers above, which it passes the reports on to
    // The provider's limits hold for scripted sends too: a cron job must not get the account
    // suspended. Bound last: its hooks pass the reports on to the journal's.
    BindPacing(e, PacingLimit(s_.RecipientsPerMinute), PacingLimit(s_.RecipientsPerDay),
               recipientsPerMessage_, JournalFolder(places_.homeDir), journal.get());
    stopper_.OnStop([&send] { send.Stop(); });
    send.Start(std::move(message_));
    if (!ended && StopOnSignal::Requested()) send.Stop();  // a signal during Start
    if (!ended) loop.exec();
    stopper_.OnStop({});
    progress.Finish();
    // Said also when the send went to its end: its last outcomes or its end may not be on the
    // disk, and a later Resume would offer the send again.
    if (!journal->Error().empty()) Fail(std::string(kJournalNotWritten) + journal->Error());
    if (kind == FailureKind::kSignInRefused)
      Fail("The password from " + passwordFrom_ + " was refused for " + s_.UserName + " at " +
           s_.ServerName + ". Nothing was sent.");
    // The log is kept on disk before it is printed, and a signal while it is printed ends the
    // printing: a reader that stops reading holds back neither the run nor its record.
    stopRequested = 0;
    const SavedLog saved = SaveLogFiles(log, LogsFolder(places_.homeDir), started);
    log.WriteText([this](const std::string& block) {
      if (!StopOnSignal::Requested()) std::fputs(block.c_str(), out_);
    });
    if (!StopOnSignal::Requested()) std::fputs("\n", out_);
    if (!StopOnSignal::Requested()) std::fflush(out_);
    if (StopOnSignal::Requested()) ::__fpurge(out_);  // or the exit would wait to write it
    std::fprintf(err_, "%s\n", Shown(SavedLogText(saved)).c_str());
    return SendExitStatus(kind, TallyOf(log));
  }

  // The log's header as the window writes it: the moment of the send in the locale's formats.
  std::time_t StartLog(TSendLog& log) {
    const QLocale locale = QLocale::system();
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QRegularExpression("\\s*t+")).remove(QRegularExpression("\\(\\s*\\)"));
    const QDateTime now = QDateTime::currentDateTime();
    log.StartLog(s_.ProgramCaption, s_.SenderName,
                 locale.toString(now.date(), QLocale::ShortFormat).toStdString(),
                 locale.toString(now.time(), timeFormat.trimmed()).toStdString());
    return std::time(nullptr);
  }

  const SendCommandLine& line_;
  SettingsPlaces places_;
  platform::SecretStore* secrets_;
  std::FILE* out_;
  std::FILE* err_;
  ConsoleDialogs dialogs_;
  StopOnSignal stopper_;
  Settings s_;
  int port_ = 0;
  Security security_ = Security::kNone;
  int recipientsPerMessage_ = 0;
  std::string tablePath_;
  std::string to_, subject_, body_;
  std::string scratch_;  // this run's temporary folder, removed at the end
  std::vector<std::string> attachments_;
  std::string password_;      // until it goes into the setup
  std::string passwordFrom_;  // where it came from, to name when the server refuses it
  SendSetup setup_;
  MailMessage message_;  // personalised parts included: the core fills each record's message
};

}  // namespace

bool SessionBusReachable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return false;
  struct stat st {};
  return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

int RunSendCommand(const SendCommandLine& line, const SettingsPlaces& places,
                   platform::SecretStore* secrets, std::FILE* out, std::FILE* err) {
  SendRun run(line, places, secrets, out, err);
  return run.Run();
}

}  // namespace tavrin::app
