#include "app/MessageAssembly.h"

#include <unistd.h>

#include <QMimeDatabase>
#include <QMimeType>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

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
  std::vector<std::string> lines = {
      "From: \"" + HeaderValue(in.SenderName) + "\" <" + HeaderValue(in.ReturnEmail) + ">",
      "To:" + HeaderValue(in.To),
      "Subject:" + HeaderValue(in.Subject),
      "Date: " + in.Date,
      "Message-ID: <" + in.MessageIdToken + "@" + MessageIdDomain(in.ReturnEmail) + ">",
      "Mime-Version: 1.0",
      "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"",
      "",
      "--" + boundary,
      "Content-Type: text/plain; charset=\"us-ascii\"",
      "",
  };
  lines.insert(lines.end(), in.Body.begin(), in.Body.end());
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

std::string ContentTypeOf(const std::string& fileName) {
  const std::string extension = ExtractExtPart(fileName);
  if (extension.empty()) return kDefaultContentType;
  static const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(
      "name." + platform::AnsiToQString(extension), QMimeDatabase::MatchExtension);
  if (!type.isValid() || type.isDefault()) return kDefaultContentType;
  return platform::QStringToAnsi(type.name());
}

std::string ExtractNamePart(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.substr(0, kMaxPathPart);
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

}  // namespace tavrin::app
