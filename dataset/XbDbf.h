// TXbFileDataSet and TXbDbf: the table dataset over one .DBF file.
//
// Adds opening the file (created from DbfFields when missing and allowed; shared or exclusive;
// read-only), the four locked writes with their lock-failed events, and memo streams. Each write
// holds its lock for the one engine write only; no lock is held while the user edits. A lock-failed
// handler that keeps asking for a retry is given up after kLockTries attempts. GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/XbDataSet.h"

namespace tavrin::dataset {

class TXbBlobStream;
enum class TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

// Sender, then Retry (false on entry): set it true to try the lock again.
using TXbLockFailedEvent = std::function<void(TDataSet& sender, bool& retry)>;

class TXbFileDataSet : public TXbCDataSet {
 public:
  static constexpr int kLockTries = 10;

  using TXbCDataSet::TXbCDataSet;
  ~TXbFileDataSet() override;

  bool Exclusive() const { return exclusive_; }
  // A missing file is created from DbfFields before opening.
  bool CreateIfNotFound() const { return createIfNotFound_; }
  void SetCreateIfNotFound(bool on) { createIfNotFound_ = on; }
  // The engine's recount-on-open switch for the duration of the open.
  bool AutoFixRecCount() const { return autoFixRecCount_; }
  void SetAutoFixRecCount(bool on) { autoFixRecCount_ = on; }
  // Field definitions for creating the file: "NAME,C,40,0" (name, type, length, decimals).
  const std::vector<std::string>& DbfFields() const { return dbfFields_; }
  void SetDbfFields(std::vector<std::string> lines) { dbfFields_ = std::move(lines); }

  TXbLockFailedEvent OnALockFailedOnInsert, OnRLockFailedOnDelete, OnRLockFailedOnPost,
      OnRLockFailedOnRestore;

  // A stream over the memo of `field` in the active record. Writing replaces the memo; a stream
  // opened for writing and destroyed without a write empties it. Destroy the stream before the
  // dataset moves; closing the dataset or opening another stream ends it (see XbBlobStream.h).
  std::unique_ptr<TXbBlobStream> CreateBlobStream(TField& field, TBlobStreamMode mode);
  std::string BlobText(TField& field) override;
  void SetBlobText(TField& field, const std::string& text) override;

 protected:
  void SetExclusiveFlag(bool on) { exclusive_ = on; }
  bool OpenTableFile() override;
  void InternalClose() override;
  void AppendWithLock() override;
  void DeleteWithLock() override;
  void RestoreWithLock() override;
  void ReplaceWithLock() override;

 private:
  friend class TXbBlobStream;
  // The one place the dataset opens a table in the engine.
  static void EngineOpen(const std::string& path, bool exclusive, const std::string& alias);
  void CreateFromDbfFields();
  // Runs `write` under the lock `lock` takes, asking `event` (else showing "Lock failed [word]")
  // while the lock is refused; false when the write was given up.
  bool WithLock(const char* operation, bool (*lock)(), const std::function<void()>& write,
                const TXbLockFailedEvent& event, const char* word);

  // Ends the open memo stream, if any: it no longer reaches the dataset or the engine.
  void EndStream();

  TXbBlobStream* stream_ = nullptr;  // the open memo stream (the engine's one of this area)
  bool exclusive_ = false;
  bool createIfNotFound_ = true;
  bool autoFixRecCount_ = false;
  std::vector<std::string> dbfFields_;
};

// The published table dataset. Changing Exclusive on an open dataset closes and reopens it.
class TXbDbf final : public TXbFileDataSet {
 public:
  explicit TXbDbf(std::string name = {}) : TXbFileDataSet(std::move(name)) {}
  void SetExclusive(bool on);
};

}  // namespace tavrin::dataset
