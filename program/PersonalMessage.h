// PersonalMessage: the message a send hands the core, made the same way by the window and by
// tavrin-send from what was typed (or read from a message file) and the settings.
//
// Decides whether the send is personalised (any placeholder in the To description, the Subject or
// the body, a List-Unsubscribe setting with one, or the user's own choice), carries Reply-To,
// List-Unsubscribe and the opt-out field from the settings, and checks before anything connects
// what the core would otherwise refuse halfway: a field the table lacks, an unusable bulk-mail
// setting. Reads the recipients table only in CheckBulkMail (opened and closed there). GUI or main
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "program/Settings.h"
#include "send/MailSend.h"

namespace tavrin::app {

// The message as typed: UTF-8 texts, attachment paths in sending order.
struct MessageTexts {
  std::string to;
  std::string subject;
  std::string body;
  std::vector<std::string> attachments;
  bool onePerRecipient = false;  // the user asked for a message of its own for each recipient
};

// True when the texts or the List-Unsubscribe setting hold a placeholder: such a message can only
// go out personalised, whatever was chosen.
bool NeedsPersonalising(const Settings& s, const MessageTexts& texts);

// The message for the core: the shared lines, and with them everything a personalised send builds
// each recipient's copy from. `testRecord` set: a test send of that record (1-based).
MailMessage MailMessageFrom(const Settings& s, const MessageTexts& texts,
                            std::optional<std::int32_t> testRecord = std::nullopt);

// The refusal a send of `texts` meets before connecting (BulkMailRefusal against the table at
// `tablePath`), or nothing. A table that cannot be opened is left for the send to report.
std::optional<std::string> CheckBulkMail(const Settings& s, const std::string& tablePath,
                                         const MessageTexts& texts);

// The first record a send would reach (not marked deleted), 1-based; nothing when there is none
// or the table cannot be read.
std::optional<std::int32_t> FirstLiveRecord(const std::string& tablePath);

}  // namespace tavrin::app
