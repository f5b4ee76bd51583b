// The desktop's secret store as the program meets it: a private session bus on which something
// holds the secret services' names and never answers. Every call must come back within its
// bound, and an answer that arrives after the wait has ended must harm nothing.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include "platform/SecretStore.h"

namespace tavrin::platform {
namespace {

// A session bus of our own, so that no test reaches the user's store.
class PrivateBus {
 public:
  PrivateBus() {
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (daemon_.waitForReadyRead(10000)) address_ = daemon_.readLine().trimmed();
  }
  ~PrivateBus() {
    for (QProcess* p : {&silent_, &daemon_}) {
      p->kill();
      p->waitForFinished(5000);
    }
  }
  const QByteArray& Address() const { return address_; }
  // Takes the names a secret store answers under and then never reads a message.
  bool HoldNamesSilently() {
    silent_.setProcessEnvironment([this] {
      auto env = QProcessEnvironment::systemEnvironment();
      env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(address_));
      return env;
    }());
    silent_.start("/usr/bin/python3",
                  {"-c",
                   "import dbus, sys, time\n"
                   "bus = dbus.SessionBus()\n"
                   "for name in ('org.kde.kwalletd5', 'org.kde.kwalletd6', 'org.freedesktop.secrets'):\n"
                   "    bus.request_name(name)\n"
                   "print('READY', flush=True)\n"
                   "time.sleep(120)\n"});
    return silent_.waitForReadyRead(10000) && silent_.readLine().startsWith("READY");
  }

 private:
  QProcess daemon_;
  QProcess silent_;
  QByteArray address_;
};

TEST(KeychainSecretStore, AStoreThatNeverAnswersCountsAsEmptyWithinTheWait) {
  if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
    GTEST_SKIP() << "dbus-daemon is not installed";
  PrivateBus bus;
  ASSERT_FALSE(bus.Address().isEmpty());
  if (!bus.HoldNamesSilently()) GTEST_SKIP() << "python3-dbus is not installed";
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.Address());
  qputenv("XDG_CURRENT_DESKTOP", "");

  constexpr int kWaitMs = 100;
  KeychainSecretStore store("TavrinTest", kWaitMs);
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(store.Read("ann@127.0.0.1"), std::nullopt);
  EXPECT_GE(clock.elapsed(), kWaitMs - 10) << "the store answered: the wait was not tried";
  EXPECT_FALSE(store.Write("ann@127.0.0.1", "secret"));
  store.Remove("ann@127.0.0.1");
  EXPECT_LT(clock.elapsed(), 3 * kWaitMs + 2000);

  // The abandoned jobs finish (or fail) later on their own; the loop keeps running safely.
  QEventLoop later;
  QTimer::singleShot(1500, &later, &QEventLoop::quit);
  later.exec();
  EXPECT_EQ(store.Read("ann@127.0.0.1"), std::nullopt);
}

}  // namespace
}  // namespace tavrin::platform

// No widgets: nothing may reach a session bus before the test has set up its own.
int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
