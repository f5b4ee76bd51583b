// TXbDbf: the table dataset that presents one engine table as records and typed fields.
//
// This first cut owns the dataset's file name, kept in its normal form (DbfFileName.h); opening,
// navigation and editing over an engine work area are added on top. Not thread-safe; GUI thread.
#pragma once

#include <string>

#include "dataset/DbfFileName.h"

namespace tavrin::dataset {

class TXbDbf {
 public:
  explicit TXbDbf(std::string name = {}) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }
  const std::string& DbfFileName() const { return dbfFileName_; }
  void SetDbfFileName(const std::string& name) { dbfFileName_ = NormalizeDbfFileName(name); }

 private:
  std::string name_;
  std::string dbfFileName_;
};

}  // namespace tavrin::dataset
