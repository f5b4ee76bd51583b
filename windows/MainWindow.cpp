#include "windows/MainWindow.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QMimeData>
#include <QFocusEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QDateTime>
#include <QLocale>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>
#include <utility>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <ctime>
#include <filesystem>

#include "windows/BrowserWindow.h"
#include "windows/Centring.h"
#include "windows/Glyphs.h"
#include "windows/ConfigDialog.h"
#include "send/LogFiles.h"
#include "windows/LogWindow.h"
#include "windows/PreviewWindow.h"
#include "send/MessageAssembly.h"
#include "windows/Program.h"
#include "windows/RecipientsMenu.h"
#include "platform/CodePage.h"
#include "program/SendAccess.h"
#include "platform/CodePageQt.h"
#include "platform/IntConv.h"

namespace tavrin::app {

using platform::AnsiToQString;

namespace {

constexpr const char* kPersonalisedByPlaceholders =
    "The message holds placeholders: each recipient gets a message of its own.";
constexpr int kDisplayIntervalMs = 33;  // about 30 times a second
// The bands' design heights; each grows with the font when its text needs more.
constexpr int kToolBarHeight = 30;
constexpr int kHeaderHeight = 66;
constexpr int kFooterHeight = 20;
constexpr int kAttachSectionHeight = 70;
constexpr QSize kDesignSize(517, 418);
constexpr int kMinimumSize = 300;
const QColor kPlaceholderGrey(128, 128, 128);

// A server's words as sent when they are UTF-8, else read as Windows-1252.
// A server's words as the transcript shows them: read as UTF-8 where they are, and with their
// control and bidirectional characters made visible, so a reply cannot reorder or forge lines.
QString ServerText(const std::string& bytes) {
  return QString::fromStdString(VisibleText(platform::TextToUtf8(bytes)));
}

void SetTextColour(QLineEdit* edit, const QColor& colour) {
  QPalette palette = edit->palette();
  palette.setColor(QPalette::Text, colour);
  edit->setPalette(palette);
}

// Typed text takes the text colour of the palette around the field (black in a light theme), so it
// reads on the field's background under a dark palette too; the placeholder grey reads on both.
QColor TypedTextColour(const QLineEdit* edit) {
  const QWidget* around = edit->parentWidget() != nullptr ? edit->parentWidget() : edit;
  return around->palette().color(QPalette::Text);
}

QAction* MakeAction(QMenu* menu, const char* name, const char* text, bool enabled = true) {
  QAction* action = menu->addAction(text);
  action->setObjectName(name);
  action->setEnabled(enabled);
  return action;
}

// The menu shows the key; the field or memo that has the focus acts on it itself, so the action
// never takes the key from a field (WidgetShortcut on a menu's action fires only inside the menu).
void ShowShortcut(QAction* action, QKeySequence::StandardKey key) {
  action->setShortcut(key);
  action->setShortcutContext(Qt::WidgetShortcut);
  action->setShortcutVisibleInContextMenu(true);
}

QToolButton* MakeToolButton(QToolBar* bar, const char* name, const char* text, const char* hint,
                            Glyph glyph, bool enabled = true) {
  auto* button = new QToolButton(bar);
  button->setObjectName(name);
  button->setText(text);
  button->setIcon(ThemeIcon(glyph));
  button->setToolButtonStyle(glyph == Glyph::Send || glyph == Glyph::Browse
                                 ? Qt::ToolButtonTextBesideIcon
                                 : Qt::ToolButtonIconOnly);
  button->setToolTip(hint);
  button->setAutoRaise(true);
  button->setEnabled(enabled);
  bar->addWidget(button);
  return button;
}

}  // namespace

TfrmEmailMerge::TfrmEmailMerge(AppServices& services) : services_(services) {
  setObjectName("frmEmailMerge");
  resize(kDesignSize);
  setMinimumSize(kMinimumSize, kMinimumSize);  // a resize below 300 pixels either way is refused

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  BuildMenus();
  BuildToolBar(central);
  BuildHeader(central);

  Splitter = new QSplitter(Qt::Vertical, central);
  Splitter->setObjectName("Splitter");
  Splitter->setChildrenCollapsible(true);
  mmoMessage = new QPlainTextEdit(Splitter);
  mmoMessage->setObjectName("mmoMessage");
  mmoMessage->setFrameShape(QFrame::NoFrame);
  mmoMessage->setLineWrapMode(QPlainTextEdit::NoWrap);
  lstAttachments = new TFileListView(Splitter);
  lstAttachments->setObjectName("lstAttachments");
  Splitter->addWidget(mmoMessage);
  Splitter->addWidget(lstAttachments);

  BuildFooter(central);
  Recipients->ShowIn(StatusBar);
  Memo1 = new QPlainTextEdit(central);
  Memo1->setObjectName("Memo1");
  Memo1->setVisible(false);
  Memo1->setReadOnly(true);
  Memo1->setMaximumBlockCount(static_cast<int>(kTranscriptLines));

  layout->addWidget(ToolBar);
  layout->addWidget(pnlHeader);
  layout->addWidget(Splitter, 1);
  layout->addWidget(pnlFooter);
  setCentralWidget(central);

  Memo1->installEventFilter(this);
  connect(miProperties, &QAction::triggered, this, &TfrmEmailMerge::btnConfigureClick);
  connect(btnConfig, &QToolButton::clicked, this, &TfrmEmailMerge::btnConfigureClick);
  connect(miClose, &QAction::triggered, this, &TfrmEmailMerge::btnCloseClick);
  connect(miSelectRecipients, &QAction::triggered, this, &TfrmEmailMerge::btnBrowseClick);
  connect(btnBrowse, &QToolButton::clicked, this, &TfrmEmailMerge::btnBrowseClick);
  connect(miSend, &QAction::triggered, this, &TfrmEmailMerge::btnSendClick);
  connect(btnSend, &QToolButton::clicked, this, &TfrmEmailMerge::btnSendClick);
  connect(miSendTest, &QAction::triggered, this, &TfrmEmailMerge::miSendTestClick);
  connect(miOnePerRecipient, &QAction::triggered, this, [this](bool checked) {
    if (checked || !NeedsPersonalising(AppSettings(), TypedTexts()))
      return SetOnePerRecipientChosen(checked);
    // Placeholders cannot go out in a shared message: the item stays checked, and says why.
    UpdateOnePerRecipient();
    ShowStatus(QString::fromUtf8(kPersonalisedByPlaceholders));
  });
  for (QLineEdit* edit : {edtTo, edtSubject})
    connect(edit, &QLineEdit::textChanged, this, &TfrmEmailMerge::UpdateOnePerRecipient);
  connect(mmoMessage, &QPlainTextEdit::textChanged, this, &TfrmEmailMerge::UpdateOnePerRecipient);
  connect(miFileAttachment, &QAction::triggered, this, &TfrmEmailMerge::btnAttachClick);
  connect(btnAttach, &QToolButton::clicked, this, &TfrmEmailMerge::btnAttachClick);
  edtTo->installEventFilter(this);
  edtSubject->installEventFilter(this);
  BindEditCommands();
  BindStopKey();
  BindDraftKeeping();

  FormCreate();
  // The design size, or more where the font needs it to show every band and toolbar button whole.
  resize(std::max(kDesignSize.width(), ToolBar->sizeHint().width()),
         std::max(kDesignSize.height(), minimumSizeHint().height()));
}

TfrmEmailMerge::~TfrmEmailMerge() {
  WaitForLogSaved();
  send_.reset();
}

void TfrmEmailMerge::BuildMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  miSend = MakeAction(file, "miSend", "&Send");
  miSendTest = MakeAction(file, "miSendTest", "Send &Test to Me");
  miSendTest->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
  BuildDraftMenu(file);
  BuildResumeMenu(file);
  BuildMessageFileMenu(file);
  Recipients = new TRecipientsMenu(
      file, services_, this, [this] { return Sending(); },
      [] {});  // each send reads the table the settings name when it starts
  file->addSeparator();
  miProperties = MakeAction(file, "miProperties", "&Properties");
  file->addSeparator();
  miClose = MakeAction(file, "miClose", "&Close");

  QMenu* edit = menuBar()->addMenu("&Edit");
  miUndo = MakeAction(edit, "miUndo", "&Undo", false);
  edit->addSeparator();
  miCut = MakeAction(edit, "miCut", "Cu&t", false);
  miCopy = MakeAction(edit, "miCopy", "&Copy", false);
  miPaste = MakeAction(edit, "miPaste", "&Paste", false);
  edit->addSeparator();
  miSelectAll = MakeAction(edit, "miSelectAll", "Select &All", false);
  ShowShortcut(miUndo, QKeySequence::Undo);
  ShowShortcut(miCut, QKeySequence::Cut);
  ShowShortcut(miCopy, QKeySequence::Copy);
  ShowShortcut(miPaste, QKeySequence::Paste);
  ShowShortcut(miSelectAll, QKeySequence::SelectAll);
  miSend->setIcon(ThemeIcon(Glyph::Send));
  miProperties->setIcon(ThemeIcon(Glyph::Properties));
  miClose->setIcon(ThemeIcon(Glyph::Close));
  miUndo->setIcon(ThemeIcon(Glyph::Undo));
  miCut->setIcon(ThemeIcon(Glyph::Cut));
  miCopy->setIcon(ThemeIcon(Glyph::Copy));
  miPaste->setIcon(ThemeIcon(Glyph::Paste));

  QMenu* view = menuBar()->addMenu("&View");
  miToolbar = MakeAction(view, "miToolbar", "&Toolbar");
  miToolbar->setCheckable(true);
  miToolbar->setChecked(true);
  miStatusBar = MakeAction(view, "miStatusBar", "&Statusbar");
  miStatusBar->setCheckable(true);
  miStatusBar->setChecked(true);
  // The message as one recipient receives it (PreviewWindow.cpp).
  QAction* miPreview = MakeAction(view, "miPreview", "Pre&view");
  miPreview->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));
  connect(miPreview, &QAction::triggered, this, [this] { ShowPreview(*this); });

  QMenu* insert = menuBar()->addMenu("&Insert");
  miFileAttachment = MakeAction(insert, "miFileAttachment", "&File Attachment...");
  miFileAttachment->setIcon(ThemeIcon(Glyph::Attach));
  QMenu* tools = menuBar()->addMenu("&Tools");
  miSelectRecipients = MakeAction(tools, "miSelectRecipients", "Select &Recipients...");
  QMenu* options = menuBar()->addMenu("&Options");
  miOnePerRecipient = MakeAction(options, "miOnePerRecipient", "One &Message per Recipient");
  miOnePerRecipient->setCheckable(true);
  options->setToolTipsVisible(true);
  mnuHelp = menuBar()->addMenu("&Help");
  mnuHelp->menuAction()->setVisible(false);
}

void TfrmEmailMerge::BuildToolBar(QWidget* parent) {
  ToolBar = new QToolBar(parent);
  ToolBar->setObjectName("ToolBar");
  ToolBar->setMinimumHeight(kToolBarHeight);
  ToolBar->setMovable(false);
  btnSend = MakeToolButton(ToolBar, "btnSend", "Send", "Send Message", Glyph::Send);
  ToolBar->addSeparator();
  btnUndo = MakeToolButton(ToolBar, "btnUndo", "Undo", "Undo", Glyph::Undo, false);
  btnCut = MakeToolButton(ToolBar, "btnCut", "Cut", "Cut", Glyph::Cut, false);
  btnCopy = MakeToolButton(ToolBar, "btnCopy", "Copy", "Copy", Glyph::Copy, false);
  btnPaste = MakeToolButton(ToolBar, "btnPaste", "Paste", "Paste", Glyph::Paste, false);
  ToolBar->addSeparator();
  btnConfig =
      MakeToolButton(ToolBar, "btnConfig", "Properties", "Set Properties", Glyph::Properties);
  btnBrowse = MakeToolButton(ToolBar, "btnBrowse", "Browse", "Select Recipients", Glyph::Browse);
  ToolBar->addSeparator();
  btnAttach = MakeToolButton(ToolBar, "btnAttach", "Attach", "Attach File", Glyph::Attach);
}

// The header grows with the font from its design height: the grey strip holds the labels whole,
// and each field fills the width left of it, inside the grey frame shown while it has the focus.
void TfrmEmailMerge::BuildHeader(QWidget* parent) {
  pnlHeader = new QFrame(parent);
  pnlHeader->setObjectName("pnlHeader");
  pnlHeader->setMinimumHeight(kHeaderHeight);
  pnlHeader->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  // White in a light theme: the band is filled like its fields, so it follows a dark palette too.
  pnlHeader->setAutoFillBackground(true);
  pnlHeader->setBackgroundRole(QPalette::Base);

  auto* grid = new QGridLayout(pnlHeader);
  grid->setContentsMargins(0, 0, 6, 0);
  grid->setSpacing(0);
  auto* strip = new QFrame(pnlHeader);
  strip->setObjectName("pnlLabels");
  strip->setAutoFillBackground(true);
  QPalette grey = strip->palette();
  grey.setColor(QPalette::Window, kPlaceholderGrey);
  strip->setPalette(grey);
  strip->setBackgroundRole(QPalette::Window);  // not the band's: the strip keeps its own grey
  grid->addWidget(strip, 0, 0, 5, 1);
  grid->setColumnMinimumWidth(1, 6);
  grid->setRowMinimumHeight(2, 6);
  grid->setRowStretch(0, 1);
  grid->setRowStretch(4, 1);

  auto addRow = [&](int row, const char* labelName, const char* text, const char* frameName,
                    const char* editName, QFrame*& frame) {
    auto* label = new QLabel(text, pnlHeader);
    label->setObjectName(labelName);
    label->setStyleSheet("color: white; font-weight: bold;");
    label->setContentsMargins(8, 0, 8, 0);
    grid->addWidget(label, row, 0);
    // The frame and the field share a cell; the field sits 2 pixels inside the frame.
    auto* cell = new QWidget(pnlHeader);
    auto* inner = new QGridLayout(cell);
    inner->setContentsMargins(0, 0, 0, 0);
    inner->setSpacing(0);
    for (int i : {0, 2}) {
      inner->setRowMinimumHeight(i, 2);
      inner->setColumnMinimumWidth(i, 2);
    }
    frame = new QFrame(cell);
    frame->setObjectName(frameName);
    frame->setStyleSheet("background-color: rgb(128,128,128);");
    frame->hide();
    inner->addWidget(frame, 0, 0, 3, 3);
    auto* edit = new QLineEdit(cell);
    edit->setObjectName(editName);
    edit->setFrame(false);
    SetTextColour(edit, kPlaceholderGrey);
    inner->addWidget(edit, 1, 1);
    edit->raise();
    grid->addWidget(cell, row, 2);
    return edit;
  };
  edtTo = addRow(1, "lblTo", "To:", "pnlTo", "edtTo", pnlTo);
  edtSubject = addRow(3, "lblSubject", "Subject:", "pnlSubject", "edtSubject", pnlSubject);
  edtTo->setText(kToPlaceholder);
  edtSubject->setText(kSubjectPlaceholder);
}

void TfrmEmailMerge::BuildFooter(QWidget* parent) {
  pnlFooter = new QFrame(parent);
  pnlFooter->setObjectName("pnlFooter");
  pnlFooter->setMinimumHeight(kFooterHeight);
  pnlFooter->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  auto* row = new QHBoxLayout(pnlFooter);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  pnlProgress = new QFrame(pnlFooter);
  pnlProgress->setObjectName("pnlProgress");
  pnlProgress->setFixedWidth(90);
  auto* progressRow = new QHBoxLayout(pnlProgress);
  progressRow->setContentsMargins(2, 2, 2, 2);
  pbProgress = new QProgressBar(pnlProgress);
  pbProgress->setObjectName("pbProgress");
  pbProgress->setRange(0, 100);
  pbProgress->setTextVisible(false);
  progressRow->addWidget(pbProgress);
  pnlProgress->hide();
  StatusBar = new QStatusBar(pnlFooter);
  StatusBar->setObjectName("StatusBar");
  StatusBar->setSizeGripEnabled(false);
  StatusBar->installEventFilter(this);
  row->addWidget(pnlProgress);
  row->addWidget(StatusBar, 1);
}

// ---- Edit commands and view toggles: all act on the message memo.

void TfrmEmailMerge::BindEditCommands() {
  mmoMessage->installEventFilter(this);
  mmoMessage->viewport()->installEventFilter(this);
  connect(mmoMessage, &QPlainTextEdit::textChanged, this, &TfrmEmailMerge::mmoMessageChange);
  connect(btnUndo, &QToolButton::clicked, this, &TfrmEmailMerge::btnUndoClick);
  connect(miUndo, &QAction::triggered, this, &TfrmEmailMerge::btnUndoClick);
  connect(btnCut, &QToolButton::clicked, this, &TfrmEmailMerge::btnCutClick);
  connect(miCut, &QAction::triggered, this, &TfrmEmailMerge::btnCutClick);
  connect(btnCopy, &QToolButton::clicked, this, &TfrmEmailMerge::btnCopyClick);
  connect(miCopy, &QAction::triggered, this, &TfrmEmailMerge::btnCopyClick);
  connect(btnPaste, &QToolButton::clicked, this, &TfrmEmailMerge::btnPasteClick);
  connect(miPaste, &QAction::triggered, this, &TfrmEmailMerge::btnPasteClick);
  connect(miSelectAll, &QAction::triggered, this, &TfrmEmailMerge::miSelectAllClick);
  connect(miToolbar, &QAction::triggered, this, &TfrmEmailMerge::miToolbarClick);
  connect(miStatusBar, &QAction::triggered, this, &TfrmEmailMerge::miStatusBarClick);
}

void TfrmEmailMerge::btnUndoClick() {
  mmoMessage->undo();
  mmoMessageChange();
  UpdateCutCopy();
}

// The memo's own clipboard commands: they carry every character the memo holds.
void TfrmEmailMerge::btnCutClick() {
  mmoMessage->cut();
  UpdateCutCopy();
}

void TfrmEmailMerge::btnCopyClick() { mmoMessage->copy(); }

// Only plain text is pasted; anything else on the clipboard (an image) leaves the memo as it is.
void TfrmEmailMerge::btnPasteClick() {
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  if (data == nullptr || !data->hasText()) return;
  mmoMessage->insertPlainText(data->text());
  UpdateCutCopy();
}

void TfrmEmailMerge::miSelectAllClick() {
  mmoMessage->selectAll();
  UpdateCutCopy();
}

void TfrmEmailMerge::miToolbarClick() {
  // The action has already inverted its own check mark; the layout puts the bar back at the top.
  ToolBar->setVisible(miToolbar->isChecked());
}

void TfrmEmailMerge::miStatusBarClick() { pnlFooter->setVisible(miStatusBar->isChecked()); }

void TfrmEmailMerge::mmoMessageEnter() {
  btnUndo->setEnabled(mmoMessage->document()->isUndoAvailable());
  btnPaste->setEnabled(true);
  miPaste->setEnabled(true);
  miSelectAll->setEnabled(true);
}

void TfrmEmailMerge::mmoMessageExit() {
  for (QAction* a : {miUndo, miCut, miCopy, miPaste, miSelectAll}) a->setEnabled(false);
  for (QToolButton* b : {btnUndo, btnCut, btnCopy, btnPaste}) b->setEnabled(false);
}

void TfrmEmailMerge::mmoMessageChange() {
  const bool canUndo = mmoMessage->document()->isUndoAvailable();
  btnUndo->setEnabled(canUndo);
  miUndo->setEnabled(canUndo);
}

void TfrmEmailMerge::UpdateCutCopy() {
  const bool selected = mmoMessage->textCursor().hasSelection();
  for (QToolButton* b : {btnCopy, btnCut}) b->setEnabled(selected);
  for (QAction* a : {miCopy, miCut}) a->setEnabled(selected);
}

// The memo's focus and input events. Focus that goes to a menu or to another window is not a move
// to another control: the memo keeps its commands for when it comes back.
bool TfrmEmailMerge::MemoEvent(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::FocusIn:
      if (watched == mmoMessage) mmoMessageEnter();
      return true;
    case QEvent::FocusOut: {
      const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
      if (watched == mmoMessage && reason != Qt::PopupFocusReason &&
          reason != Qt::ActiveWindowFocusReason && reason != Qt::MenuBarFocusReason)
        mmoMessageExit();
      return true;
    }
    case QEvent::KeyRelease:
    case QEvent::MouseButtonRelease: UpdateCutCopy(); return true;
    default: return false;
  }
}

void TfrmEmailMerge::SetSecondaryWindows(TfrmBrowser* browser, TfrmConfiguration* configuration) {
  frmBrowser_ = browser;
  frmConfiguration_ = configuration;
}

int TfrmEmailMerge::SplitterPosition() const { return Splitter->sizes().value(0); }

void TfrmEmailMerge::SetSplitterPosition(int position) {
  const int total = Splitter->height() - Splitter->handleWidth();
  const int upper = std::clamp(position, 0, std::max(total, 0));
  Splitter->setSizes({upper, std::max(total - upper, 0)});
}

void TfrmEmailMerge::FormCreate() {
  Settings& s = AppSettings();
  LoadSettings(s, services_.places);
  if (const auto unread = UnreadSettingsText(services_.places))
    services_.dialogs.ShowMessage(*unread);
  SaveSettings(s, services_.places, services_.dialogs);
  ApplySettings();
  SetSplitterPosition(Splitter->height());  // the attachment pane starts collapsed

  if (CheckRecipientsTable(services_)) Recipients->TableChanged();
}

void TfrmEmailMerge::ApplySettings() {
  const Settings& s = AppSettings();
  const QString to = edtTo->text();
  if (to.isEmpty() || to.compare(kToPlaceholder, Qt::CaseInsensitive) == 0) {
    edtTo->setText(SettingToQString(s.To));
    SetTextColour(edtTo, TypedTextColour(edtTo));
  }
  // A port that is no port is told here, once; the last valid one stands meanwhile.
  if (const auto port = ServerPortNumber(AppSettings(), services_.dialogs)) serverPort_ = *port;
  SecurityChoice(AppSettings(), services_.dialogs);
  RecipientsPerMessageLimit(AppSettings(), services_.dialogs);
  setWindowTitle(SettingToQString(s.ProgramCaption));
  platform::Dialogs::SetApplicationTitle(SettingToAnsi(s.ProgramCaption));
  if (frmBrowser_ != nullptr)
    frmBrowser_->setWindowTitle(SettingToQString(s.ProgramCaption + " Database Browser"));
  UpdateOnePerRecipient();  // a List-Unsubscribe link with a placeholder personalises too
}

void TfrmEmailMerge::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!event->spontaneous()) FormShow();
  RestoreDraft();
  if (!std::exchange(resumeOffered_, true))
    QTimer::singleShot(0, this, [this] { OfferResume(true); });
}

void TfrmEmailMerge::FormShow() {
  const Settings& s = AppSettings();
  if (s.FirstRun) {
    services_.dialogs.ShowMessage("Since this is your first time running " +
                                  SettingToAnsi(s.ProgramCaption) +
                                  " you will be taken into the setup screen.");
    const bool confirmed =
        frmConfiguration_ != nullptr && frmConfiguration_->exec() == QDialog::Accepted;
    if (!confirmed && services_.terminate) services_.terminate();
  }
  edtSubject->setText(kSubjectPlaceholder);
  SetTextColour(edtSubject, kPlaceholderGrey);
  CentreOnScreen(*this);
  edtTo->setFocus();
  FieldEnter(edtTo, pnlTo, kToPlaceholder);
}

void TfrmEmailMerge::closeEvent(QCloseEvent* event) {
  if (Sending()) send_->Abort(FailureKind::kStopped, "The program was closed during the send");
  SaveSettings(AppSettings(), services_.places, services_.dialogs);
  SaveDraftNow();
  QMainWindow::closeEvent(event);
}

bool TfrmEmailMerge::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Memo1 && event->type() == QEvent::Show) Memo1->setPlainText(TranscriptText());
  // A wider bar shows more of a status text that was cut.
  if (watched == StatusBar && event->type() == QEvent::Resize && !statusText_.isEmpty() &&
      !StatusBar->currentMessage().isEmpty())
    ShowStatus(statusText_);
  if (watched == mmoMessage || watched == mmoMessage->viewport()) {
    MemoEvent(watched, event);
    return QMainWindow::eventFilter(watched, event);
  }
  if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
    const bool enter = event->type() == QEvent::FocusIn;
    if (watched == edtTo)
      enter ? FieldEnter(edtTo, pnlTo, kToPlaceholder) : FieldExit(edtTo, pnlTo, kToPlaceholder);
    else if (watched == edtSubject)
      enter ? FieldEnter(edtSubject, pnlSubject, kSubjectPlaceholder)
            : FieldExit(edtSubject, pnlSubject, kSubjectPlaceholder);
  }
  return QMainWindow::eventFilter(watched, event);
}

void TfrmEmailMerge::FieldEnter(QLineEdit* edit, QFrame* frame, const char* placeholder) {
  frame->show();
  frame->stackUnder(edit);
  if (edit->text().compare(placeholder, Qt::CaseInsensitive) == 0) {
    edit->clear();
    SetTextColour(edit, TypedTextColour(edit));
  }
}

void TfrmEmailMerge::FieldExit(QLineEdit* edit, QFrame* frame, const char* placeholder) {
  frame->hide();
  if (edit->text().isEmpty()) {
    edit->setText(placeholder);
    SetTextColour(edit, kPlaceholderGrey);
  } else {
    SetTextColour(edit, TypedTextColour(edit));
  }
}

void TfrmEmailMerge::btnConfigureClick() {
  if (Sending()) return;  // the send keeps the settings it started with
  if (frmConfiguration_ != nullptr) frmConfiguration_->exec();
  ApplySettings();
}

void TfrmEmailMerge::btnCloseClick() { close(); }

void TfrmEmailMerge::btnBrowseClick() {
  if (Sending()) return;
  if (frmBrowser_ != nullptr) frmBrowser_->exec();
  Recipients->Refresh();
}

void TfrmEmailMerge::AddTranscript(const std::string& line) {
  transcript_.push_back(line);
  if (transcript_.size() > kTranscriptLines) transcript_.pop_front();
  if (Memo1->isVisible()) Memo1->appendPlainText(ServerText(line));
}

QString TfrmEmailMerge::TranscriptText() const {
  QStringList lines;
  lines.reserve(static_cast<qsizetype>(transcript_.size()));
  for (const auto& line : transcript_) lines << ServerText(line);
  return lines.join('\n');
}

void TfrmEmailMerge::StartLog(TSendLog& log) {
  const Settings& s = AppSettings();
  const QLocale locale = QLocale::system();
  QString timeFormat = locale.timeFormat(QLocale::LongFormat);
  timeFormat.remove(QRegularExpression("\\s*t+")).remove(QRegularExpression("\\(\\s*\\)"));
  const QDateTime now = QDateTime::currentDateTime();
  WaitForLogSaved();  // the files are made from the log about to be emptied
  sendStarted_ = std::time(nullptr);
  log.StartLog(s.ProgramCaption, s.SenderName,
               locale.toString(now.date(), QLocale::ShortFormat).toStdString(),
               locale.toString(now.time(), timeFormat.trimmed()).toStdString());
}

void TfrmEmailMerge::ShowLog() {
  TfrmLog log(services_.dialogs, this);
  log.SetLog(send_->Log(), logSaved_);
  shownLog_ = &log;
  log.exec();
  shownLog_ = nullptr;
}

}  // namespace tavrin::app

// ---------------------------------------------------------------- the send

namespace tavrin::app {

bool TfrmEmailMerge::CheckSendFields() {
  auto unfilled = [](QLineEdit* edit, const char* placeholder) {
    return edit->text().isEmpty() || edit->text().compare(placeholder, Qt::CaseInsensitive) == 0;
  };
  if (unfilled(edtTo, kToPlaceholder)) {
    services_.dialogs.ShowMessage("You must complete the \"To\" field");
    edtTo->setFocus();
    return false;
  }
  if (unfilled(edtSubject, kSubjectPlaceholder)) {
    services_.dialogs.ShowMessage("You must complete the \"Subject\" field");
    edtSubject->setFocus();
    return false;
  }
  // A message may be its attachments alone.
  if (mmoMessage->toPlainText().isEmpty() && lstAttachments->Count() == 0) {
    services_.dialogs.ShowMessage("You must type a message!");
    mmoMessage->setFocus();
    return false;
  }
  return true;
}

SendSetup TfrmEmailMerge::NextSendSetup() const {
  SendSetup setup = SendSetupFrom(AppSettings(), serverPort_, services_.places.tempDir);
  setup.caFile = trustedCaFile;
  return setup;
}

MessageTexts TfrmEmailMerge::TypedTexts() const {
  auto typed = [](const QLineEdit* edit, const char* placeholder) {
    const QString text = edit->text();
    return text.compare(placeholder, Qt::CaseInsensitive) == 0 ? std::string() : text.toStdString();
  };
  MessageTexts texts;
  texts.to = typed(edtTo, kToPlaceholder);
  texts.subject = typed(edtSubject, kSubjectPlaceholder);
  texts.body = mmoMessage->toPlainText().toStdString();
  for (int i = 0; i < lstAttachments->Count(); ++i)
    texts.attachments.push_back(lstAttachments->GetFilePath(i));
  texts.onePerRecipient = onePerRecipient_;
  return texts;
}

MailMessage TfrmEmailMerge::MakeMessage(std::optional<std::int32_t> testRecord) {
  return MailMessageFrom(AppSettings(), TypedTexts(), testRecord);
}

void TfrmEmailMerge::UpdateOnePerRecipient() {
  if (miOnePerRecipient == nullptr) return;
  const bool demanded = NeedsPersonalising(AppSettings(), TypedTexts());
  // While placeholders demand it the item stays checked; the choice underneath is kept. It is
  // not greyed out then: a greyed tick reads as "not available", not as "on".
  miOnePerRecipient->setEnabled(!Sending());
  miOnePerRecipient->setChecked(demanded || onePerRecipient_);
  miOnePerRecipient->setToolTip(demanded ? kPersonalisedByPlaceholders
                                         : "Each recipient gets a message of its own, with no "
                                           "shared To line.");
}

void TfrmEmailMerge::SetOnePerRecipientChosen(bool chosen) {
  if (onePerRecipient_ == chosen) return UpdateOnePerRecipient();
  onePerRecipient_ = chosen;
  UpdateOnePerRecipient();
  if (draftTimer_ != nullptr) draftTimer_->start();  // the choice is kept with the draft
}

bool TfrmEmailMerge::MessageSendable() {
  if (!CheckSendFields()) return false;
  const Settings& s = AppSettings();
  const std::vector<std::string> texts = {edtTo->text().toStdString(),
                                          edtSubject->text().toStdString(),
                                          mmoMessage->toPlainText().toStdString(), s.SenderName};
  if (const auto refusal = RefusalOf(texts, s.ReturnEmail)) {
    services_.dialogs.ShowMessage(*refusal);
    return false;
  }
  // A field the table lacks or an unusable bulk-mail setting is told now, before connecting.
  if (const auto refusal = CheckBulkMail(s, TableFilePath(s), TypedTexts())) {
    services_.dialogs.ShowWarning(*refusal);
    return false;
  }
  return true;
}

void TfrmEmailMerge::btnSendClick() {
  if (Sending()) return send_->Stop();
  if (!MessageSendable()) return;
  StartSend(MakeMessage(), false);
}

std::optional<std::int32_t> TfrmEmailMerge::TestRecord() {
  const auto* preview = findChild<TfrmPreview*>("frmPreview", Qt::FindDirectChildrenOnly);
  if (preview != nullptr && preview->isVisible()) return preview->Record();
  return FirstLiveRecord(TableFilePath(AppSettings()));
}

void TfrmEmailMerge::miSendTestClick() {
  if (Sending() || !MessageSendable()) return;
  const std::optional<std::int32_t> record = TestRecord();
  if (!record) {
    services_.dialogs.ShowWarning(
        "The recipients table has no record to make the test message from.");
    return;
  }
  StartSend(MakeMessage(record), true);
}

void TfrmEmailMerge::StartSend(MailMessage message, bool test) {
  const std::optional<SendAccess> access = GatherSendAccess(services_, AppSettings());
  if (!access) return;
  services_.dialogs.SetBusyCursor(true);
  SetSending(true);
  AppSettings().To = QStringToSetting(edtTo->text());
  WaitForLogSaved();  // the files are made from the last send's log, which goes now
  SendSetup setup = NextSendSetup();
  access->FillSetup(setup);
  // A test send goes to the sender alone: nothing of it is journaled for a Resume.
  if (!test && !BeginJournal(message, setup)) {
    services_.dialogs.SetBusyCursor(false);
    return SetSending(false);
  }
  // The last send may be the one whose report is still on the stack: it goes once that returns.
  if (send_) QTimer::singleShot(0, this, [last = std::shared_ptr<TMailSend>(std::move(send_))] {});
  const int perTransaction = setup.recipientsPerMessage;
  send_ = std::make_unique<TMailSend>(std::move(setup));
  testSend_ = test;
  BindSendEvents(send_->Events());
  if (!test) {
    journal_->Bind(send_->Events(), send_->Log());
    BindPacing(send_->Events(), perTransaction);
  }
  StartLog(send_->Log());
  send_->Start(std::move(message));
}

void TfrmEmailMerge::SendEnded(const SendOutcome& outcome) {
  // A refused password is asked for again at the next Send, not tried once more.
  if (outcome.kind == FailureKind::kSignInRefused)
    services_.passwords.Refused(PasswordKey(AppSettings().UserName, AppSettings().ServerName));
  // The send went through, but its journal could not take the last outcomes or its close: Resume
  // would offer the whole send again, so the user hears of it now. (A journal that failed before a
  // final "." ended the send with that reason already.)
  if (outcome.kind == FailureKind::kNone && !testSend_ && journal_ && !journal_->Error().empty())
    services_.dialogs.ShowWarning(std::string(kJournalNotWritten) + journal_->Error());
}

void TfrmEmailMerge::BindStopKey() {
  stopKey_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  stopKey_->setContext(Qt::WindowShortcut);
  stopKey_->setEnabled(false);
  connect(stopKey_, &QShortcut::activated, this, &TfrmEmailMerge::btnSendClick);
  displayTimer_ = new QTimer(this);
  displayTimer_->setSingleShot(true);
  displayTimer_->setInterval(kDisplayIntervalMs);
  connect(displayTimer_, &QTimer::timeout, this, &TfrmEmailMerge::FlushSendDisplay);
}

void TfrmEmailMerge::BindSendEvents(SendEvents& e) {
  e.status = [this](const std::string& text) {
    if (text.empty()) {
      pendingStatus_.reset();
      statusText_.clear();
      StatusBar->setToolTip(QString());
      StatusBar->clearMessage();
      return;
    }
    pendingStatus_ = text;
    if (!displayTimer_->isActive()) FlushSendDisplay();
  };
  e.progressShown = [this](bool shown) {
    if (pnlProgress->isVisibleTo(pnlFooter) == shown) return;  // said again for every recipient
    pnlProgress->setVisible(shown);
  };
  e.progress = [this](std::int64_t maximum, std::int64_t position) {
    pendingProgress_.emplace(maximum, position);
    if (!displayTimer_->isActive()) FlushSendDisplay();
  };
  e.transcript = [this](const std::string& line) { AddTranscript(line); };
  e.ended = [this] {
    FlushSendDisplay();
    services_.dialogs.SetBusyCursor(false);
    SetSending(false);
  };
  e.outcome = [this](const SendOutcome& outcome) { SendEnded(outcome); };
  e.failed = [this](const std::string& text) {
    FlushSendDisplay();
    // The text may carry a UTF-8 file or server name: read as such, not as 8-bit text.
    const QString shown = QString::fromStdString(platform::TextToUtf8(text));
    services_.dialogs.ShowWarning(platform::QStringToAnsi(shown));
  };
  e.completed = [this](const std::string& note) {
    FlushSendDisplay();
    if (testSend_) {
      // A test leaves no log and does not count as the message sent.
      if (note.empty())
        services_.dialogs.ShowMessage("The test message was sent to " +
                                      SettingToAnsi(AppSettings().ReturnEmail) + ".");
      else
        services_.dialogs.ShowWarning(note);
      return;
    }
    DraftSendCompleted(note);
    SaveLogInBackground();
    // A note says the message did not reach everyone it was meant for.
    if (!note.empty()) services_.dialogs.ShowWarning(note);
    ShowLog();
  };
}

// The files are written while the log window is already up: a sync to disk takes as long as it
// takes, and the window does not wait for it. The log is only read meanwhile (the window's lines,
// the clipboard); the next send waits for the files before it empties it.
void TfrmEmailMerge::SaveLogInBackground() {
  const std::string folder = LogsFolder(services_.places.homeDir);
  logSaved_ = "Saving this log in " + folder + " ...";
  const std::time_t started = sendStarted_;
  const TSendLog& log = send_->Log();  // kept until WaitForLogSaved has returned
  savingLog_ = std::async(std::launch::async, [this, &log, folder, started] {
    std::string text = SavedLogText(SaveLogFiles(log, folder, started));
    QMetaObject::invokeMethod(
        this,
        [this, text = std::move(text)] {
          logSaved_ = text;
          if (shownLog_ != nullptr) shownLog_->SetSaved(text);
        },
        Qt::QueuedConnection);
  });
}

void TfrmEmailMerge::WaitForLogSaved() {
  if (savingLog_.valid()) savingLog_.wait();
}

// The bar shows as much of the text as fits, ending in "..." when cut; the whole text is its tool
// tip (and a failure's whole text is in its message box).
void TfrmEmailMerge::ShowStatus(const QString& text) {
  statusText_ = text;
  const int room =
      std::max(StatusBar->width() - 2 * StatusBar->fontMetrics().averageCharWidth(), 40);
  const QString shown = StatusBar->fontMetrics().elidedText(text, Qt::ElideRight, room);
  StatusBar->setToolTip(shown == text ? QString() : text);
  StatusBar->showMessage(shown);
}

void TfrmEmailMerge::FlushSendDisplay() {
  bool shown = false;
  if (pendingStatus_) {
    ShowStatus(QString::fromStdString(platform::TextToUtf8(*pendingStatus_)));
    pendingStatus_.reset();
    shown = true;
  }
  if (pendingProgress_) {
    ShowProgress(pendingProgress_->first, pendingProgress_->second);
    pendingProgress_.reset();
    shown = true;
  }
  if (shown) displayTimer_->start();  // the next change waits its turn
}

void TfrmEmailMerge::ShowProgress(std::int64_t maximum, std::int64_t position) {
  // A progress bar counts in int: sizes beyond it are shown in proportion.
  constexpr std::int64_t kLimit = 1 << 30;
  const std::int64_t divisor = maximum > kLimit ? maximum / kLimit + 1 : 1;
  pbProgress->setRange(0, static_cast<int>(std::max<std::int64_t>(maximum, 0) / divisor));
  pbProgress->setValue(static_cast<int>(std::clamp<std::int64_t>(position, 0, maximum) / divisor));
}

void TfrmEmailMerge::SetSending(bool sending) {
  for (QWidget* w : std::initializer_list<QWidget*>{btnConfig, btnBrowse, btnAttach})
    w->setEnabled(!sending);
  for (QAction* a : {miProperties, miSelectRecipients, miFileAttachment, miSendTest})
    a->setEnabled(!sending);
  UpdateOnePerRecipient();
  if (sending) miOnePerRecipient->setEnabled(false);  // the send has its message already
  btnSend->setText(sending ? "Stop" : "Send");
  btnSend->setToolTip(sending ? "Stop the send" : "Send Message");
  miSend->setText(sending ? "&Stop" : "&Send");
  stopKey_->setEnabled(sending);
  lstAttachments->setEnabled(!sending);
}

void TfrmEmailMerge::btnAttachClick() {
  if (Sending()) return;
  // The home folder the first time, then the folder of the file last attached.
  if (attachFolder_.empty()) attachFolder_ = services_.places.homeDir;
  const auto path = services_.dialogs.OpenFile({"Attach File", "All Files|*.*", attachFolder_});
  if (!path) return;
  attachFolder_ =
      QFileInfo(QString::fromLocal8Bit(*path)).absolutePath().toLocal8Bit().toStdString();
  if (SplitterPosition() >= Splitter->height() - 70) SetSplitterPosition(Splitter->height() - 70);
  if (!lstAttachments->AddFile(*path))
    services_.dialogs.ShowMessage("Only a readable file can be attached: " + *path);
}

}  // namespace tavrin::app
