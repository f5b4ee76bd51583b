// TfrmEmailMerge: the main window, where the user writes the one message that goes to every recipient.
//
// Creates a send (TMailSend) from the settings at each Send, starts, stops and listens to it, and
// keeps the latest one for its log until the next; the send owns the connection, the recipients
// table and the time-outs. The window keeps the transcript across sends. Its creation loads,
// saves and applies the settings and refuses to run without a recipients table; closing it saves
// the settings. The browser window and the configuration dialog are created after it and handed
// in (not owned here).
// GUI thread.
#pragma once

#include <QMainWindow>
#include <ctime>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "program/AppServices.h"
#include "program/Draft.h"
#include "program/PersonalMessage.h"
#include "send/MailSend.h"
#include "send/SendJournal.h"
#include "windows/FileListView.h"

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QShortcut;
class QSplitter;
class QStatusBar;
class QToolBar;
class QTimer;
class QToolButton;

namespace tavrin::app {

class TfrmBrowser;
class TfrmConfiguration;
class TRecipientsMenu;
class TfrmLog;

inline constexpr const char* kToPlaceholder =
    "< click here to enter a description of who the email is addressed to >";
inline constexpr const char* kSubjectPlaceholder = "< click here to enter the subject >";
inline constexpr const char* kNoDatabaseMessage = "No database file found! Program terminating.";

class TfrmEmailMerge : public QMainWindow {
  Q_OBJECT
 public:
  // Runs the creation sequence; `services` must outlive the window.
  explicit TfrmEmailMerge(AppServices& services);
  ~TfrmEmailMerge() override;

  // The windows created after this one; either may be null.
  void SetSecondaryWindows(TfrmBrowser* browser, TfrmConfiguration* configuration);

  // Hands the settings to the To field, the next send's port and the window titles.
  void ApplySettings();

  void btnConfigureClick();
  void btnCloseClick();
  void btnBrowseClick();
  // Checks the message, copies it with the attachment list, and starts the send; while a send
  // runs the same button (and Esc) is "Stop" and ends it.
  void btnSendClick();
  // Asks for a file and adds it to the attachments, opening their section when it is closed.
  void btnAttachClick();
  // The edit commands on the message memo, and the view toggles.
  void btnUndoClick();
  void btnCutClick();
  void btnCopyClick();
  void btnPasteClick();
  void miSelectAllClick();
  void miToolbarClick();
  void miStatusBarClick();
  // File > Save Message As... and Open Message... (MessageFileMenu.cpp): the message being
  // written as a mail file, and one read back into the window (unchanged when it cannot be read).
  void miSaveMessageClick();
  void miOpenMessageClick();
  // File > New Message (DraftKeeping.cpp): an empty message, after asking when this one was not sent.
  void miNewMessageClick();
  // Told by each send that completed: a note-less one (every recipient reached) marks the draft sent.
  void DraftSendCompleted(const std::string& note);
  // File > Send Test to Me: the message as one record receives it (the record the preview shows
  // while it is open, else the first live one), sent to the return address alone; no log is kept
  // or shown, only whether it went.
  void miSendTestClick();
  // The record a test send is made from now; nothing when the table has no live record.
  std::optional<std::int32_t> TestRecord();
  // Options > One Message per Recipient as chosen (the item shows it checked regardless while the
  // message holds placeholders, which make the send personalised anyway).
  bool OnePerRecipientChosen() const { return onePerRecipient_; }

  // What Send hands the core now: the message typed, the attachments, and how it is sent.
  MailMessage MakeMessage(std::optional<std::int32_t> testRecord = std::nullopt);

  // True while a send runs.
  bool Sending() const { return send_ && send_->Running(); }
  // The dialogue of the send under way or the last one. REQUIRES: a Send has started one.
  TSendDialogue& Dialogue() { return send_->Dialogue(); }
  // Acts on how a send ended, before its failure or log is shown: drops a refused password.
  void SendEnded(const SendOutcome& outcome);
  // Where the next send goes and what it reads, as the settings say; no credentials.
  SendSetup NextSendSetup() const;
  // The certificate authorities a send trusts; "": the system's. Tests name their own.
  std::string trustedCaFile;

  // The transcript's latest lines, as received, one at a time (a send's lines come through its
  // transcript event).
  void AddTranscript(const std::string& line);
  // The transcript's latest lines (at most kTranscriptLines), oldest first, joined by "\n"; the
  // transcript memo Memo1 shows them when it is shown.
  QString TranscriptText() const;
  static constexpr std::size_t kTranscriptLines = 5000;

  // Starts a send's log from the settings: its title, the sender, the date and time.
  void StartLog(TSendLog& log);
  // Shows the log of a completed send in a new modal log window, with where its files were saved.
  void ShowLog();

  // The height of the splitter's upper (message) section in pixels.
  int SplitterPosition() const;
  void SetSplitterPosition(int position);

  QToolBar* ToolBar;
  QToolButton *btnSend, *btnUndo, *btnCut, *btnCopy, *btnPaste, *btnConfig, *btnBrowse, *btnAttach;
  QAction *miSend, *miProperties, *miClose, *miUndo, *miCut, *miCopy, *miPaste, *miSelectAll,
      *miToolbar, *miStatusBar, *miFileAttachment, *miSelectRecipients;
  QAction *miSaveMessage = nullptr, *miOpenMessage = nullptr;
  QAction* miNewMessage = nullptr;
  QAction* miSendTest = nullptr;         // File > Send Test to Me (Ctrl+T)
  QAction* miOnePerRecipient = nullptr;  // Options > One Message per Recipient
  QAction* miResumeSend = nullptr;
  QMenu* mnuHelp;
  QFrame *pnlHeader, *pnlTo, *pnlSubject;
  QLineEdit *edtTo, *edtSubject;
  QSplitter* Splitter;
  QPlainTextEdit* mmoMessage;
  TFileListView* lstAttachments;
  QFrame *pnlFooter, *pnlProgress;
  QProgressBar* pbProgress;
  QStatusBar* StatusBar;
  QPlainTextEdit* Memo1;
  // File > New/Open Recipients Table, Import/Export Recipients, and the table in the status bar.
  TRecipientsMenu* Recipients = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void BuildMessageFileMenu(QMenu* file);
  void ShowFieldText(QLineEdit* edit, const std::string& text, const char* placeholder);
  void BuildToolBar(QWidget* parent);
  void BuildHeader(QWidget* parent);
  void BuildFooter(QWidget* parent);
  void FormCreate();
  void FormShow();
  void BindEditCommands();
  bool MemoEvent(QObject* watched, QEvent* event);
  void mmoMessageEnter();
  void mmoMessageExit();
  void mmoMessageChange();
  // Cut and Copy are enabled exactly when the memo has a selection.
  void UpdateCutCopy();
  void FieldEnter(QLineEdit* edit, QFrame* frame, const char* placeholder);
  void FieldExit(QLineEdit* edit, QFrame* frame, const char* placeholder);
  bool CheckSendFields();
  // The texts as typed (placeholders of the empty fields count as nothing typed).
  MessageTexts TypedTexts() const;
  // The checks Send and Send Test to Me make before connecting; false after saying why.
  bool MessageSendable();
  // Starts a send of `message` with the settings' server; `test`: a test send (no log).
  void StartSend(MailMessage message, bool test);
  // Shows the one-per-recipient item checked while placeholders demand it, else as chosen.
  void UpdateOnePerRecipient();
  void SetOnePerRecipientChosen(bool chosen);
  void BindStopKey();
  void BindSendEvents(SendEvents& e);
  // While a send runs, everything that could change what it reads or start another is disabled.
  void SetSending(bool sending);
  void ShowProgress(std::int64_t maximum, std::int64_t position);
  // Status and progress reach the screen at most once per kDisplayIntervalMs, the latest winning,
  // so a fast send is not slowed by repaints; FlushSendDisplay shows what is waiting at once.
  void FlushSendDisplay();
  // Shows a status text in the bar, cut to its width with the whole text as its tool tip.
  void ShowStatus(const QString& text);
  // Writes the log's files on a thread of their own; WaitForLogSaved returns once they are written.
  void SaveLogInBackground();
  void WaitForLogSaved();

  // Drafts (DraftKeeping.cpp): the message being written is saved about two seconds after each
  // change and at close, and restored once when the window first shows.
  void BuildDraftMenu(QMenu* file);
  void BindDraftKeeping();
  void RestoreDraft();
  void SaveDraftNow();
  Draft CurrentDraft() const;
  bool DraftUnsent() const;
  QTimer* draftTimer_ = nullptr;
  Draft savedDraft_;            // what the draft file holds (or the window showed at start)
  bool draftRestored_ = false;  // the draft is restored once, at the first show
  bool keepDrafts_ = true;      // false when a draft that could not be read is still in the way

  // The send journal and Resume (ResumeSend.cpp): a journal for every send, File > Resume Send
  // and the offer at start.
  void BuildResumeMenu(QMenu* file);
  std::string JournalsFolder() const;
  bool BeginJournal(const MailMessage& message, const SendSetup& setup);
  void OfferResume(bool atStart);
  bool ResumeJournal(JournalState state);
  void BindPacing(SendEvents& e, int perTransaction);
  bool resumeOffered_ = false;
  std::unique_ptr<TSendJournal> journal_;  // the send's, kept until the next send replaces it

  AppServices& services_;
  TfrmBrowser* frmBrowser_ = nullptr;
  TfrmConfiguration* frmConfiguration_ = nullptr;
  std::unique_ptr<TMailSend> send_;
  int serverPort_ = 0;            // the settings' port when it was last valid; 0 before
  QShortcut* stopKey_ = nullptr;  // Esc while a send runs
  QTimer* displayTimer_ = nullptr;
  std::optional<std::string> pendingStatus_;
  QString statusText_;  // the whole of the status text the bar shows, cut or not
  std::optional<std::pair<std::int64_t, std::int64_t>> pendingProgress_;
  std::deque<std::string> transcript_;  // as received, the oldest dropped beyond kTranscriptLines
  std::time_t sendStarted_ = 0;
  std::string logSaved_;  // where the last log's files went, as the log window says it
  std::future<void> savingLog_;
  TfrmLog* shownLog_ = nullptr;   // the log window while it is up
  std::string attachFolder_;      // where the Attach dialog opens; "" until the first Attach
  bool onePerRecipient_ = false;  // the user's own choice, kept with the draft
  bool testSend_ = false;         // the send under way (or the last) is a test send
};

}  // namespace tavrin::app
