#include "send/ReplyTable.h"

#include <array>

namespace tavrin::app {
namespace {

enum class Recipient { kUnchanged, kAccepted, kRefused };

struct ReplyRow {
  int code;
  const char* description;
  bool proceed;
  Recipient recipient;
};

constexpr std::array<ReplyRow, 21> kReplies = {{
    {211, "System status, or system help reply", false, Recipient::kUnchanged},
    {214, "Help message", false, Recipient::kUnchanged},
    {220, "<domain> Service ready", true, Recipient::kUnchanged},
    {221, "<domain> Service closing transmission channel", true, Recipient::kUnchanged},
    {250, "Requested mail action okay, completed", true, Recipient::kAccepted},
    {251, "User not local; will forward to <forward-path>", true, Recipient::kAccepted},
    {354, "Start mail input; end with <CRLF>.<CRLF>", true, Recipient::kUnchanged},
    {421,
     "<domain> Service not available,closing transmission channel[This may be a reply to any "
     "command if the service knows itmust shut down]",
     false, Recipient::kUnchanged},
    {450, "Requested mail action not taken: mailbox unavailable[E.g., mailbox busy]", false,
     Recipient::kUnchanged},
    {451, "Requested action aborted: local error in processing", false, Recipient::kUnchanged},
    {452, "Requested action not taken: insufficient system storage", false, Recipient::kUnchanged},
    {500,
     "Syntax error, command unrecognized[This may include errors such as command line too long]",
     false, Recipient::kUnchanged},
    {501, "Syntax error in parameters or arguments", false, Recipient::kUnchanged},
    {502, "Command not implemented", false, Recipient::kUnchanged},
    {503, "Bad sequence of commands", false, Recipient::kUnchanged},
    {504, "Command parameter not implemented", false, Recipient::kUnchanged},
    {550, "Requested action not taken: mailbox unavailable[E.g., mailbox not found, no access]",
     true, Recipient::kRefused},
    {551, "User not local; please try <forward-path>", true, Recipient::kRefused},
    {552, "Requested mail action aborted: exceeded storage allocation", false,
     Recipient::kUnchanged},
    {553, "Requested action not taken: mailbox name not allowed[E.g., mailbox syntax incorrect]",
     true, Recipient::kRefused},
    {554, "Transaction failed", false, Recipient::kUnchanged},
}};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<int> TReplyTable::ReplyCode(const std::string& line) {
  // The last character is the line end, never part of the code.
  std::size_t start = 0;
  while (start + 1 < line.size() && !IsDigit(line[start])) ++start;
  if (start + 1 >= line.size()) return std::nullopt;
  if (start + 3 > line.size()) return std::nullopt;
  if (!IsDigit(line[start + 1]) || !IsDigit(line[start + 2])) return std::nullopt;
  return (line[start] - '0') * 100 + (line[start + 1] - '0') * 10 + (line[start + 2] - '0');
}

std::optional<std::string> TReplyTable::Description(int code) {
  for (const ReplyRow& row : kReplies)
    if (row.code == code) return std::string(row.description);
  return std::nullopt;
}

bool TReplyTable::CheckReply(const std::string& line) {
  bool proceed = false;
  if (const auto code = ReplyCode(line)) {
    for (const ReplyRow& row : kReplies) {
      if (row.code != *code) continue;
      ReplyText = row.description;
      if (row.recipient == Recipient::kAccepted) RecipientOK = true;
      if (row.recipient == Recipient::kRefused) RecipientOK = false;
      proceed = row.proceed;
      break;
    }
  }
  if (Transcript) Transcript(ReplyText);
  return proceed;
}

}  // namespace tavrin::app
