// TSendPacer: keeps a send within the provider's limits, so many recipients a minute and so many
// in any 24 hours.
//
// It owns the times at which recipients went out (this send's, and those the journals record for
// the last 24 hours) and answers, before each transaction, whether it may start now, with how
// many recipients at most, or when it may. The clock is handed in, so a test drives it without
// waiting. A minute's transaction is as large as the minute's room: the next one waits until a
// whole transaction fits again; the day's limit stops the send until the day has room. No waiting
// of its own: the caller arms a timer. GUI (or main) thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace tavrin::app {

// What the pacer says before a transaction.
struct PaceVerdict {
  enum class Kind {
    kGo,      // start now, with at most `most` recipients
    kMinute,  // wait until `at` for the minute's limit
    kDay,     // the day's limit is reached: stop, and go on at `at`
  };
  Kind kind = Kind::kGo;
  std::int64_t at = 0;  // milliseconds since the epoch
  int most = 0;         // with kGo: recipients this transaction may take; 0: any number
};

class TSendPacer {
 public:
  using Clock = std::function<std::int64_t()>;  // milliseconds since the epoch
  // `perMinute`, `perDay`: 0 is no limit. `perTransaction`: the send's own limit; 0: none.
  // `before`: the times of recipients sent before this send (the journals' last 24 hours).
  TSendPacer(int perMinute, int perDay, int perTransaction, Clock clock,
             std::deque<std::int64_t> before = {});

  bool Limited() const { return perMinute_ > 0 || perDay_ > 0; }
  PaceVerdict Next();
  // `count` recipients have gone out now.
  void Sent(int count);

  // "Paused by the limit of 60 recipients per minute: next at 14:05"
  std::string MinuteText(std::int64_t at) const;

 private:
  void Forget(std::int64_t now);
  std::int64_t CountSince(std::int64_t since) const;

  int perMinute_, perDay_, perTransaction_;
  Clock clock_;
  std::deque<std::int64_t> sent_;  // one time per recipient, oldest first; the last 24 hours
};

// The clock of the machine, in milliseconds since the epoch.
std::int64_t SystemClockMs();

class TSendJournal;
struct SendEvents;

// Paces a send by the provider's limits (0: none): before each transaction the pacer says whether
// it may start (the dialogue waits on a timer meanwhile, the status says until when); each final
// "." counts its recipients; the day's limit stops the send with `journal` (may be null) marked
// paused, and the completed note says until when. The day counts what the journals in
// `journalsFolder` record as accepted in the last 24 hours. Nothing is bound when both are 0.
// Call after every other handler of `e` is set: the hooks pass the reports on.
void BindPacing(SendEvents& e, int perMinute, int perDay, int perTransaction,
                const std::string& journalsFolder, TSendJournal* journal);

}  // namespace tavrin::app
