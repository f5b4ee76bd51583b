#include "app/LogWindow.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStringList>
#include <algorithm>

#include "app/Settings.h"

namespace tavrin::app {

TfrmLog::TfrmLog(platform::Dialogs& dialogs, QWidget* owner) : QDialog(owner), dialogs_(dialogs) {
  setObjectName("frmLog");
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
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
  btnClose = new QPushButton("Cl&ose", this);
  btnClose->setObjectName("btnClose");
  // The design's places, with the buttons as wide and the window as tall as the font needs.
  const QSize copy = btnCopyToClipboard->sizeHint().expandedTo(QSize(122, 25));
  const QSize close = btnClose->sizeHint().expandedTo(QSize(71, 25));
  const int row = std::max(copy.height(), close.height());
  btnClose->setGeometry(596 - close.width(), 395, close.width(), row);
  btnCopyToClipboard->setGeometry(btnClose->x() - 7 - copy.width(), 395, copy.width(), row);
  setFixedSize(603, 424 - 25 + row);
  btnClose->setAutoDefault(false);
  btnCopyToClipboard->setAutoDefault(false);

  connect(btnCopyToClipboard, &QPushButton::clicked, this, &TfrmLog::btnCopyToClipboardClick);
  connect(btnClose, &QPushButton::clicked, this, &TfrmLog::btnCloseClick);
}

void TfrmLog::SetLines(const std::vector<std::string>& lines) {
  QStringList text;
  for (const auto& line : lines) text << QString::fromStdString(line);
  reLog->setPlainText(text.join('\n'));
}

void TfrmLog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous())
    setWindowTitle(SettingToQString(AppSettings().ProgramCaption + " Log"));
}

void TfrmLog::btnCopyToClipboardClick() {
  dialogs_.SetClipboardText(reLog->toPlainText().toStdString());
}

void TfrmLog::btnCloseClick() { reject(); }

}  // namespace tavrin::app
