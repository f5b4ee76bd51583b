// File and memory streams: positions across reads, writes and seeks (the file stream reads
// ahead), sizes, and the errors of missing files and short reads.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <string>

#include "platform/Stream.h"

namespace tavrin::platform {
namespace {

std::string ReadAll(TStream& s) {
  std::string out;
  char buf[7];  // small on purpose: many reads through the read-ahead
  for (std::size_t n; (n = s.Read(buf, sizeof buf)) > 0;) out.append(buf, n);
  return out;
}

void ExerciseStream(TStream& s) {
  s.Write("hello world", 11);
  EXPECT_EQ(s.Position(), 11);
  EXPECT_EQ(s.Size(), 11);
  s.SetPosition(0);
  char five[5];
  s.ReadBuffer(five, 5);
  EXPECT_EQ(std::string(five, 5), "hello");
  s.Write("_", 1);  // a write right after a read lands at the read position
  EXPECT_EQ(s.Position(), 6);
  EXPECT_EQ(ReadAll(s), "world");
  s.SetPosition(0);
  EXPECT_EQ(ReadAll(s), "hello_world");
  EXPECT_EQ(s.Seek(-5, SeekOrigin::End), 6);
  EXPECT_EQ(s.Seek(2, SeekOrigin::Current), 8);
  EXPECT_THROW(s.Seek(-1, SeekOrigin::Begin), TStreamError);
  s.SetPosition(13);  // past the end: a write fills the gap with zeros
  s.Write("!", 1);
  EXPECT_EQ(s.Size(), 14);
  s.SetPosition(0);
  EXPECT_EQ(ReadAll(s), std::string("hello_world\0\0!", 14));
  s.SetSize(5);
  s.SetPosition(0);
  EXPECT_EQ(ReadAll(s), "hello");
  char more[10];
  s.SetPosition(3);
  EXPECT_THROW(s.ReadBuffer(more, 10), TStreamError);
}

TEST(StreamTest, MemoryStreamKeepsPositionsAndSizes) {
  TMemoryStream s;
  ExerciseStream(s);
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(StreamTest, FileStreamKeepsPositionsAndSizes) {
  QTemporaryDir dir;
  const std::string name = dir.path().toStdString() + "/data.bin";
  {
    TFileStream s(name, TFileStream::Mode::Create);
    ExerciseStream(s);
  }
  TFileStream again(name, TFileStream::Mode::OpenRead);
  EXPECT_EQ(ReadAll(again), "hello");
  EXPECT_THROW(again.Write("x", 1), TStreamError);
}

TEST(StreamTest, LargeReadsCrossTheReadAhead) {
  QTemporaryDir dir;
  const std::string name = dir.path().toStdString() + "/big.bin";
  std::string data(300000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  TFileStream f(name, TFileStream::Mode::Create);
  f.Write(data.data(), data.size());
  f.SetPosition(1);
  char one;
  f.ReadBuffer(&one, 1);
  std::string big(200000, '\0');
  f.ReadBuffer(big.data(), big.size());
  EXPECT_EQ(big, data.substr(2, 200000));
}

TEST(StreamTest, MissingFileNamesTheFileAndTheReason) {
  try {
    TFileStream s("/nonexistent-dir/attachment.pdf", TFileStream::Mode::OpenRead);
    FAIL();
  } catch (const TStreamError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file /nonexistent-dir/attachment.pdf: No such file or directory");
  }
}

}  // namespace
}  // namespace tavrin::platform
