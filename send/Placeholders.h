// Placeholders: the `{FIELD}` marks that personalise a message's texts for each recipient.
//
// A placeholder is an opening brace, a field name (an ASCII letter or underscore, then letters,
// digits and underscores) and a closing brace; the name is matched to the table's fields without
// regard to case. "{{" and "}}" write one literal brace. Every other brace is literal text: a
// message about code or sets ("{ a, b }", a lone "}") sends as typed instead of being refused,
// and nothing that is not a placeholder can stop a send. Field values come from the table as its
// 8-bit (Windows-1252) text and are filled in as UTF-8, the text the message assembly takes.
// Pure functions over the text; the table is read only through TRecipientTable. Any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "send/MessageAssembly.h"

namespace tavrin::app {

class TRecipientTable;

// A field's value for the record being filled, by name, as the table's 8-bit text.
using FieldValues = std::function<std::string(const std::string& fieldName)>;

class TPlaceholderText {
 public:
  // Reads `text` (UTF-8); never fails: what is not a placeholder stays text.
  explicit TPlaceholderText(const std::string& text);

  // True when the text holds at least one placeholder.
  bool HasPlaceholders() const;
  // The field names the placeholders use, as first written, each once (without regard to case).
  std::vector<std::string> Fields() const;
  // The text with each placeholder replaced by its field's value and "{{", "}}" by one brace.
  std::string Fill(const FieldValues& values) const;
  // The same with every value percent-encoded (UTF-8, RFC 3986: only letters, digits and "-._~"
  // stay), for a URL: a value can then neither end the URL nor add a parameter to it.
  std::string FillUrl(const FieldValues& values) const;

 private:
  struct Piece {
    bool field = false;
    std::string text;  // literal UTF-8 text, or the field name
  };
  std::string Filled(const FieldValues& values, bool forUrl) const;
  std::vector<Piece> pieces_;
};

// The fields used by any of `texts`, each once, in the order first met.
std::vector<std::string> FieldsUsed(const std::vector<std::string>& texts);
// True when any of `texts` holds a placeholder.
bool AnyPlaceholders(const std::vector<std::string>& texts);

// "The message uses {XYZ}, but the recipients table has no field XYZ." for the first field the
// open table lacks; nothing when it has them all.
std::optional<std::string> MissingFieldRefusal(const std::vector<std::string>& texts,
                                               TRecipientTable& table);

// The values of the table's current record (TRecipientTable::FieldText).
FieldValues RecordValues(TRecipientTable& table);

// The message as the recipient at `address` (the table's 8-bit text, padding allowed) receives
// it: To, Subject, body and the List-Unsubscribe target filled from the record's values (the
// target's values percent-encoded), and "To:" naming that address with the filled-in description
// as its display name. The rest (sender, Date, Reply-To) is the shared message's; the caller gives
// each message its own MessageIdToken.
MessageInput PersonalisedInput(const MessageInput& shared, const FieldValues& values,
                               const std::string& address);

// The message body's lines filled in: a value holding line breaks (a memo) becomes several lines.
std::vector<std::string> FillLines(const std::vector<std::string>& lines,
                                   const FieldValues& values);

}  // namespace tavrin::app
