#include "platform/Dialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QStringList>

#include "platform/CodePageQt.h"
#include "platform/Paths.h"

namespace tavrin::platform {
namespace {

// "All Files|*.*|Text|*.txt" -> "All Files (*)" ";;" "Text (*.txt)"
QString QtFilter(const std::string& filter) {
  const QStringList parts = AnsiToQString(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString pattern = parts[i + 1];
    pattern.replace(';', ' ');
    if (pattern == "*.*") pattern = "*";
    out << parts[i] + " (" + pattern + ")";
  }
  return out.join(";;");
}

}  // namespace

void QtDialogs::ShowMessage(const std::string& text, const std::string& caption) {
  ShowBox(QMessageBox::Information, text, caption);
}

void QtDialogs::ShowWarning(const std::string& text, const std::string& caption) {
  ShowBox(QMessageBox::Warning, text, caption);
}

void QtDialogs::ShowBox(int icon, const std::string& text, const std::string& caption) {
  const std::string& title = caption.empty() ? ApplicationTitle() : caption;
  // Texts may carry a server's words: shown as plain text, never as markup.
  QMessageBox box(static_cast<QMessageBox::Icon>(icon), AnsiToQString(title), AnsiToQString(text),
                  QMessageBox::Ok, QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

bool QtDialogs::Confirm(const std::string& text) {
  return QMessageBox::question(QApplication::activeWindow(), AnsiToQString(ApplicationTitle()),
                               AnsiToQString(text), QMessageBox::Ok | QMessageBox::Cancel,
                               QMessageBox::Cancel) == QMessageBox::Ok;
}

std::optional<std::string> QtDialogs::AskPassword(const std::string& prompt) {
  QInputDialog dialog(QApplication::activeWindow());
  dialog.setWindowTitle(AnsiToQString(ApplicationTitle()));
  dialog.setInputMode(QInputDialog::TextInput);
  dialog.setTextEchoMode(QLineEdit::Password);
  dialog.setLabelText(AnsiToQString(prompt));
  // The prompt holds a user and a server name as typed: plain text, never markup.
  for (QLabel* label : dialog.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
  const bool accepted = dialog.exec() == QDialog::Accepted;
  QString typed = dialog.textValue();
  dialog.setTextValue(QString());
  std::optional<std::string> password;
  if (accepted) password = typed.toStdString();
  if (typed.isDetached()) typed.fill(QChar(u'\0'));
  return password;
}

std::optional<std::string> QtDialogs::OpenFile(const OpenFileRequest& request) {
  const QString name = QFileDialog::getOpenFileName(
      QApplication::activeWindow(), AnsiToQString(request.title),
      QString::fromLocal8Bit(request.directory), QtFilter(request.filter));
  if (name.isEmpty()) return std::nullopt;
  return NativePath(name);
}

std::optional<std::string> QtDialogs::SaveFile(const OpenFileRequest& request) {
  const QString name = QFileDialog::getSaveFileName(
      QApplication::activeWindow(), AnsiToQString(request.title),
      QString::fromLocal8Bit(request.directory), QtFilter(request.filter), nullptr,
      request.confirmReplace ? QFileDialog::Options() : QFileDialog::DontConfirmOverwrite);
  if (name.isEmpty()) return std::nullopt;
  return NativePath(name);
}

int QtDialogs::Choose(const std::string& text, const std::vector<std::string>& buttons) {
  QMessageBox box(QMessageBox::Question, AnsiToQString(ApplicationTitle()), AnsiToQString(text),
                  QMessageBox::NoButton, QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);  // the text may hold a path: never markup
  std::vector<QPushButton*> shown;
  for (const std::string& caption : buttons)
    shown.push_back(box.addButton(AnsiToQString(caption), QMessageBox::AcceptRole));
  if (shown.empty()) return -1;
  box.setDefaultButton(shown.front());
  box.setEscapeButton(shown.back());
  box.exec();
  for (std::size_t i = 0; i < shown.size(); ++i)
    if (box.clickedButton() == shown[i]) return static_cast<int>(i);
  return static_cast<int>(shown.size()) - 1;
}

void QtDialogs::SetClipboardText(const std::string& text) {
  QApplication::clipboard()->setText(QString::fromStdString(text));
}

std::optional<std::string> QtDialogs::ClipboardText() {
  const QMimeData* data = QApplication::clipboard()->mimeData();
  if (data == nullptr || !data->hasText()) return std::nullopt;
  return data->text().toStdString();
}

void QtDialogs::SetBusyCursor(bool busy) {
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++busyDepth_;
  } else if (busyDepth_ > 0) {
    QApplication::restoreOverrideCursor();
    --busyDepth_;
  }
}

}  // namespace tavrin::platform
