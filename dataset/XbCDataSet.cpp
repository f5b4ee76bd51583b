// TXbCDataSet: the file name, the field text the send loop reads, Pack and Locate.
#include "dataset/XbDataSet.h"

#include <algorithm>

#include "dataset/DbfFileName.h"
#include "dbf/Engine.h"

namespace tavrin::dataset {

void TXbCDataSet::SetDbfFileName(const std::string& name) {
  const bool wasActive = Active();
  Close();
  dbfFileName_ = NormalizeDbfFileName(name);
  if (!dbfFileName_.empty() && wasActive) Open();
}

int TXbCDataSet::FieldNumber(std::string_view name) {
  if (fieldNumbersGeneration_ != OpenGeneration()) {
    fieldNumbers_.clear();
    fieldNumbersGeneration_ = OpenGeneration();
  }
  for (const auto& [known, number] : fieldNumbers_)
    if (known == name) return number;
  const int number = dbf::FieldNo(name);
  if (number != 0 && fieldNumbers_.size() < 32)
    fieldNumbers_.emplace_back(std::string(name), number);
  return number;
}

std::string TXbCDataSet::GetField(const std::string& name) {
  const std::string_view key = std::string_view(name).substr(0, 10);
  CheckActive();
  UpdateCursorPos();  // the engine follows the dataset's moves; this puts it back after a failed one
  EngineScope engine(*this, "GetField");
  const int number = FieldNumber(key);
  if (number == 0)
    Fail(220, "Field '" + std::string(key) + "' not in '" + dbfFileName_ + "' [GetField]");
  std::string text = dbf::FieldText(number);
  engine.Check();
  return text;
}

bool TXbCDataSet::Pack() {
  CheckBrowseMode();
  bool packed = false;
  {
    EngineScope engine(*this, "Pack");
    packed = dbf::Pack();
    engine.Check();
  }
  ResyncWithEngine();
  return packed;
}

bool TXbCDataSet::Locate(const std::string& field, const std::string& value, bool caseInsensitive,
                         bool partial) {
  CheckBrowseMode();
  bool found = false;
  {
    EngineScope engine(*this, "Locate");
    std::string query = field;
    if (caseInsensitive) query += " NOCASE";
    if (!partial) query += " EXACT";
    dbf::Locate(query, value, 1);
    engine.Check();
    found = !dbf::dEOF();
  }
  ResyncWithEngine();
  return found;
}

std::int32_t TXbCDataSet::FindContaining(const std::string& field, const std::string& value,
                                         std::int32_t fromRecord) {
  CheckActive();
  EngineScope engine(*this, "Locate");
  std::int32_t found = 0;
  for (std::int32_t from = std::max(fromRecord, 1); found == 0;) {
    dbf::Locate(field + " NOCASE CONTAINED", value, from);
    engine.Check();
    if (dbf::dEOF()) break;
    const std::int32_t record = dbf::RecNo();
    if (HideDeletedRecs() && dbf::Peek(0, record) == "*") {
      from = record + 1;
    } else {
      found = record;
    }
  }
  EngineToActive();
  engine.Check();
  return found;
}

}  // namespace tavrin::dataset
