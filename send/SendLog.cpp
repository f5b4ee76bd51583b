#include "send/SendLog.h"

#include <algorithm>
#include <cstdint>

#include "send/MimeEncoding.h"
#include "platform/CodePage.h"

namespace tavrin::app {
namespace {
constexpr int kNameWidth = 35;
constexpr int kAddressWidth = 40;
constexpr int kStatusWidth = 8;  // "Not sent"
constexpr const char* kGap = "  ";
// Names and addresses are packed into blocks of this size (a longer pair gets a block of its own).
constexpr std::size_t kBlockBytes = 64 * 1024;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code point at `text[i]` and its length in bytes; a malformed sequence is one byte of U+FFFD.
char32_t Decode(std::string_view text, std::size_t i, std::size_t* length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  *length = 1;
  if (lead < 0x80) return lead;
  std::size_t extra = 0;
  char32_t c = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    extra = 1, c = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF)
    extra = 2, c = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4)
    extra = 3, c = lead & 0x07;
  else
    return 0xFFFD;
  if (i + extra >= text.size()) return 0xFFFD;
  for (std::size_t k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0xFFFD;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  const char32_t least = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0xFFFD;
  *length = extra + 1;
  return c;
}

bool Hidden(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// A CSV cell: quoted when it holds a comma, quote or line end, and never read as a formula.
std::string CsvCell(std::string_view raw) {
  std::string text = VisibleText(raw);
  if (!text.empty() && std::string_view("=+-@").find(text[0]) != std::string_view::npos)
    text.insert(0, 1, '\'');
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace

std::string FitText(const std::string& text, int width) {
  if (width <= 0) return {};
  const auto w = static_cast<std::size_t>(width);
  const std::size_t count = CharacterCount(text);
  if (count >= w) return FirstCharacters(text, w);
  return text + std::string(w - count, ' ');
}

std::string VisibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;
    const char32_t c = Decode(text, i, &length);
    if (c < 0x20)
      AppendUtf8(out, 0x2400 + c);
    else if (c == 0x7F)
      AppendUtf8(out, 0x2421);
    else if (Hidden(c))
      AppendUtf8(out, 0xFFFD);
    else if (c == 0xFFFD && length == 1)
      AppendUtf8(out, 0xFFFD);
    else
      out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

const char* StatusWord(RecipientStatus status) {
  switch (status) {
    case RecipientStatus::kOk: return "OK";
    case RecipientStatus::kFailed: return "FAILED";
    case RecipientStatus::kNotSent: return "Not sent";
  }
  return "";
}

namespace {

// A recipient's log line: the name cut to 35 characters, the address in a column of 40 (never cut:
// a longer one pushes the rest along), the status, and for a recipient not OK the reply whole.
std::string LineOf(std::string_view name, std::string_view rawAddress, RecipientStatus status,
                   std::string_view reply) {
  const std::string address = VisibleText(rawAddress);
  std::string line = FitText(VisibleText(name), kNameWidth) + kGap + address;
  const std::size_t count = CharacterCount(address);
  if (count < kAddressWidth) line.append(kAddressWidth - count, ' ');
  line += kGap;
  if (status == RecipientStatus::kOk) return line + StatusWord(status);
  return line + FitText(StatusWord(status), kStatusWidth) + kGap + VisibleText(reply);
}

}  // namespace

void TSendLog::StartLog(const std::string& programCaption, const std::string& senderName,
                        const std::string& date, const std::string& time) {
  const std::string columns = FitText("Name", kNameWidth) + kGap +
                              FitText("Address", kAddressWidth) + kGap +
                              FitText("Status", kStatusWidth) + kGap + "Details";
  header_ = {
      VisibleText(programCaption + " Log"),
      "",
      VisibleText(senderName),
      "",
      "",
      VisibleText("Date: " + date + "    " + "Time: " + time),
      "",
      columns,
      std::string(columns.size(), '-'),
  };
  // Emptied and given back: the previous send's log may have been long.
  entries_ = decltype(entries_)();
  blocks_ = decltype(blocks_)();
  blockUsed_ = blockSize_ = 0;
  replyIndex_ = decltype(replyIndex_)();
  replies_ = decltype(replies_)();
  lines_ = decltype(lines_)();
  linesStale_ = true;
}

void TSendLog::AddRecipient(LogEntry entry) {
  AddRecipient(entry.recordNo, entry.name, entry.address, entry.status, entry.reply);
}

void TSendLog::AddRecipient(std::int32_t recordNo, std::string_view name, std::string_view address,
                            RecipientStatus status, const std::string& reply) {
  const std::string utf8Name = platform::AnsiToUtf8(std::string(name));
  const std::string utf8Address = platform::TextToUtf8(std::string(address));
  const char* text = Keep(utf8Name, utf8Address);
  entries_.push_back({text, static_cast<std::uint32_t>(utf8Name.size()),
                      static_cast<std::uint32_t>(utf8Address.size()), recordNo,
                      ReplyIndex(platform::TextToUtf8(reply)), status});
  linesStale_ = true;
}

// Copies the pair into the current block, or a new one when it does not fit.
const char* TSendLog::Keep(std::string_view name, std::string_view address) {
  const std::size_t bytes = name.size() + address.size();
  if (blocks_.empty() || blockSize_ - blockUsed_ < bytes) {
    blockSize_ = std::max(kBlockBytes, bytes);
    blocks_.push_back(std::make_unique<char[]>(blockSize_));
    blockUsed_ = 0;
  }
  char* text = blocks_.back().get() + blockUsed_;
  std::copy(name.begin(), name.end(), text);
  std::copy(address.begin(), address.end(), text + name.size());
  blockUsed_ += bytes;
  return text;
}

std::uint32_t TSendLog::ReplyIndex(std::string reply) {
  // Recipients come in runs with the same reply: the latest is tried before the index.
  if (!replies_.empty() && replies_.back() == reply)
    return static_cast<std::uint32_t>(replies_.size() - 1);
  if (const auto it = replyIndex_.find(reply); it != replyIndex_.end()) return it->second;
  const auto index = static_cast<std::uint32_t>(replies_.size());
  replies_.push_back(std::move(reply));
  replyIndex_.emplace(replies_.back(), index);
  return index;
}

LogEntry TSendLog::Entry(std::size_t index) const {
  const Stored& e = entries_.at(index);
  return {e.recordNo, std::string(Name(e)), std::string(Address(e)), e.status, replies_[e.reply]};
}

std::string TSendLog::Line(std::size_t index) const {
  if (index < header_.size()) return header_[index];
  index -= header_.size();
  if (index >= entries_.size()) return {};
  const Stored& e = entries_[index];
  return LineOf(Name(e), Address(e), e.status, replies_[e.reply]);
}

std::size_t TSendLog::WidestLine() const {
  std::size_t widest = 0;
  for (const auto& line : header_) widest = std::max(widest, CharacterCount(line));
  const std::size_t fixed = kNameWidth + 2 * std::string_view(kGap).size();
  std::vector<std::size_t> replyWidths(replies_.size(), SIZE_MAX);  // each reply counted once
  std::string address;
  for (const auto& e : entries_) {
    address.assign(Address(e));
    std::size_t width = fixed + std::max<std::size_t>(kAddressWidth, CharacterCount(address));
    if (e.status == RecipientStatus::kOk) {
      width += 2;
    } else {
      std::size_t& reply = replyWidths[e.reply];
      if (reply == SIZE_MAX) reply = CharacterCount(replies_[e.reply]);
      width += kStatusWidth + 2 + reply;
    }
    widest = std::max(widest, width);
  }
  return widest;
}

std::string TSendLog::Text() const {
  std::string text;
  WriteText([&](const std::string& block) { text += block; });
  return text;
}

std::string TSendLog::CsvRow(std::size_t row) const {
  if (row == 0) return "Name,Address,Status,Reply\r\n";
  const Stored& e = entries_.at(row - 1);
  return CsvCell(Name(e)) + ',' + CsvCell(Address(e)) + ',' + StatusWord(e.status) + ',' +
         CsvCell(replies_[e.reply]) + "\r\n";
}

const std::vector<std::string>& TSendLog::LogLines() const {
  if (linesStale_) {
    lines_.clear();
    lines_.reserve(LineCount());
    for (std::size_t i = 0; i < LineCount(); ++i) lines_.push_back(Line(i));
    linesStale_ = false;
  }
  return lines_;
}

}  // namespace tavrin::app
