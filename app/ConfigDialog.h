// TfrmConfiguration: the dialog that edits the sender's name and address and the SMTP server and port.
//
// Created hidden at start and kept until the program ends; shown modally. OK checks the four fields
// in order, stores them in the process-wide settings, applies them and writes them to the settings
// file; while there is no sender address any other way of closing ends the program. Holds references to the services (must outlive it). GUI thread.
#pragma once

#include <QDialog>
#include <functional>

#include "app/AppServices.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tavrin::app {

// Filled into the To setting by OK when that setting is empty.
inline constexpr const char* kSampleToDescription = "recipients@example.com";

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
  QPushButton* btnOK;
  QPushButton* btnCancel;

 protected:
  void showEvent(QShowEvent* event) override;
  // Every way of closing passes here: OK, Cancel, Esc and the close box.
  void done(int result) override;

 private:
  void FormShow();
  void BuildForm();
  bool Refuse(QLineEdit* field, const char* message);
  bool FieldsAreValid();

  AppServices& services_;
  std::function<void()> applySettings_;
};

}  // namespace tavrin::app
