// The text of one outgoing message: a MIME multipart/mixed document.
//
// The header block and body are built once per Send (BuildMessage); the part headers of each
// attachment and the closing lines are produced while the data is sent. Lines carry no line end;
// the socket client adds CR LF. Every mail-data line except the final "." passes through
// MailDataLine. Typed text is UTF-8 and leaves as 7-bit MIME text in lines of at most 998 octets;
// a plain ASCII body goes out as typed. Pure functions, except ContentTypeOf (reads the MIME
// database).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace tavrin::app {

// What the user typed and the settings that go into the header block. Text is UTF-8; the return
// address is sent as its bytes.
struct MessageInput {
  std::string SenderName;
  std::string ReturnEmail;
  std::string To;  // the free-text description of the addressees, not addresses
  std::string Subject;
  std::vector<std::string> Body;  // the memo's lines, unchanged
  std::string Date;               // InternetDate() of the moment of Send
  std::string MessageIdToken;     // NewMessageIdToken(), unique per message
  // (The fields below are brace-initialised so that callers listing only those above compile
  // without warnings.)
  // A message of its own for one recipient: "To:" names this address, with To as its display
  // name. Empty: To describes the addressees as an empty group.
  std::string ToAddress{};
  std::string ReplyTo{};          // "Reply-To:" when not empty
  std::string ListUnsubscribe{};  // "List-Unsubscribe:" when not empty: a mailto: or https URL
};

// 16 underscores, 12 random digits from 0 to 8, 7 underscores: 35 characters, never a 9.
std::string Boundary();

// The header block and body lines, in sending order. The sender's name goes out as a quoted
// string, the description as the display name of an empty address group ("To: Members:;"), and
// either as encoded words when it holds more than printable ASCII, as does the subject. A body of
// ASCII lines of at most 998 octets on the wire goes as typed, any other in quoted-printable UTF-8.
// Reply-To and List-Unsubscribe (with List-Unsubscribe-Post for an https URL, the one-click
// unsubscribe of RFC 8058) follow the Message-ID when set.
std::vector<std::string> BuildMessage(const MessageInput& input, const std::string& boundary);

// A header naming one mailbox: `field` ("To:") and `"Ann Martin" <ann@example.org>`, the name
// quoted, or as encoded words when it holds more than printable ASCII; an empty name gives the
// bare "<address>". Folded at 78 columns where the name allows.
std::vector<std::string> MailboxHeaderLines(const std::string& field, const std::string& name,
                                            const std::string& address);

// True for a List-Unsubscribe target the headers can carry: "mailto:" and a plain address, or
// "https://" and a host, in either case of the scheme, with no blank, quote or angle bracket.
bool IsListUnsubscribeTarget(const std::string& url);
// True when the target is a web address, answered with a one-click POST.
bool IsOneClickUnsubscribe(const std::string& url);
// "List-Unsubscribe: <url>" (on a line of its own after the name when long) and, for an https
// URL, "List-Unsubscribe-Post: List-Unsubscribe=One-Click". Bytes a URL may not hold are written
// as %XX, so the header always ends where it should.
std::vector<std::string> ListUnsubscribeLines(const std::string& url);

// "Mon, 07 Dec 2026 10:15:00 +0100": the local time of `when` in Internet date format.
std::string InternetDate(std::time_t when);
// A token unique to this message: time, process and random bits.
std::string NewMessageIdToken();

// The lines that open an attachment's part; the encoded text follows as a stream. A name of more
// than ASCII (file system bytes: UTF-8, else read as Windows-1252) goes as an encoded-word name
// and an RFC 2231 filename, folded.
std::vector<std::string> AttachmentHeaderLines(const std::string& boundary,
                                               const std::string& path);
// The lines after the last attachment (or after the body): "", "--" + boundary + "--", ".".
std::vector<std::string> ClosingLines(const std::string& boundary);

// Transparency: a mail-data line that begins with "." is sent with one more "." in front.
std::string MailDataLine(const std::string& line);

// Every octet the mail data takes on the wire after the server's 354, up to and including the
// final ".": the message lines, each attachment's part header lines and its encoded text (from
// the file's size in octets), and the closing lines, each line with its CR LF and its
// transparency dot. The message size of the SIZE extension (without the dots and the final
// ".\r\n") is never larger.
std::uint64_t MessageSizeOnWire(
    const std::vector<std::string>& messageLines, const std::string& boundary,
    const std::vector<std::pair<std::string /*path*/, std::uint64_t /*size*/>>& attachments);

// The MIME type registered for the name's extension, else "application/octet-stream".
std::string ContentTypeOf(const std::string& fileName);

// Path helpers; paths split at their last '/'.
// After the last '/', at most 260 bytes (fewer rather than half a UTF-8 character).
std::string ExtractNamePart(const std::string& path);
std::string ExtractExtPart(
    const std::string& name);  // after the last '.', "" if none or a '/' follows
std::string ExtractDirPart(const std::string& path);  // up to and including the last '/'

// True when `address` is one plain mailbox: no blanks or control characters, no quotes, commas or
// angle brackets that would make a From header name another address or start another header.
bool IsPlainAddress(const std::string& address);

}  // namespace tavrin::app
