// The text of one outgoing message: a MIME multipart/mixed document.
//
// The header block and body are built once per Send (BuildMessage); the part headers of each
// attachment and the closing lines are produced while the data is sent. Lines carry no line end;
// the socket client adds CR LF. Every mail-data line except the final "." passes through
// MailDataLine. Pure functions over 8-bit text, except ContentTypeOf (reads the MIME database).
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace tavrin::app {

// What the user typed and the settings that go into the header block.
struct MessageInput {
  std::string SenderName;
  std::string ReturnEmail;
  std::string To;       // the free-text description of the addressees, not addresses
  std::string Subject;
  std::vector<std::string> Body;  // the memo's lines, unchanged
  std::string Date;               // InternetDate() of the moment of Send
  std::string MessageIdToken;     // NewMessageIdToken(), unique per message
};

// 16 underscores, 12 random digits from 0 to 8, 7 underscores: 35 characters, never a 9.
std::string Boundary();

// The header block and body lines, in sending order.
std::vector<std::string> BuildMessage(const MessageInput& input, const std::string& boundary);

// "Mon, 07 Dec 2026 10:15:00 +0100": the local time of `when` in Internet date format.
std::string InternetDate(std::time_t when);
// A token unique to this message: time, process and random bits.
std::string NewMessageIdToken();

// The six lines that open an attachment's part; the encoded text follows as a stream.
std::vector<std::string> AttachmentHeaderLines(const std::string& boundary, const std::string& path);
// The lines after the last attachment (or after the body): "", "--" + boundary + "--", ".".
std::vector<std::string> ClosingLines(const std::string& boundary);

// Transparency: a mail-data line that begins with "." is sent with one more "." in front.
std::string MailDataLine(const std::string& line);

// The MIME type registered for the name's extension, else "application/octet-stream".
std::string ContentTypeOf(const std::string& fileName);

// Path helpers; paths split at their last '/'.
std::string ExtractNamePart(const std::string& path);  // after the last '/', at most 260 characters
std::string ExtractExtPart(const std::string& name);   // after the last '.', "" if none or a '/' follows
std::string ExtractDirPart(const std::string& path);   // up to and including the last '/'

}  // namespace tavrin::app
