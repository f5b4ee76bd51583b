// The navigator: button states as the dataset moves and edits, the delete confirmation, the
// layout's pixel rules, the repeat of a held button and the keyboard focus.
#include <QTest>

#include "ControlsFixture.h"
#include "controls/XbNavigator.h"

namespace tavrin::controls::test {
namespace {

using B = TNavigateBtn;

// A repeat timer the test fires by hand, recording every interval it was started with.
class ManualTimer final : public TNavRepeatTimer {
 public:
  void Start(int intervalMs) override {
    active = true;
    intervals.push_back(intervalMs);
  }
  void Stop() override { active = false; }
  bool Active() const override { return active; }
  void Fire() {
    if (active && onFire) onFire();
  }
  bool active = false;
  std::vector<int> intervals;
};

class NavigatorTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    nav_.SetDialogs(&dialogs_);
    auto timer = std::make_unique<ManualTimer>();
    timer_ = timer.get();
    nav_.SetRepeatTimer(std::move(timer));
    nav_.show();
  }
  // The enabled buttons as a string of ten 0/1 digits in button order.
  std::string States() const {
    std::string s;
    for (int i = 0; i < kNavButtonCount; ++i)
      s += nav_.Button(static_cast<B>(i))->isEnabled() ? '1' : '0';
    return s;
  }
  std::string CurrentName() { return table_.FieldByName("NAME")->AsString(); }

  TXbNavigator nav_;
  ManualTimer* timer_ = nullptr;
};

TEST_F(NavigatorTest, ButtonStatesFollowTheDataset) {
  EXPECT_EQ(States(), "0000000000") << "no data source: nothing is usable";
  Open(MakeTable({}));
  nav_.SetDataSource(&source_);
  //                   F P N L I D E P C R
  EXPECT_EQ(States(), "0000101001") << "an empty table: only Insert, Edit and Refresh";
  table_.Close();
  Open(MakeTable({{"A", "a@x"}, {"B", "b@x"}, {"C", "c@x"}}));
  EXPECT_EQ(States(), "0011111001") << "the first record";
  table_.Next();
  EXPECT_EQ(States(), "1111111001");
  table_.Last();
  EXPECT_EQ(States(), "1100111001");
  table_.Edit();
  EXPECT_EQ(States(), "1100110111") << "editing: Edit off, Post and Cancel on";
  table_.Cancel();
  nav_.setEnabled(false);
  EXPECT_EQ(States(), "0000000000");
  nav_.setEnabled(true);
  EXPECT_EQ(States(), "1111111001") << "the cancel's resync leaves no end flag standing";
}

TEST_F(NavigatorTest, DeleteAsksFirstAndCancelKeepsTheRecordButStillReportsTheClick) {
  Open(MakeTable({{"A", "a@x"}, {"B", "b@x"}}), true);
  nav_.SetDataSource(&source_);
  std::vector<B> clicked;
  nav_.OnClick = [&](TXbNavigator&, B b) { clicked.push_back(b); };
  dialogs_.confirmAnswers = {false, true};
  QTest::mouseClick(nav_.Button(B::nbDelete), Qt::LeftButton);
  EXPECT_EQ(Raw(0, 1), " ");
  EXPECT_EQ(CurrentName(), "A");
  QTest::mouseClick(nav_.Button(B::nbDelete), Qt::LeftButton);
  EXPECT_EQ(Raw(0, 1), "*");
  EXPECT_EQ(CurrentName(), "B") << "the hidden record gives way to the next";
  ASSERT_EQ(dialogs_.shown.size(), 2u);
  EXPECT_EQ(dialogs_.shown[0].text, "Delete Record ?");
  EXPECT_EQ(clicked, (std::vector<B>{B::nbDelete, B::nbDelete}));
}

TEST_F(NavigatorTest, DeleteRestoresAMarkedRecordAndAReadOnlyTableOffersNoEditingButton) {
  Open(MakeTable({{"A", "a@x"}}, {1}));
  nav_.SetDataSource(&source_);
  nav_.BtnClick(B::nbDelete);
  EXPECT_EQ(dialogs_.shown.back().text, "Restore Record ?");
  EXPECT_EQ(Raw(0, 1), " ");
  table_.Close();
  table_.SetReadOnly(true);
  table_.Open();
  for (B b : {B::nbInsert, B::nbDelete, B::nbEdit, B::nbPost, B::nbCancel})
    EXPECT_FALSE(nav_.Button(b)->isEnabled()) << NavButtonName(b);
  EXPECT_TRUE(nav_.Button(B::nbRefresh)->isEnabled());
  dialogs_.shown.clear();
  nav_.BtnClick(B::nbDelete);  // the action itself still refuses quietly
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_EQ(Raw(0, 1), " ");
}

TEST_F(NavigatorTest, AFailingActionIsShownAndTheClickStillReported) {
  Open(MakeTable({{"A", "a@x"}}));
  table_.Close();
  table_.SetReadOnly(true);
  table_.Open();
  nav_.SetDataSource(&source_);
  int clicks = 0;
  nav_.OnClick = [&](TXbNavigator&, B) { ++clicks; };
  nav_.BtnClick(B::nbEdit);  // (the button itself is off on a read-only table)
  EXPECT_EQ(dialogs_.Messages(), (std::vector<std::string>{"Cannot modify a read-only dataset"}));
  EXPECT_EQ(clicks, 1);
}

TEST_F(NavigatorTest, LayoutGrowsANarrowBarAndSharesBorders) {
  nav_.resize(100, 10);
  EXPECT_EQ(nav_.size(), QSize(191, 18));
  EXPECT_EQ(nav_.Button(B::nbFirst)->geometry(), QRect(0, 0, 20, 18));
  EXPECT_EQ(nav_.Button(B::nbRefresh)->geometry(), QRect(171, 0, 20, 18));
  nav_.resize(401, 25);  // the browser's bar
  EXPECT_EQ(nav_.width(), 401);
  EXPECT_EQ(nav_.Button(B::nbPrior)->geometry(), QRect(40, 0, 41, 25));
  TButtonSet three;
  In(three, B::nbFirst) = In(three, B::nbNext) = In(three, B::nbRefresh) = true;
  nav_.SetVisibleButtons(three);
  EXPECT_EQ(nav_.width(), 400) << "rounded down to whole buttons";
  EXPECT_EQ(nav_.Button(B::nbNext)->geometry(), QRect(133, 0, 134, 25));
  EXPECT_EQ(nav_.Button(B::nbPrior)->x(), 401) << "a hidden button waits right of the bar";
}

TEST(NavLayoutTest, AnAlignedBarSpreadsItsSparePixels) {
  // 10 buttons in 405 pixels: 40 each plus 4 spare pixels handed out from the middle on.
  const NavLayout l = ComputeNavLayout(405, 25, TButtonSet().set(), true);
  EXPECT_EQ(l.width, 405);
  int extra = 0;
  for (const QRect& r : l.buttons) extra += r.width() - l.buttonWidth;
  EXPECT_EQ(extra, 4);
  EXPECT_EQ(l.buttons[9].right(), 404);
}

TEST_F(NavigatorTest, HoldingNextRepeatsAfterAPauseThenAtTheInterval) {
  Open(MakeNumbered(10));
  nav_.SetDataSource(&source_);
  TNavButton* next = nav_.Button(B::nbNext);
  QTest::mousePress(next, Qt::LeftButton);
  EXPECT_EQ(CurrentName(), "N2") << "one record at once";
  EXPECT_EQ(timer_->intervals, (std::vector<int>{400}));
  timer_->Fire();
  timer_->Fire();
  EXPECT_EQ(CurrentName(), "N4");
  EXPECT_EQ(timer_->intervals, (std::vector<int>{400, 100, 100}));
  QTest::mouseRelease(next, Qt::LeftButton);
  EXPECT_FALSE(timer_->active);
  EXPECT_EQ(CurrentName(), "N4") << "letting go adds no move";
  QTest::mouseClick(nav_.Button(B::nbLast), Qt::LeftButton);
  EXPECT_FALSE(timer_->active) << "other buttons do not repeat";
}

TEST_F(NavigatorTest, HoldingNextPastTheEndStopsTheRepeat) {
  Open(MakeNumbered(3));
  nav_.SetDataSource(&source_);
  TNavButton* next = nav_.Button(B::nbNext);
  QTest::mousePress(next, Qt::LeftButton);
  for (int i = 0; i < 5; ++i) timer_->Fire();
  EXPECT_EQ(CurrentName(), "N3");
  EXPECT_FALSE(next->isEnabled());
  EXPECT_FALSE(timer_->active) << "the disabled button gets no release; the timer must not run on";
  QTest::mouseClick(nav_.Button(B::nbPrior), Qt::LeftButton);
  timer_->Fire();
  EXPECT_EQ(CurrentName(), "N2") << "a stale repeat does nothing";
}

TEST_F(NavigatorTest, ArrowsMoveTheFocusOverVisibleButtonsAndSpaceClicks) {
  Open(MakeNumbered(3));
  nav_.SetDataSource(&source_);
  nav_.SetTabStop(true);
  TButtonSet some = TButtonSet().set();
  In(some, B::nbPrior) = false;
  nav_.SetVisibleButtons(some);
  nav_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&nav_));
  QTest::mouseClick(nav_.Button(B::nbFirst), Qt::LeftButton);
  EXPECT_TRUE(nav_.hasFocus());
  QTest::keyClick(&nav_, Qt::Key_Right);
  EXPECT_EQ(nav_.FocusedButton(), B::nbNext) << "the hidden Prior is passed over";
  QTest::keyClick(&nav_, Qt::Key_Space);
  EXPECT_EQ(CurrentName(), "N2");
  for (int i = 0; i < 12; ++i) QTest::keyClick(&nav_, Qt::Key_Right);
  EXPECT_EQ(nav_.FocusedButton(), B::nbRefresh);
  In(some, B::nbRefresh) = In(some, B::nbCancel) = false;
  nav_.SetVisibleButtons(some);
  EXPECT_EQ(nav_.FocusedButton(), B::nbPost) << "the nearest visible button takes the focus";
}

}  // namespace
}  // namespace tavrin::controls::test
