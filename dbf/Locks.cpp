// Append and record locks: open-file-description byte-range locks, one attempt, never waiting.
#include <algorithm>

#include "dbf/Errors.h"
#include "dbf/Format.h"
#include "dbf/WorkArea.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

// Sets code and detail for the caller to read, without halting or raising.
void NoteFailure(int code, const std::string& detail) {
  ErrorSilencer quiet;
  Report(code, detail);
}

bool ReleaseRecord(WorkArea& a, std::int32_t n, int* lastCode) {
  if (UsesOsLocks(a)) {
    const int code = a.t().file->Unlock(RecordLockOffset(a.t(), n), a.t().recLen);
    if (code != 0) {
      *lastCode = code;
      return false;
    }
  }
  return true;
}

bool UnlockRecIn(WorkArea& a, std::int32_t n) {
  bool ok = true;
  int lastCode = 0;
  if (n > 0) {
    auto it = std::find(a.recLocks.begin(), a.recLocks.end(), n);
    if (it == a.recLocks.end()) {
      NoteFailure(220, "Record not locked. [UnlockRec(" + std::to_string(n) + ")]");
      return false;
    }
    ok = ReleaseRecord(a, n, &lastCode);
    a.recLocks.erase(it);
  } else if (n == -3) {
    for (std::int32_t r : a.recLocks) ok = ReleaseRecord(a, r, &lastCode) && ok;
    a.recLocks.clear();
  } else if (n == -1 || n == -2) {
    if (!a.recLocks.empty()) {
      const std::int32_t r = (n == -1) ? a.recLocks.back() : a.recLocks.front();
      ok = ReleaseRecord(a, r, &lastCode);
      if (n == -1)
        a.recLocks.pop_back();
      else
        a.recLocks.pop_front();
    }
  } else {
    NoteFailure(220, "[UnlockRec(" + std::to_string(n) + ")]");
    return false;
  }
  if (lastCode != 0) SetErrorCode(lastCode);
  if (a.recLocks.empty() && a.lockState == LockState::Records) a.lockState = LockState::None;
  return ok;
}

}  // namespace

bool UsesOsLocks(const WorkArea& a) { return Engine().settings.lockingEnabled && !a.exclusive; }

std::int64_t RecordLockOffset(const Table& t, std::int32_t n) {
  return fmt::kLockBase + t.RecordOffset(n);
}

bool ALock() {
  WorkArea* a = RequireOpen("ALock");
  if (a == nullptr) return false;
  if (a->lockState == LockState::Append) return true;
  if (a->lockState == LockState::Records) return false;
  if (UsesOsLocks(*a)) {
    const int code = a->t().file->TryLock(fmt::kAppendLockOffset, 1, LockKind::Write);
    if (code != 0) {
      SetErrorCode(code);  // kept for the caller, not reported
      return false;
    }
  }
  a->lockState = LockState::Append;
  a->countHeld = false;
  return true;
}

bool RLock() {
  WorkArea* a = RequireOpen("RLock");
  if (a == nullptr) return false;
  const int limit = Engine().settings.recordLockLimit;
  if (limit > 0 && static_cast<int>(a->recLocks.size()) >= limit) {
    Report(err::kBeyondRange, "Record lock limit exceeded [RLOCK]");
    return false;
  }
  if (std::find(a->recLocks.begin(), a->recLocks.end(), a->recNo) != a->recLocks.end()) return true;
  if (a->lockState == LockState::Append) return false;
  if (UsesOsLocks(*a)) {
    const int code =
        a->t().file->TryLock(RecordLockOffset(a->t(), a->recNo), a->t().recLen, LockKind::Write);
    if (code != 0) {
      SetErrorCode(code);
      return false;
    }
  }
  a->recLocks.push_front(a->recNo);
  a->lockState = LockState::Records;
  return true;
}

bool IsLocked(std::int32_t record) {
  WorkArea* a = RequireOpen("IsLocked");
  if (a == nullptr) return false;
  return std::find(a->recLocks.begin(), a->recLocks.end(), record) != a->recLocks.end();
}

void ReleaseLocks(WorkArea& a) {
  if (UsesOsLocks(a)) {
    if (a.lockState == LockState::Append) {
      a.t().file->Unlock(fmt::kAppendLockOffset, 1);
    } else if (a.lockState == LockState::Records) {
      UnlockRecIn(a, -3);
    }
  } else {
    a.recLocks.clear();
  }
  a.lockState = LockState::None;
}

void Unlock() {
  WorkArea* a = RequireOpen("Unlock");
  if (a != nullptr) ReleaseLocks(*a);
}

bool UnlockRec(std::int32_t n) {
  WorkArea* a = RequireOpen("UnlockRec");
  if (a == nullptr) return false;
  return UnlockRecIn(*a, n);
}

}  // namespace tavrin::dbf
