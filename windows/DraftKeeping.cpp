// The main window's drafts: the message being written is saved by itself a moment after each
// change and when the window closes, restored when the program starts, and File > New Message
// starts an empty one. The file work is Draft's; this side only reads and fills the window.
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QAction>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTextCursor>
#include <QTimer>
#include <cstdlib>

#include "windows/MainWindow.h"

namespace tavrin::app {
namespace {

// Long enough that a save does not follow every key, short enough that a kill loses little.
constexpr int kDraftDelayMs = 2000;
constexpr int kAttachSectionHeight = 70;

// A field's text, or "" while it shows its placeholder.
std::string FieldText(const QLineEdit* edit, const char* placeholder) {
  const QString text = edit->text();
  return text.compare(placeholder, Qt::CaseInsensitive) == 0 ? std::string() : text.toStdString();
}

}  // namespace

void TfrmEmailMerge::BuildDraftMenu(QMenu* file) {
  miNewMessage = new QAction("New &Message", file);
  miNewMessage->setObjectName("miNewMessage");
  miNewMessage->setShortcut(QKeySequence::New);
  file->insertAction(miSend, miNewMessage);
  connect(miNewMessage, &QAction::triggered, this, &TfrmEmailMerge::miNewMessageClick);
}

void TfrmEmailMerge::BindDraftKeeping() {
  draftTimer_ = new QTimer(this);
  draftTimer_->setObjectName("draftTimer");
  draftTimer_->setSingleShot(true);
  draftTimer_->setInterval(kDraftDelayMs);
  connect(draftTimer_, &QTimer::timeout, this, &TfrmEmailMerge::SaveDraftNow);
  // Every change starts the wait again; the save itself finds out whether anything changed.
  auto changed = [this] { draftTimer_->start(); };
  connect(edtTo, &QLineEdit::textChanged, this, changed);
  connect(edtSubject, &QLineEdit::textChanged, this, changed);
  connect(mmoMessage, &QPlainTextEdit::textChanged, this, changed);
  QAbstractItemModel* files = lstAttachments->CurrentView()->model();
  connect(files, &QAbstractItemModel::rowsInserted, this, changed);
  connect(files, &QAbstractItemModel::rowsRemoved, this, changed);
  connect(files, &QAbstractItemModel::rowsMoved, this, changed);
  connect(files, &QAbstractItemModel::layoutChanged, this, changed);
  connect(files, &QAbstractItemModel::modelReset, this, changed);
}

// A send that reached every recipient makes the message a sent one until it is changed.
void TfrmEmailMerge::DraftSendCompleted(const std::string& note) {
  if (!note.empty()) return;
  draftTimer_->stop();
  Draft sent = CurrentDraft();
  sent.sent = true;
  if (sent.SameMessage(savedDraft_) && savedDraft_.sent) return;
  if (keepDrafts_) {
    if (const auto error = SaveDraft(DraftFolder(services_.places.homeDir), sent))
      ShowStatus(QString::fromStdString(*error));
  }
  savedDraft_ = sent;
}

Draft TfrmEmailMerge::CurrentDraft() const {
  Draft draft;
  draft.to = FieldText(edtTo, kToPlaceholder);
  draft.subject = FieldText(edtSubject, kSubjectPlaceholder);
  draft.body = mmoMessage->toPlainText().toStdString();
  for (int i = 0; i < lstAttachments->Count(); ++i)
    draft.attachments.push_back(lstAttachments->GetFilePath(i));
  draft.personalised = onePerRecipient_;
  // What the window has no control for yet comes back as it was read.
  draft.otherKeys = savedDraft_.otherKeys;
  return draft;
}

bool TfrmEmailMerge::DraftUnsent() const {
  const Draft current = CurrentDraft();
  if (current.Empty()) return false;
  return !(savedDraft_.sent && current.SameMessage(savedDraft_));
}

void TfrmEmailMerge::SaveDraftNow() {
  if (draftTimer_ == nullptr) return;
  draftTimer_->stop();
  if (!draftRestored_ || !keepDrafts_) return;  // nothing may replace a draft not yet read
  Draft current = CurrentDraft();
  if (current.SameMessage(savedDraft_)) return;
  if (const auto error = SaveDraft(DraftFolder(services_.places.homeDir), current)) {
    ShowStatus(QString::fromStdString(*error));
    return;  // the next change tries again
  }
  savedDraft_ = std::move(current);
}

void TfrmEmailMerge::RestoreDraft() {
  if (draftRestored_) return;
  draftRestored_ = true;
  DraftRead read = ReadDraft(DraftFolder(services_.places.homeDir));
  keepDrafts_ = read.keep;
  std::string note = read.note;
  if (read.draft) {
    const Draft& draft = *read.draft;
    ShowFieldText(edtTo, draft.to, kToPlaceholder);
    ShowFieldText(edtSubject, draft.subject, kSubjectPlaceholder);
    mmoMessage->setPlainText(QString::fromStdString(draft.body));
    lstAttachments->CurrentView()->selectAll();
    lstAttachments->DeleteSelected();
    int missing = 0;
    for (const std::string& path : draft.attachments)
      if (!lstAttachments->AddFile(path)) ++missing;
    if (lstAttachments->Count() > 0 &&
        SplitterPosition() >= Splitter->height() - kAttachSectionHeight)
      SetSplitterPosition(Splitter->height() - kAttachSectionHeight);
    if (missing > 0)
      note = std::to_string(missing) + " of the draft's attachments could not be found again.";
    SetOnePerRecipientChosen(draft.personalised);
    savedDraft_ = draft;
  } else {
    savedDraft_ = CurrentDraft();
  }
  draftTimer_->stop();  // filling the window is no change
  if (!note.empty()) ShowStatus(QString::fromStdString(note));

  // For the tests of a real process killed while it saves: typed text, one save, then the end.
  if (const char* typed = std::getenv("TAVRIN_TEST_DRAFT_TYPING"); typed != nullptr) {
    mmoMessage->moveCursor(QTextCursor::End);
    mmoMessage->insertPlainText(QString::fromUtf8(typed));
    connect(draftTimer_, &QTimer::timeout, this, &TfrmEmailMerge::close, Qt::QueuedConnection);
  }
}

void TfrmEmailMerge::miNewMessageClick() {
  if (Sending()) return;  // the send reads the message and its attachments
  if (DraftUnsent() &&
      !services_.dialogs.Confirm("The message you are writing has not been sent. Discard it and "
                                 "start a new one?"))
    return;
  draftTimer_->stop();
  ShowFieldText(edtTo, SettingToQString(AppSettings().To).toStdString(), kToPlaceholder);
  ShowFieldText(edtSubject, std::string(), kSubjectPlaceholder);
  mmoMessage->clear();
  lstAttachments->CurrentView()->selectAll();
  lstAttachments->DeleteSelected();
  draftTimer_->stop();
  // The new message starts with none of the old one's options either.
  SetOnePerRecipientChosen(false);
  savedDraft_.otherKeys.clear();
  Draft fresh = CurrentDraft();
  if (keepDrafts_ && draftRestored_) {
    if (const auto error = SaveDraft(DraftFolder(services_.places.homeDir), fresh))
      ShowStatus(QString::fromStdString(*error));
  }
  savedDraft_ = std::move(fresh);
  edtSubject->setFocus();
}

}  // namespace tavrin::app
