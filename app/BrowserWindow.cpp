#include "app/BrowserWindow.h"

namespace tavrin::app {

TfrmBrowser::TfrmBrowser(QWidget* parent) : QDialog(parent) {
  setObjectName("frmBrowser");
  setWindowTitle(kBrowserDesignTitle);
  resize(600, 400);
}

}  // namespace tavrin::app
