#include "net/ThreadTimer.h"

#include <QTimerEvent>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace tavrin::net {

namespace {
void PrintFailure(const char* what) { std::fprintf(stderr, "Timer handler failed: %s\n", what); }

TThreadTimer::ExceptionHandler& ApplicationHandler() {
  static TThreadTimer::ExceptionHandler handler = PrintFailure;
  return handler;
}
}  // namespace

TThreadTimer::TThreadTimer(QObject* owner) : QObject(owner) {}

TThreadTimer::~TThreadTimer() {
  enabled_ = false;
  UpdateTimer();
}

void TThreadTimer::SetInterval(std::uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  UpdateTimer();
}

void TThreadTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TThreadTimer::SetOnTimer(NotifyEvent handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TThreadTimer::SetExceptionHandler(ExceptionHandler handler) {
  ApplicationHandler() = handler ? std::move(handler) : ExceptionHandler(PrintFailure);
}

void TThreadTimer::UpdateTimer() {
  if (timerId_ != 0) {
    killTimer(timerId_);
    timerId_ = 0;
  }
  if (interval_ == 0 || !enabled_ || !onTimer_) return;
  // Qt takes the period as int; longer periods are clamped (about 24 days).
  constexpr auto kMax = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
  int ms = static_cast<int>(interval_ > kMax ? kMax : interval_);
  timerId_ = startTimer(ms, Qt::PreciseTimer);
  if (timerId_ == 0) throw std::runtime_error("No Timer");
  ++starts_;
}

void TThreadTimer::Timer() {
  // A copy, so that a handler may replace OnTimer while it runs.
  NotifyEvent handler = onTimer_;
  if (handler) handler(*this);
}

void TThreadTimer::timerEvent(QTimerEvent* event) {
  if (event->timerId() != timerId_) return;
  try {
    Timer();
  } catch (const std::exception& e) {
    if (ApplicationHandler()) ApplicationHandler()(e.what());
  } catch (...) {
    if (ApplicationHandler()) ApplicationHandler()("unknown exception");
  }
}

}  // namespace tavrin::net
