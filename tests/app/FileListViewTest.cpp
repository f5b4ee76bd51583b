// The attachment list: what each item shows, the path it keeps, Delete, drops and sorting.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <filesystem>
#include <fstream>

#include "app/FileListView.h"

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
  EXPECT_EQ(TFileListView::ItemDateFormat(QLocale(QLocale::English, QLocale::UnitedStates)), "M/d/yyyy");
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
  const QPoint sizeHeader(header->sectionViewportPosition(TFileListView::kSize) + 5, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeHeader);
  EXPECT_EQ(list.GetFilePath(0), (dir_ / "z.txt").string());
  EXPECT_EQ(list.GetFilePath(2), (dir_ / "a.txt").string());
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeHeader);
  EXPECT_EQ(list.GetFilePath(0), (dir_ / "a.txt").string());
  list.SortBy(TFileListView::kName);  // another column starts ascending again
  EXPECT_EQ(list.GetFilePath(0), (dir_ / "a.txt").string());
  EXPECT_EQ(list.GetFilePath(2), (dir_ / "z.txt").string());
}

}  // namespace
}  // namespace tavrin::app::testing
