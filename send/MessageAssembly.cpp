#include "send/MessageAssembly.h"

#include <unistd.h>

#include <QMimeDatabase>
#include <QMimeType>
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <random>
#include <string_view>

#include "send/MimeEncoding.h"
#include "net/UUProcessor.h"
#include "platform/CodePage.h"
#include "platform/CodePageQt.h"

namespace tavrin::app {
namespace {

constexpr std::size_t kMaxPathPart = 260;
constexpr const char* kDefaultContentType = "application/octet-stream";

std::mt19937 ClockSeededGenerator() {
  const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  std::seed_seq seed{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
  return std::mt19937(seed);
}

// A header value must stay on its own line: CR and LF become blanks.
std::string HeaderValue(std::string value) {
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';
  return value;
}

// A file name inside a quoted header parameter: a control character would end the header line and
// a quote or backslash the parameter, so the first becomes '_' and the others are escaped.
std::string QuotedFileName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      out += '_';
    else if (c == '"' || c == '\\')
      out += std::string("\\") + c;
    else
      out += c;
  }
  return out;
}

// Text that must be carried by encoded words: more than printable ASCII, or something a reader
// would take for an encoded word itself.
bool NeedsEncodedWords(const std::string& text) {
  return !IsPrintableAscii(text) || text.find("=?") != std::string::npos;
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// "From:" with the sender's name as a quoted string, so that no quote, comma or bracket in it can
// name a second address; a name of more than printable ASCII goes as encoded words.
std::vector<std::string> FromLines(const std::string& senderName, const std::string& address) {
  const std::string name = HeaderValue(senderName);
  std::string mailbox = "<";  // built in steps: "<" + temporary trips a false -Wrestrict in g++ 12
  mailbox += HeaderValue(address);
  mailbox += '>';
  if (!NeedsEncodedWords(name)) {
    const std::string line = "From: " + QuotedString(name) + " " + mailbox;
    if (line.size() <= kMaxLineOctets) return {line};
  }
  std::vector<std::string> tokens = EncodedWords(name, kFoldColumns - 6);
  tokens.push_back(mailbox);
  return FoldedHeader("From:", tokens);
}

bool IsAtomText(char c) {
  const auto b = static_cast<unsigned char>(c);
  if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// Words of atom characters with one blank between them: a display name needing no quotes.
bool IsPlainPhrase(const std::string& text) {
  if (text.empty() || text.front() == ' ' || text.back() == ' ') return false;
  if (text.find("  ") != std::string::npos) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || IsAtomText(c); });
}

// The description as the display name of an empty group: "To: All members:;". Readers show the
// name; there is no address in it to reply to.
std::vector<std::string> ToLines(const std::string& description) {
  const std::string text = HeaderValue(description);
  if (!NeedsEncodedWords(text)) {
    const std::string line = "To: " + (IsPlainPhrase(text) ? text : QuotedString(text)) + ":;";
    if (line.size() <= kMaxLineOctets) return {line};
  }
  std::vector<std::string> tokens = EncodedWords(text, kFoldColumns - 4);
  tokens.push_back(":;");
  return FoldedHeader("To:", tokens);
}

// A URL's bytes that would end it or its header (blanks, controls, quotes, angle brackets, and
// anything past ASCII) as %XX.
std::string UrlInHeader(const std::string& url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : url) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || c == '<' || c == '>' || c == '"') {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

bool StartsWithIgnoringCase(const std::string& text, std::string_view start) {
  if (text.size() < start.size()) return false;
  for (std::size_t i = 0; i < start.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != start[i]) return false;
  return true;
}

std::vector<std::string> SubjectLines(const std::string& subject) {
  const std::string text = HeaderValue(subject);
  const std::string line = "Subject:" + text;
  if (!NeedsEncodedWords(text) && line.size() <= kMaxLineOctets) return {line};
  return FoldedHeader("Subject:", EncodedWords(text, kFoldColumns - 9));
}

// ASCII lines that stay within the line limit on the wire go out as typed.
bool SentAsTyped(const std::vector<std::string>& body) {
  return std::all_of(body.begin(), body.end(), [](const std::string& line) {
    return MailDataLine(line).size() <= kMaxLineOctets &&
           std::all_of(line.begin(), line.end(), [](char c) { return (c & 0x80) == 0; });
  });
}

std::vector<std::string> BodyPartLines(const std::vector<std::string>& body) {
  if (SentAsTyped(body)) {
    std::vector<std::string> lines = {"Content-Type: text/plain; charset=\"us-ascii\"", ""};
    Append(lines, body);
    return lines;
  }
  std::vector<std::string> lines = {"Content-Type: text/plain; charset=\"UTF-8\"",
                                    "Content-Transfer-Encoding: quoted-printable", ""};
  for (const std::string& line : body) Append(lines, QuotedPrintableLines(line));
  return lines;
}

// The RFC 2231 filename of a UTF-8 name: one parameter when it fits the fold column, else
// numbered sections, each cut between whole characters.
std::vector<std::string> FileNameParameter(const std::string& name) {
  constexpr std::size_t kSection = 50;
  const std::string value = PercentEncoded(name);
  if (value.size() <= kFoldColumns - 18) return {" filename*=UTF-8''" + value};
  std::vector<std::string> sections(1);
  for (std::size_t i = 0; i < name.size();) {
    const std::string one = FirstCharacters(name.substr(i), 1);
    const std::string encoded = PercentEncoded(one);
    if (!sections.back().empty() && sections.back().size() + encoded.size() > kSection)
      sections.emplace_back();
    sections.back() += encoded;
    i += one.size();
  }
  std::vector<std::string> lines;
  for (std::size_t n = 0; n < sections.size(); ++n)
    lines.push_back(" filename*" + std::to_string(n) + "*=" + (n == 0 ? "UTF-8''" : "") +
                    sections[n] + (n + 1 < sections.size() ? ";" : ""));
  return lines;
}

// The part header of an attachment whose name is more than ASCII.
std::vector<std::string> EncodedNameHeader(const std::string& boundary, const std::string& name) {
  std::string text = name;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  text = platform::TextToUtf8(text);
  std::vector<std::string> lines = {"", "--" + boundary,
                                    "Content-Type: " + ContentTypeOf(name) + ";"};
  // ` name="` opens the first line and a quote closes the last.
  const std::vector<std::string> words = EncodedWords(text, kFoldColumns - 8);
  for (std::size_t i = 0; i < words.size(); ++i)
    lines.push_back((i == 0 ? " name=\"" : " ") + words[i] + (i + 1 == words.size() ? "\"" : ""));
  lines.push_back("Content-Transfer-Encoding: BASE64");
  lines.push_back("Content-Disposition: attachment;");
  Append(lines, FileNameParameter(text));
  lines.push_back("");
  return lines;
}

std::uint64_t LinesOnWire(const std::vector<std::string>& lines) {
  std::uint64_t octets = 0;
  for (const std::string& line : lines) octets += MailDataLine(line).size() + 2;
  return octets;
}

std::string MessageIdDomain(const std::string& returnEmail) {
  const auto at = returnEmail.rfind('@');
  std::string domain = at == std::string::npos ? std::string() : returnEmail.substr(at + 1);
  // Keep the id a single, well-formed token.
  std::string clean;
  for (char c : domain)
    if (c > ' ' && c != '<' && c != '>' && c != '@' && c != 0x7F) clean += c;
  return clean.empty() ? "localhost" : clean;
}

}  // namespace

std::string Boundary() {
  std::mt19937 random = ClockSeededGenerator();
  std::uniform_int_distribution<int> digit(0, 8);
  std::string boundary(16, '_');
  for (int i = 0; i < 12; ++i) boundary += static_cast<char>('0' + digit(random));
  boundary += std::string(7, '_');
  return boundary;
}

std::vector<std::string> BuildMessage(const MessageInput& in, const std::string& boundary) {
  std::vector<std::string> lines = FromLines(in.SenderName, in.ReturnEmail);
  Append(lines,
         in.ToAddress.empty() ? ToLines(in.To) : MailboxHeaderLines("To:", in.To, in.ToAddress));
  Append(lines, SubjectLines(in.Subject));
  Append(lines,
         {
             "Date: " + in.Date,
             "Message-ID: <" + in.MessageIdToken + "@" + MessageIdDomain(in.ReturnEmail) + ">",
         });
  if (!in.ReplyTo.empty()) lines.push_back("Reply-To: " + HeaderValue(in.ReplyTo));
  if (!in.ListUnsubscribe.empty()) Append(lines, ListUnsubscribeLines(in.ListUnsubscribe));
  Append(lines, {
                    "Mime-Version: 1.0",
                    "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"",
                    "",
                    "--" + boundary,
                });
  Append(lines, BodyPartLines(in.Body));
  return lines;
}

std::vector<std::string> MailboxHeaderLines(const std::string& field, const std::string& name,
                                            const std::string& address) {
  const std::string text = HeaderValue(name);
  std::string mailbox = "<";
  mailbox += HeaderValue(address);
  mailbox += '>';
  if (text.empty()) return {field + " " + mailbox};
  if (!NeedsEncodedWords(text)) {
    const std::string line = field + " " + QuotedString(text) + " " + mailbox;
    if (line.size() <= kMaxLineOctets) return {line};
  }
  std::vector<std::string> tokens = EncodedWords(text, kFoldColumns - field.size() - 2);
  tokens.push_back(mailbox);
  return FoldedHeader(field, tokens);
}

bool IsListUnsubscribeTarget(const std::string& url) {
  constexpr std::size_t kLongest = 900;  // leaves room on the header line for filled-in values
  if (url.size() > kLongest) return false;
  for (const char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '"' || c == '<' || c == '>')
      return false;
  if (StartsWithIgnoringCase(url, "mailto:")) {
    const std::string to =
        url.substr(7, url.find('?') == std::string::npos ? std::string::npos : url.find('?') - 7);
    const auto at = to.find('@');
    return at != std::string::npos && at > 0 && at + 1 < to.size() && IsPlainAddress(to);
  }
  if (StartsWithIgnoringCase(url, "https://")) {
    const std::string host = url.substr(8, url.find_first_of("/?#", 8) - 8);
    return !host.empty();
  }
  return false;
}

bool IsOneClickUnsubscribe(const std::string& url) {
  return StartsWithIgnoringCase(url, "https://");
}

std::vector<std::string> ListUnsubscribeLines(const std::string& url) {
  const std::string name = "List-Unsubscribe:";
  std::string target = "<";  // built in steps: "<" + temporary trips a false -Wrestrict in g++ 12
  target += UrlInHeader(url);
  target += '>';
  std::vector<std::string> lines;
  if (name.size() + 1 + target.size() <= kFoldColumns) {
    lines.push_back(name + " " + target);
  } else {
    // A long URL starts a continuation line; one too long even for that is cut into lines, whose
    // folding blanks inside the angle brackets a reader removes (RFC 2369).
    lines.push_back(name);
    constexpr std::size_t kPiece = kFoldColumns - 1;
    for (std::size_t i = 0; i < target.size(); i += kPiece) {
      std::string line = " ";
      if (i == 0 && target.size() + 1 <= kMaxLineOctets) {
        lines.push_back(line += target);
        break;
      }
      lines.push_back(line += target.substr(i, kPiece));
    }
  }
  if (IsOneClickUnsubscribe(url))
    lines.push_back("List-Unsubscribe-Post: List-Unsubscribe=One-Click");
  return lines;
}

std::string InternetDate(std::time_t when) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&when, &local);
  const long offsetMinutes = local.tm_gmtoff / 60;
  const long absMinutes = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[static_cast<std::size_t>(local.tm_wday % 7)], local.tm_mday,
                kMonths[static_cast<std::size_t>(local.tm_mon % 12)], local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, offsetMinutes < 0 ? '-' : '+',
                absMinutes / 60, absMinutes % 60);
  return text;
}

std::string NewMessageIdToken() {
  static std::atomic<unsigned> counter{0};
  static std::mt19937_64 random = [] {
    std::random_device device;
    return std::mt19937_64((static_cast<std::uint64_t>(device()) << 32) ^ device());
  }();
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  char text[96];
  std::snprintf(text, sizeof text, "%lld.%d.%u.%016llx", static_cast<long long>(micros),
                static_cast<int>(getpid()), counter.fetch_add(1),
                static_cast<unsigned long long>(random()));
  return text;
}

std::vector<std::string> AttachmentHeaderLines(const std::string& boundary,
                                               const std::string& path) {
  const std::string name = ExtractNamePart(path);
  if (NeedsEncodedWords(QuotedFileName(name))) return EncodedNameHeader(boundary, name);
  const std::string quoted = QuotedFileName(name);
  return {
      "",
      "--" + boundary,
      "Content-Type: " + ContentTypeOf(name) + "; name=\"" + quoted + "\"",
      "Content-Transfer-Encoding: BASE64",
      "Content-Disposition: attachment; filename=\"" + quoted + "\"",
      "",
  };
}

std::vector<std::string> ClosingLines(const std::string& boundary) {
  return {"", "--" + boundary + "--", "."};
}

std::string MailDataLine(const std::string& line) {
  if (!line.empty() && line.front() == '.') return "." + line;
  return line;
}

std::uint64_t MessageSizeOnWire(
    const std::vector<std::string>& messageLines, const std::string& boundary,
    const std::vector<std::pair<std::string, std::uint64_t>>& attachments) {
  std::uint64_t octets = LinesOnWire(messageLines);
  for (const auto& [path, size] : attachments)
    octets += LinesOnWire(AttachmentHeaderLines(boundary, path)) + net::MimeEncodedSize(size);
  std::vector<std::string> closing = ClosingLines(boundary);
  const std::string end = closing.back();  // the final "." has no transparency dot
  closing.pop_back();
  return octets + LinesOnWire(closing) + end.size() + 2;
}

std::string ContentTypeOf(const std::string& fileName) {
  const std::string extension = ExtractExtPart(fileName);
  if (extension.empty()) return kDefaultContentType;
  static const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile("name." + platform::AnsiToQString(extension),
                                                  QMimeDatabase::MatchExtension);
  if (!type.isValid() || type.isDefault()) return kDefaultContentType;
  return platform::QStringToAnsi(type.name());
}

std::string ExtractNamePart(const std::string& path) {
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() <= kMaxPathPart) return name;
  std::size_t cut = kMaxPathPart;
  if (platform::IsUtf8(name))
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  name.resize(cut);
  return name;
}

std::string ExtractExtPart(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  if (name.find('/', dot) != std::string::npos) return {};
  return name.substr(dot + 1, kMaxPathPart);
}

std::string ExtractDirPart(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

bool IsPlainAddress(const std::string& address) {
  for (const QChar c : QString::fromUtf8(address.data(), std::ssize(address))) {
    if (c.isSpace() || c.unicode() < 0x20 || c.unicode() == 0x7F) return false;
    if (c == u'"' || c == u',' || c == u'<' || c == u'>') return false;
  }
  return true;
}

}  // namespace tavrin::app
