// The configuration dialog's "Limits": how many recipients per minute and per day the provider
// takes, which the send keeps to by waiting. "0" is no limit.
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "platform/IntConv.h"
#include "windows/ConfigDialog.h"

namespace tavrin::app {
namespace {

constexpr const char* kLimitsNote =
    "0 means no limit. Providers limit how many recipients an account may reach, for example "
    "Gmail about 500 a day (2,000 with Google Workspace), Outlook.com 300 a day, Yahoo Mail "
    "500 a day; many also limit recipients per minute. Ask yours for its limits.";

QLineEdit* LimitEdit(QWidget* parent, const char* name, QLabel* label) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(9);
  label->setBuddy(edit);  // a screen reader names the field by its label
  return edit;
}

bool LimitText(const QLineEdit* edit) {
  const QString text = edit->text().trimmed();
  if (text.isEmpty()) return true;
  const auto number = platform::StrToInt(text.toStdString());
  return number && *number >= 0;
}

}  // namespace

void TfrmConfiguration::BuildLimits(QGridLayout* grid, int row) {
  AddHeading(grid, row, "lblLimits", "Limits");
  auto* perMinute = new QLabel("Recipients per minute:", this);
  perMinute->setObjectName("lblPerMinute");
  auto* perDay = new QLabel("per day:", this);
  perDay->setObjectName("lblPerDay");
  edtPerMinute = LimitEdit(this, "edtPerMinute", perMinute);
  edtPerDay = LimitEdit(this, "edtPerDay", perDay);
  grid->addWidget(perMinute, row + 1, 0);
  grid->addWidget(edtPerMinute, row + 1, 1);
  grid->addWidget(perDay, row + 1, 2);
  grid->addWidget(edtPerDay, row + 1, 3);
  auto* note = new QLabel(kLimitsNote, this);
  note->setObjectName("lblLimitsNote");
  note->setWordWrap(true);
  grid->addWidget(note, row + 2, 0, 1, 4);
}

bool TfrmConfiguration::LimitsAreValid() {
  for (QLineEdit* edit : {edtPerMinute, edtPerDay})
    if (!LimitText(edit))
      return Refuse(edit, "Please enter the limit as a whole number of recipients, or 0 for none.");
  return true;
}

void TfrmConfiguration::TakeLimits() {
  Settings& s = AppSettings();
  const auto take = [](const QLineEdit* edit) {
    const QString text = edit->text().trimmed();
    return text.isEmpty() ? std::string("0")
                          : std::to_string(*platform::StrToInt(text.toStdString()));
  };
  s.RecipientsPerMinute = take(edtPerMinute);
  s.RecipientsPerDay = take(edtPerDay);
}

}  // namespace tavrin::app
