#include "app/ConfigDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionFrame>
#include <limits>

#include "app/Centring.h"
#include "platform/IntConv.h"

namespace tavrin::app {

namespace {

constexpr int kLineEditMargin = 2;  // QLineEdit's own blank on each side of its text
const QSize kDesignSize(328, 163);

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(std::numeric_limits<int>::max());  // a long value comes back whole
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* text) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  return button;
}

// The width at which the edit shows five digits whole, in its own font and style.
int FiveDigitWidth(QLineEdit* edit) {
  QStyleOptionFrame option;
  option.initFrom(edit);
  option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
  const QMargins text = edit->textMargins();
  const int cursor = 1;
  const QSize contents(edit->fontMetrics().horizontalAdvance(QStringLiteral("99999")) +
                           2 * kLineEditMargin + text.left() + text.right() + cursor,
                       edit->fontMetrics().height());
  return edit->style()->sizeFromContents(QStyle::CT_LineEdit, &option, contents, edit).width();
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

// The controls sit in a grid that grows with the font, so no text is ever cut; the design size is
// the smallest the dialog gets.
void TfrmConfiguration::BuildForm() {
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(8, 8, 8, 8);
  grid->addWidget(MakeLabel(this, "Label4",
                            "The following information is required before e-mail can be sent:"),
                  0, 0, 1, 4);
  grid->addWidget(MakeLabel(this, "Label6", "Your name:"), 1, 0);
  grid->addWidget(edtName = MakeEdit(this, "edtName"), 1, 1, 1, 3);
  grid->addWidget(MakeLabel(this, "Label1", "Your e-mail address:"), 2, 0);
  grid->addWidget(edtEmailAddress = MakeEdit(this, "edtEmailAddress"), 2, 1, 1, 3);
  grid->addWidget(MakeLabel(this, "Label2", "E-mail Server (SMTP): "), 3, 0);
  grid->addWidget(edtEmailServer = MakeEdit(this, "edtEmailServer"), 3, 1);
  grid->addWidget(MakeLabel(this, "Label3", "Port:"), 3, 2);
  grid->addWidget(edtPort = MakeEdit(this, "edtPort"), 3, 3);
  edtPort->setFixedWidth(FiveDigitWidth(edtPort));
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(4, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOK = MakeButton(this, "btnOK", "&OK"));
  buttons->addWidget(btnCancel = MakeButton(this, "btnCancel", "&Cancel"));
  btnOK->setDefault(true);
  grid->addLayout(buttons, 5, 0, 1, 4);
  setFixedSize(sizeHint().expandedTo(kDesignSize));

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
  setWindowTitle(SettingToQString(s.ProgramCaption + " Setup"));
  CentreOnScreen(*this);
  edtName->setText(SettingToQString(s.SenderName));
  edtEmailAddress->setText(SettingToQString(s.ReturnEmail));
  edtEmailServer->setText(SettingToQString(s.ServerName));
  edtPort->setText(SettingToQString(s.ServerPort));
  if (s.ReturnEmail.empty()) s.FirstRun = true;
}

bool TfrmConfiguration::Refuse(QLineEdit* field, const char* message) {
  services_.dialogs.ShowMessage(message);
  field->setFocus();
  return false;
}

// The checks in their order; the first that fails is told and keeps the dialog open.
bool TfrmConfiguration::FieldsAreValid() {
  const QString email = edtEmailAddress->text();
  const QString port = edtPort->text();
  if (edtName->text().trimmed().isEmpty()) return Refuse(edtName, "You must enter your name.");
  if (!email.contains(u'@'))
    return Refuse(edtEmailAddress, "You must enter your email address.");
  if (!IsPlainAddress(QStringToSetting(email)))
    return Refuse(edtEmailAddress, "Please enter a plain e-mail address such as name@example.com.");
  if (edtEmailServer->text().trimmed().isEmpty())
    return Refuse(edtEmailServer, "You must enter your email server (SMTP).");
  if (port.isEmpty()) return Refuse(edtPort, "The server port must be specified.");
  const auto number = platform::StrToInt(QStringToSetting(port));
  if (!number) return Refuse(edtPort, "The server port must be a valid integer.");
  if (*number < kLowestPort || *number > kHighestPort)
    return Refuse(edtPort, "The port must be a number from 1 to 65535.");
  return true;
}

void TfrmConfiguration::btnOKClick() {
  setResult(0);
  if (!FieldsAreValid()) return;
  // A pasted line break would end a header line of the message; it is kept as a blank, as the
  // settings file keeps it.
  const auto typed = [](const QLineEdit* edit) {
    QString text = edit->text();
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    return QStringToSetting(text);
  };
  Settings& s = AppSettings();
  s.SenderName = typed(edtName);
  s.ReturnEmail = typed(edtEmailAddress);
  s.ServerName = typed(edtEmailServer);
  s.ServerPort = typed(edtPort);
  if (s.To.empty()) s.To = kSampleToDescription;
  if (applySettings_) applySettings_();
  // Confirmed settings reach the file at once, so no crash or kill can take them.
  SaveSettings(s, services_.places, services_.dialogs);
  accept();
}

void TfrmConfiguration::btnCancelClick() { reject(); }

void TfrmConfiguration::done(int result) {
  // Without a sender address there is nothing the program can send with: until one is set, every
  // way of closing but a confirmed OK ends the program.
  if (AppSettings().ReturnEmail.empty() && result != QDialog::Accepted && services_.terminate)
    services_.terminate();
  QDialog::done(result);
}

}  // namespace tavrin::app
