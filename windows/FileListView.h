// TFileListView: the list of files attached to the message, in sending order.
//
// Owns one item model (name, folder, size, type, modified; the full path kept with each item) shown
// by a detail view or an icon/list view that share the selection. Files come in by AddFile or by a
// drop from the file manager (local regular files only); the Delete key and the context menu's
// "Remove" take selected items out of the list in every view style and never touch the disk; "Open"
// hands them to the desktop's program; sorting reorders the items themselves. GUI thread.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>
#include <string>

class QListView;
class QMenu;
class QStackedWidget;
class QStandardItemModel;
class QTreeView;
class QAbstractItemView;
class QAction;

namespace tavrin::app {

class TFileListView : public QWidget {
  Q_OBJECT
 public:
  enum class ViewStyle { LargeIcons, SmallIcons, List, Detail };
  enum Column { kName, kFolder, kSize, kType, kModified, kColumnCount };

  explicit TFileListView(QWidget* parent = nullptr, const QLocale& locale = QLocale::system());

  // Appends the file; false (nothing added) for a path that is no readable regular file.
  bool AddFile(const std::string& path);
  int Count() const;
  // The full path of item i (0-based) as it was added; a single blank outside the list.
  std::string GetFilePath(int i) const;
  // The text shown in a column of item i.
  QString ItemText(int i, Column column) const;

  // Removes the selected items from the list (what the Delete key and "Remove" do), in every view.
  void DeleteSelected();
  // Opens the selected files with the desktop's program for their type (the menu's "Open").
  void OpenSelected();
  // How "Open" hands a file to the desktop; empty: QDesktopServices. Tests set it.
  std::function<void(const QString& path)> openFile;
  // Sorts by a column: ascending, reversed when the same column is chosen again in a row.
  void SortBy(Column column);
  void SetViewStyle(ViewStyle style);

  QAbstractItemView* CurrentView() const;
  QTreeView* DetailView() const { return detail_; }
  QMenu* ContextMenu() const { return menu_; }

  // "1,024KB" for 1048576 bytes; a single blank below 512 bytes.
  static QString SizeText(std::int64_t bytes, const QLocale& locale);
  // The locale's short date format with every year written in four digits.
  static QString ItemDateFormat(const QLocale& locale);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenu();
  std::vector<int> SelectedRows() const;  // ascending, each row once
  void Prepare(QAbstractItemView* view);

  QLocale locale_;
  QString dateFormat_;
  QStandardItemModel* model_;
  QStackedWidget* stack_;
  QTreeView* detail_;
  QListView* icons_;
  QMenu* menu_;
  QAction* actOpen_ = nullptr;
  QAction* actRemove_ = nullptr;
  ViewStyle style_ = ViewStyle::LargeIcons;
  int sortColumn_ = -1;
  bool sortDescending_ = false;
};

}  // namespace tavrin::app
