#include "app/EngineRecipientTable.h"

#include "dbf/Engine.h"
#include "dbf/Errors.h"
#include "platform/CodePage.h"

namespace tavrin::app {
namespace {

// Makes every engine failure inside its scope an EDbfError, whatever the program's setting.
class RaiseScope {
 public:
  RaiseScope() : stop_(dbf::SetStopOnError(true)), raise_(dbf::SetRaise(true)) {}
  ~RaiseScope() {
    dbf::SetRaise(raise_);
    dbf::SetStopOnError(stop_);
  }
  RaiseScope(const RaiseScope&) = delete;
  RaiseScope& operator=(const RaiseScope&) = delete;

 private:
  bool stop_, raise_;
};

void Check(const char* what) {
  if (dbf::ErrorCode() != 0) throw dbf::EDbfError(std::string(what) + ": " + dbf::CodeText(dbf::ErrorCode()));
}

}  // namespace

TEngineRecipientTable::~TEngineRecipientTable() { Close(); }

void TEngineRecipientTable::SelectArea() {
  if (area_ == 0) throw dbf::EDbfError("The recipients table is not open");
  dbf::Select(area_);
}

void TEngineRecipientTable::Open() {
  Close();
  RaiseScope raise;
  dbf::Select(0);
  Check("No free work area");
  const int area = dbf::CurrentArea();
  dbf::USE(fileName_);
  Check(("Unable to open " + fileName_).c_str());
  area_ = area;
}

void TEngineRecipientTable::Close() {
  if (area_ == 0) return;
  const int area = area_;
  area_ = 0;
  const dbf::ErrorSilencer silence;  // closing reports nothing back: the send has ended already
  const int previous = dbf::CurrentArea();
  dbf::Select(area);
  dbf::USE("");
  dbf::Select(previous);
  dbf::ClearErrorCode();
}

bool TEngineRecipientTable::HasField(const std::string& name) {
  SelectArea();
  RaiseScope raise;
  return dbf::FieldNo(name) > 0;
}

std::int32_t TEngineRecipientTable::RecordTotal() {
  SelectArea();
  RaiseScope raise;
  return dbf::RecCount();
}

void TEngineRecipientTable::GoFirst() {
  SelectArea();
  RaiseScope raise;
  dbf::GoTop();
}

void TEngineRecipientTable::SkipBy(std::int32_t count) {
  SelectArea();
  RaiseScope raise;
  dbf::SKIP(count);
}

bool TEngineRecipientTable::AtEnd() {
  SelectArea();
  return dbf::dEOF();
}

bool TEngineRecipientTable::RecordDeleted() {
  SelectArea();
  return dbf::Deleted();
}

std::string TEngineRecipientTable::GetField(const std::string& name) {
  SelectArea();
  RaiseScope raise;
  const int field = dbf::FieldNo(name);
  if (field <= 0) throw dbf::EDbfError("The recipients table has no field " + name);
  return platform::OemToAnsi(dbf::FieldText(field));
}

}  // namespace tavrin::app
