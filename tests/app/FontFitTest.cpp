// Every window at the normal font and at twice its size: no label, button, field or menu text may
// be given less room than it needs, and no toolbar button may be pushed out of sight.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QToolBar>

#include "AppFixture.h"
#include "send/SendLog.h"
#include "windows/LogWindow.h"

namespace tavrin::app::testing {
namespace {

// What does not fit in `window`, one line each.
std::vector<std::string> Clipped(QWidget& window) {
  std::vector<std::string> out;
  auto tell = [&](QWidget* w, const QString& text, QSize need) {
    out.push_back(QString("%1: \"%2\" needs %3x%4, has %5x%6")
                      .arg(window.objectName(), text)
                      .arg(need.width())
                      .arg(need.height())
                      .arg(w->width())
                      .arg(w->height())
                      .toStdString());
  };
  for (QLabel* l : window.findChildren<QLabel*>())
    if (l->isVisible() && !l->text().isEmpty()) {
      const QSize need = l->minimumSizeHint();
      if (need.width() > l->width() || need.height() > l->height()) tell(l, l->text(), need);
    }
  for (QAbstractButton* b : window.findChildren<QAbstractButton*>())
    if (b->isVisible() && !b->text().isEmpty() &&
        (b->objectName().startsWith("btn") || b->objectName().startsWith("chk"))) {
      const QSize need = b->sizeHint();
      if (need.width() > b->width() || need.height() > b->height()) tell(b, b->text(), need);
    }
  for (QComboBox* c : window.findChildren<QComboBox*>())
    if (c->isVisible()) {
      const QSize need = c->minimumSizeHint();
      if (need.width() > c->width() || need.height() > c->height()) tell(c, c->currentText(), need);
    }
  for (QLineEdit* e : window.findChildren<QLineEdit*>())
    if (e->isVisible() && e->minimumSizeHint().height() > e->height())
      tell(e, e->objectName(), e->minimumSizeHint());
  for (QToolBar* bar : window.findChildren<QToolBar*>())
    for (QAction* a : bar->actions())
      if (!a->isSeparator() && bar->isVisible() && !bar->widgetForAction(a)->isVisible())
        tell(bar, bar->widgetForAction(a)->objectName() + " is in the overflow", {});
  for (QMenuBar* bar : window.findChildren<QMenuBar*>())
    for (QAction* a : bar->actions())
      if (a->isVisible() && !bar->rect().contains(bar->actionGeometry(a)))
        tell(bar, a->text(), bar->actionGeometry(a).size());
  return out;
}

class FontFit : public AppFixture, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    normal_ = QApplication::font();
    QFont font = normal_;
    font.setPointSizeF(normal_.pointSizeF() * GetParam());
    QApplication::setFont(font);
  }
  void TearDown() override {
    AppFixture::TearDown();
    QApplication::setFont(normal_);
  }
  QFont normal_;
};

TEST_P(FontFit, NoWindowCutsItsText) {
  WriteIni("[Options]\nProgramCaption=My Email Program\n");
  CreateDefaultTable();
  StartProgram();
  std::vector<std::string> clipped;
  auto check = [&](QWidget& w) {
    w.show();
    QApplication::processEvents();
    for (auto& line : Clipped(w)) clipped.push_back(line);
    w.hide();
  };
  check(Main());
  check(Config());
  check(*program_->frmBrowser());
  TSendLog sendLog;
  sendLog.StartLog("My Email Program", "A sender", "1/2/26", "10:00:00");
  TfrmLog log(dialogs_);
  log.setObjectName("frmLog");
  log.SetLog(sendLog, "");
  check(log);
  EXPECT_TRUE(clipped.empty()) << ::testing::PrintToString(clipped);
}

INSTANTIATE_TEST_SUITE_P(Scales, FontFit, ::testing::Values(1, 2));

}  // namespace
}  // namespace tavrin::app::testing
