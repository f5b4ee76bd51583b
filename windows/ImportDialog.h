// TImportDialog: the step of File > Import Recipients where the user sees what the CSV file holds
// and says which CSV column feeds each field of the table.
//
// Shows the file's name, its separator and encoding as found, the header and the first rows, and
// one choice per table field: a CSV column, or none (the field stays blank). Each choice starts at
// the column whose header names the field. Holds copies of what it shows; GUI thread.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "program/RecipientsImport.h"

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QTableWidget;

namespace tavrin::app {

class TImportDialog : public QDialog {
  Q_OBJECT
 public:
  TImportDialog(const std::string& csvName, const CsvPreview& preview,
                const std::vector<TableField>& fields, QWidget* parent = nullptr);

  // Per table field, in field order: the chosen CSV column, or -1.
  std::vector<int> ColumnOfField() const;

  QLabel* lblSource;
  QTableWidget* tblPreview;
  std::vector<QComboBox*> cbxColumns;  // one per table field
  QDialogButtonBox* btnBox;
};

// "separated by semicolons; text in Windows-1252", as the dialog describes a file.
std::string DescribeLayout(const CsvPreview& preview);

}  // namespace tavrin::app
