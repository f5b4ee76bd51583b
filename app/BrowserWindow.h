// TfrmBrowser: the window in which the recipients table is browsed and edited.
//
// Created hidden at start and kept until the program ends; its title follows the program caption
// once the settings are applied again. The grid, the navigator and its own dataset come with the
// data-bound controls. GUI thread.
#pragma once

#include <QDialog>

namespace tavrin::app {

inline constexpr const char* kBrowserDesignTitle = "Database Browser";

class TfrmBrowser : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmBrowser(QWidget* parent = nullptr);
};

}  // namespace tavrin::app
