// TfrmConfiguration: the dialog that edits the sender's name and address, the SMTP server and port,
// how the connection is protected, the account the program signs in with, and what bulk mail
// carries (a reply address, an unsubscribe link, the table's opt-out field).
//
// Created hidden at start and kept until the program ends; shown modally. OK checks the fields in
// order, stores them in the process-wide settings, applies them and writes them to the settings
// file; the password goes only to the secret store (when it is to be remembered) and to memory.
// While there is no sender address any other way of closing ends the program. Holds references to
// the services (must outlive it). GUI thread.
#pragma once

#include <QDialog>
#include <functional>

#include "program/AppServices.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tavrin::app {

// Filled into the To setting by OK when that setting is empty.
inline constexpr const char* kSampleToDescription = "recipients@example.com";

// What the dialog notes under the security choice when the port usually needs another one: 465
// speaks TLS from its first byte, 587 and 25 start in plain text. "" when the two agree, or the
// port is another. A note only: servers on other ports exist, and OK takes any choice.
std::string PortNote(int port, Security security);

class TfrmConfiguration : public QDialog {
  Q_OBJECT
 public:
  TfrmConfiguration(AppServices& services, std::function<void()> applySettings,
                    QWidget* parent = nullptr);

  void btnOKClick();
  void btnCancelClick();

  QLineEdit* edtName;
  QLineEdit* edtEmailAddress;
  QLineEdit* edtEmailServer;
  QLineEdit* edtPort;
  QComboBox* cboSecurity;  // None, STARTTLS, TLS in this order; no choice for an unknown setting
  QLineEdit* edtUserName;
  QLineEdit* edtPassword;
  QCheckBox* chkRememberPassword;
  QLabel* lblPortNote;  // PortNote for the port and choice shown; empty when there is none
  // What bulk mail carries: where replies go, the unsubscribe link, the table's opt-out field.
  QLineEdit* edtReplyTo;
  QLineEdit* edtListUnsubscribe;
  QLineEdit* edtOptOutField;
  // Limits: the provider's recipients per minute and per day ("0": none), and a note.
  QLineEdit* edtPerMinute = nullptr;
  QLineEdit* edtPerDay = nullptr;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 protected:
  void showEvent(QShowEvent* event) override;
  // Every way of closing passes here: OK, Cancel, Esc and the close box.
  void done(int result) override;

 private:
  void FormShow();
  void BuildForm();
  void BuildSignIn(QGridLayout* grid, int row);
  void BuildBulkMail(QGridLayout* grid, int row);
  void BuildLimits(QGridLayout* grid, int row);  // ConfigLimits.cpp
  void AddHeading(QGridLayout* grid, int row, const char* name, const char* text);
  bool LimitsAreValid();
  void TakeLimits();
  void ShowSignIn();
  void cboSecurityChange(int index);
  void UpdateSignInFields();
  void UpdatePortNote();
  void StorePassword();
  bool Refuse(QWidget* field, const char* message);
  bool FieldsAreValid();

  AppServices& services_;
  std::function<void()> applySettings_;
  int shownSecurity_ = -1;    // the choice before the one being made, for the port rule
  std::string shownKey_;      // the account the dialog was shown with
  bool shownStored_ = false;  // whether the store answered with a password for it
};

}  // namespace tavrin::app
