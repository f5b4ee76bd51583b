#include "send/Placeholders.h"

#include <cctype>

#include "send/RecipientTable.h"
#include "platform/CodePage.h"

namespace tavrin::app {
namespace {

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The length of the placeholder "{NAME}" starting at `at`, 0 when none starts there.
std::size_t PlaceholderAt(const std::string& text, std::size_t at) {
  if (text[at] != '{' || at + 1 >= text.size() || !IsNameStart(text[at + 1])) return 0;
  std::size_t end = at + 2;
  while (end < text.size() && IsNameChar(text[end])) ++end;
  return end < text.size() && text[end] == '}' ? end + 1 - at : 0;
}

std::string PercentEncodedUrlPart(const std::string& utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

}  // namespace

TPlaceholderText::TPlaceholderText(const std::string& text) {
  std::string literal;
  for (std::size_t i = 0; i < text.size();) {
    // A doubled brace is one brace, and is read before a placeholder: "{{NAME}}" is "{NAME}".
    if ((text[i] == '{' || text[i] == '}') && i + 1 < text.size() && text[i + 1] == text[i]) {
      literal += text[i];
      i += 2;
      continue;
    }
    if (const std::size_t length = PlaceholderAt(text, i)) {
      if (!literal.empty()) pieces_.push_back({false, std::move(literal)});
      literal.clear();
      pieces_.push_back({true, text.substr(i + 1, length - 2)});
      i += length;
      continue;
    }
    literal += text[i++];
  }
  if (!literal.empty()) pieces_.push_back({false, std::move(literal)});
}

bool TPlaceholderText::HasPlaceholders() const {
  for (const Piece& piece : pieces_)
    if (piece.field) return true;
  return false;
}

std::vector<std::string> TPlaceholderText::Fields() const {
  std::vector<std::string> names;
  std::vector<std::string> seen;
  for (const Piece& piece : pieces_) {
    if (!piece.field) continue;
    std::string key = Upper(piece.text);
    bool known = false;
    for (const std::string& s : seen) known = known || s == key;
    if (known) continue;
    seen.push_back(std::move(key));
    names.push_back(piece.text);
  }
  return names;
}

std::string TPlaceholderText::Fill(const FieldValues& values) const {
  return Filled(values, false);
}

std::string TPlaceholderText::FillUrl(const FieldValues& values) const {
  return Filled(values, true);
}

std::string TPlaceholderText::Filled(const FieldValues& values, bool forUrl) const {
  std::string out;
  for (const Piece& piece : pieces_) {
    if (!piece.field) {
      out += piece.text;
      continue;
    }
    const std::string value = platform::AnsiToUtf8(values(piece.text));
    out += forUrl ? PercentEncodedUrlPart(value) : value;
  }
  return out;
}

std::vector<std::string> FieldsUsed(const std::vector<std::string>& texts) {
  std::string joined;
  // Joined by a line break, which no placeholder spans.
  for (const std::string& text : texts) joined += text + "\n";
  return TPlaceholderText(joined).Fields();
}

bool AnyPlaceholders(const std::vector<std::string>& texts) {
  for (const std::string& text : texts)
    if (TPlaceholderText(text).HasPlaceholders()) return true;
  return false;
}

std::optional<std::string> MissingFieldRefusal(const std::vector<std::string>& texts,
                                               TRecipientTable& table) {
  for (const std::string& name : FieldsUsed(texts))
    if (!table.HasField(name))
      return "The message uses {" + name + "}, but the recipients table has no field " + name + ".";
  return std::nullopt;
}

FieldValues RecordValues(TRecipientTable& table) {
  return [&table](const std::string& name) { return table.FieldText(name); };
}

MessageInput PersonalisedInput(const MessageInput& shared, const FieldValues& values,
                               const std::string& address) {
  MessageInput in = shared;
  in.To = TPlaceholderText(shared.To).Fill(values);
  in.Subject = TPlaceholderText(shared.Subject).Fill(values);
  in.Body = FillLines(shared.Body, values);
  in.ListUnsubscribe = TPlaceholderText(shared.ListUnsubscribe).FillUrl(values);
  const auto first = address.find_first_not_of(' ');
  in.ToAddress =
      first == std::string::npos
          ? std::string()
          : platform::AnsiToUtf8(address.substr(first, address.find_last_not_of(' ') + 1 - first));
  return in;
}

std::vector<std::string> FillLines(const std::vector<std::string>& lines,
                                   const FieldValues& values) {
  std::vector<std::string> out;
  out.reserve(lines.size());
  for (const std::string& line : lines) {
    const std::string filled = TPlaceholderText(line).Fill(values);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= filled.size(); ++i) {
      if (i < filled.size() && filled[i] != '\r' && filled[i] != '\n') continue;
      out.push_back(filled.substr(start, i - start));
      if (i + 1 < filled.size() && filled[i] == '\r' && filled[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  return out;
}

}  // namespace tavrin::app
