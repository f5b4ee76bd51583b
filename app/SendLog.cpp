#include "app/SendLog.h"

#include "app/MimeEncoding.h"
#include "platform/CodePage.h"

namespace tavrin::app {
namespace {
constexpr int kNameWidth = 35;
constexpr int kDetailsWidth = 25;
constexpr const char* kGap = "  ";
}  // namespace

std::string FitText(const std::string& text, int width) {
  if (width <= 0) return {};
  const auto w = static_cast<std::size_t>(width);
  const std::size_t count = CharacterCount(text);
  if (count >= w) return FirstCharacters(text, w);
  return text + std::string(w - count, ' ');
}

void TSendLog::StartLog(const std::string& programCaption, const std::string& senderName,
                        const std::string& date, const std::string& time) {
  lines_ = {
      programCaption + " Log",
      "",
      senderName,
      "",
      "",
      "Date: " + date + "    " + "Time: " + time,
      "",
      FitText("Name", kNameWidth) + kGap + "Status" + kGap + "Details",
      std::string(70, '-'),
  };
  entries_.clear();
}

void TSendLog::AddLogLine(const std::string& currentName, bool recipientOK,
                          const std::string& replyText) {
  std::string line = FitText(platform::AnsiToUtf8(currentName), kNameWidth) + kGap;
  if (recipientOK)
    line += "OK";
  else
    line += std::string("FAILED") + kGap + FitText(platform::TextToUtf8(replyText), kDetailsWidth);
  lines_.push_back(line);
}

void TSendLog::AddRecipient(LogEntry entry) {
  AddLogLine(entry.name, entry.status == RecipientStatus::kOk, entry.reply);
  entry.name = platform::AnsiToUtf8(entry.name);
  entry.address = platform::TextToUtf8(entry.address);
  entry.reply = platform::TextToUtf8(entry.reply);
  entries_.push_back(std::move(entry));
}

}  // namespace tavrin::app
