// Pacing: the limits per minute and per rolling 24 hours, driven by an injected clock (nothing
// here waits in real time), alone and through a real send to the capture server; and the day's
// count taken from the journals of earlier sends.
#include <gtest/gtest.h>

#include <map>

#include "SendSupport.h"
#include "send/SendJournal.h"
#include "send/SendPacer.h"

namespace tavrin::app::testing {
namespace {

constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kDay = 24 * 60 * kMinute;
constexpr std::int64_t kStart = 1'800'000'000'000;  // ms since the epoch

// At most `limit` of `times` fall in any window (t - span, t].
bool WithinLimit(const std::vector<std::int64_t>& times, std::int64_t span, int limit) {
  for (std::size_t i = 0; i < times.size(); ++i) {
    int inWindow = 0;
    for (std::size_t j = 0; j <= i; ++j) inWindow += times[j] > times[i] - span ? 1 : 0;
    if (inWindow > limit) return false;
  }
  return true;
}

// Transactions as large as the pacer allows, each started when it says, 500 recipients.
TEST(Pacer, SixtyAMinuteNeverExceededAndNoTimeWasted) {
  for (const int perTransaction : {0, 7, 100}) {
    std::int64_t now = kStart;
    TSendPacer pacer(60, 0, perTransaction, [&] { return now; });
    std::vector<std::int64_t> times;
    int left = 500;
    while (left > 0) {
      const PaceVerdict v = pacer.Next();
      if (v.kind == PaceVerdict::Kind::kMinute) {
        ASSERT_GT(v.at, now);
        now = v.at;
        continue;
      }
      ASSERT_EQ(v.kind, PaceVerdict::Kind::kGo);
      ASSERT_GT(v.most, 0);
      if (perTransaction > 0) {
        EXPECT_LE(v.most, perTransaction);
      }
      const int n = std::min(v.most, left);
      pacer.Sent(n);
      times.insert(times.end(), static_cast<std::size_t>(n), now);
      left -= n;
      now += 1000;  // each transaction takes a second
    }
    EXPECT_TRUE(WithinLimit(times, kMinute, 60)) << perTransaction;
    // 500 at 60 a minute: the last goes out in the ninth minute, not later.
    EXPECT_LT(times.back() - kStart, 9 * kMinute) << perTransaction;
  }
  std::int64_t now = kStart;
  TSendPacer pacer(60, 0, 0, [&] { return now; });
  EXPECT_EQ(pacer.MinuteText(kStart).rfind(
                "Paused by the limit of 60 recipients per minute: next at ", 0),
            0u);
}

TEST(Pacer, TheDayLimitCountsWhatWentBeforeAndFreesADayLater) {
  std::int64_t now = kStart;
  // 90 sent 23 hours ago, 5 sent 25 hours ago (no longer counted).
  std::deque<std::int64_t> before(90, kStart - 23 * 60 * kMinute);
  before.insert(before.end(), 5, kStart - 25 * 60 * kMinute);
  TSendPacer pacer(
      0, 100, 0, [&] { return now; }, before);
  PaceVerdict v = pacer.Next();
  ASSERT_EQ(v.kind, PaceVerdict::Kind::kGo);
  EXPECT_EQ(v.most, 10);
  pacer.Sent(10);
  v = pacer.Next();
  ASSERT_EQ(v.kind, PaceVerdict::Kind::kDay);
  EXPECT_EQ(v.at, kStart - 23 * 60 * kMinute + kDay);  // the 90 leave the window
  now = v.at;
  v = pacer.Next();
  ASSERT_EQ(v.kind, PaceVerdict::Kind::kGo);
  EXPECT_EQ(v.most, 90);
}

// Through the send itself: 150 recipients at 60 a minute, transactions of 25; the hook moves the
// injected clock to the time the pacer names instead of waiting. Each "Rcpt To:" the server took
// is stamped with the clock.
class PacedSend : public SendTest {
 protected:
  // `count` records; the pacer (60 a minute, windows of 25) judges each transaction on the
  // injected clock, and every record whose final "." is near is stamped with it, which then moves
  // on by `step` ms.
  void PacedRun(int count, SendJob job, std::int64_t step) {
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 1; i <= count; ++i) {
      const std::string n = std::to_string(i);
      rows.emplace_back(std::string("R").append(n),
                        std::string("r").append(n).append("@example.com"));
    }
    MakeTable(rows);
    now = kStart;
    TSendPacer pacer(60, 0, 25, [this] { return now; });
    auto& e = dialogue->events;
    e.transactionDelay = [&](int& most) -> std::int64_t {
      for (;;) {
        const PaceVerdict v = pacer.Next();
        if (v.kind == PaceVerdict::Kind::kGo) {
          most = v.most;
          return 0;
        }
        ++waits;
        now = v.at;
      }
    };
    e.dataEnding = [&](const std::vector<std::int32_t>& records) {
      EXPECT_TRUE(!job.personalised || records.size() == 1u);
      pacer.Sent(static_cast<int>(records.size()));
      sentAt.insert(sentAt.end(), records.size(), now);
      now += step;
      return true;
    };
    SmtpServer server(root_ / "outbox", {"--pipelining"});
    Send(server.Port(), job);
    messages = server.Messages().size();
    e.transactionDelay = nullptr;  // they hold this run's pacer
    e.dataEnding = nullptr;
  }
  std::int64_t now = 0;
  int waits = 0;
  std::vector<std::int64_t> sentAt;
  std::size_t messages = 0;
};

TEST_F(PacedSend, TheServerNeverSeesMoreThanTheLimitInAMinute) {
  SendJob job = Job();
  job.recipientsPerMessage = 25;
  PacedRun(150, job, 500);
  EXPECT_EQ(kinds.back(), FailureKind::kNone);
  EXPECT_EQ(sentAt.size(), 150u);
  EXPECT_TRUE(WithinLimit(sentAt, kMinute, 60));
  EXPECT_GE(waits, 2);
  EXPECT_EQ(messages, 6u);
}

// One message per recipient is paced message by message, and each message's final "." is known
// to the journal's hook before it goes.
TEST_F(PacedSend, PersonalisedMessagesKeepToTheLimitToo) {
  SendJob job = Job();
  job.personalised = true;
  job.input = MessageInput{"John Doe",       "sender@example.com", "{NAME}", "Hello {NAME}",
                           {"Dear {NAME}."}, InternetDate(0),      ""};
  PacedRun(90, job, 200);
  EXPECT_EQ(kinds.back(), FailureKind::kNone);
  EXPECT_EQ(sentAt.size(), 90u);
  EXPECT_TRUE(WithinLimit(sentAt, kMinute, 60));
  EXPECT_GE(waits, 1);
  EXPECT_EQ(messages, 90u);
}

// The day's limit across two journals: 60 and 30 recipients accepted by two earlier sends leave
// 10 of 100 for this one; a refusal counts nothing, nor does anything older than the window.
TEST(Pacer, TheDayLimitAcrossTwoJournals) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("tavrin-pacer-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  const std::int64_t started = SystemClockMs() / 1000;
  for (const int accepted : {60, 30}) {
    JournalHead head;
    head.started = started;
    head.total = accepted + 1;
    auto made = TSendJournal::Create(folder.string(), head);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<TSendJournal>>(made));
    auto& j = *std::get<std::unique_ptr<TSendJournal>>(made);
    for (int r = 1; r <= accepted; ++r) j.Settle(r, RecipientStatus::kOk, "250 ok");
    j.Settle(accepted + 1, RecipientStatus::kFailed, "550 no");
    ASSERT_TRUE(j.Close());
  }
  ASSERT_EQ(JournalFiles(folder.string()).size(), 2u);
  std::int64_t now = SystemClockMs();
  TSendPacer pacer(
      0, 100, 0, [&] { return now; }, SentTimes(folder.string(), now / 1000 - 86400));
  PaceVerdict v = pacer.Next();
  ASSERT_EQ(v.kind, PaceVerdict::Kind::kGo);
  EXPECT_EQ(v.most, 10);
  pacer.Sent(10);
  v = pacer.Next();
  ASSERT_EQ(v.kind, PaceVerdict::Kind::kDay);
  EXPECT_GE(v.at, started * 1000 + kDay);
  EXPECT_TRUE(SentTimes(folder.string(), now / 1000 + 10).empty());
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tavrin::app::testing
