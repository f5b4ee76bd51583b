#include "app/LogWindow.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStringList>

#include "app/Settings.h"
#include "platform/CodePageQt.h"

namespace tavrin::app {

TfrmLog::TfrmLog(platform::Dialogs& dialogs, QWidget* owner) : QDialog(owner), dialogs_(dialogs) {
  setObjectName("frmLog");
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(603, 424);

  reLog = new QPlainTextEdit(this);
  reLog->setObjectName("reLog");
  reLog->setGeometry(-1, -2, 605, 391);
  QFont font("Courier");
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  reLog->setFont(font);
  reLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  reLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  btnCopyToClipboard = new QPushButton("&Copy To Clipboard", this);
  btnCopyToClipboard->setObjectName("btnCopyToClipboard");
  btnCopyToClipboard->setGeometry(396, 395, 122, 25);
  btnClose = new QPushButton("Cl&ose", this);
  btnClose->setObjectName("btnClose");
  btnClose->setGeometry(525, 395, 71, 25);
  btnClose->setAutoDefault(false);
  btnCopyToClipboard->setAutoDefault(false);

  connect(btnCopyToClipboard, &QPushButton::clicked, this, &TfrmLog::btnCopyToClipboardClick);
  connect(btnClose, &QPushButton::clicked, this, &TfrmLog::btnCloseClick);
}

void TfrmLog::SetLines(const std::vector<std::string>& lines) {
  QStringList text;
  for (const auto& line : lines) text << platform::AnsiToQString(line);
  reLog->setPlainText(text.join('\n'));
}

void TfrmLog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous())
    setWindowTitle(SettingToQString(AppSettings().ProgramCaption + " Log"));
}

void TfrmLog::btnCopyToClipboardClick() {
  dialogs_.SetClipboardText(platform::QStringToAnsi(reLog->toPlainText()));
}

void TfrmLog::btnCloseClick() { reject(); }

}  // namespace tavrin::app
