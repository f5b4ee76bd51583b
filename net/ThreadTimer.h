// TThreadTimer: a repeating timer whose ticks arrive on the GUI thread's event loop.
//
// It starts no thread. It runs only while Interval is not 0, Enabled is true and OnTimer is set;
// every change of Interval or Enabled and every assignment of OnTimer restarts the period from
// zero. A tick never runs inside another handler except through event pumping. GUI thread only.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>

namespace tavrin::net {

class TThreadTimer : public QObject {
  Q_OBJECT
 public:
  using NotifyEvent = std::function<void(TThreadTimer&)>;
  // Receives what escapes an OnTimer handler; the timer keeps running.
  using ExceptionHandler = std::function<void(const char* what)>;

  explicit TThreadTimer(QObject* owner = nullptr);
  ~TThreadTimer() override;

  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  void SetOnTimer(NotifyEvent handler);

  // True while the underlying timer is running.
  bool Running() const { return timerId_ != 0; }
  // How often the underlying timer was started; each restart of the period counts.
  int Starts() const { return starts_; }

  // The program-wide handler for exceptions from OnTimer handlers; null restores the default,
  // which prints to stderr.
  static void SetExceptionHandler(ExceptionHandler handler);

 protected:
  // Raises OnTimer; called once per tick.
  virtual void Timer();
  void timerEvent(QTimerEvent* event) override;

 private:
  void UpdateTimer();

  std::uint32_t interval_ = 1000;
  NotifyEvent onTimer_;
  bool enabled_ = true;
  int timerId_ = 0;
  int starts_ = 0;
};

}  // namespace tavrin::net
