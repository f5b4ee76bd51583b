#include "program/PersonalMessage.h"

#include <ctime>
#include <exception>

#include "dataset/XbDbf.h"
#include "send/DatasetRecipientTable.h"
#include "send/MessageAssembly.h"
#include "send/Placeholders.h"
#include "send/RecipientFilter.h"

namespace tavrin::app {

bool NeedsPersonalising(const Settings& s, const MessageTexts& texts) {
  return AnyPlaceholders({texts.to, texts.subject, texts.body, s.ListUnsubscribe});
}

MailMessage MailMessageFrom(const Settings& s, const MessageTexts& texts,
                            std::optional<std::int32_t> testRecord) {
  MessageInput input;
  input.SenderName = s.SenderName;
  input.ReturnEmail = SettingToAnsi(s.ReturnEmail);
  input.To = texts.to;
  input.Subject = texts.subject;
  input.Body = SplitBodyLines(texts.body);
  input.Date = InternetDate(std::time(nullptr));
  input.MessageIdToken = NewMessageIdToken();
  input.ReplyTo = s.ReplyTo;
  input.ListUnsubscribe = s.ListUnsubscribe;

  MailMessage message;
  message.boundary = Boundary();
  message.lines = BuildMessage(input, message.boundary);
  message.attachments = texts.attachments;
  message.personalised = texts.onePerRecipient || NeedsPersonalising(s, texts);
  message.input = std::move(input);
  message.optOutField = SettingToAnsi(s.OptOutField);
  message.testRecord = testRecord;
  return message;
}

std::optional<std::string> CheckBulkMail(const Settings& s, const std::string& tablePath,
                                         const MessageTexts& texts) {
  dataset::TXbDbf dbf("tblCheck");
  TDatasetRecipientTable table(dbf);
  try {
    dbf.SetDbfFileName(tablePath);
    table.Open();
  } catch (const std::exception&) {
    table.Close();
    return std::nullopt;  // the send opens it again and says why it cannot
  }
  const TRecipientFilter filter(SettingToAnsi(s.OptOutField));
  std::optional<std::string> refusal;
  try {
    refusal = BulkMailRefusal({texts.to, texts.subject, texts.body}, s.ListUnsubscribe, s.ReplyTo,
                              filter, table);
  } catch (const std::exception& e) {
    refusal = e.what();
  }
  table.Close();
  return refusal;
}

std::optional<std::int32_t> FirstLiveRecord(const std::string& tablePath) {
  dataset::TXbDbf dbf("tblFirst");
  TDatasetRecipientTable table(dbf);
  std::optional<std::int32_t> first;
  try {
    dbf.SetDbfFileName(tablePath);
    table.Open();
    for (table.GoFirst(); !table.AtEnd(); table.SkipBy(1))
      if (!table.RecordDeleted()) {
        first = dbf.RecNo();
        break;
      }
  } catch (const std::exception&) {
    first.reset();
  }
  table.Close();
  return first;
}

}  // namespace tavrin::app
