#include "dbf/Errors.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tavrin::dbf {
namespace {

struct ErrorState {
  std::uint16_t code = 0;
  std::uint16_t lastReported = 0;
  std::string detail;
  bool stopOnError = true;
  bool raise = false;
  bool halting = false;
  ErrorHandler handler;
  HaltHook haltHook;
};

ErrorState& State() {
  static ErrorState state;
  return state;
}

void DefaultHalt(int code, const std::string& text) {
  std::fprintf(stderr, "Program halted.\n%s\n", text.c_str());
  std::fflush(stderr);
  std::exit(code);
}

struct Row {
  int code;
  const char* text;
};

// The text of every known code; 1203..1299 share one row, every other code is "Undefined error".
constexpr Row kRows[] = {
    {1, "Invalid DOS function code"},
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {6, "Invalid file handle"},
    {8, "Not enough memory"},
    {9, "Memory block address invalid"},
    {10, "Environment invalid"},
    {11, "Format invalid"},
    {12, "Invalid file access code"},
    {13, "Data invalid"},
    {15, "Invalid drive number"},
    {16, "Cannot remove current directory"},
    {17, "Cannot rename across drives"},
    {19, "Disk write-protected"},
    {20, "Unknown unit"},
    {21, "Drive not ready"},
    {22, "Unknown command"},
    {23, "CRC error in data"},
    {24, "Bad drive request structure length"},
    {25, "Disk seek error"},
    {26, "Unknown media type"},
    {27, "Disk sector not found"},
    {28, "Printer out of paper"},
    {29, "Device write fault"},
    {30, "Device read fault"},
    {31, "General failure"},
    {32, "File sharing violation"},
    {33, "File lock violation"},
    {34, "Disk change invalid"},
    {35, "File Control Block unavailable"},
    {36, "File sharing buffer overflow"},
    {50, "Unsupported network request"},
    {51, "Remote machine not listening"},
    {52, "Duplicate name on network"},
    {53, "Network name not found"},
    {54, "Network busy"},
    {55, "Device no longer exists on network"},
    {56, "Net-Bios command limit exceeded"},
    {57, "Error in network adapter hardware"},
    {58, "Incorrect response from network"},
    {59, "Unexpected network error"},
    {60, "Remote adapter incompatible"},
    {100, "Disk read error"},
    {101, "Disk write error (probable cause: Disk Full)."},
    {102, "File not assigned"},
    {103, "File not open"},
    {104, "File not open for input"},
    {105, "File not open for output"},
    {106, "Invalid numeric format"},
    {200, "Division by zero error"},
    {201, "Range check error"},
    {202, "Stack overflow error"},
    {203, "Heap overflow error"},
    {204, "Invalid pointer operation"},
    {205, "Floating point overflow"},
    {206, "Floating point underflow"},
    {207, "Invalid floating point operation"},
    {208, "Overlay-manager not installed"},
    {209, "Overlay file read error"},
    {210, "Not a dBASE data file"},
    {211, "Invalid database field type encountered"},
    {212, "Request beyond range"},
    {213, "End of file found unexpectedly"},
    {214, "File already in use"},
    {215, "No database in use"},
    {216, "GP Fault"},
    {217, "Insufficient memory"},
    {218, "Invalid pointer specified"},
    {219, "Cannot duplicate file handle"},
    {220, "Invalid parameter"},
    {221, "Index file not open"},
    {222, "Corrupted index file"},
    {223, "Index version mismatch"},
    {224, "Cyclical relationship detected"},
    {225, "Exclusive Use() required"},
    {226, "BROWSE not active"},
    {227, "Insufficient disk space "},
    {228, "Unbalanced Push/Pop operation "},
    {229, "dBASE IV memo files not supported"},
    {230, "No dBASE memory variables loaded"},
    {231, "Screen library not open"},
    {239, "Missing colon in time"},
    {240, "Non-numeric character in time"},
    {241, "Invalid time specified"},
    {242, "Negative time specified"},
    {243, "TimeDiff result negative"},
    {254, "Engine internal error"},
    {266, "Invalid size"},
    {1003, "Invalid memo address"},
    {1004, "Disk full"},
    {1005, "Memo file write error"},
    {1007, "Memo file is already open"},
    {1012, "Insufficient disk space to pack memo file"},
    {1017, "Cannot lock memo file"},
    {1018, "Cannot unlock memo file"},
    {1019, "Invalid memo operation: database not open or no memo field in database"},
    {1100, "Not a valid operation on Linked List"},
    {1101, "Virtual File Manager Unit not Linked in"},
    {1102, "Virtual File Memory Management Error"},
    {1103, "Invalid Operation "},
    {1200, "Record not locked"},
    {1201, "File not locked"},
    {1202,
     "Semaphore file error. Possible solutions: log into network or load SHARE.EXE before "
     "running Windows"},
    {1300, "File format not supported"},
};

const char* RowText(int code) {
  for (const Row& row : kRows) {
    if (row.code == code) return row.text;
  }
  if (code >= 1203 && code <= 1299) return "Network Error";
  return "Undefined error";
}

}  // namespace

std::string CodeText(int code) {
  if (code == 0) return {};
  return "Error # " + std::to_string(code) + " (" + RowText(code) + ")";
}

void Report(int code, const std::string& detail) {
  ErrorState& s = State();
  s.code = static_cast<std::uint16_t>(code);
  s.lastReported = s.code;
  s.detail = detail;
  if (!s.stopOnError) return;
  HandleError();
}

void HandleError() {
  ErrorState& s = State();
  if (s.halting) return;
  s.lastReported = s.code;
  if (s.handler) {
    s.handler();
    return;
  }
  if (s.code == 0) return;
  const int code = s.code;
  const std::string text = CodeText(code) + "\r\n" + TakeDetail();
  if (s.raise) throw EDbfError(text);
  s.halting = true;
  if (s.haltHook) {
    s.haltHook(code, text);
  } else {
    DefaultHalt(code, text);
  }
}

std::uint16_t ErrorCode() { return State().code; }
void SetErrorCode(int code) { State().code = static_cast<std::uint16_t>(code); }
void ClearErrorCode() { State().code = 0; }

std::string GetErrorText() {
  ErrorState& s = State();
  if (s.lastReported == 0) return {};
  const std::string text = CodeText(s.lastReported) + "\r\n" + s.detail;
  s.detail.clear();
  s.lastReported = 0;
  return text;
}

std::string TakeDetail() {
  ErrorState& s = State();
  std::string detail = std::move(s.detail);
  s.detail.clear();
  s.lastReported = 0;
  return detail;
}

const std::string& PeekDetail() { return State().detail; }
std::uint16_t LastReportedCode() { return State().lastReported; }

bool SetStopOnError(bool on) { return std::exchange(State().stopOnError, on); }
bool SetRaise(bool on) { return std::exchange(State().raise, on); }
void SetErrorHandler(ErrorHandler handler) { State().handler = std::move(handler); }

HaltHook SetHaltHook(HaltHook hook) { return std::exchange(State().haltHook, std::move(hook)); }
bool Halting() { return State().halting; }

void ResetErrorState() {
  ErrorState& s = State();
  HaltHook hook = std::move(s.haltHook);
  s = ErrorState{};
  s.haltHook = std::move(hook);
}

}  // namespace tavrin::dbf
