// Scan benchmark driver. Modes:
//   create PATH COUNT   writes a table of COUNT records (NAME C(40), EMAIL C(60), AGE N(3,0),
//                       JOINED D) through the engine
//   engine PATH         opens the table shared and scans it with GoTop and SKIP(1), reading NAME
//                       and EMAIL of every record
//   floor PATH          the same scan as one fstat and one pread per record (FloorScan)
// Each scan prints: MODE RECORDS SECONDS PEAK_RSS_KIB CHECKSUM. Single-threaded.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bench/dbf/FloorScan.h"
#include "dbf/Engine.h"

namespace {

namespace dbf = tavrin::dbf;

long PeakRssKib() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void Create(const std::string& path, long count) {
  dbf::CreateDbf(
      path,
      {{"NAME", 'C', 40, 0}, {"EMAIL", 'C', 60, 0}, {"AGE", 'N', 3, 0}, {"JOINED", 'D', 8, 0}});
  dbf::Select(1);
  dbf::USE(path + " EXCLUSIVE");
  const int name = dbf::FieldNo("NAME"), email = dbf::FieldNo("EMAIL");
  const int age = dbf::FieldNo("AGE"), joined = dbf::FieldNo("JOINED");
  for (long i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    dbf::ClearRecord();
    dbf::SetString(name, "Recipient Number " + n);
    dbf::SetString(email, "recipient." + n + "@example.com");
    dbf::SetInteger(age, static_cast<int>(18 + i % 80));
    dbf::SetString(joined, i % 7 == 0 ? dbf::BlankDateText() : "03/15/26");
    dbf::Append();
  }
  dbf::Shutdown();
}

tavrin::bench::ScanResult EngineScan(const std::string& path) {
  dbf::Select(1);
  dbf::USE(path);
  const int name = dbf::FieldNo("NAME"), email = dbf::FieldNo("EMAIL");
  tavrin::bench::ScanResult result;
  for (dbf::GoTop(); !dbf::dEOF(); dbf::SKIP(1)) {
    const std::string n = dbf::GetString(name);
    const std::string e = dbf::GetString(email);
    result.checksum += static_cast<unsigned char>(n[0]) + static_cast<unsigned char>(e[0]);
    ++result.records;
  }
  dbf::Shutdown();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s create PATH COUNT | engine PATH | floor PATH\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1], path = argv[2];
  dbf::SetRaise(true);
  try {
    if (mode == "create") {
      Create(path, argc > 3 ? std::atol(argv[3]) : 1000000);
      return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    tavrin::bench::ScanResult r;
    if (mode == "engine")
      r = EngineScan(path);
    else if (mode == "floor")
      r = tavrin::bench::FloorScan(path, "NAME", "EMAIL");
    else
      throw std::runtime_error("unknown mode " + mode);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s %lld %.6f %ld %llu\n", mode.c_str(), static_cast<long long>(r.records), seconds,
                PeakRssKib(), static_cast<unsigned long long>(r.checksum));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
}
