// Work areas and USE, the cursor with its end and beginning rules, record changes with their lock
// checks, pack, raw access, Locate and the OEM translation.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "DbfTestSupport.h"
#include "dbf/File.h"

namespace tavrin::dbf::test {
namespace {

class CursorTest : public DbfTest {
 protected:
  // people table with `n` records, the ones in `deleted` marked; opened exclusively.
  void OpenWithDeleted(int n, std::initializer_list<int> deleted, bool hide) {
    const std::string path = MakePeople(n);
    USE(path + " EXCLUSIVE");
    for (int r : deleted) {
      GO(r);
      DeleteRec();
    }
    Settings().hideDeleted = hide;
  }
  std::string Name() { return GetString(1).substr(0, GetString(1).find(' ')); }
};

// ---- Work areas and USE ----

TEST_F(CursorTest, SelectPicksFreeAreasAndRefusesBadNumbers) {
  const std::string path = MakePeople(1);
  Select(1);
  USE(path + " ALIAS A");
  Select(2);
  USE(path + " ALIAS B");
  Select(0);
  EXPECT_EQ(CurrentArea(), 3);
  EXPECT_NE(Failure([] { Select(34); }).find("Invalid workarea selected = [Select(34)]"),
            std::string::npos);
  EXPECT_EQ(CurrentArea(), 3);
  for (int i = 3; i <= kWorkAreaCount; ++i) {
    Select(i);
    USE(path + " ALIAS X" + std::to_string(i));
  }
  EXPECT_NE(Failure([] { Select(0); }).find("No free workarea available [Select(0)]"),
            std::string::npos);
}

TEST_F(CursorTest, UseParsesExclusiveAndAliasKeepingTheNamesCase) {
  const std::string path = MakePeople(1, "People.dbf");
  USE(Path("People") + " exclusive alias recip");
  EXPECT_TRUE(IsOpen());
  EXPECT_TRUE(IsExclusive());
  EXPECT_EQ(Alias(), "RECIP");
  EXPECT_EQ(DbfName(), path);
  USE(Path("People.dbf"));
  EXPECT_FALSE(IsExclusive());
  EXPECT_EQ(Alias(), "PEOPLE");
}

TEST_F(CursorTest, ExclusiveGluedToALetterOrDigitIsPartOfTheName) {
  MakePeople(1, "a EXCLUSIVE1.dbf");
  USE(Path("a EXCLUSIVE1.dbf"));
  EXPECT_TRUE(IsOpen());
  EXPECT_FALSE(IsExclusive());
}

// A path opens as itself whatever words or blanks it holds; the options come apart from it.
TEST_F(CursorTest, UseFileTakesThePathWhole) {
  std::filesystem::create_directories(Path("Alias virtual file linked list"));
  const std::string names[] = {"club exclusive.dbf", "a alias b.dbf", " blanks .dbf",
                               "Alias virtual file linked list/x.dbf"};
  for (const std::string& name : names) {
    MakePeople(2, name);
    UseFile(Path(name));
    EXPECT_EQ(DbfName(), Path(name));
    EXPECT_FALSE(IsExclusive()) << name;
    EXPECT_EQ(RecCount(), 2);
    UseFile("");
  }
  MakePeople(1, "club.dbf");
  OpenOptions exclusive;
  exclusive.exclusive = true;
  exclusive.alias = "recip";
  UseFile(Path("club exclusive"), exclusive);
  EXPECT_EQ(DbfName(), Path("club exclusive.dbf"));
  EXPECT_TRUE(IsExclusive());
  EXPECT_EQ(Alias(), "RECIP");
  UseFile("");
  EXPECT_FALSE(IsOpen());
}

TEST_F(CursorTest, SameFileInTwoAreasNeedsTwoAliases) {
  const std::string path = MakePeople(1);
  Select(1);
  USE(path + " ALIAS ONE");
  Select(2);
  USE(path + " ALIAS TWO");
  EXPECT_TRUE(IsOpen());
  Select(3);
  EXPECT_EQ(Failure([&] { USE(path + " ALIAS ONE"); }),
            "Error # 220 (Invalid parameter)\r\nAlias name \"ONE\" already in use. [USE]");
  EXPECT_FALSE(IsOpen());
}

TEST_F(CursorTest, SuppliedValueAreaMustHaveTheExactSize) {
  const std::string path = MakePeople(2);
  // 1 + NAME(11) + AGE(4) + BORN(11) + OK(1)
  std::vector<std::uint8_t> area(28);
  USE(path, area.data(), area.size());
  EXPECT_EQ(FieldAddress(0), area.data());
  EXPECT_EQ(area[FieldAddress(1) - area.data()], 10);
  USE("");
  std::vector<std::uint8_t> small(20);
  const std::string msg = Failure([&] { USE(path, small.data(), small.size()); });
  EXPECT_NE(msg.find("Error # 266"), std::string::npos);
  EXPECT_NE(msg.find("Record Size=28, Buffer Size=20"), std::string::npos);
  EXPECT_FALSE(IsOpen());
  EXPECT_NE(Failure([&] { USE(path, small.data(), 0); }).find("Buffer is NIL or size is zero"),
            std::string::npos);
}

TEST_F(CursorTest, ReadOnlyOverrideOpensAFileWithoutWriteAccess) {
  const std::string path = MakePeople(2);
  chmod(path.c_str(), 0444);
  if (::geteuid() != 0) {
    EXPECT_NE(Failure([&] { USE(path); }).find("Error # 5"), std::string::npos);
  }
  Settings().openOverride = OpenOverride::ReadOnly;
  auto bytes = ReadAll(path);
  bytes[4] = 1;  // a stale count: an open for writing would correct it on close
  WriteAll(path, bytes);
  USE(path + " EXCLUSIVE");
  EXPECT_EQ(RecCount(), 2);
  SetString(1, "changed");
  EXPECT_NE(Failure([] { Replace(); }).find("Error # 5 (File access denied)"), std::string::npos);
  USE("");
  EXPECT_EQ(ReadAll(path), bytes);  // nothing written
}

// ---- Cursor ----

TEST_F(CursorTest, SkipPastTheLastRecordThenAgainFails) {
  MakePeople(3);
  USE(Path("people.dbf"));
  GO(3);
  SKIP(1);
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(RecNo(), 4);
  EXPECT_EQ(GetString(1), std::string(10, ' '));
  EXPECT_EQ(GetInteger(2), 0);
  EXPECT_EQ(Failure([] { SKIP(1); }), "Error # 212 (Request beyond range)\r\nDatabase \"" +
                                          Path("people.dbf") + "\" is past EOF. [SKIP]");
}

TEST_F(CursorTest, SkipBackFromTheFirstRecordSetsBeginningAsAFlag) {
  MakePeople(3);
  USE(Path("people.dbf"));
  GoTop();
  SKIP(-1);
  EXPECT_TRUE(dBOF());
  EXPECT_EQ(RecNo(), 1);
  SKIP(-1);  // nothing happens, nothing is reported
  EXPECT_EQ(RecNo(), 1);
  SKIP(1);
  EXPECT_EQ(RecNo(), 2);
  EXPECT_FALSE(dBOF());
  SKIP(-5);
  EXPECT_EQ(RecNo(), 1);
  EXPECT_TRUE(dBOF());
}

TEST_F(CursorTest, HiddenDeletedRecordsAreSteppedOverButNotByGo) {
  OpenWithDeleted(3, {1}, true);
  GoTop();
  EXPECT_EQ(RecNo(), 2);
  GO(1);
  EXPECT_EQ(RecNo(), 1);
  EXPECT_TRUE(Deleted());
  EXPECT_EQ(RecCount(), 3);
  GoBottom();
  EXPECT_EQ(RecNo(), 3);
  SKIP(-1);
  EXPECT_EQ(RecNo(), 2);
  SKIP(-1);
  EXPECT_EQ(RecNo(), 2);
  EXPECT_TRUE(dBOF());
}

TEST_F(CursorTest, ScanVisitsOnlyVisibleRecords) {
  OpenWithDeleted(5, {2, 5}, true);
  std::vector<int> seen;
  for (GoTop(); !dEOF(); SKIP(1)) seen.push_back(RecNo());
  EXPECT_EQ(seen, (std::vector<int>{1, 3, 4}));
  Settings().hideDeleted = false;
  seen.clear();
  for (GoTop(); !dEOF(); SKIP(1)) seen.push_back(RecNo());
  EXPECT_EQ(seen.size(), 5u);
}

TEST_F(CursorTest, AllRecordsHiddenLeavesBothFlagsAtCountPlusOne) {
  OpenWithDeleted(2, {1, 2}, true);
  GoTop();
  EXPECT_EQ(RecNo(), 3);
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
  GoBottom();
  EXPECT_EQ(RecNo(), 3);
  EXPECT_TRUE(dBOF());
}

TEST_F(CursorTest, GoOutsideTheTableFails) {
  MakePeople(2);
  USE(Path("people.dbf"));
  EXPECT_EQ(Failure([] { GO(9); }),
            "Error # 212 (Request beyond range)\r\nInvalid record number = 9 Database \"" +
                Path("people.dbf") + "\" [GO]");
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(RecNo(), 3);
  EXPECT_NE(Failure([] { GO(0); }).find("Invalid record number = 0"), std::string::npos);
}

TEST_F(CursorTest, EmptyTableRules) {
  MakePeople(0);
  USE(Path("people.dbf"));
  GoTop();
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
  EXPECT_NE(Failure([] { SKIP(1); }).find("is past EOF"), std::string::npos);
  EXPECT_NE(Failure([] { GO(1); }).find("[GO]"), std::string::npos);
  SKIP(0);
  EXPECT_EQ(GetString(3), "  /  /  ");
}

TEST_F(CursorTest, SkipZeroRereadsTheRecordFromTheFile) {
  MakePeople(1);
  Select(1);
  USE(Path("people.dbf") + " ALIAS A");
  Select(2);
  USE(Path("people.dbf") + " ALIAS B");
  ASSERT_TRUE(RLock());
  SetString(1, "Zed");
  Replace();
  Unlock();
  Select(1);
  EXPECT_EQ(Name(), "P1");
  SKIP(0);
  EXPECT_EQ(Name(), "Zed");
}

// ---- Changes and their locks ----

TEST_F(CursorTest, ReplaceOnASharedTableNeedsTheRecordLock) {
  const std::string path = MakePeople(2);
  USE(path);
  const auto before = ReadAll(path);
  SetString(1, "Nope");
  EXPECT_EQ(Failure([] { Replace(); }),
            "Error # 1200 (Record not locked)\r\nRecord #1 in " + path + " [REPLACE]");
  EXPECT_EQ(ReadAll(path), before);
  ASSERT_TRUE(RLock());
  SetString(1, "Yes");
  Replace();
  Unlock();
  EXPECT_EQ(Peek(1, 1), "Yes       ");
}

TEST_F(CursorTest, AppendOnASharedTableNeedsTheAppendLock) {
  const std::string path = MakePeople(1);
  USE(path);
  ClearRecord();
  EXPECT_EQ(
      Failure([] { Append(); }),
      "Error # 5 (File access denied)\r\nFile must be locked to append: " + path + " [APPEND]");
  ASSERT_TRUE(ALock());
  SetString(1, "New");
  Append();
  Unlock();
  EXPECT_EQ(RecNo(), 2);
  EXPECT_EQ(RecCount(), 2);
  EXPECT_FALSE(dEOF());
}

TEST_F(CursorTest, DeleteWritesExactlyTheFlagByteAndRecallUndoesIt) {
  const std::string path = MakePeople(2);
  USE(path);
  GO(2);
  EXPECT_NE(Failure([] { DeleteRec(); }).find(path + " Record not locked [DeleteRec]"),
            std::string::npos);
  const auto before = ReadAll(path);
  ASSERT_TRUE(RLock());
  DeleteRec();
  const auto after = ReadAll(path);
  ASSERT_EQ(before.size(), after.size());
  int diffs = 0;
  for (std::size_t i = 0; i < before.size(); ++i) diffs += before[i] != after[i];
  EXPECT_EQ(diffs, 1);
  EXPECT_TRUE(Deleted());
  RecallRec();
  EXPECT_FALSE(Deleted());
  Unlock();
  EXPECT_EQ(Peek(0, 2), " ");
}

TEST_F(CursorTest, DeleteAtEndOfFileFails) {
  MakePeople(1);
  USE(Path("people.dbf EXCLUSIVE"));
  SKIP(1);
  EXPECT_NE(Failure([] { DeleteRec(); }).find("Error # 1103"), std::string::npos);
}

TEST_F(CursorTest, LockStatesExcludeEachOther) {
  MakePeople(3);
  USE(Path("people.dbf"));
  ASSERT_TRUE(ALock());
  EXPECT_FALSE(RLock());
  Unlock();
  ASSERT_TRUE(RLock());
  EXPECT_TRUE(RLock());  // the same record twice: locked once
  EXPECT_FALSE(ALock());
  GO(2);
  ASSERT_TRUE(RLock());
  EXPECT_TRUE(IsLocked(1));
  EXPECT_TRUE(IsLocked(2));
  EXPECT_TRUE(UnlockRec(-1));  // the oldest: record 1
  EXPECT_FALSE(IsLocked(1));
  {
    ErrorSilencer quiet;
    EXPECT_FALSE(UnlockRec(3));
    EXPECT_EQ(ErrorCode(), 220);
    EXPECT_EQ(TakeDetail(), "Record not locked. [UnlockRec(3)]");
  }
  Unlock();
  EXPECT_FALSE(IsLocked(2));
  EXPECT_TRUE(ALock());
}

TEST_F(CursorTest, RecordLockLimit) {
  MakePeople(3);
  USE(Path("people.dbf"));
  Settings().recordLockLimit = 1;
  ASSERT_TRUE(RLock());
  GO(2);
  EXPECT_EQ(Failure([] { RLock(); }),
            "Error # 212 (Request beyond range)\r\nRecord lock limit exceeded [RLOCK]");
}

// ---- Pack, Peek, Poke, Locate ----

TEST_F(CursorTest, PackRemovesDeletedRecordsAndKeepsOrder) {
  OpenWithDeleted(6, {1, 3, 4}, false);
  EXPECT_TRUE(Pack());
  EXPECT_EQ(RecCount(), 3);
  EXPECT_EQ(RecNo(), 1);
  std::vector<std::string> names;
  for (GoTop(); !dEOF(); SKIP(1)) names.push_back(Name());
  EXPECT_EQ(names, (std::vector<std::string>{"P2", "P5", "P6"}));
  USE("");
  const auto b = ReadAll(Path("people.dbf"));
  const int hl = b[8] | (b[9] << 8), rl = b[10] | (b[11] << 8);
  EXPECT_EQ(b.size(), static_cast<std::size_t>(hl + 3 * rl + 1));
  EXPECT_EQ(b.back(), 0x1A);
  EXPECT_EQ(b[4], 3);
}

TEST_F(CursorTest, PackOfAllRecordsLeavesAnEmptyTable) {
  OpenWithDeleted(2, {1, 2}, false);
  EXPECT_TRUE(Pack());
  EXPECT_EQ(RecCount(), 0);
  EXPECT_EQ(RecNo(), 0);
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
  EXPECT_FALSE(Pack());  // nothing to pack
}

TEST_F(CursorTest, PackOfASharedTableFailsWhileAnotherAreaHasItOpen) {
  const std::string path = MakePeople(3);
  Select(1);
  USE(path + " ALIAS A");
  GO(2);
  ASSERT_TRUE(RLock());
  DeleteRec();
  Unlock();
  Select(2);
  USE(path + " ALIAS B");
  Select(1);
  EXPECT_FALSE(Pack());
  EXPECT_FALSE(IsExclusive());
  EXPECT_EQ(RecCount(), 3);
  ASSERT_TRUE(RLock());  // still usable shared
  Unlock();
  Select(2);
  USE("");
  Select(1);
  EXPECT_TRUE(Pack());
  EXPECT_EQ(RecCount(), 2);
  EXPECT_FALSE(IsExclusive());
  ASSERT_TRUE(ALock());
  Unlock();
}

TEST_F(CursorTest, PeekAndPokeWorkOnRawBytesWithoutMovingTheCursor) {
  const std::string path = MakePeople(3);
  USE(path);
  GO(1);
  EXPECT_EQ(Peek(2, 3), "  3");
  EXPECT_EQ(Peek(0, 2), " ");
  EXPECT_EQ(Peek(2, 9), "");
  EXPECT_EQ(Peek(9, 1), "");
  EXPECT_EQ(RecNo(), 1);
  EXPECT_NE(Failure([] { Poke("x", 1, 3); }).find("Record not locked [Poke(x,1,3)]"),
            std::string::npos);
  GO(3);
  ASSERT_TRUE(RLock());
  Poke("Quentin and more", 1, 3);
  EXPECT_EQ(Peek(1, 3), "Quentin an");
  Poke("Q", 1, 3);
  EXPECT_EQ(Peek(1, 3), "Quentin an");
  Unlock();
}

TEST_F(CursorTest, LocateFindsByPrefixCaseAndContainment) {
  MakePeople(12);
  USE(Path("people.dbf"));
  EXPECT_EQ(Locate("name", "P1"), 1);
  EXPECT_EQ(RecNo(), 1);
  Locate("NAME EXACT", "P1");
  EXPECT_TRUE(dEOF());
  Locate("NAME EXACT", "P12       ");
  EXPECT_EQ(RecNo(), 12);
  Locate("NAME NOCASE", "p7");
  EXPECT_EQ(RecNo(), 7);
  Locate("NAME CONTAINED", "11");
  EXPECT_EQ(RecNo(), 11);
  Locate("NAME", "P1", 2);
  EXPECT_EQ(RecNo(), 10);
  EXPECT_NE(Failure([] { Locate("  ", "x"); }).find("No field name specified"), std::string::npos);
  EXPECT_NE(
      Failure([] { Locate("WHO", "x"); }).find("Unrecognized field name [Locate/Count/Sum(WHO)]"),
      std::string::npos);
}

// ---- OEM translation ----

TEST_F(CursorTest, CharacterDataIsStoredInOemAndReadBackInAnsi) {
  const std::string path = MakePeople(0);
  USE(path + " EXCLUSIVE");
  ClearRecord();
  SetString(1,
            "M\xFC"
            "ller");  // u-umlaut in Windows-1252
  Append();
  EXPECT_EQ(Peek(1, 1),
            "M\x81"
            "ller    ");  // 0x81 in code page 437
  EXPECT_EQ(GetString(1),
            "M\xFC"
            "ller    ");
  USE("");
  Settings().noTranslation = true;
  USE(path);
  EXPECT_EQ(GetString(1),
            "M\x81"
            "ller    ");
}

TEST_F(CursorTest, TranslationProceduresSeeTheRecordBytes) {
  const std::string path = MakePeople(1);
  int reads = 0, writes = 0;
  Settings().noTranslation = true;
  USE(
      path + " EXCLUSIVE", nullptr, 0,
      [&](char* b, std::size_t n) {
        ++reads;
        for (std::size_t i = 0; i < n; ++i)
          if (b[i] == 'P') b[i] = 'R';
      },
      [&](char* b, std::size_t n) {
        ++writes;
        for (std::size_t i = 0; i < n; ++i)
          if (b[i] == 'R') b[i] = 'W';
      });
  EXPECT_EQ(GetString(1), "R1        ");
  Replace();
  EXPECT_EQ(Peek(1, 1), "W1        ");
  EXPECT_GE(reads, 1);
  EXPECT_EQ(writes, 1);
}

TEST_F(CursorTest, SetFieldTextParsesByType) {
  const std::string path = MakePeople(0);
  USE(path + " EXCLUSIVE");
  ClearRecord();
  EXPECT_TRUE(SetFieldText(1, "Ann"));
  EXPECT_TRUE(SetFieldText(2, " 42 "));
  EXPECT_FALSE(SetFieldText(2, "4x"));
  EXPECT_FALSE(SetFieldText(2, "4.5"));
  EXPECT_TRUE(SetFieldText(3, "20260131"));
  EXPECT_FALSE(SetFieldText(3, "13/45/26"));
  EXPECT_TRUE(SetFieldText(4, "y"));
  Append();
  EXPECT_EQ(Peek(2, 1), " 42");
  EXPECT_EQ(Peek(3, 1), "20260131");
  EXPECT_EQ(Peek(4, 1), "T");
}

}  // namespace
}  // namespace tavrin::dbf::test

namespace tavrin::dbf::test {
namespace {

// ---- I/O failures reach the caller with their code and leave the state consistent ----

class IoFailureTest : public CursorTest {
 protected:
  void FailOn(FileOp which, int err) {
    SetFileFaultHook([which, err](FileOp op, const std::string&) { return op == which ? err : 0; });
  }
};

TEST_F(IoFailureTest, ReadErrorDuringSkipKeepsTheLastValues) {
  const std::string path = MakePeople(3);
  USE(path);
  FailOn(FileOp::Read, 5 /*EIO*/);
  EXPECT_EQ(Failure([] { SKIP(1); }),
            "Error # 100 (Disk read error)\r\nFile:  " + path + "  [GetDbfRecord]");
  SetFileFaultHook({});
  EXPECT_EQ(GetString(1), "P1        ");
}

TEST_F(IoFailureTest, FailedAppendDoesNotCountTheRecord) {
  const std::string path = MakePeople(2);
  USE(path + " EXCLUSIVE");
  ClearRecord();
  FailOn(FileOp::Write, 28 /*ENOSPC*/);
  EXPECT_EQ(Failure([] { Append(); }),
            "Error # 101 (Disk write error (probable cause: Disk Full).)\r\nFile:  " + path +
                " [Replace/Append/PutDbfRecord]");
  SetFileFaultHook({});
  EXPECT_EQ(RecCount(), 2);
  Append();
  EXPECT_EQ(RecNo(), 3);
}

TEST_F(IoFailureTest, WriteThroughFlushFailureIsReported) {
  MakePeople(1);
  USE(Path("people.dbf EXCLUSIVE"));
  Settings().writeThrough = true;
  FailOn(FileOp::Sync, 5);
  EXPECT_EQ(Failure([] { Replace(); }),
            "Error # 101 (Disk write error (probable cause: Disk Full).)\r\n"
            "Unable to flush file [FlushFile]");
}

TEST_F(IoFailureTest, PackWriteFailureIsReportedAndKeepsTheTableUsable) {
  OpenWithDeleted(4, {1}, false);
  FailOn(FileOp::Write, 28);
  EXPECT_NE(Failure([] { Pack(); }).find("Error packing " + Path("people.dbf")), std::string::npos);
  SetFileFaultHook({});
  EXPECT_EQ(RecCount(), 4);
  GO(4);
  EXPECT_EQ(GetString(1), "P4        ");
}

TEST_F(IoFailureTest, FailedPackOfASharedTableLeavesItShared) {
  const std::string path = MakePeople(3);
  Select(1);
  USE(path + " ALIAS A");
  GO(1);
  ASSERT_TRUE(RLock());
  DeleteRec();
  Unlock();
  FailOn(FileOp::Write, 5);
  EXPECT_NE(Failure([] { Pack(); }).find("Error packing"), std::string::npos);
  SetFileFaultHook({});
  EXPECT_FALSE(IsExclusive());
  Select(2);
  USE(path + " ALIAS B");  // a second opener is not shut out
  EXPECT_EQ(RecCount(), 3);
}

TEST_F(IoFailureTest, RefusedLockSystemCallAnswersFalse) {
  MakePeople(1);
  USE(Path("people.dbf"));
  FailOn(FileOp::Lock, 37 /*ENOLCK*/);
  EXPECT_FALSE(ALock());
  EXPECT_EQ(ErrorCode(), 36);
  SetFileFaultHook({});
  EXPECT_TRUE(ALock());
}

}  // namespace
}  // namespace tavrin::dbf::test
