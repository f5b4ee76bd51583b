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
bool StopOnError();
bool Raise();

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
