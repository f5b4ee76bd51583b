#include "windows/BrowserWindow.h"

#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <algorithm>
#include <exception>

#include "windows/Centring.h"
#include "windows/Glyphs.h"
#include "program/Settings.h"
#include "controls/XbGrid.h"
#include "controls/XbNavigator.h"
#include "platform/CodePageQt.h"

namespace tavrin::app {

namespace {
// The design's client area and its parts.
constexpr QSize kDesignClient(418, 295);
constexpr int kToolBarHeight = 40;
constexpr QRect kGridRect(0, 39, 418, 224);
constexpr QRect kNavRect(3, 267, 401, 25);
constexpr QSize kCloseButton(75, 32);
// The navigator keeps its distance from the bottom edge, the grid its distance from the navigator.
constexpr int kNavFromBottom = kDesignClient.height() - kNavRect.top();
constexpr int kGridToNav = kNavRect.top() - (kGridRect.top() + kGridRect.height());
constexpr int kFindFieldWidth = 180;
}  // namespace

TfrmBrowser::TfrmBrowser(AppServices& services, QWidget* parent)
    : QDialog(parent), services_(services), table_(services.dialogs) {
  setObjectName("frmBrowser");
  setWindowTitle(kBrowserDesignTitle);
  setMinimumSize(kBrowserMinimumClient);

  ToolBar = new QFrame(this);
  ToolBar->setObjectName("ToolBar");
  ToolBar->setFrameStyle(QFrame::Panel | QFrame::Raised);
  btnClose = new QPushButton("Cl&ose", ToolBar);
  btnClose->setObjectName("btnClose");
  btnClose->setIcon(ThemeIcon(Glyph::Close));
  btnClose->setAutoDefault(false);  // Enter belongs to the grid
  const QSize button = btnClose->sizeHint().expandedTo(kCloseButton);
  btnClose->setGeometry(6 + 2,
                        (std::max(kToolBarHeight, button.height() + 8) - button.height()) / 2,
                        button.width(), button.height());
  ToolBar->setGeometry(0, 0, kDesignClient.width(), std::max(kToolBarHeight, button.height() + 8));

  FindLabel = new QLabel("Fi&nd:", ToolBar);
  FindLabel->setObjectName("FindLabel");
  FindField = new QLineEdit(ToolBar);
  FindField->setObjectName("FindField");
  FindField->setAccessibleName("Find");
  FindLabel->setBuddy(FindField);
  FindResult = new QLabel(ToolBar);
  FindResult->setObjectName("FindResult");
  FindField->installEventFilter(this);
  HideFind();

  ReadOnlyLine = new QLabel(kReadOnlyTableLine, this);
  ReadOnlyLine->setObjectName("ReadOnlyLine");
  ReadOnlyLine->setTextFormat(Qt::PlainText);
  ReadOnlyLine->setContentsMargins(6, 2, 6, 2);
  ReadOnlyLine->hide();

  auto* find = new QShortcut(QKeySequence::Find, this);
  connect(find, &QShortcut::activated, this, &TfrmBrowser::ShowFind);
  auto* again = new QShortcut(QKeySequence(Qt::Key_F3), this);
  connect(again, &QShortcut::activated, this, &TfrmBrowser::FindNext);

  Grid = new controls::TXbGrid(this);
  Grid->setObjectName("Grid");
  Grid->setAccessibleName("Recipients");
  Grid->SetDialogs(&services.dialogs);
  Grid->SetFixedColumns(0);
  Grid->SetBooleanBox(controls::TXbBooleanBox::bbCheckBox);
  Grid->SetDataSource(&table_.DataSource);
  Grid->setGeometry(kGridRect.translated(0, ToolBar->height() - kToolBarHeight));
  // Esc on the grid while nothing is being edited closes the window, as it does anywhere else.
  Grid->OnKeyDown = [this](controls::TCustomXbGrid& grid, int& key, Qt::KeyboardModifiers) {
    if (key == Qt::Key_Escape && !grid.EditorMode() &&
        table_.tblDatabase.State() != dataset::TDataSetState::dsEdit &&
        table_.tblDatabase.State() != dataset::TDataSetState::dsInsert) {
      key = 0;
      reject();
    }
  };

  Nav = new controls::TXbNavigator(this);
  Nav->setObjectName("Nav");
  Nav->SetDialogs(&services.dialogs);
  Nav->SetDataSource(&table_.DataSource);
  Nav->setGeometry(kNavRect.translated(0, ToolBar->height() - kToolBarHeight));
  // The columns follow the room the grid can show, which a scroll bar coming or going changes too.
  Grid->viewport()->installEventFilter(this);

  resize(kDesignClient.width(), Nav->geometry().bottom() + 4);
  connect(btnClose, &QPushButton::clicked, this, &TfrmBrowser::btnCloseClick);
}

TfrmBrowser::~TfrmBrowser() {
  Grid->SetDataSource(nullptr);
  Nav->SetDataSource(nullptr);
}

void TfrmBrowser::btnCloseClick() { close(); }

void TfrmBrowser::done(int result) {
  if (!table_.Close()) return;  // the post failed and was shown: the window stays
  QDialog::done(result);
}

void TfrmBrowser::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmBrowser::FormShow() {
  HideFind();
  table_.Open(TableFilePath(AppSettings()));
  const bool readOnly = table_.tblDatabase.Active() && table_.ReadOnly();
  ReadOnlyLine->setVisible(readOnly);
  Grid->SetReadOnly(readOnly);
  BuildColumns();
  FormResize();
  CentreOnScreen(*this);
  Grid->setFocus();
}

void TfrmBrowser::BuildColumns() {
  const Settings& s = AppSettings();
  controls::TXbGridColumns& columns = Grid->Columns();
  columns.Clear();
  for (const auto& [field, title] : {std::pair{SettingToAnsi(s.NameFieldname), "Name"},
                                     std::pair{SettingToAnsi(s.EmailFieldname), "E-mail"}}) {
    controls::TXbColumn* column = columns.Add();
    column->SetFieldName(field);
    column->Title().SetCaption(title);
  }
}

void TfrmBrowser::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  FormResize();
}

void TfrmBrowser::FormResize() {
  const int w = width();
  ToolBar->resize(w, ToolBar->height());
  // The find field sits in the tool bar beside Close, shrinking before it would leave the window.
  const int barHeight = ToolBar->height();
  int x = btnClose->geometry().right() + 12;
  const QSize label = FindLabel->sizeHint();
  FindLabel->setGeometry(x, (barHeight - label.height()) / 2, label.width(), label.height());
  x += label.width() + 4;
  const int fieldHeight = FindField->sizeHint().height();
  const int resultWidth =
      FindResult->fontMetrics().horizontalAdvance(QStringLiteral("Not found")) + 8;
  const int fieldWidth = std::clamp(w - x - resultWidth - 6, 40, kFindFieldWidth);
  FindField->setGeometry(x, (barHeight - fieldHeight) / 2, fieldWidth, fieldHeight);
  x += fieldWidth + 6;
  FindResult->setGeometry(x, 0, std::max(0, w - x - 2), barHeight);

  int top = kGridRect.top() + barHeight - kToolBarHeight;
  if (!ReadOnlyLine->isHidden()) {
    const int lineHeight = ReadOnlyLine->sizeHint().height();
    ReadOnlyLine->setGeometry(0, top + 1, w, lineHeight);
    top += lineHeight + 1;
  }
  const int navTop = height() - kNavFromBottom;
  Nav->move(kNavRect.left(), navTop);
  Grid->setGeometry(
      0, top, w - 1,
      std::max(Grid->TitleRowHeight() + Grid->RowHeight() + 4, navTop - kGridToNav - top));
  FitColumns();
}

void TfrmBrowser::FitColumns() {
  const int columnWidth = std::max(1, BrowserColumnWidth(Grid->viewport()->width()));
  controls::TXbGridColumns& columns = Grid->Columns();
  for (int i = 0; i < columns.Count(); ++i)
    if (columns.Items(i)->Width() != columnWidth) columns.Items(i)->SetWidth(columnWidth);
}

bool TfrmBrowser::eventFilter(QObject* watched, QEvent* event) {
  if (Grid != nullptr && watched == Grid->viewport() && event->type() == QEvent::Resize) {
    FitColumns();
  } else if (watched == FindField && event->type() == QEvent::KeyPress) {
    switch (static_cast<QKeyEvent*>(event)->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter: FindNext(); return true;
      case Qt::Key_Escape:  // closes the find field, not the window
        HideFind();
        Grid->setFocus();
        return true;
      default: break;
    }
  }
  return QDialog::eventFilter(watched, event);
}

// ---- Find

void TfrmBrowser::ShowFind() {
  FindLabel->show();
  FindField->show();
  FindResult->show();
  FindField->setFocus(Qt::ShortcutFocusReason);
  FindField->selectAll();
}

void TfrmBrowser::HideFind() {
  FindLabel->hide();
  FindField->hide();
  FindResult->hide();
  FindResult->clear();
}

void TfrmBrowser::FindNext() {
  if (FindField->text().isEmpty()) {  // nothing to look for yet: ask for it
    ShowFind();
    return;
  }
  FindLabel->show();  // the text searched for stays in sight; the focus stays where it is
  FindField->show();
  FindResult->show();
  const Settings& s = AppSettings();
  bool found = false;
  try {
    found = table_.FindNext(SettingToAnsi(s.NameFieldname), SettingToAnsi(s.EmailFieldname),
                            platform::QStringToAnsi(FindField->text()));
  } catch (const std::exception& e) {
    services_.dialogs.ShowMessage(e.what());
    return;
  }
  FindResult->setText(found ? QString() : QStringLiteral("Not found"));
}

}  // namespace tavrin::app
