// The attachment encoder: vectors for both methods, its events and rewinding, a failing source,
// and random files decoded again by an independent decoder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "net/UUProcessor.h"
#include "platform/Stream.h"

namespace tavrin::net {
namespace {

using platform::TFileStream;
using platform::TMemoryStream;

std::string Encode(const std::string& source, UUMethods method) {
  TMemoryStream in, out;
  in.Write(source.data(), source.size());
  TUUProcessor uu;
  uu.Method = method;
  uu.SourceStream = &in;
  uu.TargetStream = &out;
  uu.EncodeStream();
  EXPECT_EQ(out.Position(), 0);
  EXPECT_EQ(in.Position(), in.Size());
  return std::string(reinterpret_cast<const char*>(out.Data()), out.Length());
}

struct Vector {
  std::string source;
  UUMethods method;
  std::string expected;
};

TEST(UUProcessorTest, EncodesTheVectors) {
  const std::string block(45, 'M');
  std::string mimeLine, uuLine = "M";
  for (int i = 0; i < 15; ++i) mimeLine += "TU1N", uuLine += "34U-";  // "MMM" in each alphabet
  const Vector vectors[] = {
      {"", uuMime, ""},
      {"a", uuMime, "YQ==\r\n"},
      {"ab", uuMime, "YWI=\r\n"},
      {"abc", uuMime, "YWJj\r\n"},
      {std::string("\0\xff\0", 3), uuMime, "AP8A\r\n"},
      {"\xff\xff\xff\xfe", uuMime, "/////g==\r\n"},
      {block, uuMime, mimeLine + "\r\n"},
      {block + "M", uuMime, mimeLine + "\r\nTQ==\r\n"},
      {"", uuCode, "`\r\n"},
      {"a", uuCode, "!80\r\n`\r\n"},
      {"ab", uuCode, "\"86(\r\n`\r\n"},
      {"Cat", uuCode, "#0V%T\r\n`\r\n"},
      {std::string(3, '\0'), uuCode, "#````\r\n`\r\n"},
      {block, uuCode, uuLine + "\r\n`\r\n"},
  };
  for (const auto& v : vectors)
    EXPECT_EQ(Encode(v.source, v.method), v.expected)
        << "source of " << v.source.size() << " bytes";
}

TEST(UUProcessorTest, WritesAtTheTargetsPositionAndRewindsIt) {
  TMemoryStream in, out;
  in.Write("abc", 3);
  out.Write("head:", 5);
  TUUProcessor uu;
  uu.SourceStream = &in;
  uu.TargetStream = &out;
  std::vector<std::string> events;
  uu.OnBeginEncode = [&](TUUProcessor&) { events.push_back("begin"); };
  uu.OnEndEncode = [&](TUUProcessor&) { events.push_back("end"); };
  uu.EncodeStream();
  EXPECT_EQ(events, (std::vector<std::string>{"begin", "end"}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Data()), out.Length()), "head:YWJj\r\n");
  EXPECT_EQ(out.Position(), 0);
}

TEST(UUProcessorTest, MissingOrSharedStreamsAreRefused) {
  TUUProcessor uu;
  EXPECT_THROW(uu.EncodeStream(), std::invalid_argument);
  // One stream as source and target: the text would overwrite the bytes not yet read.
  TMemoryStream both;
  both.Write("hello world", 11);
  uu.SourceStream = uu.TargetStream = &both;
  EXPECT_THROW(uu.EncodeStream(), std::invalid_argument);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(both.Data()), both.Length()), "hello world");
}

// A source that fails once `failAt` bytes have been read.
class FailingSource : public TMemoryStream {
 public:
  FailingSource(std::size_t size, std::int64_t failAt) : failAt_(failAt) {
    SetSize(static_cast<std::int64_t>(size));
  }
  std::size_t Read(void* buffer, std::size_t count) override {
    if (Position() + static_cast<std::int64_t>(count) > failAt_)
      throw platform::TStreamError("Cannot read file broken.bin: Input/output error");
    return TMemoryStream::Read(buffer, count);
  }

 private:
  std::int64_t failAt_;
};

TEST(UUProcessorTest, ReadFailureStillEndsTheEncodingAndKeepsWhatWasWritten) {
  FailingSource in(1000, 100);
  TMemoryStream out;
  TUUProcessor uu;
  uu.SourceStream = &in;
  uu.TargetStream = &out;
  int ends = 0;
  uu.OnEndEncode = [&](TUUProcessor&) { ++ends; };
  EXPECT_THROW(uu.EncodeStream(), platform::TStreamError);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(out.Position(), 0);
  EXPECT_EQ(out.Length(), 2u * 62);  // the two whole blocks read before the failure
}

// A target that cuts the source file to 100 KiB when the first encoded text reaches it.
class CuttingTarget : public TMemoryStream {
 public:
  explicit CuttingTarget(std::string file) : file_(std::move(file)) {}
  void Write(const void* buffer, std::size_t count) override {
    if (!cut) cut = ::truncate(file_.c_str(), 100 << 10) == 0;
    TMemoryStream::Write(buffer, count);
  }
  bool cut = false;

 private:
  std::string file_;
};

// An attachment cut while it is encoded must not be mailed as if whole: the short read fails,
// names the file, and the uu form writes no end line.
TEST(UUProcessorTest, FileCutWhileEncodedFailsNamingIt) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string src = dir.path().toStdString() + "/attachment.bin";
  for (UUMethods method : {uuMime, uuCode}) {
    std::ofstream(src, std::ios::binary) << std::string(10 << 20, 'a');
    TFileStream in(src, TFileStream::Mode::OpenRead);
    CuttingTarget target(src);
    TUUProcessor uu;
    uu.Method = method;
    uu.SourceStream = &in;
    uu.TargetStream = &target;
    try {
      uu.EncodeStream();
      FAIL() << "a cut file was encoded as whole";
    } catch (const platform::TStreamError& e) {
      EXPECT_NE(std::string(e.what()).find(src), std::string::npos) << e.what();
    }
    EXPECT_TRUE(target.cut);
    std::string text(reinterpret_cast<const char*>(target.Data()), target.Length());
    EXPECT_LT(text.size(), std::size_t{10} << 20);
    EXPECT_EQ(text.find("\r\n`\r\n"), std::string::npos) << "end line after a cut source";
  }
}

// Encodes random files of many sizes to files and decodes them with coreutils.
TEST(UUProcessorTest, RandomFilesDecodeToTheSameBytes) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string base = dir.path().toStdString();
  std::mt19937 rng(20261207);
  const std::size_t sizes[] = {0,   1,   2,    3,    44,    45,    46,    89,     90,     91,
                               134, 135, 1000, 4095, 65535, 65536, 65537, 100000, 262147, 1 << 20};
  for (std::size_t size : sizes) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    const std::string src = base + "/src.bin", enc = base + "/enc.txt", dec = base + "/dec.bin";
    std::ofstream(src, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
    {
      TFileStream in(src, TFileStream::Mode::OpenRead);
      TFileStream out(enc, TFileStream::Mode::Create);
      TUUProcessor uu;
      uu.SourceStream = &in;
      uu.TargetStream = &out;
      uu.EncodeStream();
    }
    std::ifstream encoded(enc, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(encoded)), {});
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < text.size(); ++lines) {
      std::size_t end = text.find("\r\n", pos);
      ASSERT_NE(end, std::string::npos);
      bool last = end + 2 == text.size();
      if (!last) {
        ASSERT_EQ(end - pos, 60u) << size;
      }
      pos = end + 2;
    }
    EXPECT_EQ(lines, (size + 44) / 45) << size;
    std::string cmd = "tr -d '\\r' < '" + enc + "' | base64 -d > '" + dec + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << size;
    std::ifstream decoded(dec, std::ios::binary);
    std::string back((std::istreambuf_iterator<char>(decoded)), {});
    EXPECT_TRUE(back == data) << "size " << size;
  }
}

}  // namespace
}  // namespace tavrin::net
