#include "send/RecipientFilter.h"

#include <string_view>

#include "send/MessageAssembly.h"
#include "send/Placeholders.h"
#include "send/RecipientTable.h"
#include "platform/CodePage.h"

namespace tavrin::app {
namespace {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

}  // namespace

std::string RecipientVerdict::LogText() const {
  switch (kind) {
    case Kind::kDuplicate: return "Duplicate of record " + std::to_string(firstRecord);
    case Kind::kUnsubscribed: return "Unsubscribed";
    case Kind::kSend: break;
  }
  return {};
}

std::optional<std::string> TRecipientFilter::OptOutFieldRefusal(TRecipientTable& table) const {
  if (optOutField_.empty()) return std::nullopt;
  const char type = table.FieldType(optOutField_);
  if (type == '\0')
    return "The opt-out field " + optOutField_ +
           " named in the settings is not in the recipients "
           "table.";
  if (type != 'L')
    return "The opt-out field " + optOutField_ +
           " named in the settings is not a logical field "
           "of the recipients table.";
  return std::nullopt;
}

RecipientVerdict TRecipientFilter::Judge(std::int32_t recordNumber, const std::string& address,
                                         TRecipientTable& table) {
  bool optedOut = false;
  if (!optOutField_.empty()) {
    const std::string letter = table.FieldText(optOutField_);
    optedOut = !letter.empty() && std::string_view("TtYy").find(letter[0]) != std::string::npos;
  }
  return Judge(recordNumber, address, optedOut);
}

RecipientVerdict TRecipientFilter::Judge(std::int32_t recordNumber, const std::string& address,
                                         bool optedOut) {
  const std::string key = AddressKey(address);
  if (!key.empty()) {
    const auto [first, added] = firstRecordOf_.try_emplace(key, recordNumber);
    if (!added) return {RecipientVerdict::Kind::kDuplicate, first->second};
  }
  if (optedOut) return {RecipientVerdict::Kind::kUnsubscribed, 0};
  return {};
}

std::string TRecipientFilter::AddressKey(const std::string& address) {
  std::string key = Trimmed(address);
  const auto at = key.rfind('@');
  if (at == std::string::npos) return key;
  return key.substr(0, at + 1) + platform::AnsiUpper(key.substr(at + 1));
}

std::optional<std::string> BulkMailRefusal(const std::vector<std::string>& texts,
                                           const std::string& listUnsubscribe,
                                           const std::string& replyTo,
                                           const TRecipientFilter& filter, TRecipientTable& table) {
  std::vector<std::string> all = texts;
  all.push_back(listUnsubscribe);
  if (auto refusal = MissingFieldRefusal(all, table)) return refusal;
  if (!listUnsubscribe.empty() && !IsListUnsubscribeTarget(listUnsubscribe))
    return "The unsubscribe link in the settings is not a mailto: address or an https URL: " +
           listUnsubscribe;
  if (!replyTo.empty() && (replyTo.find('@') == std::string::npos || !IsPlainAddress(replyTo)))
    return "The reply-to address in the settings is not a plain e-mail address: " + replyTo;
  return filter.OptOutFieldRefusal(table);
}

}  // namespace tavrin::app
