// The caption every message box carries by default: kept apart from the real dialogs so that the
// recording ones (and the command-line send, which has no windows) need no widget library.
#include "platform/Dialogs.h"

namespace tavrin::platform {
namespace {

std::string& TitleStorage() {
  static std::string title;
  return title;
}

}  // namespace

const std::string& Dialogs::ApplicationTitle() { return TitleStorage(); }
void Dialogs::SetApplicationTitle(const std::string& title) { TitleStorage() = title; }

}  // namespace tavrin::platform
