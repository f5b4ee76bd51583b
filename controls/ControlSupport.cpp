#include "controls/ControlSupport.h"

namespace tavrin::controls {

platform::Dialogs& DialogsFor(platform::Dialogs* own, const dataset::TDataSet* dataSet) {
  if (own != nullptr) return *own;
  if (dataSet != nullptr && dataSet->Dialogs() != nullptr) return *dataSet->Dialogs();
  static platform::QtDialogs real;
  return real;
}

}  // namespace tavrin::controls
