// RecordingDialogs: the test double of Dialogs.
//
// Records every message (a warning as a message marked so), question and file request in order,
// with its caption, and answers from
// scripted queues (default answers: Confirm -> true, AskPassword and OpenFile -> nothing). An optional hook runs
// inside ShowMessage, for tests that must act while a "modal" box is up. Owns its records.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

namespace tavrin::platform {

class RecordingDialogs final : public Dialogs {
 public:
  struct Shown {
    std::string kind;  // "message", "confirm", "password", "open"
    std::string caption;
    std::string text;
    bool warning = false;  // a message shown with the warning icon
  };

  void ShowMessage(const std::string& text, const std::string& caption = {}) override {
    shown.push_back({"message", caption.empty() ? ApplicationTitle() : caption, text});
    if (onMessage) onMessage(text);
  }
  void ShowWarning(const std::string& text, const std::string& caption = {}) override {
    shown.push_back({"message", caption.empty() ? ApplicationTitle() : caption, text, true});
    if (onMessage) onMessage(text);
  }
  bool Confirm(const std::string& text) override {
    shown.push_back({"confirm", ApplicationTitle(), text});
    if (confirmAnswers.empty()) return true;
    const bool answer = confirmAnswers.front();
    confirmAnswers.pop_front();
    return answer;
  }
  std::optional<std::string> AskPassword(const std::string& prompt) override {
    shown.push_back({"password", ApplicationTitle(), prompt});
    if (passwordAnswers.empty()) return std::nullopt;
    auto answer = passwordAnswers.front();
    passwordAnswers.pop_front();
    return answer;
  }
  // The prompts of all password dialogs shown, in order.
  std::vector<std::string> PasswordPrompts() const {
    std::vector<std::string> out;
    for (const auto& s : shown)
      if (s.kind == "password") out.push_back(s.text);
    return out;
  }
  std::optional<std::string> OpenFile(const OpenFileRequest& request) override {
    shown.push_back({"open", request.title, request.filter});
    openFolders.push_back(request.directory);
    if (fileAnswers.empty()) return std::nullopt;
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
  }
  void SetClipboardText(const std::string& text) override { clipboard = text; }
  std::optional<std::string> ClipboardText() override { return clipboard; }
  void SetBusyCursor(bool busy) override { busyDepth += busy ? 1 : -1; }

  // The texts of all message boxes shown, in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const auto& s : shown)
      if (s.kind == "message") out.push_back(s.text);
    return out;
  }

  std::vector<Shown> shown;
  std::deque<bool> confirmAnswers;
  std::deque<std::optional<std::string>> passwordAnswers;
  std::deque<std::optional<std::string>> fileAnswers;
  std::vector<std::string> openFolders;  // the folder each OpenFile request opened in
  std::optional<std::string> clipboard;
  int busyDepth = 0;
  std::function<void(const std::string&)> onMessage;
};

}  // namespace tavrin::platform
