// Sharing a table between two real processes and between two work areas of one process: append
// and record locks that answer at once, exclusive use, counts that follow the other's appends,
// concurrent appends, and a writer killed before it could update the header.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "DbfTestSupport.h"
#include "dbf/File.h"
#include "dbf/Memo.h"

namespace tavrin::dbf::test {
namespace {

// A forked process running `body`; it reports "ready" once and then waits for "go" before it
// leaves, so the parent can act while the child holds its locks.
class Peer {
 public:
  explicit Peer(const std::function<int(Peer&)>& body) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      in_ = down[0];
      out_ = up[1];
      int rc = 1;
      try {
        SetRaise(true);
        rc = body(*this);
      } catch (...) {
        rc = 99;
      }
      _exit(rc);
    }
    close(down[0]);
    close(up[1]);
    in_ = up[0];
    out_ = down[1];
  }
  ~Peer() {
    if (pid_ > 0) {
      Go();
      Wait();
    }
    close(in_);
    close(out_);
  }
  // In the child: tell the parent we are ready, then block until it says go.
  void ReadyThenWait() {
    char c = 'r';
    (void)!write(out_, &c, 1);
    (void)!read(in_, &c, 1);
  }
  // In the parent.
  bool AwaitReady() {
    char c = 0;
    return read(in_, &c, 1) == 1 && c == 'r';
  }
  void Go() {
    char c = 'g';
    (void)!write(out_, &c, 1);
  }
  int Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Kill() {
    kill(pid_, SIGKILL);
    Wait();
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

using SharingTest = DbfTest;

TEST_F(SharingTest, AppendLockHeldByAnotherProgramAnswersFalseAtOnce) {
  const std::string path = MakePeople(1);
  Peer peer([&](Peer& p) {
    USE(path);
    if (!ALock()) return 2;
    p.ReadyThenWait();
    return 0;
  });
  ASSERT_TRUE(peer.AwaitReady());
  USE(path);
  EXPECT_FALSE(ALock());
  peer.Go();
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_TRUE(ALock());  // released when the other program ended
}

TEST_F(SharingTest, RecordLocksConflictAcrossProgramsAndWorkAreas) {
  const std::string path = MakePeople(3);
  Peer peer([&](Peer& p) {
    USE(path);
    GO(2);
    if (!RLock()) return 2;
    p.ReadyThenWait();
    return 0;
  });
  ASSERT_TRUE(peer.AwaitReady());
  Select(1);
  USE(path + " ALIAS A");
  GO(2);
  EXPECT_FALSE(RLock());
  GO(3);
  EXPECT_TRUE(RLock());
  Select(2);
  USE(path + " ALIAS B");
  GO(3);
  EXPECT_FALSE(RLock());  // held by area A of this program
  GO(1);
  EXPECT_TRUE(RLock());
  Select(1);
  Unlock();
  Select(2);
  GO(3);
  EXPECT_TRUE(RLock());
  Select(1);
  USE("");  // closing area A must not drop area B's locks
  peer.Go();
  EXPECT_EQ(peer.Wait(), 0);
  Peer probe([&](Peer&) {
    USE(path);
    GO(3);
    return RLock() ? 3 : 0;
  });
  EXPECT_EQ(probe.Wait(), 0);
}

TEST_F(SharingTest, ExclusiveOpenIsRefusedWhileAnotherHasTheTableOpen) {
  const std::string path = MakePeople(1);
  Peer peer([&](Peer& p) {
    USE(path);
    p.ReadyThenWait();
    return 0;
  });
  ASSERT_TRUE(peer.AwaitReady());
  EXPECT_EQ(Failure([&] { USE(path + " EXCLUSIVE"); }),
            "Error # 32 (File sharing violation)\r\nFailure to open " + path + " [USE/OpenDbf]");
  EXPECT_FALSE(IsOpen());
  peer.Go();
  EXPECT_EQ(peer.Wait(), 0);
  Select(1);
  USE(path + " EXCLUSIVE");
  Select(2);
  EXPECT_NE(Failure([&] { USE(path + " ALIAS OTHER"); }).find("Error # 32"), std::string::npos);
}

TEST_F(SharingTest, AppendByAnotherProgramIsCountedWithoutReopening) {
  const std::string path = MakePeople(2);
  USE(path);
  EXPECT_EQ(RecCount(), 2);
  GO(2);
  SKIP(1);
  EXPECT_TRUE(dEOF());
  Peer peer([&](Peer&) {
    USE(path);
    if (!ALock()) return 2;
    ClearRecord();
    SetString(1, "Other");
    Append();
    Unlock();
    USE("");
    return 0;
  });
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_TRUE(dEOF());  // still past the old end until the cursor moves
  GO(2);
  SKIP(1);  // stepping past the known count looks at the file again
  EXPECT_FALSE(dEOF());
  EXPECT_EQ(RecNo(), 3);
  EXPECT_EQ(RecCount(), 3);
  GO(3);
  EXPECT_EQ(GetString(1), "Other     ");
  GoTop();
  int n = 0;
  for (; !dEOF(); SKIP(1)) ++n;
  EXPECT_EQ(n, 3);
}

// A close that cannot take the append lock leaves the count to the appender: a count taken
// without the lock may be overtaken by the append and would hide its record from other readers.
TEST_F(SharingTest, CloseWithoutTheAppendLockNeverWritesAStaleCount) {
  const std::string path = MakePeople(2);
  Peer peer([&](Peer& p) {
    USE(path);
    if (!ALock()) return 2;
    p.ReadyThenWait();
    ClearRecord();
    SetString(1, "Other");
    Append();
    Unlock();
    USE("");
    return 0;
  });
  ASSERT_TRUE(peer.AwaitReady());
  USE(path);
  GO(1);
  ASSERT_TRUE(RLock());
  Replace();
  Unlock();
  // The other program appends and closes just before this close writes the header.
  bool released = false;
  SetFileFaultHook([&](FileOp op, const std::string& file) {
    if (op == FileOp::Write && file == path && !released) {
      released = true;
      peer.Go();
      peer.Wait();
    }
    return 0;
  });
  USE("");
  SetFileFaultHook({});
  ASSERT_TRUE(released);
  const auto b = ReadAll(path);
  EXPECT_EQ(b[4] | (b[5] << 8), 3);
  EXPECT_EQ(b.back(), 0x1A);
}

TEST_F(SharingTest, TwoProgramsAppendingUnderTheAppendLockLoseNothing) {
  const std::string path = MakePeople(0);
  constexpr int kEach = 5000;
  auto writer = [&](char tag) {
    return [&, tag](Peer&) {
      USE(path);
      for (int i = 1; i <= kEach; ++i) {
        while (!ALock()) {
        }
        ClearRecord();
        SetString(1, std::string(1, tag).append(std::to_string(i)));
        SetInteger(2, i % 1000);
        Append();
        Unlock();
      }
      USE("");
      return 0;
    };
  };
  Peer a(writer('A'));
  Peer b(writer('B'));
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  USE(path + " EXCLUSIVE");
  ASSERT_EQ(RecCount(), 2 * kEach);
  std::vector<int> lastA(1, 0), lastB(1, 0);
  int seenA = 0, seenB = 0;
  for (GoTop(); !dEOF(); SKIP(1)) {
    ASSERT_FALSE(Deleted());
    const std::string name = GetString(1);
    const int i = std::stoi(name.substr(1));
    ASSERT_EQ(GetInteger(2), i % 1000);
    if (name[0] == 'A')
      EXPECT_EQ(i, ++seenA);  // each writer's records in its own order
    else if (name[0] == 'B')
      EXPECT_EQ(i, ++seenB);
    else
      ADD_FAILURE() << name;
  }
  EXPECT_EQ(seenA, kEach);
  EXPECT_EQ(seenB, kEach);
  USE("");
  const auto bytes = ReadAll(path);
  const int hl = bytes[8] | (bytes[9] << 8), rl = bytes[10] | (bytes[11] << 8);
  EXPECT_EQ(bytes.size(), static_cast<std::size_t>(hl + 2 * kEach * rl + 1));
  EXPECT_EQ(bytes.back(), 0x1A);
}

// Every shared append is counted in the header before its lock goes; a header that is behind all
// the same (a writer of another kind) hides nothing from an opener, which counts by the file size.
TEST_F(SharingTest, WriterKilledAfterItsAppendsLosesNoRecords) {
  const std::string path = MakePeople(2);
  Peer peer([&](Peer& p) {
    USE(path);
    for (int i = 0; i < 40; ++i) {
      if (!ALock()) return 2;
      ClearRecord();
      SetString(1, std::string("K").append(std::to_string(i)));
      Append();
      Unlock();
    }
    p.ReadyThenWait();
    return 0;
  });
  ASSERT_TRUE(peer.AwaitReady());
  peer.Kill();
  auto bytes = ReadAll(path);
  EXPECT_EQ(bytes[4], 42);  // counted although the program never closed the table
  bytes[4] = 2;
  WriteAll(path, bytes);
  USE(path);
  EXPECT_EQ(RecCount(), 42);
  int n = 0;
  for (GoTop(); !dEOF(); SKIP(1)) ++n;
  EXPECT_EQ(n, 42);
  USE(path + " EXCLUSIVE");
  EXPECT_EQ(RecCount(), 42);
  ClearRecord();
  SetString(1, "after");
  Append();  // goes after the 42, overwriting none of them
  EXPECT_EQ(RecNo(), 43);
  GO(42);
  EXPECT_EQ(GetString(1), "K39       ");
  USE("");
  EXPECT_EQ(ReadAll(path)[4], 43);
}

TEST_F(SharingTest, PackFailsWhileAnotherProgramHasTheTableOpen) {
  const std::string path = MakePeople(3);
  USE(path + " EXCLUSIVE");
  GO(1);
  DeleteRec();
  USE("");
  Peer peer([&](Peer& p) {
    USE(path);
    p.ReadyThenWait();
    return RecCount() == 2 ? 0 : 3;
  });
  ASSERT_TRUE(peer.AwaitReady());
  USE(path);
  EXPECT_FALSE(Pack());
  EXPECT_EQ(RecCount(), 3);
  peer.Go();
  EXPECT_EQ(peer.Wait(), 3);  // nothing was packed while it looked
  EXPECT_TRUE(Pack());
  EXPECT_EQ(RecCount(), 2);
}

TEST_F(SharingTest, TwoProgramsWritingMemosKeepEveryText) {
  const std::string path = Path("notes.dbf");
  CreateDbf(path, {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 10, 0}});
  constexpr int kEach = 150;
  auto writer = [&](char tag) {
    return [&, tag](Peer&) {
      USE(path);
      for (int i = 1; i <= kEach; ++i) {
        const std::string name = std::string(1, tag).append(std::to_string(i));
        ClearRecord();
        SetString(1, name);
        for (;;) {  // the memo lock is tried a few times; a busy peer may outlast that
          ErrorSilencer quiet;
          WriteMemo(2, std::string(static_cast<std::size_t>(i * 7 % 1300 + 1), tag) + name);
          if (ErrorCode() == 0) break;
          if (ErrorCode() != 1017) return 4;
        }
        while (!ALock()) {
        }
        Append();
        Unlock();
        if (i % 3 == 0) {  // rewrite an earlier text, shorter or longer, under its record lock
          GO(RecNo());
          while (!RLock()) {
          }
          for (;;) {
            ErrorSilencer quiet;
            WriteMemo(2, std::string(static_cast<std::size_t>(i * 13 % 900 + 1), tag) + name);
            if (ErrorCode() == 0) break;
            if (ErrorCode() != 1017) return 5;
          }
          Replace();
          Unlock();
        }
      }
      USE("");
      return 0;
    };
  };
  Peer a(writer('A'));
  Peer b(writer('B'));
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  USE(path);
  ASSERT_EQ(RecCount(), 2 * kEach);
  for (GoTop(); !dEOF(); SKIP(1)) {
    const std::string name = GetString(1).substr(0, GetString(1).find(' '));
    const int i = std::stoi(name.substr(1));
    const std::size_t len =
        static_cast<std::size_t>(i % 3 == 0 ? i * 13 % 900 + 1 : i * 7 % 1300 + 1);
    ASSERT_EQ(ReadMemo(2), std::string(len, name[0]) + name) << name;
  }
}

}  // namespace
}  // namespace tavrin::dbf::test
