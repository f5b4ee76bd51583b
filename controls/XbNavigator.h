// TXbNavigator: a bar of ten buttons that move through and edit the dataset of a data source.
//
// Owns its buttons, its data link and its repeat timer; keeps a data source and dialogs it is given
// (not owned: both must outlive the bar or be unset first). Button states follow the link's
// notifications; the buttons that change records are off on a dataset that cannot be modified.
// Every action catches its failure and shows it through the dialogs, so nothing leaves a Qt event
// handler. Prior and Next repeat while held. GUI thread only.
#pragma once

#include <QAbstractButton>
#include <QWidget>
#include <array>
#include <bitset>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/NavLayout.h"
#include "dataset/DataSet.h"
#include "platform/Dialogs.h"

class QTimer;

namespace tavrin::controls {

enum class TNavigateBtn {
  nbFirst,
  nbPrior,
  nbNext,
  nbLast,
  nbInsert,
  nbDelete,
  nbEdit,
  nbPost,
  nbCancel,
  nbRefresh
};
using TButtonSet = std::bitset<kNavButtonCount>;
inline TButtonSet AllNavButtons() { return TButtonSet().set(); }
inline TButtonSet::reference In(TButtonSet& set, TNavigateBtn b) {
  return set[static_cast<std::size_t>(b)];
}

// The button's name ("First" ... "Refresh") and its default hint.
const char* NavButtonName(TNavigateBtn button);
const char* NavDefaultHint(TNavigateBtn button);

// The timer that repeats Prior and Next while held; tests replace it with one they fire by hand.
class TNavRepeatTimer {
 public:
  virtual ~TNavRepeatTimer() = default;
  virtual void Start(int intervalMs) = 0;  // (re)starts with this interval
  virtual void Stop() = 0;
  virtual bool Active() const = 0;
  std::function<void()> onFire;
};

class TXbNavigator;

class TNavButton final : public QAbstractButton {
  Q_OBJECT
 public:
  TNavButton(TXbNavigator& bar, TNavigateBtn index);
  TNavigateBtn Index() const { return index_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  TXbNavigator& bar_;
  TNavigateBtn index_;
};

class TXbNavigator final : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kRepeatPauseMs = 400;
  static constexpr int kRepeatIntervalMs = 100;

  explicit TXbNavigator(QWidget* parent = nullptr);
  ~TXbNavigator() override;

  // Binding; setting it re-evaluates every button.
  void SetDataSource(dataset::TDataSource* source);
  dataset::TDataSource* DataSource() const;

  TButtonSet VisibleButtons() const { return visible_; }
  void SetVisibleButtons(TButtonSet visible);
  // Line i, when not empty, replaces the default hint of button i (the first ten lines count).
  const std::vector<std::string>& Hints() const { return hints_; }
  void SetHints(std::vector<std::string> hints);
  bool ConfirmDelete() const { return confirmDelete_; }
  void SetConfirmDelete(bool on) { confirmDelete_ = on; }
  bool ConfirmRestore() const { return confirmRestore_; }
  void SetConfirmRestore(bool on) { confirmRestore_ = on; }
  // The bar takes the keyboard focus (clicks and Tab) only with TabStop.
  bool TabStop() const { return focusPolicy() != Qt::NoFocus; }
  void SetTabStop(bool on);
  // Aligned: the container sizes the bar, whose width is then kept (spare pixels go to buttons).
  void SetAligned(bool on);

  void SetDialogs(platform::Dialogs* dialogs) { dialogs_ = dialogs; }
  void SetRepeatTimer(std::unique_ptr<TNavRepeatTimer> timer);
  TNavRepeatTimer& RepeatTimer() { return *repeat_; }

  // Called after every button action with the button pressed.
  std::function<void(TXbNavigator&, TNavigateBtn)> OnClick;

  // The action of one button (a click, Space on the focused button, a repeat).
  void BtnClick(TNavigateBtn button);
  TNavButton* Button(TNavigateBtn button) const {
    return buttons_[static_cast<std::size_t>(button)];
  }
  TNavigateBtn FocusedButton() const { return focused_; }
  int ButtonWidth() const { return buttonWidth_; }
  QSize sizeHint() const override { return QSize(241, 25); }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  friend class TNavButton;
  class Link;

  void ApplyLayout();
  void ApplyHints();
  void ActiveChanged();
  void DataChanged();
  void EditingChanged();
  bool Usable() const;
  bool Perform(TNavigateBtn button);
  void DeleteOrRestore(dataset::TDataSet& dataSet);
  bool ConfirmHere(const char* question);
  void ButtonPressed(TNavButton& button);
  void ButtonReleased(TNavButton& button);
  void RepeatFired();
  void MoveFocus(int step);
  void SetFocusedButton(TNavigateBtn button);
  platform::Dialogs& Dialogs() const;

  std::array<TNavButton*, kNavButtonCount> buttons_{};
  std::unique_ptr<Link> link_;
  std::unique_ptr<TNavRepeatTimer> repeat_;
  TNavButton* repeating_ = nullptr;
  TButtonSet visible_ = AllNavButtons();
  std::vector<std::string> hints_;
  bool confirmDelete_ = true;
  bool confirmRestore_ = true;
  bool aligned_ = false;
  bool layingOut_ = false;
  int buttonWidth_ = 0;
  TNavigateBtn focused_ = TNavigateBtn::nbFirst;
  platform::Dialogs* dialogs_ = nullptr;
};

}  // namespace tavrin::controls
