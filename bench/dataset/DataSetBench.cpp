// The send loop over a table through the dataset: open, GoFirst, GetField of NAME and EMAIL,
// SkipBy(1) until AtEnd. Prints: dataset RECORDS SECONDS PEAK_RSS_KIB CHECKSUM, the same columns
// as bench/dbf's scans. Single-threaded.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "dataset/XbDbf.h"

namespace {

long PeakRssKib() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
    return 2;
  }
  try {
    const auto start = std::chrono::steady_clock::now();
    tavrin::dataset::TXbDbf table("tblRecipients");
    table.SetDbfFileName(argv[1]);
    table.Open();
    long long records = 0;
    unsigned long long checksum = 0;
    for (table.GoFirst(); !table.AtEnd(); table.SkipBy(1)) {
      const std::string name = table.GetField("NAME");
      const std::string email = table.GetField("EMAIL");
      checksum += static_cast<unsigned char>(name[0]) + static_cast<unsigned char>(email[0]);
      ++records;
    }
    table.Close();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("dataset %lld %.6f %ld %llu\n", records, seconds, PeakRssKib(), checksum);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
}
