// The attachment list: what each item shows, the path it keeps, Delete, drops and sorting.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <filesystem>
#include <fstream>

#include "windows/FileListView.h"

namespace tavrin::app::testing {
namespace {

class FileList : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("tavrin-files-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "folder");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string File(const std::string& name, std::size_t size) {
    std::ofstream(dir_ / name, std::ios::binary) << std::string(size, 'x');
    return (dir_ / name).string();
  }
  std::filesystem::path dir_;
  TFileListView list{nullptr, QLocale::c()};
};

TEST_F(FileList, ItemsShowSizeInKilobytesTheirFolderAndKeepTheirPath) {
  ASSERT_TRUE(list.AddFile(File("small.txt", 300)));
  ASSERT_TRUE(list.AddFile(File("mid.txt", 1536)));
  ASSERT_TRUE(list.AddFile(File("big.bin", 1048576)));
  EXPECT_EQ(list.ItemText(0, TFileListView::kSize), " ");
  EXPECT_EQ(list.ItemText(1, TFileListView::kSize), "2KB");
  EXPECT_EQ(list.ItemText(2, TFileListView::kSize), "1,024KB");
  EXPECT_EQ(list.ItemText(0, TFileListView::kName), "small.txt");
  EXPECT_EQ(list.ItemText(0, TFileListView::kFolder).toStdString(), dir_.string());
  EXPECT_EQ(list.GetFilePath(2), (dir_ / "big.bin").string());
  EXPECT_EQ(list.GetFilePath(3), " ");
  EXPECT_EQ(list.GetFilePath(-1), " ");
  EXPECT_FALSE(list.AddFile((dir_ / "folder").string()));
  EXPECT_FALSE(list.AddFile((dir_ / "missing").string()));
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(TFileListView::ItemDateFormat(QLocale(QLocale::English, QLocale::UnitedStates)),
            "M/d/yyyy");
}

TEST_F(FileList, DeleteRemovesEverySelectedItemAndNoFile) {
  for (const char* name : {"a", "b", "c", "d"}) list.AddFile(File(name, 10));
  list.SetViewStyle(TFileListView::ViewStyle::Detail);
  list.show();
  auto* view = list.DetailView();
  for (int row : {0, 1, 3})
    view->selectionModel()->select(view->model()->index(row, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
  QTest::keyRelease(view, Qt::Key_Delete);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.GetFilePath(0), (dir_ / "c").string());
  EXPECT_TRUE(std::filesystem::exists(dir_ / "a"));
}

TEST_F(FileList, ADropAddsLocalRegularFilesOnly) {
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(File("one.txt", 5))),
                QUrl::fromLocalFile(QString::fromStdString((dir_ / "folder").string())),
                QUrl("https://example.com/remote.txt"),
                QUrl::fromLocalFile(QString::fromStdString(File("two.txt", 5)))});
  list.show();
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  static_cast<QObject&>(list).event(&drop);  // as the drag manager delivers it
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.ItemText(1, TFileListView::kName), "two.txt");
}

TEST_F(FileList, SortingTheSameColumnTwiceReversesAndTheOrderIsTheSendingOrder) {
  list.AddFile(File("m.txt", 5000));
  list.AddFile(File("a.txt", 100000));
  list.AddFile(File("z.txt", 10));
  list.SetViewStyle(TFileListView::ViewStyle::Detail);
  list.show();
  QHeaderView* header = list.DetailView()->header();
  const QPoint sizeHeader(header->sectionViewportPosition(TFileListView::kSize) + 5,
                          header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeHeader);
  EXPECT_EQ(list.GetFilePath(0), (dir_ / "z.txt").string());
  EXPECT_EQ(list.GetFilePath(2), (dir_ / "a.txt").string());
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeHeader);
  EXPECT_EQ(list.GetFilePath(0), (dir_ / "a.txt").string());
  list.SortBy(TFileListView::kName);  // another column starts ascending again
  EXPECT_EQ(list.GetFilePath(0), (dir_ / "a.txt").string());
  EXPECT_EQ(list.GetFilePath(2), (dir_ / "z.txt").string());
}

// The icon views select single cells, not whole rows: Delete and the menu's "Remove" still take
// exactly the selected files out, and "Open" hands each to the desktop.
TEST_F(FileList, RemoveAndOpenActOnTheSelectionInEveryViewStyle) {
  for (auto style : {TFileListView::ViewStyle::LargeIcons, TFileListView::ViewStyle::SmallIcons,
                     TFileListView::ViewStyle::List, TFileListView::ViewStyle::Detail}) {
    TFileListView files{nullptr, QLocale::c()};
    for (const char* name : {"a", "b", "c"}) files.AddFile(File(name, 10));
    files.SetViewStyle(style);
    files.show();
    auto* view = files.CurrentView();
    view->setFocus();
    view->selectionModel()->select(view->model()->index(1, 0), QItemSelectionModel::ClearAndSelect);
    QStringList opened;
    files.openFile = [&](const QString& path) { opened << path; };
    QAction* open = files.ContextMenu()->findChild<QAction*>("miOpenAttachment");
    ASSERT_NE(open, nullptr);
    open->trigger();
    EXPECT_EQ(opened, QStringList{QString::fromStdString((dir_ / "b").string())});
    QTest::keyClick(view, Qt::Key_Delete);
    ASSERT_EQ(files.Count(), 2) << static_cast<int>(style);
    EXPECT_EQ(files.ItemText(1, TFileListView::kName), "c");
    view->selectionModel()->select(view->model()->index(0, 0), QItemSelectionModel::ClearAndSelect);
    files.ContextMenu()->findChild<QAction*>("miRemoveAttachment")->trigger();
    ASSERT_EQ(files.Count(), 1);
    EXPECT_EQ(files.ItemText(0, TFileListView::kName), "c");
    EXPECT_TRUE(std::filesystem::exists(dir_ / "a"));  // the list only, never the disk
  }
}

}  // namespace
}  // namespace tavrin::app::testing
