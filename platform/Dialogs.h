// Dialogs: every modal thing the program shows, behind one interface.
//
// Message boxes, OK/Cancel confirmations, questions with buttons of their own, the password prompt,
// the open-file and save-file dialogs, the plain-text
// clipboard and the busy cursor. `QtDialogs` shows real windows; `RecordingDialogs` (RecordingDialogs.h) records every text
// and answers from a script, so tests can assert what the user would have seen without blocking on a
// modal window. Message boxes are captioned with the application title unless a caption is given.
// GUI thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavrin::platform {

struct OpenFileRequest {
  std::string title;
  std::string filter;     // "All Files|*.*": description and pattern pairs separated by '|'
  std::string directory;  // the folder the dialog opens in (file system bytes); "": the default
  bool confirmReplace = true;  // SaveFile: ask before choosing an existing file
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // Modal message box with one OK button.
  virtual void ShowMessage(const std::string& text, const std::string& caption = {}) = 0;
  // The same with the warning icon: for a failure, something that did not happen as asked.
  virtual void ShowWarning(const std::string& text, const std::string& caption = {}) = 0;
  // Modal OK/Cancel question; true when the user chose OK.
  virtual bool Confirm(const std::string& text) = 0;
  // Modal prompt for a password, typed without being shown; the password as UTF-8, or nothing when
  // the user cancelled.
  virtual std::optional<std::string> AskPassword(const std::string& prompt) = 0;
  // The chosen existing file's full path (file system bytes), or nothing when the user cancelled.
  virtual std::optional<std::string> OpenFile(const OpenFileRequest& request) = 0;
  // The clipboard's plain text, UTF-8 both ways.
  virtual void SetClipboardText(const std::string& text) = 0;
  // The clipboard's plain text, or nothing when it holds no text (an image, say).
  virtual std::optional<std::string> ClipboardText() = 0;
  // Shows the hourglass over the whole program (true) or restores the normal cursor (false).
  virtual void SetBusyCursor(bool busy) = 0;
  // Modal question answered by one of `buttons` (their texts, '&' marking the access key); the
  // index of the chosen one. Closing the box (Esc, the title bar) chooses the last button.
  virtual int Choose(const std::string& text, const std::vector<std::string>& buttons) = 0;
  // The path (file system bytes) the user chose to write to, or nothing when the user cancelled.
  // An existing file is chosen only after the user agreed to replace it.
  virtual std::optional<std::string> SaveFile(const OpenFileRequest& request) = 0;

  // The caption of message boxes: the application title.
  static const std::string& ApplicationTitle();
  static void SetApplicationTitle(const std::string& title);
};

class QtDialogs final : public Dialogs {
 public:
  void ShowMessage(const std::string& text, const std::string& caption = {}) override;
  void ShowWarning(const std::string& text, const std::string& caption = {}) override;
  bool Confirm(const std::string& text) override;
  std::optional<std::string> AskPassword(const std::string& prompt) override;
  std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
  void SetClipboardText(const std::string& text) override;
  std::optional<std::string> ClipboardText() override;
  void SetBusyCursor(bool busy) override;
  int Choose(const std::string& text, const std::vector<std::string>& buttons) override;
  std::optional<std::string> SaveFile(const OpenFileRequest& request) override;

 private:
  void ShowBox(int icon, const std::string& text, const std::string& caption);
  int busyDepth_ = 0;
};

}  // namespace tavrin::platform
