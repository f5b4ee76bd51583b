// TRecipientFilter: which records of a send get no message, and why.
//
// Walked once per send, record by record in table order, it remembers every address it was shown
// (blanks around it ignored; the domain compared without regard to case, the local part as
// written, since servers may tell "Ann" from "ann") and says "Duplicate of record N" for a later
// record with one of them, N being the first record that had it. A record whose opt-out field
// (a logical field named by the OptOutField setting) is true says "Unsubscribed". Records with no
// address are left to the send, which refuses them itself. One instance per send; GUI thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavrin::app {

class TRecipientTable;

struct RecipientVerdict {
  enum class Kind { kSend, kDuplicate, kUnsubscribed };
  Kind kind = Kind::kSend;
  std::int32_t firstRecord = 0;  // for kDuplicate: the record that had the address first

  bool Send() const { return kind == Kind::kSend; }
  // "Duplicate of record 3", "Unsubscribed"; "" for a record that is sent.
  std::string LogText() const;
};

class TRecipientFilter {
 public:
  // `optOutField` empty: nobody is taken for unsubscribed.
  explicit TRecipientFilter(std::string optOutField = {}) : optOutField_(std::move(optOutField)) {}

  // Why the opt-out field cannot be used with the open table (missing, or not logical); nothing
  // when it can, or when there is none. Checked before connecting.
  std::optional<std::string> OptOutFieldRefusal(TRecipientTable& table) const;

  // The verdict for record `recordNumber`, the table's current record, with address `address`
  // (the program's 8-bit text, padding allowed). Call once per record, in table order. A record
  // that opted out still counts as having its address: a later copy gets no message either.
  RecipientVerdict Judge(std::int32_t recordNumber, const std::string& address,
                         TRecipientTable& table);
  // The same with the opt-out value already read.
  RecipientVerdict Judge(std::int32_t recordNumber, const std::string& address, bool optedOut);

  // The form two addresses are compared in: trimmed, the part after the last '@' upper-cased.
  static std::string AddressKey(const std::string& address);

 private:
  std::string optOutField_;
  std::unordered_map<std::string, std::int32_t> firstRecordOf_;
};

// What a send of personalised or bulk mail checks before connecting, in this order: a placeholder
// in `texts` (the message's texts and the List-Unsubscribe setting) naming a field the open table
// lacks; a List-Unsubscribe setting that is no mailto: address or https URL, or a Reply-To that is
// no plain address (both possible in a hand-edited settings file); an opt-out field the table
// cannot give. The first refusal's text, or nothing. Settings text is UTF-8.
std::optional<std::string> BulkMailRefusal(const std::vector<std::string>& texts,
                                           const std::string& listUnsubscribe,
                                           const std::string& replyTo,
                                           const TRecipientFilter& filter, TRecipientTable& table);

}  // namespace tavrin::app
