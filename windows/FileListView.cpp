#include "windows/FileListView.h"

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QMimeDatabase>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/Paths.h"

namespace tavrin::app {
namespace {

constexpr int kPathRole = Qt::UserRole + 1;  // the full path, as added
constexpr int kSortRole = Qt::UserRole + 2;  // bytes for Size, date and time for Modified

QIcon FileIcon(const QMimeType& type) {
  static const QFileIconProvider provider;
  return QIcon::fromTheme(
      type.iconName(),
      QIcon::fromTheme(type.genericIconName(), provider.icon(QFileIconProvider::File)));
}

QString FromNative(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

QList<QUrl> DroppedUrls(const QMimeData* data) {
  if (data == nullptr || !data->hasFormat("text/uri-list")) return {};
  return data->urls();
}

}  // namespace

TFileListView::TFileListView(QWidget* parent, const QLocale& locale)
    : QWidget(parent), locale_(locale), dateFormat_(ItemDateFormat(locale)) {
  model_ = new QStandardItemModel(0, kColumnCount, this);
  model_->setHorizontalHeaderLabels({"Name", "In Folder", "Size", "Type", "Modified"});
  model_->setHeaderData(kSize, Qt::Horizontal, int(Qt::AlignRight | Qt::AlignVCenter),
                        Qt::TextAlignmentRole);
  stack_ = new QStackedWidget(this);
  detail_ = new QTreeView(stack_);
  detail_->setObjectName("lstAttachmentsDetail");
  detail_->setRootIsDecorated(false);
  detail_->setModel(model_);
  for (int column : {kName, kFolder, kType, kModified}) detail_->setColumnWidth(column, 125);
  detail_->setColumnWidth(kSize, 75);
  detail_->header()->setSectionsClickable(true);
  detail_->header()->setSortIndicatorShown(false);
  icons_ = new QListView(stack_);
  icons_->setObjectName("lstAttachmentsIcons");
  icons_->setModel(model_);
  icons_->setSelectionModel(detail_->selectionModel());
  Prepare(detail_);
  Prepare(icons_);
  stack_->addWidget(detail_);
  stack_->addWidget(icons_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stack_);
  setAcceptDrops(true);
  BuildMenu();
  connect(detail_->header(), &QHeaderView::sectionClicked, this,
          [this](int section) { SortBy(static_cast<Column>(section)); });
  SetViewStyle(ViewStyle::LargeIcons);
}

void TFileListView::Prepare(QAbstractItemView* view) {
  view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setAcceptDrops(false);
  view->viewport()->setAcceptDrops(false);
  view->setContextMenuPolicy(Qt::NoContextMenu);
  view->installEventFilter(this);
  view->viewport()->installEventFilter(this);
}

void TFileListView::BuildMenu() {
  menu_ = new QMenu(this);
  actOpen_ = menu_->addAction(QIcon::fromTheme("document-open"), "&Open");
  actOpen_->setObjectName("miOpenAttachment");
  connect(actOpen_, &QAction::triggered, this, &TFileListView::OpenSelected);
  actRemove_ = menu_->addAction(QIcon::fromTheme("list-remove"), "&Remove");
  actRemove_->setObjectName("miRemoveAttachment");
  actRemove_->setShortcut(QKeySequence::Delete);
  actRemove_->setShortcutContext(
      Qt::WidgetShortcut);  // shown in the menu; the key is handled below
  connect(actRemove_, &QAction::triggered, this, &TFileListView::DeleteSelected);
  connect(menu_, &QMenu::aboutToShow, this, [this] {
    const bool any = !SelectedRows().empty();
    actOpen_->setEnabled(any && isEnabled());
    actRemove_->setEnabled(any && isEnabled());
  });
  menu_->addSeparator();
  QMenu* view = menu_->addMenu("&View");
  auto* group = new QActionGroup(view);
  const std::pair<const char*, ViewStyle> styles[] = {{"&Large Icons", ViewStyle::LargeIcons},
                                                      {"&Small Icons", ViewStyle::SmallIcons},
                                                      {"L&ist", ViewStyle::List},
                                                      {"&Detail", ViewStyle::Detail}};
  for (const auto& [text, style] : styles) {
    QAction* action = view->addAction(text);
    action->setCheckable(true);
    action->setChecked(style == style_);
    group->addAction(action);
    connect(action, &QAction::triggered, this, [this, style = style] { SetViewStyle(style); });
  }
  QMenu* arrange = menu_->addMenu("Arrange Icons");
  const char* columns[] = {"by &Name", "by &Folder", "by &Size", "by &Type", "by &Date"};
  for (int column = 0; column < kColumnCount; ++column)
    connect(arrange->addAction(columns[column]), &QAction::triggered, this,
            [this, column] { SortBy(static_cast<Column>(column)); });
}

QString TFileListView::SizeText(std::int64_t bytes, const QLocale& locale) {
  const long long kb = std::llround(static_cast<double>(bytes) / 1024.0);
  if (kb == 0) return " ";
  QString digits = QString::number(kb < 0 ? -kb : kb);
  for (int at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, locale.groupSeparator());
  return (kb < 0 ? "-" : "") + digits + "KB";
}

QString TFileListView::ItemDateFormat(const QLocale& locale) {
  const QString shortFormat = locale.dateFormat(QLocale::ShortFormat);
  QString format;
  bool yearWritten = false;
  for (QChar c : shortFormat) {
    if (c != 'y' && c != 'Y') {
      format += c;
    } else if (!yearWritten) {
      format += "yyyy";
      yearWritten = true;
    }
  }
  return format;
}

bool TFileListView::AddFile(const std::string& path) {
  const QFileInfo info(FromNative(path));
  // Folders, missing paths, devices and pipes are never attachments.
  if (!info.exists() || !info.isFile() || !info.isReadable()) return false;
  static const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(info);
  const QDateTime modified = info.lastModified();
  QString folder = info.absolutePath();
  if (folder.endsWith('/')) folder.chop(1);  // a file in the root folder shows an empty folder

  QList<QStandardItem*> row;
  auto* name = new QStandardItem(FileIcon(type), info.fileName());
  name->setData(FromNative(path), kPathRole);
  row << name << new QStandardItem(folder);
  auto* size = new QStandardItem(SizeText(info.size(), locale_));
  size->setData(static_cast<qlonglong>(info.size()), kSortRole);
  size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row << size << new QStandardItem(type.comment());
  auto* when = new QStandardItem(locale_.toString(modified.date(), dateFormat_) + " " +
                                 locale_.toString(modified.time(), QLocale::ShortFormat));
  when->setData(modified, kSortRole);
  row << when;
  for (QStandardItem* item : row) item->setEditable(false);
  model_->appendRow(row);
  return true;
}

int TFileListView::Count() const { return model_->rowCount(); }

std::string TFileListView::GetFilePath(int i) const {
  if (i < 0 || i >= Count()) return " ";
  return platform::NativePath(model_->item(i, kName)->data(kPathRole).toString());
}

QString TFileListView::ItemText(int i, Column column) const {
  if (i < 0 || i >= Count()) return {};
  return model_->item(i, column)->text();
}

// The icon views select the name cell alone, the detail view whole rows: a row counts as selected
// when any of its cells is, so Delete works the same in every view style.
std::vector<int> TFileListView::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& index : detail_->selectionModel()->selectedIndexes())
    rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

void TFileListView::DeleteSelected() {
  std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  std::reverse(rows.begin(), rows.end());
  for (int row : rows) model_->removeRow(row);
  if (rows.size() == 1 && Count() > 0) {
    const int next = std::min(rows.front(), Count() - 1);
    detail_->selectionModel()->select(
        model_->index(next, 0), QItemSelectionModel::ClearAndSelect |
                                    (style_ == ViewStyle::Detail ? QItemSelectionModel::Rows
                                                                 : QItemSelectionModel::NoUpdate));
    detail_->selectionModel()->setCurrentIndex(model_->index(next, 0),
                                               QItemSelectionModel::NoUpdate);
  }
}

// Each selected file in the desktop's program for its type; the list itself is not changed.
void TFileListView::OpenSelected() {
  for (int row : SelectedRows()) {
    const QString path = model_->item(row, kName)->data(kPathRole).toString();
    if (openFile)
      openFile(path);
    else
      QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  }
}

void TFileListView::SortBy(Column column) {
  sortDescending_ = column == sortColumn_ ? !sortDescending_ : false;
  sortColumn_ = column;
  std::vector<QList<QStandardItem*>> rows;
  while (model_->rowCount() > 0) rows.push_back(model_->takeRow(0));
  auto key = [column](const QList<QStandardItem*>& row) { return row[column]; };
  auto less = [&](const QList<QStandardItem*>& a, const QList<QStandardItem*>& b) {
    if (column == kSize)
      return key(a)->data(kSortRole).toLongLong() < key(b)->data(kSortRole).toLongLong();
    if (column == kModified)
      return key(a)->data(kSortRole).toDateTime() < key(b)->data(kSortRole).toDateTime();
    return key(a)->text().compare(key(b)->text(), Qt::CaseInsensitive) < 0;
  };
  if (sortDescending_)
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const auto& a, const auto& b) { return less(b, a); });
  else
    std::stable_sort(rows.begin(), rows.end(), less);
  for (auto& row : rows) model_->appendRow(row);
}

void TFileListView::SetViewStyle(ViewStyle style) {
  style_ = style;
  if (style == ViewStyle::Detail) {
    stack_->setCurrentWidget(detail_);
    return;
  }
  const bool icons = style == ViewStyle::LargeIcons;
  icons_->setViewMode(icons ? QListView::IconMode : QListView::ListMode);
  icons_->setIconSize(icons ? QSize(32, 32) : QSize(16, 16));
  icons_->setFlow(style == ViewStyle::List ? QListView::TopToBottom : QListView::LeftToRight);
  icons_->setWrapping(true);
  icons_->setResizeMode(QListView::Adjust);
  icons_->setMovement(QListView::Static);  // the items' order is the sending order
  stack_->setCurrentWidget(icons_);
}

QAbstractItemView* TFileListView::CurrentView() const {
  return style_ == ViewStyle::Detail ? static_cast<QAbstractItemView*>(detail_) : icons_;
}

void TFileListView::dragEnterEvent(QDragEnterEvent* event) {
  if (!DroppedUrls(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TFileListView::dragMoveEvent(QDragMoveEvent* event) {
  if (!DroppedUrls(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TFileListView::dropEvent(QDropEvent* event) {
  bool added = false;
  for (const QUrl& url : DroppedUrls(event->mimeData()))
    if (url.isLocalFile()) added |= AddFile(platform::NativePath(url.toLocalFile()));
  if (added) event->acceptProposedAction();
}

bool TFileListView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyRelease &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete && isEnabled() &&
      (watched == CurrentView() || watched == CurrentView()->viewport())) {
    DeleteSelected();
    return true;
  }
  if (event->type() == QEvent::ContextMenu) {
    menu_->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tavrin::app
