// TXbNavigator: button states, actions with their confirmations, layout, repeat and keyboard.
#include "controls/XbNavigator.h"

#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>
#include <qdrawutil.h>

#include "controls/ControlSupport.h"
#include "controls/ControlsAccessible.h"
#include "controls/NavGlyphs.h"
#include "dataset/XbDataSet.h"

namespace tavrin::controls {
namespace {

constexpr const char* kNames[kNavButtonCount] = {"First",  "Prior", "Next", "Last",   "Insert",
                                                 "Delete", "Edit",  "Post", "Cancel", "Refresh"};
constexpr const char* kHints[kNavButtonCount] = {
    "Go to first record", "Go to prior record",    "Go to next record", "Go to last record",
    "Insert a record",    "Delete/Restore record", "Edit record",       "Save changes",
    "Cancel edit",        "Refresh record"};

TNavigateBtn ButtonAt(int i) { return static_cast<TNavigateBtn>(i); }
std::size_t Slot(TNavigateBtn b) { return static_cast<std::size_t>(b); }
bool Repeats(TNavigateBtn b) { return b == TNavigateBtn::nbPrior || b == TNavigateBtn::nbNext; }

class QtRepeatTimer final : public TNavRepeatTimer {
 public:
  QtRepeatTimer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (onFire) onFire();
    });
  }
  void Start(int intervalMs) override { timer_.start(intervalMs); }
  void Stop() override { timer_.stop(); }
  bool Active() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
};

}  // namespace

const char* NavButtonName(TNavigateBtn button) { return kNames[Slot(button)]; }
const char* NavDefaultHint(TNavigateBtn button) { return kHints[Slot(button)]; }

// ---- The data link: forwards the three notifications the buttons depend on.

class TXbNavigator::Link final : public dataset::TDataLink {
 public:
  explicit Link(TXbNavigator& bar) : bar_(bar) {}
  void ActiveChanged() override { bar_.ActiveChanged(); }
  void DataSetChanged() override { bar_.DataChanged(); }
  void EditingChanged() override { bar_.EditingChanged(); }

 private:
  TXbNavigator& bar_;
};

// ---- TNavButton

TNavButton::TNavButton(TXbNavigator& bar, TNavigateBtn index)
    : QAbstractButton(&bar), bar_(bar), index_(index) {
  setObjectName(QString("nb") + NavButtonName(index));
  setFocusPolicy(Qt::NoFocus);
}

void TNavButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool down = isDown();
  QBrush face = palette().button();
  qDrawWinButton(&p, rect(), palette(), down, &face);
  const QSize g = NavGlyphSize(index_);
  QPointF origin((width() - g.width()) / 2, (height() - g.height()) / 2);
  if (down) origin += QPointF(1, 1);
  DrawNavGlyph(p, index_, origin, isEnabled());
  if (bar_.hasFocus() && bar_.FocusedButton() == index_) {
    QRect focus = rect().adjusted(3, 3, -3, -3);
    if (down) focus.translate(1, 1);
    p.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(focus.adjusted(0, 0, -1, -1));
  }
}

void TNavButton::mousePressEvent(QMouseEvent* event) {
  QAbstractButton::mousePressEvent(event);
  if (event->button() == Qt::LeftButton) bar_.ButtonPressed(*this);
}

void TNavButton::mouseReleaseEvent(QMouseEvent* event) {
  QAbstractButton::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton) bar_.ButtonReleased(*this);
}

// ---- TXbNavigator: life and properties

TXbNavigator::TXbNavigator(QWidget* parent)
    : QWidget(parent), link_(std::make_unique<Link>(*this)) {
  InstallControlsAccessible();
  setFocusPolicy(Qt::NoFocus);
  for (int i = 0; i < kNavButtonCount; ++i) {
    auto* b = new TNavButton(*this, ButtonAt(i));
    buttons_[static_cast<std::size_t>(i)] = b;
    if (!Repeats(b->Index()))
      connect(b, &QAbstractButton::clicked, this, [this, b] { BtnClick(b->Index()); });
  }
  SetRepeatTimer(std::make_unique<QtRepeatTimer>());
  resize(241, 25);
  ApplyLayout();
  ApplyHints();
  ActiveChanged();
}

TXbNavigator::~TXbNavigator() {
  link_->SetDataSource(nullptr);
  repeat_->Stop();
}

void TXbNavigator::SetDataSource(dataset::TDataSource* source) {
  link_->SetDataSource(source);
  ActiveChanged();
}

dataset::TDataSource* TXbNavigator::DataSource() const { return link_->DataSource(); }

void TXbNavigator::SetVisibleButtons(TButtonSet visible) {
  visible_ = visible;
  for (int i = 0; i < kNavButtonCount; ++i)
    buttons_[static_cast<std::size_t>(i)]->setVisible(visible_[static_cast<std::size_t>(i)]);
  if (!visible_[Slot(focused_)]) {
    // The nearest visible button takes the focus; to the right first at equal distance.
    const int at = static_cast<int>(focused_);
    for (int d = 1; d < kNavButtonCount; ++d) {
      if (at + d < kNavButtonCount && visible_[static_cast<std::size_t>(at + d)]) {
        SetFocusedButton(ButtonAt(at + d));
        break;
      }
      if (at - d >= 0 && visible_[static_cast<std::size_t>(at - d)]) {
        SetFocusedButton(ButtonAt(at - d));
        break;
      }
    }
  }
  ApplyLayout();
  update();
}

void TXbNavigator::SetHints(std::vector<std::string> hints) {
  hints_ = std::move(hints);
  ApplyHints();
}

void TXbNavigator::ApplyHints() {
  for (int i = 0; i < kNavButtonCount; ++i) {
    const auto at = static_cast<std::size_t>(i);
    const bool own = at < hints_.size() && !hints_[at].empty();
    buttons_[at]->setToolTip(ToQt(own ? hints_[at] : std::string(kHints[at])));
  }
}

void TXbNavigator::SetTabStop(bool on) { setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus); }

void TXbNavigator::SetAligned(bool on) {
  aligned_ = on;
  ApplyLayout();
}

void TXbNavigator::SetRepeatTimer(std::unique_ptr<TNavRepeatTimer> timer) {
  if (repeat_) repeat_->Stop();
  repeat_ = std::move(timer);
  repeat_->onFire = [this] { RepeatFired(); };
}

platform::Dialogs& TXbNavigator::Dialogs() const { return DialogsFor(dialogs_, link_->DataSet()); }

// ---- Layout

void TXbNavigator::ApplyLayout() {
  if (layingOut_) return;
  layingOut_ = true;
  const NavLayout l = ComputeNavLayout(width(), height(), visible_, aligned_);
  buttonWidth_ = l.buttonWidth;
  for (int i = 0; i < kNavButtonCount; ++i)
    buttons_[static_cast<std::size_t>(i)]->setGeometry(l.buttons[static_cast<std::size_t>(i)]);
  const int count = std::max<int>(1, static_cast<int>(visible_.count()));
  setMinimumSize(count * (kNavMinButtonWidth - 1) + 1, kNavMinButtonHeight);
  if (l.width != width() || l.height != height()) resize(l.width, l.height);
  layingOut_ = false;
}

void TXbNavigator::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ApplyLayout();
}

// ---- Button states

bool TXbNavigator::Usable() const { return isEnabled() && link_->Active(); }

void TXbNavigator::DataChanged() {
  const dataset::TDataSet* ds = link_->DataSet();
  const bool usable = Usable() && ds != nullptr;
  const bool up = usable && !ds->Bof();
  const bool down = usable && !ds->Eof();
  Button(TNavigateBtn::nbFirst)->setEnabled(up);
  Button(TNavigateBtn::nbPrior)->setEnabled(up);
  Button(TNavigateBtn::nbNext)->setEnabled(down);
  Button(TNavigateBtn::nbLast)->setEnabled(down);
  Button(TNavigateBtn::nbDelete)
      ->setEnabled(usable && ds->CanModify() && !(ds->Bof() && ds->Eof()));
}

// The buttons that change records are off on a dataset that cannot be modified: offered, they
// would only fail.
void TXbNavigator::EditingChanged() {
  const bool usable = Usable();
  const dataset::TDataSet* ds = link_->DataSet();
  const bool modifiable = usable && ds != nullptr && ds->CanModify();
  const bool editing = usable && link_->Editing();
  Button(TNavigateBtn::nbInsert)->setEnabled(modifiable);
  Button(TNavigateBtn::nbEdit)->setEnabled(modifiable && !editing);
  Button(TNavigateBtn::nbPost)->setEnabled(editing);
  Button(TNavigateBtn::nbCancel)->setEnabled(editing);
  Button(TNavigateBtn::nbRefresh)->setEnabled(true);
}

void TXbNavigator::ActiveChanged() {
  if (!Usable()) {
    for (TNavButton* b : buttons_) b->setEnabled(false);
    return;
  }
  DataChanged();
  EditingChanged();
}

void TXbNavigator::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) ActiveChanged();
}

// ---- Actions

void TXbNavigator::BtnClick(TNavigateBtn button) { Perform(button); }

bool TXbNavigator::Perform(TNavigateBtn button) {
  dataset::TDataSet* ds = link_->DataSet();
  bool ok = true;
  if (ds != nullptr && ds->Active()) {
    ok = Guarded(Dialogs(), [&] {
      switch (button) {
        case TNavigateBtn::nbFirst: ds->First(); break;
        case TNavigateBtn::nbPrior: ds->Prior(); break;
        case TNavigateBtn::nbNext: ds->Next(); break;
        case TNavigateBtn::nbLast: ds->Last(); break;
        case TNavigateBtn::nbInsert: ds->Insert(); break;
        case TNavigateBtn::nbDelete: DeleteOrRestore(*ds); break;
        case TNavigateBtn::nbEdit: ds->Edit(); break;
        case TNavigateBtn::nbPost: ds->Post(); break;
        case TNavigateBtn::nbCancel: ds->Cancel(); break;
        case TNavigateBtn::nbRefresh: ds->Refresh(); break;
      }
    });
  }
  if (OnClick) Guarded(Dialogs(), [&] { OnClick(*this, button); });
  return ok;
}

// Asks, then asks for the keyboard back for this window, which a window manager may leave inactive
// once the question closes (its shortcuts would not work until the user clicked it).
bool TXbNavigator::ConfirmHere(const char* question) {
  const bool yes = Dialogs().Confirm(question);
  if (isVisible()) activateWindow();
  return yes;
}

void TXbNavigator::DeleteOrRestore(dataset::TDataSet& dataSet) {
  if (!dataSet.CanModify()) return;
  auto* table = dynamic_cast<dataset::TXbDataSet*>(&dataSet);
  if (table != nullptr && table->RecordDeleted()) {
    if (confirmRestore_ && !ConfirmHere("Restore Record ?")) return;
    table->SetRecordDeleted(false);
    return;
  }
  if (confirmDelete_ && !ConfirmHere("Delete Record ?")) return;
  if (table != nullptr) {
    table->SetRecordDeleted(true);
  } else {
    dataSet.Delete();
  }
}

// ---- Mouse, repeat and keyboard

void TXbNavigator::ButtonPressed(TNavButton& button) {
  const TNavigateBtn old = focused_;
  focused_ = button.Index();
  if (TabStop() && !hasFocus()) {
    setFocus(Qt::MouseFocusReason);
  } else if (hasFocus() && old != focused_) {
    Button(old)->update();
    button.update();
  }
  if (!Repeats(button.Index()) || !button.isEnabled()) return;
  repeating_ = &button;
  repeat_->Start(kRepeatPauseMs);
  BtnClick(button.Index());
}

void TXbNavigator::ButtonReleased(TNavButton& button) {
  if (repeating_ != &button) return;
  repeat_->Stop();
  repeating_ = nullptr;
}

void TXbNavigator::RepeatFired() {
  // A button that is no longer held down (it was disabled at an end of the table, hidden, or its
  // release went elsewhere) ends the repeat; nothing else would stop the timer.
  if (repeating_ == nullptr || !repeating_->isDown() || !repeating_->isEnabled() ||
      !repeating_->isVisible()) {
    repeat_->Stop();
    repeating_ = nullptr;
    return;
  }
  repeat_->Start(kRepeatIntervalMs);
  if (!Perform(repeating_->Index()) && repeating_ != nullptr) {  // a failure stops the repeat
    repeat_->Stop();
    repeating_ = nullptr;
  }
}

void TXbNavigator::SetFocusedButton(TNavigateBtn button) {
  if (button == focused_) return;
  const TNavigateBtn old = focused_;
  focused_ = button;
  Button(old)->update();
  Button(button)->update();
}

void TXbNavigator::MoveFocus(int step) {
  for (int i = static_cast<int>(focused_) + step; i >= 0 && i < kNavButtonCount; i += step) {
    if (visible_[static_cast<std::size_t>(i)]) {
      SetFocusedButton(ButtonAt(i));
      return;
    }
  }
}

void TXbNavigator::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Right: MoveFocus(1); break;
    case Qt::Key_Left: MoveFocus(-1); break;
    case Qt::Key_Space:
      if (Button(focused_)->isEnabled()) BtnClick(focused_);
      break;
    default: QWidget::keyPressEvent(event); return;
  }
  event->accept();
}

void TXbNavigator::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  Button(focused_)->update();
}

void TXbNavigator::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  Button(focused_)->update();
}

}  // namespace tavrin::controls
