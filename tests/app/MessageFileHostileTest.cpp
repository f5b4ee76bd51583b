// Hostile message files read by the send core alone: whatever a file holds, reading it ends with
// the message or a reason, in time proportional to its size.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "send/MessageFile.h"

namespace tavrin::app {
namespace {

ReadMessage Parsed(const std::string& bytes) {
  auto result = ParseMessage(bytes);
  if (auto* error = std::get_if<std::string>(&result)) ADD_FAILURE() << *error;
  return std::get_if<ReadMessage>(&result) ? std::get<ReadMessage>(result) : ReadMessage{};
}

// Openings of encoded words that never close: each once sent the reader looking to the end of
// the field again, so a subject of a megabyte or two held the program for minutes.
TEST(MessageFileHostile, UnclosedEncodedWordsAreReadAsTheyAre) {
  std::string openings;
  for (int i = 0; i < 200000; ++i) openings += "=?a?Q?x";
  const ReadMessage read =
      Parsed("From: a@example.com\r\nTo: Club:;\r\nSubject: " + openings + "\r\n\r\nHello\r\n");
  EXPECT_EQ(read.subject, openings);
  EXPECT_EQ(read.body, "Hello");

  // Words that do close keep being decoded around them; a blank inside one makes it plain text.
  const ReadMessage mixed = Parsed(
      "Subject: =?x?Q?a =?utf-8?Q?caf=C3=A9?= =?utf-8?B?w6k=?= =?utf-8?Q?a b?=\r\n\r\n.\r\n");
  EXPECT_EQ(mixed.subject, "=?x?Q?a caféé =?utf-8?Q?a b?=");
}

}  // namespace
}  // namespace tavrin::app
