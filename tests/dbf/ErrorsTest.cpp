// The single failure path: code texts, the three ways a failure ends, and the detail message.
#include <sys/wait.h>
#include <unistd.h>

#include "DbfTestSupport.h"

namespace tavrin::dbf::test {
namespace {

using ErrorsTest = DbfTest;

TEST_F(ErrorsTest, CodeTextsComeFromTheTableWithRangesAndUnknowns) {
  EXPECT_EQ(CodeText(0), "");
  EXPECT_EQ(CodeText(210), "Error # 210 (Not a dBASE data file)");
  EXPECT_EQ(CodeText(1250), "Error # 1250 (Network Error)");
  EXPECT_EQ(CodeText(7), "Error # 7 (Undefined error)");
  EXPECT_EQ(CodeText(227), "Error # 227 (Insufficient disk space )");
  EXPECT_EQ(CodeText(101), "Error # 101 (Disk write error (probable cause: Disk Full).)");
}

// A named code with a wrong number would show "Undefined error" in every message it reports.
TEST_F(ErrorsTest, EveryNamedCodeHasATextOfItsOwn) {
  for (int code : {err::kFileNotFound,     err::kPathNotFound,
                   err::kTooManyOpenFiles, err::kAccessDenied,
                   err::kBadHandle,        err::kNotEnoughMemory,
                   err::kWriteProtected,   err::kGeneralFailure,
                   err::kSharingViolation, err::kLockViolation,
                   err::kNoLocksLeft,      err::kReadError,
                   err::kWriteError,       err::kNotADatabase,
                   err::kInvalidField,     err::kBeyondRange,
                   err::kUnexpectedEnd,    err::kAlreadyInUse,
                   err::kNoDatabaseInUse,  err::kInsufficientMemory,
                   err::kInvalidParameter, err::kExclusiveRequired,
                   err::kInvalidSize,      err::kInvalidMemoAddress,
                   err::kDiskFull,         err::kMemoAlreadyOpen,
                   err::kNoRoomToPackMemo, err::kMemoLockFailed,
                   err::kNoMemo,           err::kNotAvailable,
                   err::kInvalidOperation, err::kRecordNotLocked})
    EXPECT_EQ(CodeText(code).find("Undefined error"), std::string::npos) << code;
  EXPECT_EQ(CodeText(err::kNone), "");
}

TEST_F(ErrorsTest, RaisedFailureCarriesCodeTextCrLfAndDetail) {
  WriteAll(Path("ten.dbf"), std::vector<std::uint8_t>(10, 3));
  const std::string msg = Failure([&] { USE(Path("ten.dbf")); });
  EXPECT_EQ(msg, "Error # 210 (Not a dBASE data file)\r\n" + Path("ten.dbf") +
                     " is not a dBASE database. (Prolog is less than 32 bytes) [USE/OpenDBF]");
  EXPECT_FALSE(IsOpen());
}

TEST_F(ErrorsTest, SilencedFailureReturnsWithCodeAndKeepsDetailUntilTaken) {
  MakePeople(0);
  SetRaise(false);
  ErrorSilencer quiet;
  USE(Path("people.dbf"));
  GO(5);
  EXPECT_EQ(ErrorCode(), 212);
  EXPECT_NE(PeekDetail().find("[GO]"), std::string::npos);
  const std::string text = GetErrorText();
  EXPECT_EQ(text.rfind("Error # 212 (Request beyond range)\r\nInvalid record number = 5", 0), 0u);
  EXPECT_EQ(GetErrorText(), "");  // reading clears it
}

TEST_F(ErrorsTest, TakeDetailClearsTheLastReportedCode) {
  SetRaise(false);
  ErrorSilencer quiet;
  Select(34);
  EXPECT_EQ(ErrorCode(), 220);
  EXPECT_EQ(TakeDetail(), "Invalid workarea selected = [Select(34)]");
  EXPECT_EQ(LastReportedCode(), 0);
  EXPECT_EQ(GetErrorText(), "");
}

TEST_F(ErrorsTest, InstalledHandlerRunsInsteadOfHalting) {
  SetRaise(false);
  int calls = 0;
  SetErrorHandler([&] { ++calls; });
  Select(40);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ErrorCode(), 220);
}

TEST_F(ErrorsTest, HaltHookGetsCodeAndTextAndLaterReportsDoNothing) {
  SetRaise(false);
  int code = 0;
  std::string text;
  SetHaltHook([&](int c, const std::string& t) {
    code = c;
    text = t;
  });
  Select(99);
  EXPECT_EQ(code, 220);
  EXPECT_EQ(text, "Error # 220 (Invalid parameter)\r\nInvalid workarea selected = [Select(99)]");
  EXPECT_TRUE(Halting());
  code = 0;
  Select(98);
  EXPECT_EQ(code, 0);
  SetHaltHook({});
}

TEST_F(ErrorsTest, DefaultHaltPrintsAndExitsWithTheCode) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    SetRaise(false);
    SetStopOnError(true);
    SetHaltHook({});
    freopen("/dev/null", "w", stderr);
    Select(77);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 220);
}

TEST_F(ErrorsTest, OperationWithoutTableReportsNoDatabaseAndQueriesAnswerDefaults) {
  SetRaise(false);
  ErrorSilencer quiet;
  Select(4);
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(ErrorCode(), 215);
  EXPECT_EQ(TakeDetail(), "No database in use [dEOF]  WorkArea = 4");
  EXPECT_TRUE(dBOF());
  EXPECT_EQ(RecNo(), 0);
  EXPECT_EQ(RecCount(), 0);
  EXPECT_EQ(FieldCount(), 0);
  EXPECT_EQ(TakeDetail(), "No database in use [FieldCount()]  WorkArea = 4");
}

}  // namespace
}  // namespace tavrin::dbf::test
