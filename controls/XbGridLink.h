// The grid's data link: passes the dataset's notifications on to its grid and keeps the flag that
// says the editor holds text its field has not yet received. Private to the grid's sources.
#pragma once

#include "controls/XbGrid.h"

namespace tavrin::controls {

class TCustomXbGrid::Link final : public dataset::TDataLink {
 public:
  explicit Link(TCustomXbGrid& grid) : grid_(grid) {}
  void ActiveChanged() override { grid_.LinkActiveChanged(); }
  void DataSetChanged() override { grid_.LinkDataSetChanged(); }
  void DataSetScrolled(int) override { grid_.LinkScrolled(); }
  void LayoutChanged() override { grid_.LayoutChanged(); }
  void EditingChanged() override { grid_.LinkEditingChanged(); }
  void RecordChanged(dataset::TField* field) override { grid_.LinkRecordChanged(field); }
  void UpdateData() override { grid_.LinkUpdateData(); }

  bool modified = false;  // the editor holds text the field has not yet received

 private:
  TCustomXbGrid& grid_;
};

}  // namespace tavrin::controls
