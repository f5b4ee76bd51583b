// Draft: the message being written, kept on disk so that closing the window or a killed process
// loses nothing typed.
//
// One draft per user, as $XDG_DATA_HOME/Tavrin/draft/message.txt (~/.local/share when unset):
// folder 0700, file 0600, every save a whole new file (temporary sibling, fsync, rename, fsync of
// the folder), so a kill at any moment leaves the previous draft or the new one, never a mix.
//
// The file is a small text of its own rather than a mail file: a mail file would have to encode
// the header fields and carries the attachments' contents, where the draft keeps their paths (any
// bytes a file name may hold) and a few settings of the message that no mail header has. Each line
// is "Key: value" with the value escaped (\\, \n, \r and \xHH for other control bytes), so every
// byte round-trips and the file stays readable; a last line "End" tells a whole file from a cut
// one. Keys this version does not know are kept and written back as they came.
// No state of its own; any thread. Saves into one folder take turns on a lock file beside the
// draft, so two windows of the program never write one temporary file at once.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavrin::app {

struct Draft {
  std::string to;                        // UTF-8; "" when the field shows its placeholder
  std::string subject;                   // UTF-8
  std::string body;                      // UTF-8, lines joined by "\n"
  std::vector<std::string> attachments;  // paths in the file system's own bytes, in sending order
  bool personalised = false;             // one message made for each recipient
  // True once the message went out to every recipient; any change makes it false again.
  bool sent = false;
  // Keys this version does not read, with their values (unescaped), in the order read.
  std::vector<std::pair<std::string, std::string>> otherKeys;

  // Nothing written: no subject, no body, no attachments (a To alone is the default one).
  bool Empty() const { return subject.empty() && body.empty() && attachments.empty(); }
  // The same message, whether or not it was sent.
  bool SameMessage(const Draft& other) const;
};

// $XDG_DATA_HOME/Tavrin/draft, or `homeDir`/.local/share/Tavrin/draft.
std::string DraftFolder(const std::string& homeDir);
// The draft's file in `folder`.
std::string DraftPath(const std::string& folder);

// The file's text for `draft`, and the draft a text holds (or why it holds none).
std::string DraftText(const Draft& draft);
std::variant<Draft, std::string> ParseDraft(const std::string& text);

// Writes `draft` as the folder's draft (making the folder when missing), replacing the one there.
// Nothing, or why it could not be saved (the previous draft is then still there, whole).
std::optional<std::string> SaveDraft(const std::string& folder, const Draft& draft);

struct DraftRead {
  std::optional<Draft> draft;  // none when there was no draft, or it was set aside
  // Empty, or what became of a draft that could not be read: set aside as "*.broken", or left
  // where it is when even that failed (then `keep` is false: saving would replace it).
  std::string note;
  bool keep = true;
};
// Reads the folder's draft. One that cannot be read or is broken is renamed to
// "message.txt.broken" (or "...broken-2" and on, never replacing one set aside earlier).
DraftRead ReadDraft(const std::string& folder);

}  // namespace tavrin::app
