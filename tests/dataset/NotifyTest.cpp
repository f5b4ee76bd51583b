// What a data link hears, and in which order, as the dataset opens, scrolls, edits, posts,
// cancels, inserts, deletes and restores; and the window of buffers the grid paints from.
#include "DataSetTestSupport.h"

namespace tavrin::dataset::test {
namespace {

class RecordingLink : public TDataLink {
 public:
  void ActiveChanged() override { Note(Active() ? "active" : "inactive"); }
  void DataSetChanged() override { Note("changed"); }
  void DataSetScrolled(int distance) override { Note("scrolled " + std::to_string(distance)); }
  void LayoutChanged() override { Note("layout"); }
  void EditingChanged() override { Note(Editing() ? "editing" : "browsing"); }
  void RecordChanged(TField* field) override {
    Note("record " + (field ? field->FieldName() : std::string("*")));
  }
  void UpdateData() override { Note("update"); }
  void CheckBrowseMode() override { Note("check"); }

  std::vector<std::string> Take() { return std::exchange(events_, {}); }

 private:
  void Note(const std::string& e) { events_.push_back(e); }
  std::vector<std::string> events_;
};

using Events = std::vector<std::string>;

class NotifyTest : public DataSetTest {
 protected:
  void SetUp() override {
    DataSetTest::SetUp();
    source_.SetDataSet(&table_);
    link_.SetDataSource(&source_);
    link_.SetBufferCount(2);
  }
  // The NAME texts of the window's rows, as a grid paints them.
  std::vector<std::string> Rows() {
    std::vector<std::string> rows;
    for (int r = 0; r < link_.RecordCount(); ++r) {
      TRowScope row(link_, r);
      rows.push_back(table_.FieldByName("NAME")->AsString());
    }
    return rows;
  }

  TXbDbf table_{"tblDatabase"};
  TDataSource source_;
  RecordingLink link_;
};

TEST_F(NotifyTest, OpenScrollAndClose) {
  OpenOn(table_, MakeTable({{"A", "a@x"}, {"B", "b@x"}, {"C", "c@x"}}));
  EXPECT_EQ(link_.Take(), (Events{"active"}));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"A", "B"}));
  table_.Next();  // inside the window
  EXPECT_EQ(link_.Take(), (Events{"check", "scrolled 0"}));
  table_.Next();  // the window moves on by one
  EXPECT_EQ(link_.Take(), (Events{"check", "scrolled 1"}));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"B", "C"}));
  EXPECT_EQ(link_.ActiveRecord(), 1);
  table_.Next();  // nothing further: the end is news for the navigator's buttons
  EXPECT_EQ(link_.Take(), (Events{"check", "scrolled 0"}));
  EXPECT_TRUE(table_.Eof());
  table_.Next();
  EXPECT_EQ(link_.Take(), (Events{"check"}));
  table_.First();
  EXPECT_EQ(link_.Take(), (Events{"check", "changed"}));
  table_.Close();
  EXPECT_EQ(link_.Take(), (Events{"inactive"}));
  EXPECT_EQ(link_.RecordCount(), 0);
}

TEST_F(NotifyTest, EditPostAndCancel) {
  OpenOn(table_, MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  link_.Take();
  table_.Edit();
  EXPECT_EQ(link_.Take(), (Events{"editing", "record *"}));
  table_.FieldByName("NAME")->SetAsString("Z");
  EXPECT_EQ(link_.Take(), (Events{"record NAME"}));
  table_.Post();
  EXPECT_EQ(link_.Take(), (Events{"update", "check", "browsing", "changed"}));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"Z", "B"}));
  table_.Edit();
  table_.FieldByName("NAME")->SetAsString("Y");
  link_.Take();
  table_.Cancel();
  EXPECT_EQ(link_.Take(), (Events{"check", "browsing", "changed"}));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"Z", "B"}));
}

TEST_F(NotifyTest, InsertDeleteAndRestore) {
  OpenOn(table_, MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  link_.Take();
  table_.Insert();
  EXPECT_EQ(link_.Take(), (Events{"check", "editing", "changed"}));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"", "A"}));
  table_.FieldByName("NAME")->SetAsString("N");
  table_.Post();  // appended at the end of the file
  EXPECT_EQ(link_.Take(), (Events{"record NAME", "update", "check", "browsing", "changed"}));
  EXPECT_EQ(table_.RecNo(), 3);
  EXPECT_EQ(table_.FieldByName("NAME")->AsString(), "N");
  table_.First();
  link_.Take();
  table_.Delete();
  EXPECT_EQ(link_.Take(), (Events{"check", "changed"}));
  EXPECT_TRUE(table_.RecordDeleted());
  table_.SetRecordDeleted(false);
  EXPECT_EQ(link_.Take(), (Events{"check", "changed"}));
  EXPECT_FALSE(table_.RecordDeleted());
}

TEST_F(NotifyTest, DisabledControlsHearOneChangeAtTheEnd) {
  OpenOn(table_, MakeTable({{"A", "a@x"}, {"B", "b@x"}, {"C", "c@x"}}));
  link_.Take();
  table_.DisableControls();
  table_.Next();
  table_.Next();
  table_.EnableControls();
  EXPECT_EQ(link_.Take(), (Events{"changed"}));
}

TEST_F(NotifyTest, WindowFollowsTheLargestClient) {
  OpenOn(table_, MakeTable({{"A", "a@x"}, {"B", "b@x"}, {"C", "c@x"}, {"D", "d@x"}}));
  table_.Last();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"C", "D"}));
  link_.Take();
  link_.SetBufferCount(3);
  EXPECT_EQ(link_.Take(), (Events{"changed"}));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"B", "C", "D"}));
  EXPECT_EQ(table_.FieldByName("NAME")->AsString(), "D");
  table_.MoveBy(-3);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(table_.FieldByName("NAME")->AsString(), "A");
  EXPECT_EQ(table_.GetField("NAME"), "A         ");
}

// A window that goes away with the table: its link destroys itself from inside a notification. No
// link is told anything after it is gone, and every link still attached hears each notification once.
class GoingLink : public RecordingLink {
 public:
  GoingLink(Events* heard, std::string name) : heard_(heard), name_(std::move(name)) {}
  bool goOnChange = false;
  bool goOnInactive = false;
  void ActiveChanged() override {
    heard_->push_back(name_ + (Active() ? " active" : " inactive"));
    if (!Active() && goOnInactive) delete this;
  }
  void EditingChanged() override { heard_->push_back(name_ + " editing changed"); }
  void DataSetChanged() override {
    heard_->push_back(name_ + " changed");
    if (goOnChange) delete this;
  }

 private:
  Events* heard_;
  std::string name_;
};

TEST_F(NotifyTest, LinksThatDestroyThemselvesFromANotification) {
  Events heard;
  auto* first = new GoingLink(&heard, "first");
  auto* second = new GoingLink(&heard, "second");
  first->SetDataSource(&source_);
  second->SetDataSource(&source_);
  OpenOn(table_, MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  first->goOnChange = true;
  heard.clear();
  table_.First();
  EXPECT_EQ(heard, (Events{"first changed", "second changed"}));
  second->goOnInactive = true;  // the window closes with the table, in the middle of an edit
  table_.Edit();
  heard.clear();
  table_.Close();
  EXPECT_EQ(heard, (Events{"second inactive"}));
  EXPECT_EQ(link_.Take().back(), "browsing");
}

}  // namespace
}  // namespace tavrin::dataset::test
