#include "send/SendPacer.h"
#include "send/SendJournal.h"
#include "send/SendDialogue.h"
#include <vector>
#include <memory>
#include <QLocale>

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

void BindPacing(SendEvents& e, int perMinute, int perDay, int perTransaction,
                const std::string& journalsFolder, TSendJournal* journal) {
  if (perMinute == 0 && perDay == 0) return;
  const std::int64_t now = SystemClockMs();
  auto pacer = std::make_shared<TSendPacer>(
      perMinute, perDay, perTransaction, SystemClockMs,
      perDay > 0 ? SentTimes(journalsFolder, now / 1000 - 24 * 3600) : std::deque<std::int64_t>{});
  auto pausedUntil = std::make_shared<std::int64_t>(0);
  e.transactionDelay = [journal, pacer, pausedUntil, status = e.status](int& most) {
    const PaceVerdict verdict = pacer->Next();
    switch (verdict.kind) {
      case PaceVerdict::Kind::kGo: most = verdict.most; return std::int64_t{0};
      case PaceVerdict::Kind::kMinute:
        if (status) status(pacer->MinuteText(verdict.at));
        return std::max<std::int64_t>(verdict.at - SystemClockMs(), 1);
      case PaceVerdict::Kind::kDay: break;
    }
    *pausedUntil = verdict.at;
    if (journal != nullptr) journal->Pause(verdict.at / 1000);
    return std::int64_t{-1};
  };
  e.dataEnding = [pacer,
                  prior = std::move(e.dataEnding)](const std::vector<std::int32_t>& records) {
    if (prior && !prior(records)) return false;
    pacer->Sent(static_cast<int>(records.size()));
    return true;
  };
  e.completed = [pausedUntil, perDay, prior = std::move(e.completed)](const std::string& note) {
    if (*pausedUntil == 0 || !prior) {
      if (prior) prior(note);
      return;
    }
    const QDateTime until = QDateTime::fromSecsSinceEpoch(*pausedUntil / 1000);
    prior("The send reached the limit of " + std::to_string(perDay) +
          " recipients per day and is paused until " +
          QLocale::system().toString(until, QLocale::ShortFormat).toStdString() +
          ". Resume Send continues it then.");
  };
}

}  // namespace tavrin::app
