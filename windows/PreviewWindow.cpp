#include "windows/PreviewWindow.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <ctime>
#include <filesystem>

#include "windows/FileListView.h"
#include "windows/MainWindow.h"
#include "program/Settings.h"
#include "send/DatasetRecipientTable.h"
#include "send/Placeholders.h"
#include "send/RecipientFilter.h"
#include "send/SendDialogue.h"
#include "dataset/XbDbf.h"
#include "platform/CodePage.h"

namespace tavrin::app {
namespace {

constexpr int kRefreshDelayMs = 150;

std::string Mailbox(const std::string& name, const std::string& address) {
  if (name.empty()) return address;
  return name + " <" + address + ">";
}

std::string Grouped(std::int64_t number) {
  const std::string digits = std::to_string(number);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') out += ',';
    out += digits[i];
  }
  return out;
}

std::string Typed(const QLineEdit* edit, const std::string& placeholder) {
  const QString text = edit->text();
  if (text.compare(QString::fromStdString(placeholder), Qt::CaseInsensitive) == 0) return {};
  return text.toStdString();
}

}  // namespace

std::string PreviewText(const MessageInput& m,
                        const std::vector<std::pair<std::string, std::int64_t>>& attachments) {
  std::string text = "From: " + Mailbox(m.SenderName, m.ReturnEmail) + "\n";
  text += "To: " + (m.ToAddress.empty() ? m.To : Mailbox(m.To, m.ToAddress)) + "\n";
  if (!m.ReplyTo.empty()) text += "Reply-To: " + m.ReplyTo + "\n";
  text += "Subject: " + m.Subject + "\n";
  text += "Date: " + m.Date + "\n";
  if (!m.ListUnsubscribe.empty()) text += "List-Unsubscribe: <" + m.ListUnsubscribe + ">\n";
  if (!attachments.empty()) {
    text += "Attachments:";
    for (std::size_t i = 0; i < attachments.size(); ++i) {
      const auto& [path, size] = attachments[i];
      text += (i == 0 ? " " : ", ") + ExtractNamePart(path) +
              (size < 0 ? " (missing)" : " (" + Grouped(size) + " bytes)");
    }
    text += "\n";
  }
  text += "\n";
  for (const std::string& line : m.Body) text += line + "\n";
  return text;
}

TfrmPreview::TfrmPreview(PreviewSources sources, QWidget* parent)
    : QWidget(parent, Qt::Window), sources_(std::move(sources)) {
  setObjectName("frmPreview");
  setWindowTitle("Preview");
  auto* grid = new QGridLayout(this);
  auto* bar = new QHBoxLayout;
  btnPrevious = new QPushButton("&Previous", this);
  btnPrevious->setObjectName("btnPrevious");
  btnNext = new QPushButton("&Next", this);
  btnNext->setObjectName("btnNext");
  auto* label = new QLabel("&Record:", this);
  edtRecord = new QSpinBox(this);
  edtRecord->setObjectName("edtRecord");
  edtRecord->setRange(1, 1);
  label->setBuddy(edtRecord);
  lblRecords = new QLabel(this);
  lblRecords->setObjectName("lblRecords");
  bar->addWidget(btnPrevious);
  bar->addWidget(label);
  bar->addWidget(edtRecord);
  bar->addWidget(lblRecords);
  bar->addWidget(btnNext);
  bar->addStretch(1);
  grid->addLayout(bar, 0, 0);
  mmoPreview = new QPlainTextEdit(this);
  mmoPreview->setObjectName("mmoPreview");
  mmoPreview->setReadOnly(true);
  mmoPreview->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  grid->addWidget(mmoPreview, 1, 0);
  resize(640, 480);

  refresh_ = new QTimer(this);
  refresh_->setSingleShot(true);
  refresh_->setInterval(kRefreshDelayMs);
  connect(refresh_, &QTimer::timeout, this, &TfrmPreview::Refresh);
  const auto later = [this] {
    if (isVisible()) refresh_->start();
  };
  connect(sources_.to, &QLineEdit::textChanged, this, later);
  connect(sources_.subject, &QLineEdit::textChanged, this, later);
  connect(sources_.body, &QPlainTextEdit::textChanged, this, later);
  if (QAbstractItemModel* files = sources_.attachments->DetailView()->model()) {
    connect(files, &QAbstractItemModel::rowsInserted, this, later);
    connect(files, &QAbstractItemModel::rowsRemoved, this, later);
    connect(files, &QAbstractItemModel::modelReset, this, later);
    connect(files, &QAbstractItemModel::layoutChanged, this, later);
  }
  // Esc puts it away, as it does the other windows; View > Preview brings it back.
  auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(close, &QShortcut::activated, this, &QWidget::close);
  connect(btnPrevious, &QPushButton::clicked, this, [this] { ShowRecord(record_ - 1); });
  connect(btnNext, &QPushButton::clicked, this, [this] { ShowRecord(record_ + 1); });
  connect(edtRecord, &QSpinBox::valueChanged, this, [this](int value) { ShowRecord(value); });
}

void TfrmPreview::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Refresh();  // the settings or the table may have changed while it was hidden
}

void TfrmPreview::ShowRecord(std::int32_t record) {
  record_ = std::max<std::int32_t>(record, 1);
  Refresh();
}

MessageInput TfrmPreview::SharedMessage() const {
  const Settings& s = AppSettings();
  MessageInput in;
  in.SenderName = s.SenderName;
  in.ReturnEmail = s.ReturnEmail;
  in.ReplyTo = s.ReplyTo;
  in.ListUnsubscribe = s.ListUnsubscribe;
  in.To = Typed(sources_.to, sources_.toPlaceholder);
  in.Subject = Typed(sources_.subject, sources_.subjectPlaceholder);
  in.Body = SplitBodyLines(sources_.body->toPlainText().toStdString());
  in.Date = InternetDate(std::time(nullptr));
  return in;
}

std::pair<std::string, std::int32_t> TfrmPreview::Compose() {
  const Settings& s = AppSettings();
  const MessageInput shared = SharedMessage();
  std::vector<std::pair<std::string, std::int64_t>> files;
  for (int i = 0; i < sources_.attachments->Count(); ++i) {
    const std::string path = sources_.attachments->GetFilePath(i);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    files.emplace_back(path, error ? -1 : static_cast<std::int64_t>(size));
  }

  dataset::TXbDbf table("tblPreview");
  TDatasetRecipientTable recipients(table);
  try {
    table.SetDbfFileName(TableFilePath(s));
    recipients.Open();
    const std::int32_t total = recipients.RecordTotal();
    if (total == 0) {
      recipients.Close();
      return {"The recipients table holds no records.", 0};
    }
    record_ = std::min(record_, total);
    TRecipientFilter filter(SettingToAnsi(s.OptOutField));
    if (const auto refusal =
            BulkMailRefusal({shared.To, shared.Subject, sources_.body->toPlainText().toStdString()},
                            shared.ListUnsubscribe, shared.ReplyTo, filter, recipients)) {
      recipients.Close();
      return {*refusal, total};
    }
    table.SetRecNo(record_);
    std::string note;
    if (recipients.RecordDeleted())
      note = "This record is marked as deleted: it receives no message.\n\n";
    else if (!filter.Judge(record_, "", recipients).Send())
      note = "This record is unsubscribed: it receives no message.\n\n";
    const MessageInput personal = PersonalisedInput(
        shared, RecordValues(recipients), recipients.GetField(SettingToAnsi(s.EmailFieldname)));
    recipients.Close();
    return {note + PreviewText(personal, files), total};
  } catch (const std::exception& e) {
    recipients.Close();
    return {SystemTextToAnsi(e.what()), 0};
  }
}

void TfrmPreview::Refresh() {
  refresh_->stop();
  const auto [text, total] = Compose();
  {
    const QSignalBlocker quiet(edtRecord);
    edtRecord->setRange(1, std::max<std::int32_t>(total, 1));
    edtRecord->setValue(record_);
  }
  lblRecords->setText(QString("of %1").arg(total));
  btnPrevious->setEnabled(record_ > 1);
  btnNext->setEnabled(record_ < total);
  // Texts from the system are 8-bit; everything else is UTF-8.
  mmoPreview->setPlainText(QString::fromStdString(platform::TextToUtf8(text)));
}

void ShowPreview(TfrmEmailMerge& compose) {
  auto* preview = compose.findChild<TfrmPreview*>("frmPreview", Qt::FindDirectChildrenOnly);
  const bool first = preview == nullptr;
  if (first) {
    preview = new TfrmPreview({compose.edtTo, compose.edtSubject, compose.mmoMessage,
                               compose.lstAttachments, kToPlaceholder, kSubjectPlaceholder},
                              &compose);
    // Over the compose window, whole on its screen: the window manager would put it anywhere.
    const QScreen* screen = compose.screen();
    const QRect room = screen != nullptr ? screen->availableGeometry() : QRect();
    QSize size = preview->size();
    if (room.isValid()) size = size.boundedTo(room.size() - QSize(40, 60));
    preview->resize(size);
    QRect place(QPoint(0, 0), size);
    place.moveCenter(compose.frameGeometry().center());
    if (room.isValid()) {
      place.moveLeft(std::clamp(place.left(), room.left(),
                                std::max(room.left(), room.right() - size.width() - 20)));
      place.moveTop(std::clamp(place.top(), room.top(),
                               std::max(room.top(), room.bottom() - size.height() - 40)));
    }
    preview->move(place.topLeft());
  }
  preview->show();
  preview->raise();
  preview->activateWindow();
  // The keys move between records at once: Next, or the record field on the last record.
  if (first)
    (preview->btnNext->isEnabled() ? static_cast<QWidget*>(preview->btnNext) : preview->edtRecord)
        ->setFocus();
}

}  // namespace tavrin::app
