#include "app/ConfigDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include "app/Centring.h"
#include "platform/CodePageQt.h"
#include "platform/IntConv.h"

namespace tavrin::app {

using platform::AnsiToQString;
using platform::QStringToAnsi;

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->move(x, y);
  label->adjustSize();
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int width) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setGeometry(x, y, width, 21);
  return edit;
}

}  // namespace

TfrmConfiguration::TfrmConfiguration(AppServices& services, std::function<void()> applySettings,
                                     QWidget* parent)
    : QDialog(parent), services_(services), applySettings_(std::move(applySettings)) {
  setObjectName("frmConfiguration");
  BuildForm();
  connect(btnOK, &QPushButton::clicked, this, &TfrmConfiguration::btnOKClick);
  connect(btnCancel, &QPushButton::clicked, this, &TfrmConfiguration::btnCancelClick);
}

void TfrmConfiguration::BuildForm() {
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(328, 163);
  MakeLabel(this, "Label4", "The following information is required before e-mail can be sent:", 8,
            8);
  MakeLabel(this, "Label6", "Your name:", 8, 36);
  edtName = MakeEdit(this, "edtName", 136, 32, 184);
  MakeLabel(this, "Label1", "Your e-mail address:", 8, 62);
  edtEmailAddress = MakeEdit(this, "edtEmailAddress", 136, 58, 184);
  MakeLabel(this, "Label2", "E-mail Server (SMTP): ", 8, 88);
  edtEmailServer = MakeEdit(this, "edtEmailServer", 136, 84, 120);
  MakeLabel(this, "Label3", "Port:", 262, 88);
  edtPort = MakeEdit(this, "edtPort", 290, 84, 30);

  btnOK = new QPushButton("&OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setGeometry(164, 128, 75, 25);
  btnOK->setDefault(true);
  btnCancel = new QPushButton("&Cancel", this);
  btnCancel->setObjectName("btnCancel");
  btnCancel->setGeometry(245, 128, 75, 25);

  setTabOrder(edtName, edtEmailAddress);
  setTabOrder(edtEmailAddress, edtEmailServer);
  setTabOrder(edtEmailServer, edtPort);
  setTabOrder(edtPort, btnOK);
  setTabOrder(btnOK, btnCancel);
}

void TfrmConfiguration::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmConfiguration::FormShow() {
  Settings& s = AppSettings();
  setWindowTitle(AnsiToQString(s.ProgramCaption + " Setup"));
  CentreOnScreen(*this);
  edtName->setText(AnsiToQString(s.SenderName));
  edtEmailAddress->setText(AnsiToQString(s.ReturnEmail));
  edtEmailServer->setText(AnsiToQString(s.ServerName));
  edtPort->setText(AnsiToQString(s.ServerPort));
  if (s.ReturnEmail.empty()) s.FirstRun = true;
}

bool TfrmConfiguration::Refuse(QLineEdit* field, const char* message) {
  services_.dialogs.ShowMessage(message);
  field->setFocus();
  return false;
}

void TfrmConfiguration::btnOKClick() {
  setResult(0);
  const std::string name = QStringToAnsi(edtName->text());
  const std::string email = QStringToAnsi(edtEmailAddress->text());
  const std::string server = QStringToAnsi(edtEmailServer->text());
  const std::string port = QStringToAnsi(edtPort->text());

  if (name.empty()) return (void)Refuse(edtName, "You must enter your name.");
  if (email.find('@') == std::string::npos)
    return (void)Refuse(edtEmailAddress, "You must enter your email address.");
  if (server.empty()) return (void)Refuse(edtEmailServer, "You must enter your email server (SMTP).");
  if (port.empty()) return (void)Refuse(edtPort, "The server port must be specified.");
  if (!platform::StrToInt(port))
    return (void)Refuse(edtPort, "The server port must be a valid integer.");

  Settings& s = AppSettings();
  s.SenderName = name;
  s.ReturnEmail = email;
  s.ServerName = server;
  s.ServerPort = port;
  if (s.To.empty()) s.To = kSampleToDescription;
  if (applySettings_) applySettings_();
  accept();
}

void TfrmConfiguration::btnCancelClick() { reject(); }

void TfrmConfiguration::done(int result) {
  // First-run guard: without a confirmed setup there is nothing the program can send with.
  if (AppSettings().FirstRun && result != QDialog::Accepted && services_.terminate)
    services_.terminate();
  QDialog::done(result);
}

}  // namespace tavrin::app
