// The main window's send journal and Resume: every send from the window writes a journal before it
// connects; File > Resume Send, and the offer when the program starts, send the same message to
// exactly the recipients an earlier send of it did not reach. The journal's file work is
// SendJournal's; this side asks the questions and starts the send.
#include <QAction>
#include <QDateTime>
#include <QKeySequence>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QTimer>
#include <algorithm>
#include <ctime>

#include "platform/Paths.h"
#include "program/SendAccess.h"
#include "send/SendPacer.h"
#include "windows/MainWindow.h"

namespace tavrin::app {
namespace {

std::string DateOf(std::int64_t seconds) {
  const QDateTime when = QDateTime::fromSecsSinceEpoch(seconds);
  return QLocale::system().toString(when.date(), QLocale::ShortFormat).toStdString();
}

std::string DateTimeOf(std::int64_t seconds) {
  const QDateTime when = QDateTime::fromSecsSinceEpoch(seconds);
  return QLocale::system().toString(when, QLocale::ShortFormat).toStdString();
}

}  // namespace

// The provider's limits from the settings: before each transaction the pacer says whether it may
// start, and the window waits on a timer meanwhile (the status says until when; Stop works). The
// day's limit stops the send with its journal open and marked paused until the day has room.
void TfrmEmailMerge::BindPacing(SendEvents& e, int perTransaction) {
  const Settings& s = AppSettings();
  app::BindPacing(e, PacingLimit(s.RecipientsPerMinute), PacingLimit(s.RecipientsPerDay),
                  perTransaction, JournalsFolder(), journal_.get());
}

void TfrmEmailMerge::BuildResumeMenu(QMenu* file) {
  miResumeSend = new QAction("&Resume Send", file);
  miResumeSend->setObjectName("miResumeSend");
  // Right after Send: the two start a send.
  const QList<QAction*> actions = file->actions();
  const auto at = std::find(actions.begin(), actions.end(), miSend);
  QAction* before = at != actions.end() && at + 1 != actions.end() ? *(at + 1) : nullptr;
  file->insertAction(before, miResumeSend);
  connect(miResumeSend, &QAction::triggered, this, [this] { OfferResume(false); });
}

std::string TfrmEmailMerge::JournalsFolder() const {
  return JournalFolder(services_.places.homeDir);
}

bool TfrmEmailMerge::BeginJournal(const MailMessage& message, const SendSetup& setup) {
  if (journal_)
    QTimer::singleShot(0, this, [j = std::shared_ptr<TSendJournal>(std::move(journal_))] {});
  const JournalHead head =
      JournalHeadFor(edtSubject->text().toStdString(), setup, message, std::time(nullptr));
  auto made = TSendJournal::Create(JournalsFolder(), head);
  if (auto* error = std::get_if<std::string>(&made)) {
    services_.dialogs.ShowWarning(std::string(kJournalNotWritten) + *error +
                                  "\nThe message has not been sent.");
    return false;
  }
  journal_ = std::get<std::unique_ptr<TSendJournal>>(std::move(made));
  return true;
}

// The open journals, newest first: each asked about in turn until one is resumed or the user
// puts the question off.
void TfrmEmailMerge::OfferResume(bool atStart) {
  if (Sending()) return;
  std::vector<std::string> files = JournalFiles(JournalsFolder());
  std::reverse(files.begin(), files.end());
  bool offered = false;
  for (const std::string& path : files) {
    auto read = ReadJournal(path);
    if (auto* reason = std::get_if<std::string>(&read)) {
      if (!atStart) services_.dialogs.ShowWarning(*reason);
      continue;
    }
    JournalState state = std::get<JournalState>(std::move(read));
    if (state.closed) continue;
    const std::int64_t now = std::time(nullptr);
    if (state.pausedUntil && *state.pausedUntil > now) {
      if (!atStart)
        services_.dialogs.ShowMessage("The send of \"" + state.head.subject +
                                      "\" is paused until " + DateTimeOf(*state.pausedUntil) + ".");
      continue;
    }
    offered = true;
    const int choice = services_.dialogs.Choose(ResumeQuestion(state, DateOf(state.head.started)),
                                                {"&Yes", "&Discard", "&Not Now"});
    if (choice == 1) {
      auto reopened = TSendJournal::Reopen(state);
      if (auto* journal = std::get_if<std::unique_ptr<TSendJournal>>(&reopened);
          journal == nullptr || !(*journal)->Close())
        services_.dialogs.ShowWarning("The send journal " + path + " could not be closed.");
      continue;
    }
    if (choice == 0) ResumeJournal(std::move(state));
    return;
  }
  if (!offered && !atStart) services_.dialogs.ShowMessage("No send is waiting to be resumed.");
}

bool TfrmEmailMerge::ResumeJournal(JournalState state) {
  if (const auto change = AttachmentChange(state.head)) {
    services_.dialogs.ShowWarning(*change);
    return false;
  }
  bool include = false;
  if (!state.mayHaveBeenDelivered.empty())
    include = services_.dialogs.Confirm(
        "The message may have been delivered to " +
        std::to_string(state.mayHaveBeenDelivered.size()) +
        " recipients of that send already: the server's confirmation did not reach the journal. "
        "Send it to them again too?");
  const std::optional<SendAccess> access = GatherSendAccess(services_, AppSettings());
  if (!access) return false;
  auto reopened = TSendJournal::Reopen(state);
  if (auto* error = std::get_if<std::string>(&reopened)) {
    services_.dialogs.ShowWarning(*error);
    return false;
  }
  if (journal_)
    QTimer::singleShot(0, this, [j = std::shared_ptr<TSendJournal>(std::move(journal_))] {});
  journal_ = std::get<std::unique_ptr<TSendJournal>>(std::move(reopened));
  MailMessage message;
  message.lines = state.head.lines;
  message.boundary = state.head.boundary;
  message.optOutField = state.head.optOutField;
  message.personalised = state.head.personalised;
  message.input = state.head.input;
  for (const JournalAttachment& a : state.head.attachments) message.attachments.push_back(a.path);
  message.settledBefore = SettledFor(state, include);
  if (!include)
    for (const std::int32_t record : state.mayHaveBeenDelivered)
      journal_->Skip(record, kMayHaveBeenDelivered);
  if (!journal_->Resumed()) {
    services_.dialogs.ShowWarning(std::string(kJournalNotWritten) + journal_->Error());
    return false;
  }

  services_.dialogs.SetBusyCursor(true);
  SetSending(true);
  WaitForLogSaved();
  SendSetup setup = NextSendSetup();
  access->FillSetup(setup);
  setup.tableFile = state.head.tableFile;
  setup.nameField = state.head.nameField;
  setup.emailField = state.head.emailField;
  setup.returnEmail = state.head.returnEmail;
  if (send_) QTimer::singleShot(0, this, [last = std::shared_ptr<TMailSend>(std::move(send_))] {});
  const int perTransaction = setup.recipientsPerMessage;
  send_ = std::make_unique<TMailSend>(std::move(setup));
  BindSendEvents(send_->Events());
  journal_->Bind(send_->Events(), send_->Log());
  BindPacing(send_->Events(), perTransaction);
  StartLog(send_->Log());
  send_->Start(std::move(message));
  return true;
}

}  // namespace tavrin::app
