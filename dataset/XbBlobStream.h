// TXbBlobStream: a stream over the memo text of one memo field of the dataset's active record.
//
// Reading streams the memo the record refers to. Writing starts the record's edit (if not already
// editing), gives the field a new memo reference at once and writes the text through the engine's
// memo stream; the record keeps the new reference when it is posted. Destroying a write-only stream
// that wrote nothing empties the memo, while the edit it began is still going on. One stream per
// dataset at a time: a new stream, closing the dataset or destroying it ends the one before, whose
// later reads, writes and seeks raise EDbfError (its destruction then does nothing). Engine failures
// raise EDbfError. GUI thread only.
#pragma once

#include <cstdint>

#include "dataset/XbDbf.h"
#include "platform/Stream.h"

namespace tavrin::dataset {

class TXbBlobStream final : public platform::TStream {
 public:
  TXbBlobStream(TXbFileDataSet& dataSet, TMemoField& field, TBlobStreamMode mode);
  ~TXbBlobStream() override;
  TXbBlobStream(const TXbBlobStream&) = delete;
  TXbBlobStream& operator=(const TXbBlobStream&) = delete;

  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t size) override;  // not supported: raises TStreamError

  bool Modified() const { return modified_; }

 private:
  friend class TXbFileDataSet;
  // The dataset ended this stream (the engine's memo stream is no longer its own).
  void Detach() {
    dataSet_ = nullptr;
    field_ = nullptr;
  }
  // The dataset, or EDbfError when the stream was ended.
  TXbFileDataSet& Owner() const;

  TXbFileDataSet* dataSet_;
  TMemoField* field_;
  TBlobStreamMode mode_;
  int edit_ = 0;  // the dataset's edit this stream began or joined
  std::int32_t oldBlock_ = 0;
  bool modified_ = false;
  bool written_ = false;
};

}  // namespace tavrin::dataset
