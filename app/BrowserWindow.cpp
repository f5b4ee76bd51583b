#include "app/BrowserWindow.h"

#include <QFrame>
#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>
#include <algorithm>

#include "app/Centring.h"
#include "app/Glyphs.h"
#include "app/Settings.h"
#include "controls/XbGrid.h"
#include "controls/XbNavigator.h"

namespace tavrin::app {

namespace {
// The design's client area and its parts.
constexpr QSize kDesignClient(418, 295);
constexpr int kToolBarHeight = 40;
constexpr QRect kGridRect(0, 39, 418, 224);
constexpr QRect kNavRect(3, 267, 401, 25);
constexpr QSize kCloseButton(75, 32);
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
  btnClose->setGeometry(6 + 2, (std::max(kToolBarHeight, button.height() + 8) - button.height()) / 2,
                        button.width(), button.height());
  ToolBar->setGeometry(0, 0, kDesignClient.width(), std::max(kToolBarHeight, button.height() + 8));

  Grid = new controls::TXbGrid(this);
  Grid->setObjectName("Grid");
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
  table_.Open(TableFilePath(AppSettings()));
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
  ToolBar->resize(width(), ToolBar->height());
  Grid->resize(width() - 1, Grid->height());
  const int columnWidth = BrowserColumnWidth(Grid->width());
  controls::TXbGridColumns& columns = Grid->Columns();
  for (int i = 0; i < columns.Count(); ++i) columns.Items(i)->SetWidth(columnWidth);
}

}  // namespace tavrin::app
