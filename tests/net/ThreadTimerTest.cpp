// The time-out timer's run and restart rules, and its socket error texts' neighbour: the
// process-wide library use count is covered with the socket client.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "net/SockErrorText.h"
#include "net/ThreadTimer.h"

namespace tavrin::net {
namespace {

using test::PumpUntil;

TEST(ThreadTimerTest, RunsOnlyWithIntervalEnabledAndHandler) {
  TThreadTimer timer;
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_FALSE(timer.Running());  // no handler yet

  int ticks = 0;
  timer.SetInterval(0);
  timer.SetOnTimer([&](TThreadTimer&) { ++ticks; });
  EXPECT_FALSE(timer.Running());
  timer.SetInterval(1);
  EXPECT_TRUE(timer.Running());
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));  // it repeats

  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Running());
  int stopped = ticks;
  PumpUntil([] { return false; }, 20);
  EXPECT_EQ(ticks, stopped);
}

TEST(ThreadTimerTest, OnlyRealChangesAndHandlerAssignmentsRestartThePeriod) {
  TThreadTimer timer;
  auto handler = [](TThreadTimer&) {};
  timer.SetOnTimer(handler);
  int starts = timer.Starts();
  timer.SetInterval(1000);  // same value
  timer.SetEnabled(true);   // same value
  EXPECT_EQ(timer.Starts(), starts);
  timer.SetOnTimer(handler);  // the same handler again still restarts
  EXPECT_EQ(timer.Starts(), starts + 1);
  timer.SetInterval(500);
  EXPECT_EQ(timer.Starts(), starts + 2);
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  EXPECT_EQ(timer.Starts(), starts + 3);
}

TEST(ThreadTimerTest, HandlerFailureGoesToTheApplicationAndTheTimerGoesOn) {
  std::vector<std::string> reported;
  TThreadTimer::SetExceptionHandler([&](const char* what) { reported.push_back(what); });
  {
    TThreadTimer timer;
    timer.SetInterval(1);
    timer.SetOnTimer([](TThreadTimer&) { throw std::runtime_error("tick failed"); });
    EXPECT_TRUE(PumpUntil([&] { return reported.size() >= 2; }));
    EXPECT_TRUE(timer.Running());
  }
  TThreadTimer::SetExceptionHandler(nullptr);
  EXPECT_EQ(reported.front(), "tick failed");
}

TEST(ThreadTimerTest, ThreadWithoutEventLoopGetsNoTimer) {
  std::string error;
  std::thread([&] {
    TThreadTimer timer;
    timer.SetEnabled(false);
    timer.SetOnTimer([](TThreadTimer&) {});
    try {
      timer.SetEnabled(true);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
  }).join();
  EXPECT_EQ(error, "No Timer");
}

TEST(SockErrorTextTest, SystemErrorsReadInTheClientsNumbering) {
  EXPECT_EQ(SocketErrorText(SocketErrorCode(ECONNREFUSED)), "10061:Connection refused");
  EXPECT_EQ(SocketErrorText(SocketErrorCode(EAGAIN)), "10035:Operation would block");
  EXPECT_EQ(SocketErrorText(SocketErrorCode(ECONNRESET)), "10054:Connection reset by peer");
  EXPECT_EQ(SocketErrorText(11001), "11001:Host not found");
  EXPECT_EQ(SocketErrorText(0), "");
  EXPECT_EQ(SocketErrorText(12345), "Unknown Error No. 12345");
}

// Whatever SocketErrorText makes of a code, known or not, reads back as words without a number;
// any other text, even one ending in a number, is left as it is.
TEST(SockErrorTextTest, ItsOwnTextsLoseTheirNumberAndNoOtherTextChanges) {
  EXPECT_EQ(WithoutErrorNumber(SocketErrorText(10061)), "connection refused");
  EXPECT_EQ(WithoutErrorNumber(SocketErrorText(11001)), "host not found");
  for (const int code : {1, 999, 12345, 99999}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(WithoutErrorNumber(SocketErrorText(code)), "an unknown error");
  }
  for (const std::string text :
       {"Null Remote Address", "No Timer", "Connect to port 25", "Unknown Error No. 0",
        "Unknown Error No. 12345678", "Unknown Error No. x12", "", "12345"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(WithoutErrorNumber(text), text);
  }
}

}  // namespace
}  // namespace tavrin::net
