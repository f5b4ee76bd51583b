#include "send/SendPacer.h"

#include <QDateTime>
#include <algorithm>
#include <chrono>

namespace tavrin::app {
namespace {

constexpr std::int64_t kMinuteMs = 60 * 1000;
constexpr std::int64_t kDayMs = 24 * 60 * kMinuteMs;

}  // namespace

std::int64_t SystemClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TSendPacer::TSendPacer(int perMinute, int perDay, int perTransaction, Clock clock,
                       std::deque<std::int64_t> before)
    : perMinute_(std::max(perMinute, 0)),
      perDay_(std::max(perDay, 0)),
      perTransaction_(std::max(perTransaction, 0)),
      clock_(std::move(clock)),
      sent_(std::move(before)) {
  std::sort(sent_.begin(), sent_.end());
}

void TSendPacer::Forget(std::int64_t now) {
  while (!sent_.empty() && sent_.front() <= now - kDayMs) sent_.pop_front();
}

std::int64_t TSendPacer::CountSince(std::int64_t since) const {
  return static_cast<std::int64_t>(sent_.end() -
                                   std::upper_bound(sent_.begin(), sent_.end(), since));
}

// A recipient sent at t counts in every window (t - span, t]: the window is free of it from
// t + span on.
PaceVerdict TSendPacer::Next() {
  const std::int64_t now = clock_();
  Forget(now);
  PaceVerdict verdict;
  std::int64_t most = perTransaction_ > 0 ? perTransaction_ : INT32_MAX;
  if (perDay_ > 0) {
    const std::int64_t room = perDay_ - CountSince(now - kDayMs);
    if (room <= 0) {
      // Free again once the oldest of the last perDay_ recipients is a day old.
      verdict.kind = PaceVerdict::Kind::kDay;
      verdict.at = sent_[sent_.size() - static_cast<std::size_t>(perDay_)] + kDayMs;
      return verdict;
    }
    most = std::min(most, room);
  }
  if (perMinute_ > 0) {
    // A whole transaction's room: as many as the minute takes, or the send's own limit.
    const std::int64_t want = std::min<std::int64_t>(most, perMinute_);
    const std::int64_t used = CountSince(now - kMinuteMs);
    if (perMinute_ - used < want) {
      verdict.kind = PaceVerdict::Kind::kMinute;
      // The recipient whose leaving makes room for `want`.
      const std::size_t index = sent_.size() - static_cast<std::size_t>(perMinute_ - want + 1);
      verdict.at = sent_[index] + kMinuteMs;
      return verdict;
    }
    most = std::min<std::int64_t>(most, perMinute_ - used);
  }
  verdict.most = most >= INT32_MAX ? 0 : static_cast<int>(most);
  return verdict;
}

void TSendPacer::Sent(int count) {
  const std::int64_t now = clock_();
  for (int i = 0; i < count; ++i) sent_.push_back(now);
}

std::string TSendPacer::MinuteText(std::int64_t at) const {
  const QString time = QDateTime::fromMSecsSinceEpoch(at).toString("HH:mm");
  return "Paused by the limit of " + std::to_string(perMinute_) +
         " recipients per minute: next at " + time.toStdString();
}

}  // namespace tavrin::app
