// TfrmPreview: the message as one record of the recipients table receives it.
//
// Shows the headers a mail program would show (From, To, Reply-To, Subject, Date), decoded, the
// attachments with their sizes, and the body with its placeholders filled from the record; a
// record that gets no message (marked deleted, unsubscribed) says so, and a placeholder the table
// lacks shows the refusal Send would give. Previous, Next and the record number field choose the
// record. It follows every edit of the compose window, which it reads through the widgets it is
// given (they must outlive it). The table is opened only for the moment of reading one record, so
// the browser can still pack it. GUI thread.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "send/MessageAssembly.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTimer;

namespace tavrin::app {

class TFileListView;

// What the preview reads from the compose window.
struct PreviewSources {
  QLineEdit* to;
  QLineEdit* subject;
  QPlainTextEdit* body;
  TFileListView* attachments;
  // The texts the two header fields show while nothing is typed: they count as empty.
  std::string toPlaceholder;
  std::string subjectPlaceholder;
};

// The preview's text of one message (UTF-8): headers as a reader shows them, "Attachments:" with
// each name and size in bytes, an empty line, then the body.
std::string PreviewText(const MessageInput& message,
                        const std::vector<std::pair<std::string, std::int64_t>>& attachments);

class TfrmPreview : public QWidget {
  Q_OBJECT
 public:
  explicit TfrmPreview(PreviewSources sources, QWidget* parent = nullptr);

  // Shows record `record` (1-based), kept within the table's records.
  void ShowRecord(std::int32_t record);
  std::int32_t Record() const { return record_; }
  // Reads the compose window and the record again.
  void Refresh();

  QPushButton* btnPrevious;
  QPushButton* btnNext;
  QSpinBox* edtRecord;
  QLabel* lblRecords;  // "of 3"
  QPlainTextEdit* mmoPreview;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The text for the current record, and the table's record count (0 when it cannot be read).
  std::pair<std::string, std::int32_t> Compose();
  MessageInput SharedMessage() const;

  PreviewSources sources_;
  QTimer* refresh_;  // gathers a burst of typing into one refresh
  std::int32_t record_ = 1;
};

class TfrmEmailMerge;
// View > Preview: shows (and first makes) the compose window's preview window, a child of it.
void ShowPreview(TfrmEmailMerge& compose);

}  // namespace tavrin::app
