#include "send/ReplyTable.h"

#include <array>

namespace tavrin::app {
namespace {

struct ReplyRow {
  int code;
  const char* description;
  bool proceed;
};

constexpr std::array<ReplyRow, 21> kReplies = {{
    {211, "System status, or system help reply", false},
    {214, "Help message", false},
    {220, "<domain> Service ready", true},
    {221, "<domain> Service closing transmission channel", true},
    {250, "Requested mail action okay, completed", true},
    {251, "User not local; will forward to <forward-path>", true},
    {354, "Start mail input; end with <CRLF>.<CRLF>", true},
    {421,
     "<domain> Service not available,closing transmission channel[This may be a reply to any "
     "command if the service knows itmust shut down]",
     false},
    {450, "Requested mail action not taken: mailbox unavailable[E.g., mailbox busy]", false},
    {451, "Requested action aborted: local error in processing", false},
    {452, "Requested action not taken: insufficient system storage", false},
    {500,
     "Syntax error, command unrecognized[This may include errors such as command line too long]",
     false},
    {501, "Syntax error in parameters or arguments", false},
    {502, "Command not implemented", false},
    {503, "Bad sequence of commands", false},
    {504, "Command parameter not implemented", false},
    {550, "Requested action not taken: mailbox unavailable[E.g., mailbox not found, no access]",
     true},
    {551, "User not local; please try <forward-path>", true},
    {552, "Requested mail action aborted: exceeded storage allocation", false},
    {553, "Requested action not taken: mailbox name not allowed[E.g., mailbox syntax incorrect]",
     true},
    {554, "Transaction failed", false},
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

bool TReplyTable::CheckReply(const std::string& line) {
  bool proceed = false;
  if (const auto code = ReplyCode(line)) {
    for (const ReplyRow& row : kReplies) {
      if (row.code != *code) continue;
      ReplyText = row.description;
      proceed = row.proceed;
      break;
    }
  }
  if (Transcript) Transcript(ReplyText);
  return proceed;
}

}  // namespace tavrin::app
