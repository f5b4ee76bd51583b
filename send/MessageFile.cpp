#include "send/MessageFile.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string_view>

#include "send/MessageAssembly.h"
#include "net/UUProcessor.h"
#include "platform/CodePage.h"
#include "platform/PrivateFile.h"
#include "platform/Trim.h"

namespace tavrin::app {
namespace {

using Failure = std::string;

constexpr int kMaxDepth = 32;  // multiparts inside multiparts
constexpr std::size_t kMaxNameOctets = 200;

std::string Reason(int error) { return std::strerror(error); }

// Closes a descriptor when it goes out of scope.
struct Fd {
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int fd;
};

// A regular file opened for reading without waiting: a FIFO or a device named in its place would
// block or never end.
int OpenRegularFile(const std::string& path, struct stat* info) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The white space a header field's parts may carry around them, folding included.
constexpr std::string_view kWhiteSpace = " \t\r\n";

// ---------------------------------------------------------------- charsets

bool IsUtf8Charset(const std::string& charset) {
  return charset.empty() || charset == "utf-8" || charset == "utf8" || charset == "us-ascii" ||
         charset == "ascii";
}

// `bytes` in `charset` as UTF-8; a byte that is no character becomes U+FFFD. Text declared
// ASCII or UTF-8 that is not UTF-8, and a charset this system does not know, is read as
// Windows-1252, the usual truth of such text.
std::string ToUtf8(const std::string& bytes, std::string charset) {
  charset = Lower(platform::Trim(charset, kWhiteSpace));
  if (IsUtf8Charset(charset) && platform::IsUtf8(bytes)) return bytes;
  if (IsUtf8Charset(charset)) charset = "windows-1252";
  iconv_t cd = ::iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return platform::TextToUtf8(bytes);
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char* to = buffer;
    std::size_t toLeft = sizeof buffer;
    const std::size_t done = ::iconv(cd, &in, &inLeft, &to, &toLeft);
    const int error = errno;
    out.append(buffer, static_cast<std::size_t>(to - buffer));
    if (done == static_cast<std::size_t>(-1) && error != E2BIG) {
      out += "\xEF\xBF\xBD";
      ++in;
      --inLeft;
      ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  ::iconv_close(cd);
  return out;
}

// ---------------------------------------------------------------- transfer encodings

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Quoted-printable: "=" at a line's end joins it to the next; a "=" not followed by two hex
// digits stands for itself; blanks at a line's end were added in transport.
std::string FromQuotedPrintable(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t lf = text.find('\n', pos);
    const bool last = lf == std::string_view::npos;
    std::string_view line = text.substr(pos, last ? std::string_view::npos : lf - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = platform::TrimRight(line, " \t");
    bool soft = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '=') {
        out += line[i];
      } else if (i + 1 == line.size()) {
        soft = true;
      } else if (i + 2 < line.size() && HexValue(line[i + 1]) >= 0 && HexValue(line[i + 2]) >= 0) {
        out += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
        i += 2;
      } else {
        out += '=';
      }
    }
    if (last) break;
    if (!soft) out += "\r\n";
    pos = lf + 1;
  }
  return out;
}

std::optional<std::string> FromBase64(std::string_view text) {
  QByteArray clean;
  clean.reserve(static_cast<qsizetype>(text.size()));
  for (char c : text)
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') clean += c;
  const auto result =
      QByteArray::fromBase64Encoding(clean, QByteArray::AbortOnBase64DecodingErrors);
  if (!result) return std::nullopt;
  return result.decoded.toStdString();
}

// ---------------------------------------------------------------- header text

// The first `needle` at or after a position, for positions that never go back: each search
// starts past the last answer, so a whole pass costs one scan of the text however many "=?"
// openings a hostile header holds.
class ForwardFind {
 public:
  ForwardFind(std::string_view text, std::string_view needle) : text_(text), needle_(needle) {}
  std::size_t From(std::size_t pos) {
    if (!searched_ || (found_ != std::string_view::npos && pos > found_)) {
      found_ = text_.find(needle_, pos);
      searched_ = true;
    }
    return found_;
  }

 private:
  std::string_view text_, needle_;
  std::size_t found_ = std::string_view::npos;
  bool searched_ = false;
};

// RFC 2047 encoded words in `text` decoded; blanks between two encoded words dropped.
std::string DecodeWords(std::string_view text) {
  std::string out, pendingBytes, pendingCharset, gap;
  ForwardFind firstMark(text, "?"), secondMark(text, "?"), closing(text, "?="), blank(text, " ");
  auto flush = [&] {
    if (!pendingCharset.empty()) out += ToUtf8(pendingBytes, pendingCharset);
    pendingBytes.clear();
    pendingCharset.clear();
  };
  std::size_t i = 0;
  while (i < text.size()) {
    bool decoded = false;
    if (text.compare(i, 2, "=?") == 0) {
      const std::size_t q1 = firstMark.From(i + 2);
      const std::size_t q2 = q1 == std::string_view::npos ? q1 : secondMark.From(q1 + 1);
      const std::size_t end = q2 == std::string_view::npos ? q2 : closing.From(q2 + 1);
      // An encoded word holds no blank.
      if (end != std::string_view::npos && q2 == q1 + 2 && blank.From(q2 + 1) > end) {
        std::string charset = Lower(text.substr(i + 2, q1 - i - 2));
        charset = charset.substr(0, charset.find('*'));  // RFC 2231 language
        const char form = static_cast<char>(std::toupper(static_cast<unsigned char>(text[q1 + 1])));
        const std::string_view payload = text.substr(q2 + 1, end - q2 - 1);
        std::optional<std::string> bytes;
        if (form == 'B') {
          bytes = FromBase64(payload);
        } else if (form == 'Q') {
          std::string q(payload);
          std::replace(q.begin(), q.end(), '_', ' ');
          bytes = FromQuotedPrintable(q);
        }
        if (bytes) {
          if (charset != pendingCharset) flush();
          pendingCharset = charset;
          pendingBytes += *bytes;
          gap.clear();
          i = end + 2;
          decoded = true;
        }
      }
    }
    if (decoded) continue;
    const char c = text[i];
    if ((c == ' ' || c == '\t') && !pendingCharset.empty()) {
      gap += c;  // dropped if another encoded word follows
      ++i;
      continue;
    }
    flush();
    out += gap;
    gap.clear();
    out += c;
    ++i;
  }
  flush();
  return out + gap;
}

struct Header {
  std::map<std::string, std::string> fields;  // lower-case name -> unfolded value (first one)
  const std::string* Get(const std::string& name) const {
    const auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
  }
};

// A header field value with parameters: "type/subtype; a=b; c*=utf-8''x".
struct Parameters {
  std::string value;                          // lower case
  std::map<std::string, std::string> params;  // lower-case name -> UTF-8 value
};

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

Parameters ParseParameters(const std::string& field) {
  Parameters result;
  std::size_t i = field.find(';');
  result.value = Lower(platform::Trim(std::string_view(field).substr(0, i), kWhiteSpace));
  struct Section {
    std::string text;
    bool extended;
  };
  std::map<std::string, std::map<int, Section>> sections;  // RFC 2231 continuations
  std::map<std::string, std::string> plain;
  while (i != std::string::npos && i < field.size()) {
    ++i;  // after ';'
    const std::size_t eq = field.find('=', i);
    if (eq == std::string::npos) break;
    const std::string name =
        Lower(platform::Trim(std::string_view(field).substr(i, eq - i), kWhiteSpace));
    std::size_t j = eq + 1;
    while (j < field.size() && (field[j] == ' ' || field[j] == '\t')) ++j;
    std::string value;
    if (j < field.size() && field[j] == '"') {
      for (++j; j < field.size() && field[j] != '"'; ++j) {
        if (field[j] == '\\' && j + 1 < field.size()) ++j;
        value += field[j];
      }
      i = field.find(';', j);
    } else {
      i = field.find(';', j);
      value = std::string(platform::Trim(
          std::string_view(field).substr(j, i == std::string::npos ? i : i - j), kWhiteSpace));
    }
    const std::size_t star = name.find('*');
    if (star == std::string::npos) {
      plain.emplace(name, value);
      continue;
    }
    const std::string base = name.substr(0, star);
    std::string rest = name.substr(star + 1);  // "", "0", "0*", "1"
    const bool extended =
        !rest.empty() && rest.back() == '*' ? (rest.pop_back(), true) : rest.empty();
    int number = 0;
    if (!rest.empty()) {
      if (!std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
          rest.size() > 4)
        continue;
      number = std::stoi(rest);
    }
    sections[base].emplace(number, Section{value, extended});
  }
  for (auto& [name, value] : plain) result.params[name] = DecodeWords(value);
  for (auto& [name, parts] : sections) {
    std::string charset, bytes;
    bool first = true;
    for (auto& [number, section] : parts) {
      std::string text = section.text;
      if (first && section.extended) {  // charset'language'value
        const std::size_t a = text.find('\'');
        const std::size_t b = a == std::string::npos ? a : text.find('\'', a + 1);
        if (b != std::string::npos) {
          charset = text.substr(0, a);
          text = text.substr(b + 1);
        }
      }
      bytes += section.extended ? PercentDecoded(text) : text;
      first = false;
    }
    result.params[name] = ToUtf8(bytes, charset);
  }
  return result;
}

// ---------------------------------------------------------------- structure

// One line of `text` from `pos`: [pos, end) without its line end; `next` is after it.
bool NextLine(std::string_view text, std::size_t pos, std::size_t& end, std::size_t& next) {
  if (pos >= text.size()) return false;
  const std::size_t lf = text.find('\n', pos);
  next = lf == std::string_view::npos ? text.size() : lf + 1;
  end = lf == std::string_view::npos ? text.size() : lf;
  if (end > pos && text[end - 1] == '\r') --end;
  return true;
}

struct Entity {
  Header header;
  std::string_view body;
};

bool IsFieldNameChar(char c) { return c > ' ' && c < 0x7F && c != ':'; }

// The header block and the body of an entity; a header that never ends is cut short.
std::variant<Entity, Failure> SplitEntity(std::string_view text, bool topLevel) {
  Entity entity;
  std::string name, value;
  auto store = [&] {
    // Blanks after the colon go; those at the end may be the text's own (a Subject's).
    std::string_view text = value;
    text = platform::TrimLeft(text, " \t");
    if (!name.empty()) entity.header.fields.emplace(Lower(name), std::string(text));
    name.clear();
    value.clear();
  };
  std::size_t pos = 0, end = 0, next = 0;
  bool ended = false;
  while (NextLine(text, pos, end, next)) {
    const std::string_view line = text.substr(pos, end - pos);
    pos = next;
    if (line.empty()) {
      ended = true;
      break;
    }
    if (line.find('\0') != std::string_view::npos) return Failure("it is not a mail message.");
    if (line.front() == ' ' || line.front() == '\t') {
      if (name.empty()) return Failure("it is not a mail message.");
      value += line;  // unfolding keeps the blank that starts the continuation
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                     IsFieldNameChar))
      return Failure(topLevel ? "it is not a mail message." : "its MIME structure is broken.");
    store();
    name = std::string(line.substr(0, colon));
    value = std::string(line.substr(colon + 1));
  }
  store();
  if (!ended) {
    if (topLevel && entity.header.fields.empty()) return Failure("it is not a mail message.");
    return Failure("it is cut short: its header does not end.");
  }
  entity.body = text.substr(std::min(pos, text.size()));
  return entity;
}

// The parts between the boundaries of a multipart body, or why they cannot be found.
std::variant<std::vector<std::string_view>, Failure> SplitParts(std::string_view body,
                                                                const std::string& boundary) {
  const std::string dash = "--" + boundary;
  std::vector<std::string_view> parts;
  std::size_t partStart = std::string_view::npos;
  std::size_t pos = 0, end = 0, next = 0;
  while (NextLine(body, pos, end, next)) {
    const std::string_view line = body.substr(pos, end - pos);
    if (line.substr(0, dash.size()) == dash) {
      std::string_view rest = line.substr(dash.size());
      const bool closing = rest.substr(0, 2) == "--";
      if (closing) rest.remove_prefix(2);
      if (platform::Trim(rest, kWhiteSpace).empty()) {
        if (partStart != std::string_view::npos) {
          // The line end before a boundary belongs to the boundary.
          std::size_t partEnd = pos;
          if (partEnd > partStart && body[partEnd - 1] == '\n') --partEnd;
          if (partEnd > partStart && body[partEnd - 1] == '\r') --partEnd;
          parts.push_back(body.substr(partStart, std::max(partEnd, partStart) - partStart));
        }
        if (closing) return parts;
        partStart = next;
      }
    }
    pos = next;
  }
  if (partStart == std::string_view::npos)
    return Failure("its MIME structure is broken: a multipart has no parts.");
  return Failure("it is cut short: a multipart does not end.");
}

// A part's content decoded from its transfer encoding into `bytes`, or why it cannot be.
std::optional<Failure> Decode(std::string_view content, const Header& header, std::string& bytes) {
  const std::string* encoding = header.Get("content-transfer-encoding");
  const std::string name = encoding == nullptr ? "" : Lower(platform::Trim(*encoding, kWhiteSpace));
  if (name == "base64") {
    auto decoded = FromBase64(content);
    if (!decoded)
      return Failure("its MIME structure is broken: the BASE64 text of a part is damaged.");
    bytes = std::move(*decoded);
  } else if (name == "quoted-printable") {
    bytes = FromQuotedPrintable(content);
  } else if (name.empty() || name == "7bit" || name == "8bit" || name == "binary") {
    bytes = std::string(content);
  } else {
    return Failure("its MIME structure is broken: a part has an unknown transfer encoding.");
  }
  return std::nullopt;
}

// The body text: line ends as "\n", the final line end (the one before the boundary or the end
// of the file) not part of the text.
std::string BodyText(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\r') {
      out += '\n';
      if (i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
    } else {
      out += utf8[i];
    }
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

struct Walker {
  ReadMessage message;
  bool haveBody = false;

  std::optional<Failure> Walk(std::string_view text, int depth, bool topLevel) {
    if (depth > kMaxDepth)
      return Failure("its MIME structure is broken: parts are nested too deeply.");
    auto split = SplitEntity(text, topLevel);
    if (auto* failure = std::get_if<Failure>(&split)) return *failure;
    const Entity& entity = std::get<Entity>(split);
    if (topLevel) {
      static const char* const kMessageFields[] = {
          "from", "to", "subject", "date", "message-id", "mime-version", "content-type"};
      if (std::none_of(std::begin(kMessageFields), std::end(kMessageFields),
                       [&](const char* f) { return entity.header.Get(f) != nullptr; }))
        return Failure("it is not a mail message.");
      ReadHeader(entity.header);
    }
    const std::string* typeField = entity.header.Get("content-type");
    const Parameters type = ParseParameters(typeField == nullptr ? "text/plain" : *typeField);
    if (type.value.rfind("multipart/", 0) == 0) {
      const auto boundary = type.params.find("boundary");
      if (boundary == type.params.end() || boundary->second.empty())
        return Failure("its MIME structure is broken: a multipart has no boundary.");
      auto parts = SplitParts(entity.body, boundary->second);
      if (auto* failure = std::get_if<Failure>(&parts)) return *failure;
      for (std::string_view part : std::get<std::vector<std::string_view>>(parts))
        if (auto failure = Walk(part, depth + 1, false)) return failure;
      return std::nullopt;
    }
    return Leaf(entity, type);
  }

  std::optional<Failure> Leaf(const Entity& entity, const Parameters& type) {
    const std::string* dispositionField = entity.header.Get("content-disposition");
    const Parameters disposition =
        ParseParameters(dispositionField == nullptr ? "" : *dispositionField);
    std::string name;
    if (const auto it = disposition.params.find("filename"); it != disposition.params.end())
      name = it->second;
    else if (const auto n = type.params.find("name"); n != type.params.end())
      name = n->second;
    const bool attached = disposition.value == "attachment" || !name.empty();
    const bool text = type.value.empty() || type.value == "text/plain";
    if (!attached && !(text && !haveBody)) return std::nullopt;  // an alternative we do not show
    std::string bytes;
    if (auto failure = Decode(entity.body, entity.header, bytes)) return failure;
    if (attached) {
      if (name.empty()) name = type.value == "message/rfc822" ? "message.eml" : "";
      message.attachments.push_back({name, std::move(bytes)});
      return std::nullopt;
    }
    const auto charset = type.params.find("charset");
    message.body = BodyText(ToUtf8(bytes, charset == type.params.end() ? "" : charset->second));
    haveBody = true;
    return std::nullopt;
  }

  void ReadHeader(const Header& header) {
    if (const std::string* subject = header.Get("subject")) message.subject = DecodeWords(*subject);
    if (const std::string* to = header.Get("to")) message.to = GroupDescription(*to);
  }

  // "Members of the club:;", "\"A, B\":;" or encoded words before ":;": the description; any
  // other To holds addresses, which are not a description.
  static std::optional<std::string> GroupDescription(const std::string& field) {
    std::string_view text = platform::Trim(field, kWhiteSpace);
    if (text.empty() || text.back() != ';') return std::nullopt;
    text = platform::Trim(text.substr(0, text.size() - 1), kWhiteSpace);
    if (text.empty() || text.back() != ':') return std::nullopt;
    text = platform::Trim(text.substr(0, text.size() - 1), kWhiteSpace);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
      std::string out;
      for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size()) ++i;
        out += text[i];
      }
      return out;
    }
    if (text.find_first_of("\"<>@,") != std::string_view::npos) return std::nullopt;
    return DecodeWords(text);
  }
};

// ---------------------------------------------------------------- writing

void WriteAll(platform::TStream& out, const std::string& bytes) {
  out.Write(bytes.data(), bytes.size());
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

bool ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         std::none_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// `name` cut to `octets`, between whole UTF-8 characters.
std::string CutUtf8(const std::string& name, std::size_t octets) {
  if (name.size() <= octets) return name;
  std::size_t cut = octets;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
}

// "name.ext" as "name (2).ext".
std::string Numbered(const std::string& name, int n) {
  const std::size_t dot = name.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0;
  const std::string suffix = " (" + std::to_string(n) + ")";
  const std::string stem = hasExt ? name.substr(0, dot) : name;
  const std::string ext = hasExt ? name.substr(dot) : "";
  return CutUtf8(stem, kMaxNameOctets - suffix.size() - std::min(ext.size(), kMaxNameOctets / 2)) +
         suffix + CutUtf8(ext, kMaxNameOctets / 2);
}

}  // namespace

void WriteMessage(platform::TStream& out, const std::vector<std::string>& messageLines,
                  const std::string& boundary, const std::vector<std::string>& attachments) {
  out.Seek(0, platform::SeekOrigin::End);
  WriteAll(out, Lines(messageLines));
  for (const std::string& path : attachments) {
    struct stat info {};
    const Fd source(OpenRegularFile(path, &info));
    if (source.fd < 0) throw std::runtime_error("Unable to read attachment " + path);
    std::unique_ptr<platform::TFileStream> file;
    try {
      file = std::make_unique<platform::TFileStream>("/proc/self/fd/" + std::to_string(source.fd),
                                                     platform::TFileStream::Mode::OpenRead);
    } catch (const std::exception&) {
      throw std::runtime_error("Unable to read attachment " + path);
    }
    WriteAll(out, Lines(AttachmentHeaderLines(boundary, path)));
    net::TUUProcessor encoder;
    encoder.SourceStream = file.get();
    encoder.TargetStream = &out;
    encoder.EncodeStream();
    out.Seek(0, platform::SeekOrigin::End);
  }
  std::vector<std::string> closing = ClosingLines(boundary);
  closing.pop_back();  // the final "." ends the mail data of the wire, not the message
  WriteAll(out, Lines(closing));
}

std::optional<std::string> SaveMessageFile(const std::string& path,
                                           const std::vector<std::string>& messageLines,
                                           const std::string& boundary,
                                           const std::vector<std::string>& attachments) {
  const std::string folder = platform::FolderOf(path);
  // Written without a name where the file system allows it: a program killed meanwhile leaves
  // nothing behind. It gets a hidden name only once whole and synced, and that name is replaced
  // at once; elsewhere it is written under the hidden name.
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  const bool nameless = fd >= 0;
  std::string temp = folder + "/.tavrin-message-XXXXXX";
  if (!nameless) fd = ::mkostemp(temp.data(), O_CLOEXEC);  // 0600
  if (fd < 0) return "The message could not be saved in " + folder + ": " + Reason(errno) + ".";
  const Fd keep(fd);
  const auto drop = [&] {
    if (!nameless) ::unlink(temp.c_str());
  };
  try {
    platform::TFileStream out("/proc/self/fd/" + std::to_string(fd),
                              platform::TFileStream::Mode::OpenReadWrite);
    WriteMessage(out, messageLines, boundary, attachments);
  } catch (const std::exception& error) {
    drop();
    return std::string("The message could not be saved: ") + error.what();
  }
  bool named = !nameless;
  const bool synced = ::fsync(fd) == 0 && ::fchmod(fd, 0600) == 0;
  if (synced && nameless) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && !named; ++attempt) {
      temp = folder + "/.tavrin-message-" + std::to_string(random() % 1000000000);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0)
        named = true;
      else if (errno != EEXIST)
        break;
    }
  }
  if (!synced || !named || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    if (named) ::unlink(temp.c_str());
    return "The message could not be saved as " + path + ": " + Reason(error) + ".";
  }
  // The new name lasts only once the folder is synced too.
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd >= 0) ::fsync(dir.fd);
  return std::nullopt;
}

std::variant<ReadMessage, std::string> ParseMessage(const std::string& bytes) {
  Walker walker;
  if (auto failure = walker.Walk(bytes, 0, true)) return *failure;
  return std::move(walker.message);
}

std::variant<ReadMessage, std::string> ReadMessageFile(const std::string& path) {
  const std::string unable = "Unable to open the message " + path + ": ";
  struct stat info {};
  const Fd fd(OpenRegularFile(path, &info));
  if (fd.fd < 0) return unable + (errno == EINVAL ? "it is not a file." : Reason(errno) + ".");
  if (static_cast<std::uint64_t>(info.st_size) > kMaxMessageFile)
    return unable + "it is larger than " + std::to_string(kMaxMessageFile >> 20) + " MB.";
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return unable + Reason(errno) + ".";
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  if (bytes.empty()) return unable + "it is empty.";
  auto result = ParseMessage(bytes);
  if (auto* failure = std::get_if<std::string>(&result)) return unable + *failure;
  return result;
}

std::string AttachmentsFolder(const std::string& homeDir) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string base =
      xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : homeDir + "/.local/share";
  return base + "/Tavrin/attachments";
}

std::string SafeAttachmentName(const std::string& name, int number) {
  std::string last =
      name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
  if (!ValidName(last)) return "attachment-" + std::to_string(number);
  if (last.size() <= kMaxNameOctets) return last;
  const std::size_t dot = last.rfind('.');
  const std::string ext =
      dot != std::string::npos && last.size() - dot <= 20 ? last.substr(dot) : "";
  return CutUtf8(last, kMaxNameOctets - ext.size()) + ext;
}

std::variant<std::vector<std::string>, std::string> StoreAttachments(
    const std::string& folder, const std::vector<MessageAttachment>& attachments) {
  std::vector<std::string> paths;
  if (attachments.empty()) return paths;
  if (const auto problem = platform::MakePrivateFolder(folder)) return *problem;
  std::string dir = folder + "/message-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr)  // 0700
    return "The folder for the attachments could not be made in " + folder + ": " + Reason(errno) +
           ".";
  const Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<std::string> names;
  auto undo = [&](const std::string& why) {
    for (const std::string& name : names) ::unlinkat(dirFd.fd, name.c_str(), 0);
    ::rmdir(dir.c_str());
    return why;
  };
  if (dirFd.fd < 0)
    return undo("The folder " + dir + " could not be opened: " + Reason(errno) + ".");
  std::set<std::string> used;
  // The next number to try for each name given more than once: thousands of parts of one name
  // do not each count up from 2 again.
  std::map<std::string, int> nextNumber;
  for (std::size_t i = 0; i < attachments.size(); ++i) {
    const std::string safe = SafeAttachmentName(attachments[i].name, static_cast<int>(i + 1));
    std::string name = safe;
    int& n = nextNumber.try_emplace(safe, 2).first->second;
    while (used.count(name) != 0) name = Numbered(safe, n++);
    used.insert(name);
    const Fd file(::openat(dirFd.fd, name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.fd < 0)
      return undo("The attachment " + name + " could not be written: " + Reason(errno) + ".");
    names.push_back(name);
    const std::string& bytes = attachments[i].bytes;
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(file.fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0)
        return undo("The attachment " + name + " could not be written: " + Reason(errno) + ".");
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(file.fd) != 0)
      return undo("The attachment " + name + " could not be written: " + Reason(errno) + ".");
    paths.push_back(dir + "/" + name);
  }
  ::fsync(dirFd.fd);
  return paths;
}

}  // namespace tavrin::app
