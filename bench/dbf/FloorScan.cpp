#include "bench/dbf/FloorScan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace tavrin::bench {
namespace {

struct FieldPos {
  std::size_t offset = 0;
  std::size_t length = 0;
};

unsigned Le16(const unsigned char* p) { return p[0] | (p[1] << 8); }

class Fd {
 public:
  explicit Fd(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

FieldPos FindField(const std::vector<unsigned char>& header, const std::string& name) {
  std::size_t offset = 1;
  for (std::size_t d = 32; d + 32 <= header.size() && header[d] != 0x0D; d += 32) {
    const char* raw = reinterpret_cast<const char*>(&header[d]);
    const std::string field_name(raw, strnlen(raw, 11));
    const std::size_t length = header[d + 16];
    if (field_name == name) return {offset, length};
    offset += length;
  }
  throw std::runtime_error("no field " + name);
}

}  // namespace

ScanResult FloorScan(const std::string& path, const std::string& field1,
                     const std::string& field2) {
  Fd fd(path);
  unsigned char prolog[32];
  if (::pread(fd.get(), prolog, sizeof prolog, 0) != static_cast<ssize_t>(sizeof prolog)) {
    throw std::runtime_error(path + ": short header");
  }
  const std::size_t header_length = Le16(prolog + 8);
  const std::size_t record_length = Le16(prolog + 10);
  if (header_length < 33 || record_length == 0) throw std::runtime_error(path + ": bad header");
  std::vector<unsigned char> header(header_length);
  if (::pread(fd.get(), header.data(), header_length, 0) != static_cast<ssize_t>(header_length)) {
    throw std::runtime_error(path + ": short header");
  }
  const FieldPos f1 = FindField(header, field1);
  const FieldPos f2 = FindField(header, field2);
  if (f1.offset + f1.length > record_length || f2.offset + f2.length > record_length) {
    throw std::runtime_error(path + ": field beyond the record length");
  }

  ScanResult result;
  std::vector<unsigned char> record(record_length);
  std::string v1, v2;
  for (std::int64_t n = 1;; ++n) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw std::runtime_error(path + ": fstat failed");
    const std::int64_t count =
        (static_cast<std::int64_t>(st.st_size) - static_cast<std::int64_t>(header_length)) /
        static_cast<std::int64_t>(record_length);
    if (n > count) break;
    const off_t at = static_cast<off_t>(header_length + (n - 1) * record_length);
    if (::pread(fd.get(), record.data(), record_length, at) !=
        static_cast<ssize_t>(record_length)) {
      throw std::runtime_error(path + ": short read");
    }
    v1.assign(reinterpret_cast<const char*>(&record[f1.offset]), f1.length);
    v2.assign(reinterpret_cast<const char*>(&record[f2.offset]), f2.length);
    result.checksum += static_cast<unsigned char>(v1[0]) + static_cast<unsigned char>(v2[0]);
    ++result.records;
  }
  return result;
}

}  // namespace tavrin::bench
