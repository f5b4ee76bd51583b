#include "windows/ConfigDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>
#include <cctype>
#include <limits>

#include "windows/Centring.h"
#include "program/SendAccess.h"
#include "platform/IntConv.h"
#include "platform/SecretStore.h"

namespace tavrin::app {

namespace {

constexpr int kLineEditMargin = 2;  // QLineEdit's own blank on each side of its text
const QSize kDesignSize(328, 163);

// The choices of the security box, in its order, with the port each usually has.
constexpr Security kSecurityChoices[] = {Security::kNone, Security::kStartTls, Security::kTls};
constexpr int kUsualPorts[] = {25, 587, 465};

int ChoiceOf(const std::optional<Security>& security) {
  for (int i = 0; i < std::ssize(kSecurityChoices); ++i)
    if (security == kSecurityChoices[i]) return i;
  return -1;
}

// A field's text as a setting. A pasted line break would end a header line of the message; it is
// kept as a blank, as the settings file keeps it.
std::string Typed(const QLineEdit* edit) {
  QString text = edit->text();
  text.replace(u'\r', u' ').replace(u'\n', u' ');
  return QStringToSetting(text);
}

std::string Trimmed(const QLineEdit* edit) { return QStringToSetting(edit->text().trimmed()); }

// Empty, or a table field's name: at most ten letters, digits and underscores, a letter first.
bool IsFieldName(const std::string& name) {
  if (name.empty()) return true;
  if (name.size() > 10 || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

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

std::string PortNote(int port, Security security) {
  if (port == 465 && security != Security::kTls)
    return "Port 465 usually needs Security TLS: the server there speaks TLS from its first byte.";
  if ((port == 587 || port == 25) && security == Security::kTls)
    return "Port " + std::to_string(port) +
           " usually needs Security STARTTLS: the server there starts in plain text.";
  return {};
}

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
  grid->addWidget(
      MakeLabel(this, "Label4", "The following information is required before e-mail can be sent:"),
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
  BuildSignIn(grid, 4);
  lblPortNote = new QLabel(this);
  lblPortNote->setObjectName("lblPortNote");
  lblPortNote->setWordWrap(true);
  // Room for the note is kept whether one shows or not: the dialog does not change its size.
  lblPortNote->setMinimumHeight(2 * lblPortNote->fontMetrics().lineSpacing());
  grid->addWidget(lblPortNote, 8, 0, 1, 4);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(8, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOK = MakeButton(this, "btnOK", "&OK"));
  buttons->addWidget(btnCancel = MakeButton(this, "btnCancel", "&Cancel"));
  btnOK->setDefault(true);
  BuildBulkMail(grid, 9);
  BuildLimits(grid, 13);
  grid->addLayout(buttons, 16, 0, 1, 4);
  setFixedSize(sizeHint().expandedTo(kDesignSize));

  setTabOrder(edtName, edtEmailAddress);
  setTabOrder(edtEmailAddress, edtEmailServer);
  setTabOrder(edtEmailServer, edtPort);
  setTabOrder(edtPort, cboSecurity);
  setTabOrder(cboSecurity, edtUserName);
  setTabOrder(edtUserName, edtPassword);
  setTabOrder(edtPassword, chkRememberPassword);
  setTabOrder(chkRememberPassword, edtReplyTo);
  setTabOrder(edtReplyTo, edtListUnsubscribe);
  setTabOrder(edtListUnsubscribe, edtOptOutField);
  setTabOrder(edtOptOutField, edtPerMinute);
  setTabOrder(edtPerMinute, edtPerDay);
  setTabOrder(edtPerDay, btnOK);
  setTabOrder(btnOK, btnCancel);
}

// Security, user name, password and whether to remember it, each on a row of its own.
void TfrmConfiguration::BuildSignIn(QGridLayout* grid, int row) {
  cboSecurity = new QComboBox(this);
  cboSecurity->setObjectName("cboSecurity");
  for (const Security security : kSecurityChoices) cboSecurity->addItem(SecurityName(security));
  grid->addWidget(MakeLabel(this, "lblSecurity", "Security:"), row, 0);
  grid->addWidget(cboSecurity, row, 1, Qt::AlignLeft);
  grid->addWidget(MakeLabel(this, "lblUserName", "User name:"), row + 1, 0);
  grid->addWidget(edtUserName = MakeEdit(this, "edtUserName"), row + 1, 1, 1, 3);
  grid->addWidget(MakeLabel(this, "lblPassword", "Password:"), row + 2, 0);
  grid->addWidget(edtPassword = MakeEdit(this, "edtPassword"), row + 2, 1, 1, 3);
  edtPassword->setEchoMode(QLineEdit::Password);
  chkRememberPassword = new QCheckBox("Remember password", this);
  chkRememberPassword->setObjectName("chkRememberPassword");
  grid->addWidget(chkRememberPassword, row + 3, 1, 1, 3);
  connect(cboSecurity, &QComboBox::currentIndexChanged, this,
          &TfrmConfiguration::cboSecurityChange);
  connect(edtUserName, &QLineEdit::textChanged, this, &TfrmConfiguration::UpdateSignInFields);
  connect(cboSecurity, &QComboBox::currentIndexChanged, this, &TfrmConfiguration::UpdatePortNote);
  connect(edtPort, &QLineEdit::textChanged, this, &TfrmConfiguration::UpdatePortNote);
}

// Optional, each on a row of its own; empty means the message goes without it.
// A part of the dialog starts with a bold heading across the grid, a little apart from the field
// above it.
void TfrmConfiguration::AddHeading(QGridLayout* grid, int row, const char* name, const char* text) {
  QLabel* heading = MakeLabel(this, name, text);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  heading->setContentsMargins(0, heading->fontMetrics().height() / 2, 0, 0);
  grid->addWidget(heading, row, 0, 1, 4);
}

void TfrmConfiguration::BuildBulkMail(QGridLayout* grid, int row) {
  const auto field = [&](int at, const char* labelName, const char* text, const char* editName) {
    QLabel* label = MakeLabel(this, labelName, text);
    QLineEdit* edit = MakeEdit(this, editName);
    label->setBuddy(edit);  // a screen reader names the field by its label
    grid->addWidget(label, at, 0);
    grid->addWidget(edit, at, 1, 1, 3);
    return edit;
  };
  // A heading of its own: below the port note's room the fields would read as the sign-in's.
  AddHeading(grid, row, "lblBulkMail", "For mailings (each may stay empty)");
  edtReplyTo = field(row + 1, "lblReplyTo", "Reply-to address:", "edtReplyTo");
  edtReplyTo->setToolTip("Where replies go when not to your own address.");
  edtListUnsubscribe =
      field(row + 2, "lblListUnsubscribe", "Unsubscribe link:", "edtListUnsubscribe");
  // Short enough to show whole in the field at its narrowest.
  edtListUnsubscribe->setPlaceholderText("mailto: address or https:// link");
  edtListUnsubscribe->setToolTip(
      "A mailto: address or an https URL, sent as the List-Unsubscribe header. It may hold "
      "placeholders such as {EMAIL}.");
  edtOptOutField = field(row + 3, "lblOptOutField", "Opt-out field:", "edtOptOutField");
  edtOptOutField->setToolTip(
      "A logical field of the recipients table: records where it is true get no message.");
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
  edtReplyTo->setText(SettingToQString(s.ReplyTo));
  edtListUnsubscribe->setText(SettingToQString(s.ListUnsubscribe));
  edtOptOutField->setText(SettingToQString(s.OptOutField));
  edtPerMinute->setText(SettingToQString(s.RecipientsPerMinute));
  edtPerDay->setText(SettingToQString(s.RecipientsPerDay));
  if (s.ReturnEmail.empty()) s.FirstRun = true;
  ShowSignIn();
}

void TfrmConfiguration::ShowSignIn() {
  const Settings& s = AppSettings();
  {
    const QSignalBlocker quiet(cboSecurity);  // showing the setting is no choice: the port stays
    cboSecurity->setCurrentIndex(ChoiceOf(ParseSecurity(s.Security)));
  }
  shownSecurity_ = cboSecurity->currentIndex();
  edtUserName->setText(SettingToQString(s.UserName));
  shownKey_ = PasswordKey(s.UserName, s.ServerName);
  KnownPassword known = PasswordKnownFor(services_, shownKey_);
  edtPassword->setText(QString::fromStdString(known.password));
  platform::WipeSecret(known.password);
  shownStored_ = known.stored;
  chkRememberPassword->setChecked(known.stored);
  UpdateSignInFields();
  UpdatePortNote();
}

// A port left at the usual one of the choice before follows the new choice to its usual port.
void TfrmConfiguration::cboSecurityChange(int index) {
  if (shownSecurity_ >= 0 && index >= 0) {
    const auto port = platform::StrToInt(QStringToSetting(edtPort->text()));
    if (port == kUsualPorts[shownSecurity_]) edtPort->setText(QString::number(kUsualPorts[index]));
  }
  shownSecurity_ = index;
}

// Without a user name there is nothing to sign in with, so no password to type or remember.
void TfrmConfiguration::UpdateSignInFields() {
  const bool signIn = !edtUserName->text().trimmed().isEmpty();
  edtPassword->setEnabled(signIn);
  chkRememberPassword->setEnabled(signIn);
}

void TfrmConfiguration::UpdatePortNote() {
  const int choice = cboSecurity->currentIndex();
  const auto port = platform::StrToInt(QStringToSetting(edtPort->text()));
  lblPortNote->setText(choice < 0 || !port
                           ? QString()
                           : QString::fromStdString(PortNote(*port, kSecurityChoices[choice])));
}

bool TfrmConfiguration::Refuse(QWidget* field, const char* message) {
  services_.dialogs.ShowMessage(message);
  field->setFocus();
  return false;
}

// The checks in their order; the first that fails is told and keeps the dialog open.
bool TfrmConfiguration::FieldsAreValid() {
  const QString email = edtEmailAddress->text();
  const QString port = edtPort->text();
  if (edtName->text().trimmed().isEmpty()) return Refuse(edtName, "You must enter your name.");
  if (!email.contains(u'@')) return Refuse(edtEmailAddress, "You must enter your email address.");
  if (!IsPlainAddress(QStringToSetting(email)))
    return Refuse(edtEmailAddress, "Please enter a plain e-mail address such as name@example.com.");
  if (edtEmailServer->text().trimmed().isEmpty())
    return Refuse(edtEmailServer, "You must enter your email server (SMTP).");
  if (port.isEmpty()) return Refuse(edtPort, "The server port must be specified.");
  const auto number = platform::StrToInt(QStringToSetting(port));
  if (!number) return Refuse(edtPort, "The server port must be a valid integer.");
  if (*number < kLowestPort || *number > kHighestPort)
    return Refuse(edtPort, "The port must be a number from 1 to 65535.");
  if (!edtUserName->text().trimmed().isEmpty() && cboSecurity->currentIndex() == 0)
    return Refuse(cboSecurity, kPasswordNeedsEncryption);
  const std::string replyTo = Trimmed(edtReplyTo);
  if (!replyTo.empty() && (replyTo.find('@') == std::string::npos || !IsPlainAddress(replyTo)))
    return Refuse(edtReplyTo, "Please enter a plain reply-to address such as name@example.com.");
  const std::string unsubscribe = Trimmed(edtListUnsubscribe);
  if (!unsubscribe.empty() && !IsListUnsubscribeTarget(unsubscribe))
    return Refuse(edtListUnsubscribe,
                  "Please enter the unsubscribe link as a mailto: address or an https URL, such "
                  "as https://example.com/unsubscribe.");
  if (!IsFieldName(Trimmed(edtOptOutField)))
    return Refuse(edtOptOutField,
                  "Please enter the opt-out field as the name of a logical field of the "
                  "recipients table, such as OPTOUT.");
  return LimitsAreValid();
}

void TfrmConfiguration::btnOKClick() {
  setResult(0);
  if (!FieldsAreValid()) return;
  Settings& s = AppSettings();
  s.SenderName = Typed(edtName);
  s.ReturnEmail = Typed(edtEmailAddress);
  s.ServerName = Typed(edtEmailServer);
  s.ServerPort = Typed(edtPort);
  // With no choice made, an unknown hand-written value stays as it is (and still stops a send).
  const int choice = cboSecurity->currentIndex();
  if (choice >= 0 && ParseSecurity(s.Security) != kSecurityChoices[choice])
    s.Security = SecurityName(kSecurityChoices[choice]);
  s.UserName = QStringToSetting(SettingToQString(Typed(edtUserName)).trimmed());
  s.ReplyTo = Trimmed(edtReplyTo);
  s.ListUnsubscribe = Trimmed(edtListUnsubscribe);
  s.OptOutField = Trimmed(edtOptOutField);
  TakeLimits();
  if (s.To.empty()) s.To = kSampleToDescription;
  if (applySettings_) applySettings_();
  // Confirmed settings reach the file at once, so no crash or kill can take them.
  SaveSettings(s, services_.places, services_.dialogs);
  StorePassword();
  accept();
}

void TfrmConfiguration::StorePassword() {
  const Settings& s = AppSettings();
  std::string typed = edtPassword->text().toStdString();
  ConfirmPassword(services_, shownKey_, shownStored_, PasswordKey(s.UserName, s.ServerName), typed,
                  chkRememberPassword->isChecked());
  platform::WipeSecret(typed);
}

void TfrmConfiguration::btnCancelClick() { reject(); }

void TfrmConfiguration::done(int result) {
  // Without a sender address there is nothing the program can send with: until one is set, every
  // way of closing but a confirmed OK ends the program.
  if (AppSettings().ReturnEmail.empty() && result != QDialog::Accepted && services_.terminate)
    services_.terminate();
  edtPassword->clear();  // the hidden dialog keeps no password
  QDialog::done(result);
}

}  // namespace tavrin::app
