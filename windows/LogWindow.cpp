#include "windows/LogWindow.h"

#include <QAbstractListModel>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "send/MimeEncoding.h"
#include "send/SendLog.h"
#include "program/Settings.h"

namespace tavrin::app {

// The log's lines for the list, each made when the list asks for it.
class LogLinesModel : public QAbstractListModel {
 public:
  using QAbstractListModel::QAbstractListModel;

  void Reset(std::size_t count, std::function<std::string(std::size_t)> line, QSize rowSize) {
    beginResetModel();
    count_ = count;
    line_ = std::move(line);
    rowSize_ = rowSize;
    endResetModel();
  }
  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(std::min<std::size_t>(count_, INT32_MAX));
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || !line_) return {};
    if (role == Qt::DisplayRole)
      return QString::fromStdString(line_(static_cast<std::size_t>(index.row())));
    if (role == Qt::SizeHintRole) return rowSize_;  // every row as wide as the widest
    return {};
  }

 private:
  std::size_t count_ = 0;
  std::function<std::string(std::size_t)> line_;
  QSize rowSize_;
};

namespace {
constexpr QSize kInitialSize(820, 480);

// The lines read as a text, not as items: no row is marked as current.
class PlainLineDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem plain(option);
    plain.state &= ~(QStyle::State_HasFocus | QStyle::State_Selected);
    QStyledItemDelegate::paint(painter, plain, index);
  }
};
}  // namespace

TfrmLog::TfrmLog(platform::Dialogs& dialogs, QWidget* owner) : QDialog(owner), dialogs_(dialogs) {
  setObjectName("frmLog");
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);

  reLog = new QListView(this);
  reLog->setObjectName("reLog");
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  reLog->setFont(font);
  reLog->setUniformItemSizes(true);
  reLog->setEditTriggers(QAbstractItemView::NoEditTriggers);
  reLog->setSelectionMode(QAbstractItemView::NoSelection);
  reLog->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  reLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reLog->setTextElideMode(Qt::ElideNone);
  reLog->setItemDelegate(new PlainLineDelegate(reLog));
  model_ = new LogLinesModel(this);
  reLog->setModel(model_);

  lblSaved = new QLabel(this);
  lblSaved->setObjectName("lblSaved");
  lblSaved->setWordWrap(true);
  lblSaved->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblSaved->hide();

  btnCopyToClipboard = new QPushButton("&Copy To Clipboard", this);
  btnCopyToClipboard->setObjectName("btnCopyToClipboard");
  btnClose = new QPushButton("Cl&ose", this);
  btnClose->setObjectName("btnClose");
  btnClose->setAutoDefault(false);
  btnCopyToClipboard->setAutoDefault(false);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnCopyToClipboard);
  buttons->addWidget(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 7, 7);
  layout->addWidget(reLog, 1);
  auto* saved = new QHBoxLayout;
  saved->setContentsMargins(7, 0, 0, 0);
  saved->addWidget(lblSaved);
  layout->addLayout(saved);
  layout->addLayout(buttons);
  resize(kInitialSize.expandedTo(minimumSizeHint()));

  connect(btnCopyToClipboard, &QPushButton::clicked, this, &TfrmLog::btnCopyToClipboardClick);
  connect(btnClose, &QPushButton::clicked, this, &TfrmLog::btnCloseClick);
}

void TfrmLog::Show(std::size_t count, std::function<std::string(std::size_t)> line,
                   std::size_t widest) {
  const QFontMetrics metrics(reLog->font());
  // The width of a fixed-pitch character, with room for the item's own margins.
  const int width = metrics.horizontalAdvance(QString(
                        static_cast<qsizetype>(std::min<std::size_t>(widest, 100000)), 'M')) +
                    8;
  model_->Reset(count, std::move(line), QSize(width, metrics.height() + 2));
  // Wide enough for the widest line where the screen allows it; never narrower than at first.
  const QScreen* screen = this->screen();
  const int room =
      screen != nullptr ? screen->availableGeometry().width() * 9 / 10 : kInitialSize.width();
  const int wanted = width + reLog->verticalScrollBar()->sizeHint().width() +
                     2 * reLog->frameWidth() + layout()->contentsMargins().left() +
                     layout()->contentsMargins().right();
  resize(std::max(this->width(), std::min(wanted, room)), height());
}

void TfrmLog::SetLog(const TSendLog& log, const std::string& saved) {
  Show(
      log.LineCount(), [&log](std::size_t i) { return log.Line(i); }, log.WidestLine());
  text_ = [&log] { return log.Text(); };
  SetSaved(saved);
}

void TfrmLog::SetSaved(const std::string& saved) {
  lblSaved->setText(QString::fromStdString(saved));
  lblSaved->setVisible(!saved.empty());
}

std::string TfrmLog::Text() const { return text_ ? text_() : std::string(); }

void TfrmLog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous())
    setWindowTitle(SettingToQString(AppSettings().ProgramCaption + " Log"));
}

void TfrmLog::btnCopyToClipboardClick() { dialogs_.SetClipboardText(Text()); }

void TfrmLog::btnCloseClick() { reject(); }

}  // namespace tavrin::app
