#include "dataset/XbBlobStream.h"

#include <limits>

#include "dbf/Engine.h"
#include "dbf/FieldConv.h"
#include "dbf/Memo.h"

namespace tavrin::dataset {
namespace {

constexpr std::int32_t kChunk = std::numeric_limits<std::int32_t>::max();

}  // namespace

std::unique_ptr<TXbBlobStream> TXbFileDataSet::CreateBlobStream(TField& field,
                                                                TBlobStreamMode mode) {
  auto* memo = dynamic_cast<TMemoField*>(&field);
  if (memo == nullptr) throw EDbfError("Field '" + field.FieldName() + "' is not a memo field");
  return std::make_unique<TXbBlobStream>(*this, *memo, mode);
}

std::string TXbFileDataSet::BlobText(TField& field) {
  auto stream = CreateBlobStream(field, TBlobStreamMode::bmRead);
  std::string text;
  char chunk[4096];
  while (const std::size_t n = stream->Read(chunk, sizeof chunk)) text.append(chunk, n);
  return text;
}

void TXbFileDataSet::SetBlobText(TField& field, const std::string& text) {
  auto stream = CreateBlobStream(field, TBlobStreamMode::bmWrite);
  if (!text.empty()) stream->Write(text.data(), text.size());
}

void TXbFileDataSet::EndStream() {
  if (stream_ == nullptr) return;
  stream_->Detach();
  stream_ = nullptr;
}

void TXbFileDataSet::InternalClose() {
  EndStream();  // closing the work area ends the engine's memo stream
  TXbCDataSet::InternalClose();
}

TXbBlobStream::TXbBlobStream(TXbFileDataSet& dataSet, TMemoField& field, TBlobStreamMode mode)
    : dataSet_(&dataSet), field_(&field), mode_(mode) {
  if (!dataSet.Active()) TXbFileDataSet::Fail(1103, "DataSet must be active. " + dataSet.Name());
  if (mode != TBlobStreamMode::bmRead) dataSet.Edit();
  edit_ = dataSet.editCount_;
  oldBlock_ = field.Block();
  const bool translate = dataSet.TableLanguage() == TXbTableLanguage::tlOem;
  TXbDataSet::EngineScope engine(dataSet, "CreateBlobStream");
  dataSet.EndStream();  // the engine's memo stream of the area is the new one's from here on
  if (mode == TBlobStreamMode::bmRead) {
    dbf::CreateBlobDescriptor(oldBlock_, dbf::BlobMode::Read, translate);
    engine.Check();
    dataSet.stream_ = this;
    return;
  }
  // The stored record's text stays whole until the post: a new text goes to new room.
  const std::int32_t reuse = oldBlock_ == dataSet.writtenMemoBlock_ ? oldBlock_ : 0;
  const std::int32_t block = dbf::CreateBlobDescriptor(reuse, dbf::BlobMode::Write, translate);
  engine.Check();
  dataSet.writtenMemoBlock_ = block;
  if (block != oldBlock_) {
    try {
      field.SetStoredBlock(block);
    } catch (...) {
      dbf::DestroyBlobDescriptor();
      throw;
    }
    modified_ = true;
  }
  dataSet.stream_ = this;
}

TXbBlobStream::~TXbBlobStream() {
  if (dataSet_ == nullptr) return;  // ended by the dataset: nothing of it is left to touch
  TXbFileDataSet& dataSet = *dataSet_;
  dataSet.stream_ = nullptr;
  try {
    {
      TXbDataSet::EngineScope engine(dataSet, "DestroyBlobStream");
      dbf::DestroyBlobDescriptor();
    }
    // Writing nothing empties the memo, in the edit the stream began and nowhere else.
    const bool editing =
        dataSet.State() == TDataSetState::dsEdit || dataSet.State() == TDataSetState::dsInsert;
    if (mode_ == TBlobStreamMode::bmWrite && !written_ && editing && dataSet.editCount_ == edit_ &&
        field_->Block() != 0)
      field_->SetStoredBlock(0);
  } catch (const EDbfError&) {
    // A destructor cannot report; the record keeps whichever reference it last had.
  }
}

TXbFileDataSet& TXbBlobStream::Owner() const {
  if (dataSet_ == nullptr)
    throw EDbfError(
        "The memo stream has ended: its dataset was closed or opened another memo stream");
  return *dataSet_;
}

std::size_t TXbBlobStream::Read(void* buffer, std::size_t count) {
  TXbDataSet::EngineScope engine(Owner(), "ReadBlobStream");
  const auto n = dbf::ReadBlobStream(
      static_cast<char*>(buffer), static_cast<std::int32_t>(std::min<std::size_t>(count, kChunk)));
  engine.Check();
  return static_cast<std::size_t>(std::max(n, 0));
}

void TXbBlobStream::Write(const void* buffer, std::size_t count) {
  if (mode_ == TBlobStreamMode::bmRead)
    throw platform::TStreamError("Stream write error: the memo stream is read-only");
  const char* p = static_cast<const char*>(buffer);
  while (count > 0) {
    TXbDataSet::EngineScope engine(Owner(), "WriteBlobStream");
    const auto want = static_cast<std::int32_t>(std::min<std::size_t>(count, kChunk));
    const auto n = dbf::WriteBlobStream(p, want);
    engine.Check();
    if (n <= 0)
      throw platform::TStreamError("Stream write error: memo of field '" + field_->FieldName() +
                                   "'");
    written_ = modified_ = true;
    p += n;
    count -= static_cast<std::size_t>(n);
  }
}

std::int64_t TXbBlobStream::Seek(std::int64_t offset, platform::SeekOrigin origin) {
  TXbDataSet::EngineScope engine(Owner(), "SeekBlobStream");
  const int from = origin == platform::SeekOrigin::Begin     ? 0
                   : origin == platform::SeekOrigin::Current ? 1
                                                             : 2;
  const std::int64_t position = dbf::SeekBlobStream(offset, from);
  engine.Check();
  return position;
}

std::int64_t TXbBlobStream::Size() {
  const std::int64_t here = Seek(0, platform::SeekOrigin::Current);
  const std::int64_t end = Seek(0, platform::SeekOrigin::End);
  Seek(here, platform::SeekOrigin::Begin);
  return end;
}

void TXbBlobStream::SetSize(std::int64_t) {
  Owner();
  throw platform::TStreamError("Stream size cannot be set: memo of field '" + field_->FieldName() +
                               "'");
}

}  // namespace tavrin::dataset
