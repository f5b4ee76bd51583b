// Temporary bodies so callers can build against the interface while the engine is filled in.
#include "dbf/Engine.h"
#include "dbf/Memo.h"

namespace tavrin::dbf {
EngineSettings& Settings() { static EngineSettings s; return s; }
void SetDateFormat(int) {}
int DateFormat() { return 0; }
void SetCentury(bool) {}
bool Century() { return false; }
std::string ShortDateFormat() { return "MM/dd/yy"; }
char DateSeparator() { return '/'; }
int PivotYear() { return 1956; }
void SetPivotYear(int) {}
void Select(int) {}
int CurrentArea() { return 1; }
bool IsOpen() { return false; }
std::string Alias() { return {}; }
std::string DbfName() { return {}; }
bool IsExclusive() { return false; }
void USE(std::string_view, void*, std::size_t, TranslateProc, TranslateProc) {}
void Shutdown() {}
void CreateDbf(std::string_view, const std::vector<FieldDef>&) {}
bool ALock() { return false; }
bool RLock() { return false; }
bool IsLocked(std::int32_t) { return false; }
void Unlock() {}
bool UnlockRec(std::int32_t) { return false; }
void GoTop() {}
void GoBottom() {}
void GO(std::int32_t) {}
void SKIP(std::int32_t) {}
bool dEOF() { return true; }
bool dBOF() { return true; }
std::int32_t RecNo() { return 0; }
std::int32_t RecCount() { return 0; }
int RecSize() { return 0; }
bool Deleted() { return false; }
void Replace() {}
void Append() {}
void DeleteRec() {}
void RecallRec() {}
void ClearRecord() {}
bool Pack() { return false; }
void FlushFile() {}
int Locate(std::string_view, std::string_view, std::int32_t) { return 0; }
std::string Peek(int, std::int32_t) { return {}; }
void Poke(std::string_view, int, std::int32_t) {}
int FieldCount() { return 0; }
std::string Field(int) { return {}; }
int FieldNo(std::string_view) { return 0; }
char FieldType(int) { return ' '; }
int FieldLen(int) { return 0; }
int FieldDec(int) { return 0; }
std::uint8_t* FieldAddress(int) { return nullptr; }
std::size_t FieldAreaSize() { return 0; }
std::string GetString(int) { return {}; }
void SetString(int, std::string_view) {}
double GetDouble(int) { return 0; }
void SetDouble(int, double) {}
std::int32_t GetInteger(int) { return 0; }
void SetInteger(int, std::int32_t) {}
bool GetLogical(int) { return false; }
void SetLogical(int, bool) {}
void SetDeleted(bool) {}
bool SetFieldText(int, std::string_view) { return false; }
std::string FieldText(int) { return {}; }
std::string BlankDateText() { return "  /  /  "; }
bool DateTextCheck(std::string&) { return false; }
std::string DateTextToStored(std::string_view) { return "        "; }
std::string StoredToDateText(std::string_view) { return "  /  /  "; }
std::string LastUpdate() { return {}; }
std::int32_t CreateBlobDescriptor(std::int32_t, BlobMode, bool, std::int64_t) { return 0; }
std::int32_t ReadBlobStream(char*, std::int32_t) { return 0; }
std::int32_t WriteBlobStream(const char*, std::int32_t) { return 0; }
std::int64_t SeekBlobStream(std::int64_t, int) { return 0; }
void DestroyBlobDescriptor() {}
std::string ReadMemo(int) { return {}; }
void WriteMemo(int, std::string_view) {}
}  // namespace tavrin::dbf
