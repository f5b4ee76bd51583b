// MessageFile: the message being written, kept as a standard mail file (.eml) and read back.
//
// WriteMessage produces the whole message as the send delivers it (the header block and body of
// BuildMessage, each attachment's part header and BASE64 text, the closing boundary), with CR LF
// line ends and without the transparency dots of the wire. SaveMessageFile writes it whole under
// its name or not at all (a private temporary sibling, synced, renamed; mode 0600).
// ReadMessageFile takes a message of this program or of another mail program apart: the To group's
// description, the Subject, the text/plain body (decoded from its charset and transfer encoding)
// and the attached files' names and bytes. StoreAttachments writes those files into a new private
// folder, under names that cannot leave it. Errors come back as sentences for a message box;
// nothing is half done. No widgets; any thread, one call at a time per folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Stream.h"

namespace tavrin::app {

// A message file larger than this is not opened.
inline constexpr std::uint64_t kMaxMessageFile = 200ull * 1024 * 1024;

// Writes the message lines (BuildMessage with `boundary`), the attachments (paths, in order) and
// the closing boundary to `out` at its end. Throws std::runtime_error naming an attachment that
// cannot be read, or TStreamError when `out` fails.
void WriteMessage(platform::TStream& out, const std::vector<std::string>& messageLines,
                  const std::string& boundary, const std::vector<std::string>& attachments);

// Writes the message as the file `path`, replacing one that is there. Nothing on success, else
// why not; on failure an existing file is left as it was.
std::optional<std::string> SaveMessageFile(const std::string& path,
                                           const std::vector<std::string>& messageLines,
                                           const std::string& boundary,
                                           const std::vector<std::string>& attachments);

struct MessageAttachment {
  std::string name;   // as the message names it, UTF-8; may be anything, even a path
  std::string bytes;  // decoded
};

// What a message file gives back. Text is UTF-8; the body's lines end with "\n".
struct ReadMessage {
  std::optional<std::string> to;  // the description of an empty address group ("Club:;"), if any
  std::string subject;
  std::string body;
  std::vector<MessageAttachment> attachments;
};

// The message in `bytes`, or why it cannot be read.
std::variant<ReadMessage, std::string> ParseMessage(const std::string& bytes);
// The message in the file at `path` (at most kMaxMessageFile octets), or why it cannot be read.
std::variant<ReadMessage, std::string> ReadMessageFile(const std::string& path);

// $XDG_DATA_HOME/Tavrin/attachments, or `homeDir`/.local/share/Tavrin/attachments.
std::string AttachmentsFolder(const std::string& homeDir);

// A name for an attachment's file that stays inside its folder: the name's last path part, or
// "attachment-N" (N = `number`) when that is empty, "." or "..", or holds a control character.
// At most 200 octets, whole UTF-8 characters, the extension kept.
std::string SafeAttachmentName(const std::string& name, int number);

// Writes the attachments into a new private folder (0700) under `folder` (made 0700 if need be),
// one file each (0600), names made unique. The files' paths in order, or why not (then nothing is
// left behind). No attachments: no folder, no paths.
std::variant<std::vector<std::string>, std::string> StoreAttachments(
    const std::string& folder, const std::vector<MessageAttachment>& attachments);

}  // namespace tavrin::app
