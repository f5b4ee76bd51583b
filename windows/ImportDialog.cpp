#include "windows/ImportDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace tavrin::app {

namespace {

QString Utf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A column as the choices name it: its number and its header.
QString ColumnTitle(const std::vector<std::string>& header, std::size_t i) {
  const QString name = Utf8(header[i]);
  return QString::number(i + 1) + ": " + (name.isEmpty() ? QStringLiteral("(no name)") : name);
}

}  // namespace

std::string DescribeLayout(const CsvPreview& preview) {
  const char* separator = preview.separator == ';'    ? "semicolons"
                          : preview.separator == '\t' ? "tabs"
                                                      : "commas";
  return std::string("separated by ") + separator + "; text in " +
         (preview.utf8 ? "UTF-8" : "Windows-1252");
}

TImportDialog::TImportDialog(const std::string& csvName, const CsvPreview& preview,
                             const std::vector<TableField>& fields, QWidget* parent)
    : QDialog(parent) {
  setObjectName("dlgImport");
  setWindowTitle("Import Recipients");
  auto* layout = new QVBoxLayout(this);

  lblSource = new QLabel(Utf8(csvName + ": " + DescribeLayout(preview) + "."), this);
  lblSource->setObjectName("lblSource");
  lblSource->setTextFormat(Qt::PlainText);
  lblSource->setWordWrap(true);
  layout->addWidget(lblSource);

  auto* previewBox = new QGroupBox("The first rows of the file", this);
  auto* previewLayout = new QVBoxLayout(previewBox);
  std::size_t columns = preview.header.size();
  for (const auto& row : preview.rows) columns = std::max(columns, row.size());
  tblPreview = new QTableWidget(static_cast<int>(preview.rows.size()), static_cast<int>(columns),
                                previewBox);
  tblPreview->setObjectName("tblPreview");
  tblPreview->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tblPreview->setSelectionMode(QAbstractItemView::NoSelection);
  tblPreview->verticalHeader()->setVisible(false);
  QStringList titles;
  for (std::size_t c = 0; c < columns; ++c)
    titles << (c < preview.header.size() ? ColumnTitle(preview.header, c) : QString::number(c + 1));
  tblPreview->setHorizontalHeaderLabels(titles);
  for (std::size_t r = 0; r < preview.rows.size(); ++r)
    for (std::size_t c = 0; c < preview.rows[r].size(); ++c)
      tblPreview->setItem(static_cast<int>(r), static_cast<int>(c),
                          new QTableWidgetItem(Utf8(preview.rows[r][c])));
  tblPreview->resizeColumnsToContents();
  for (int c = 0; c < tblPreview->columnCount(); ++c)
    tblPreview->setColumnWidth(c, std::min(tblPreview->columnWidth(c), 260));
  previewLayout->addWidget(tblPreview);
  layout->addWidget(previewBox, 1);

  auto* fieldsBox = new QGroupBox("Which column fills each field of the table", this);
  auto* form = new QFormLayout(fieldsBox);
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  for (const TableField& field : fields) {
    auto* choice = new QComboBox(fieldsBox);
    choice->setObjectName("cbx" + Utf8(field.name));
    choice->addItem("(none: the field stays empty)", -1);
    for (std::size_t c = 0; c < preview.header.size(); ++c)
      choice->addItem(ColumnTitle(preview.header, c), static_cast<int>(c));
    choice->setCurrentIndex(ColumnNamed(preview.header, field.name) + 1);
    auto* label = new QLabel(Utf8(field.name) + ":", fieldsBox);
    label->setBuddy(choice);
    form->addRow(label, choice);
    cbxColumns.push_back(choice);
  }
  layout->addWidget(fieldsBox);

  btnBox = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
  QPushButton* import = btnBox->addButton("&Import", QDialogButtonBox::AcceptRole);
  import->setObjectName("btnImport");
  import->setDefault(true);
  connect(btnBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(btnBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(btnBox);
  // Wide enough for the preview's columns where the screen allows, so few need scrolling to.
  const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
  const int roomy = screen != nullptr ? screen->availableGeometry().width() * 4 / 5 : 900;
  const int wanted = tblPreview->horizontalHeader()->length() + 2 * tblPreview->frameWidth() + 64;
  const int least = std::max(560, sizeHint().width());
  resize(std::max(least, std::min(wanted, roomy)), std::max(420, sizeHint().height()));
  if (!cbxColumns.empty()) cbxColumns.front()->setFocus();
}

std::vector<int> TImportDialog::ColumnOfField() const {
  std::vector<int> columns;
  for (const QComboBox* choice : cbxColumns) columns.push_back(choice->currentData().toInt());
  return columns;
}

}  // namespace tavrin::app
