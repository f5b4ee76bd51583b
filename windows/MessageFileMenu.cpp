// The main window's File > Save Message As... and Open Message...: the message being written
// kept as a mail file, and a mail file read back into the window. The file work is MessageFile's.
#include <QAbstractItemView>
#include <QAction>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPalette>
#include <QPlainTextEdit>
#include <QSplitter>
#include <ctime>

#include "windows/MainWindow.h"
#include "send/MessageAssembly.h"
#include "send/MessageFile.h"
#include "program/Settings.h"

namespace tavrin::app {
namespace {

constexpr const char* kMessageFilter = "Mail Messages|*.eml|All Files|*.*";

// A field's text, or "" while it shows its placeholder.
std::string FieldText(const QLineEdit* edit, const char* placeholder) {
  const QString text = edit->text();
  return text.compare(placeholder, Qt::CaseInsensitive) == 0 ? std::string() : text.toStdString();
}

}  // namespace

void TfrmEmailMerge::BuildMessageFileMenu(QMenu* file) {
  miOpenMessage = file->addAction("&Open Message...");
  miOpenMessage->setObjectName("miOpenMessage");
  miSaveMessage = file->addAction("Save Message &As...");
  miSaveMessage->setObjectName("miSaveMessage");
  miSaveMessage->setShortcut(QKeySequence::Save);
  connect(miOpenMessage, &QAction::triggered, this, &TfrmEmailMerge::miOpenMessageClick);
  connect(miSaveMessage, &QAction::triggered, this, &TfrmEmailMerge::miSaveMessageClick);
}

void TfrmEmailMerge::miSaveMessageClick() {
  const std::string to = FieldText(edtTo, kToPlaceholder);
  const std::string subject = FieldText(edtSubject, kSubjectPlaceholder);
  const std::string body = mmoMessage->toPlainText().toStdString();
  for (const std::string* text : {&to, &subject, &body})
    if (text->find('\0') != std::string::npos)
      return services_.dialogs.ShowMessage(
          "The message holds a NUL character, which cannot be saved. Remove it and try again.");
  const auto path =
      services_.dialogs.SaveFile({"Save Message As", kMessageFilter, services_.places.homeDir});
  if (!path) return;
  const Settings& s = AppSettings();
  MessageInput input;
  input.SenderName = s.SenderName;
  input.ReturnEmail = SettingToAnsi(s.ReturnEmail);
  input.To = to;
  input.Subject = subject;
  input.Body = SplitBodyLines(body);
  input.Date = InternetDate(std::time(nullptr));
  input.MessageIdToken = NewMessageIdToken();
  const std::string boundary = Boundary();
  std::vector<std::string> attachments;
  for (int i = 0; i < lstAttachments->Count(); ++i)
    attachments.push_back(lstAttachments->GetFilePath(i));
  services_.dialogs.SetBusyCursor(true);
  const auto error = SaveMessageFile(*path, BuildMessage(input, boundary), boundary, attachments);
  services_.dialogs.SetBusyCursor(false);
  if (error) services_.dialogs.ShowWarning(*error);
}

void TfrmEmailMerge::miOpenMessageClick() {
  if (Sending()) return;  // the send reads the attachment list
  // The opened message takes the place of the one being written, and of its draft soon after.
  if (DraftUnsent() &&
      !services_.dialogs.Confirm(
          "The message you are writing has not been sent. Discard it and open another?"))
    return;
  const auto path =
      services_.dialogs.OpenFile({"Open Message", kMessageFilter, services_.places.homeDir});
  if (!path) return;
  services_.dialogs.SetBusyCursor(true);
  auto read = ReadMessageFile(*path);
  std::variant<std::vector<std::string>, std::string> stored = std::vector<std::string>{};
  if (const auto* message = std::get_if<ReadMessage>(&read))
    stored = StoreAttachments(AttachmentsFolder(services_.places.homeDir), message->attachments);
  services_.dialogs.SetBusyCursor(false);
  if (const auto* error = std::get_if<std::string>(&read))
    return services_.dialogs.ShowWarning(*error);
  if (const auto* error = std::get_if<std::string>(&stored))
    return services_.dialogs.ShowWarning(*error);

  const ReadMessage& message = std::get<ReadMessage>(read);
  if (message.to) ShowFieldText(edtTo, *message.to, kToPlaceholder);
  ShowFieldText(edtSubject, message.subject, kSubjectPlaceholder);
  mmoMessage->setPlainText(QString::fromStdString(message.body));
  lstAttachments->CurrentView()->selectAll();
  lstAttachments->DeleteSelected();
  for (const std::string& file : std::get<std::vector<std::string>>(stored))
    lstAttachments->AddFile(file);
  if (lstAttachments->Count() > 0 && SplitterPosition() >= Splitter->height() - 70)
    SetSplitterPosition(Splitter->height() - 70);  // show the attachments
}

// The text in the field's typed colour; an empty one shows the placeholder unless being typed in.
void TfrmEmailMerge::ShowFieldText(QLineEdit* edit, const std::string& text,
                                   const char* placeholder) {
  const bool empty = text.empty() && !edit->hasFocus();
  edit->setText(empty ? QString(placeholder) : QString::fromStdString(text));
  const QWidget* around = edit->parentWidget() != nullptr ? edit->parentWidget() : edit;
  QPalette palette = edit->palette();
  palette.setColor(QPalette::Text,
                   empty ? QColor(128, 128, 128) : around->palette().color(QPalette::Text));
  edit->setPalette(palette);
}

}  // namespace tavrin::app
