// The engine's single failure path: error codes, their texts, and what a reported failure does.
//
// Every engine operation that fails calls Report(code, detail). Depending on the engine-wide
// switches the failure then stays recorded for the caller (stop-on-error off), is thrown as
// EDbfError (raise on), or halts the program through the halt hook (the default). Process-wide
// state; the engine is used from one thread only (the program's GUI thread or a tool's main).
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace tavrin::dbf {

// The codes the engine itself reports or compares (CodeText knows the text of many more). The
// numbers are part of every message ("Error # 210 (...)") and of what the tools print and scripts
// test, so each keeps its number for good.
namespace err {
constexpr int kNone = 0;
constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kBadHandle = 6;
constexpr int kNotEnoughMemory = 8;
constexpr int kWriteProtected = 19;
constexpr int kGeneralFailure = 31;
constexpr int kSharingViolation = 32;  // another program holds the file
constexpr int kLockViolation = 33;
constexpr int kNoLocksLeft = 36;
constexpr int kReadError = 100;
constexpr int kWriteError = 101;  // disk full among others
constexpr int kNotADatabase = 210;
constexpr int kInvalidField = 211;
constexpr int kBeyondRange = 212;
constexpr int kUnexpectedEnd = 213;
constexpr int kAlreadyInUse = 214;
constexpr int kNoDatabaseInUse = 215;
constexpr int kInsufficientMemory = 217;
constexpr int kInvalidParameter = 220;
constexpr int kExclusiveRequired = 225;
constexpr int kInvalidSize = 266;
constexpr int kInvalidMemoAddress = 1003;
constexpr int kDiskFull = 1004;
constexpr int kMemoAlreadyOpen = 1007;
constexpr int kNoRoomToPackMemo = 1012;
constexpr int kMemoLockFailed = 1017;
constexpr int kNoMemo = 1019;
constexpr int kNotAvailable = 1100;  // in-memory tables
constexpr int kInvalidOperation = 1103;
constexpr int kRecordNotLocked = 1200;
}  // namespace err

// Thrown by Report when the raise switch is on. Carries only its message:
// the code's text, CR LF, and the detail message.
class EDbfError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Records a failure: sets the current and the last reported code and the detail message, then,
// with stop-on-error on, runs HandleError(). With stop-on-error off it always returns.
void Report(int code, const std::string& detail);

// The failure handling proper (also run directly by operations after a sub-step left a code):
// does nothing while halting; calls the installed error handler if any; with code 0 returns;
// otherwise builds CodeText + "\r\n" + detail (taking the detail) and either throws EDbfError
// (raise on) or marks the program as halting and calls the halt hook.
void HandleError();

// Current error code: cleared to 0 on entry by most operations, set by every failure
// (also by OS failures an operation handles itself, such as a refused lock).
std::uint16_t ErrorCode();
// Sets the current error code without reporting (used for "set, not raised" failures).
void SetErrorCode(int code);
void ClearErrorCode();

// "Error # <code> (<row text>)"; empty for code 0; "Undefined error" rows for unknown codes.
std::string CodeText(int code);

// When the last reported code is non-zero: CodeText + "\r\n" + detail; clears detail and the last
// reported code. Empty when there is none.
std::string GetErrorText();
// Returns the detail message and clears it and the last reported code.
std::string TakeDetail();
// The detail message without taking it (for tests and tools).
const std::string& PeekDetail();
std::uint16_t LastReportedCode();

// Switches; each returns its previous value. Stop-on-error starts on, raise starts off.
bool SetStopOnError(bool on);
bool SetRaise(bool on);

// Optional handler run instead of the default handling (none in the program).
using ErrorHandler = std::function<void()>;
void SetErrorHandler(ErrorHandler handler);

// Halt hook: shows "Program halted." with the text and ends the process with `code`.
// The engine's default prints the caption and text to stderr and calls std::exit(code).
// A hook that returns leaves the engine marked as halting (later reports do nothing).
using HaltHook = std::function<void(int code, const std::string& text)>;
HaltHook SetHaltHook(HaltHook hook);  // empty hook restores the default; returns the previous
bool Halting();

// Clears codes, detail, the halting mark and the handler; switches back to their start values.
// For tests and tools that drive several scenarios in one process.
void ResetErrorState();

// Scope guard that turns stop-on-error off (so failures become values) and restores it.
class ErrorSilencer {
 public:
  ErrorSilencer() : previous_(SetStopOnError(false)) {}
  ~ErrorSilencer() { SetStopOnError(previous_); }
  ErrorSilencer(const ErrorSilencer&) = delete;
  ErrorSilencer& operator=(const ErrorSilencer&) = delete;

 private:
  bool previous_;
};

}  // namespace tavrin::dbf
