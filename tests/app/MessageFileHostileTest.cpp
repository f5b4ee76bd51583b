// Hostile message files read by the send core alone: whatever a file holds, reading it ends with
// the message or a reason, in time proportional to its size.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <set>
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

int InChild(const std::function<int()>& check) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(check());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Save As onto a full disk and onto a read-only folder: the save says why, the message saved
// there before is still whole, and no temporary file is left beside it.
TEST(MessageFileHostile, ASaveThatCannotBeWrittenLeavesTheOldFile) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("tavrin-full-" + std::to_string(::getpid()));
  fs::create_directories(root / "disk");
  fs::create_directories(root / "files");
  const std::string big = (root / "files" / "big.bin").string();
  std::ofstream(big, std::ios::binary) << std::string(300000, 'b');
  const std::vector<std::string> lines = {"From: a@example.com", "To: Club:;", "Subject: Old", "",
                                          "old text"};
  const int result = InChild([&] {
    const std::string disk = (root / "disk").string(), path = disk + "/m.eml";
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tavrin-test", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
      return 77;
    if (SaveMessageFile(path, lines, "b", {})) return 10;
    const std::string before = Contents(path);
    auto problem = SaveMessageFile(path, lines, "b", {big});  // more than the disk holds
    if (!problem || problem->find("could not be saved") == std::string::npos) return 11;
    if (Contents(path) != before || std::distance(fs::directory_iterator(disk), {}) != 1) return 12;
    if (::mount(nullptr, disk.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=64k") != 0) return 77;
    if (!SaveMessageFile(path, lines, "b", {})) return 13;
    return Contents(path) == before ? 0 : 14;
  });
  fs::remove_all(root);
  if (result == 77) GTEST_SKIP() << "no mount namespace here for a small tmpfs";
  EXPECT_EQ(result, 0);
}

// A program killed while it saves a message (here by the file size limit, in the middle of the
// attachment) leaves the message saved there before whole and nothing else in the folder.
TEST(MessageFileHostile, ASaveCutShortByAKillLeavesNothingBehind) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("tavrin-killed-" + std::to_string(::getpid()));
  fs::create_directories(root / "saved");
  const std::string big = (root / "big.bin").string(), path = (root / "saved" / "m.eml").string();
  std::ofstream(big, std::ios::binary) << std::string(400000, 'b');
  const std::vector<std::string> lines = {"From: a@example.com", "To: Club:;", "Subject: Old", "",
                                          "old text"};
  ASSERT_EQ(SaveMessageFile(path, lines, "b", {}), std::nullopt);
  const std::string before = Contents(path);
  const int nameless = ::open((root / "saved").c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (nameless < 0) {
    fs::remove_all(root);
    GTEST_SKIP() << "files without a name cannot be made here: a hidden one is left instead";
  }
  ::close(nameless);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit limit{100000, 100000};
    ::signal(SIGXFSZ, SIG_DFL);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    SaveMessageFile(path, lines, "b", {big});
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  EXPECT_EQ(Contents(path), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "saved"), {}), 1);
  fs::remove_all(root);
}

// Thousands of parts of one name each get a name of their own, one more than the last, however a
// part named like a numbered one comes in between.
TEST(MessageFileHostile, ManyAttachmentsOfOneNameAreNumberedInTurn) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path()) /
                        ("tavrin-many-" + std::to_string(::getpid()));
  std::vector<MessageAttachment> parts(3000, MessageAttachment{"same.txt", "x"});
  parts[1].name = "same (3).txt";
  auto stored = StoreAttachments(root.string(), parts);
  ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(stored))
      << std::get<std::string>(stored);
  const auto& paths = std::get<std::vector<std::string>>(stored);
  std::set<std::string> names;
  for (const std::string& path : paths) names.insert(fs::path(path).filename().string());
  EXPECT_EQ(names.size(), parts.size());
  EXPECT_EQ(fs::path(paths[2]).filename(), "same (2).txt");
  EXPECT_EQ(fs::path(paths[3]).filename(), "same (4).txt");
  EXPECT_EQ(fs::path(paths.back()).filename(), "same (3000).txt");
  fs::remove_all(root);
}

}  // namespace
}  // namespace tavrin::app
