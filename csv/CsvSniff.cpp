#include "csv/CsvSniff.h"

#include <array>
#include <string>
#include <vector>

#include "csv/TextCodec.h"

namespace tavrin::tools {
namespace {

constexpr std::array<char, 3> kCandidates = {',', ';', '\t'};
constexpr int kLinesLooked = 6;

// Per line, how often each candidate stands outside quotes; a line break inside quotes does not
// end a line. A last line cut short by the end of `head` is left out unless it is the only one.
std::vector<std::array<int, 3>> CountPerLine(std::string_view head) {
  std::vector<std::array<int, 3>> lines;
  std::array<int, 3> counts{};
  bool quoted = false;
  for (const char c : head) {
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '\n') {
      lines.push_back(counts);
      counts = {};
      if (static_cast<int>(lines.size()) >= kLinesLooked) return lines;
    } else if (!quoted) {
      for (std::size_t i = 0; i < kCandidates.size(); ++i)
        if (c == kCandidates[i]) ++counts[i];
    }
  }
  if (lines.empty()) lines.push_back(counts);  // one line, cut or not
  return lines;
}

}  // namespace

char DetectSeparator(std::string_view head) {
  const auto lines = CountPerLine(head);
  const std::array<int, 3>& first = lines.front();
  char best = ',';
  int bestScore = 0;
  for (std::size_t i = 0; i < kCandidates.size(); ++i) {
    if (first[i] == 0) continue;
    bool steady = true;
    for (std::size_t l = 1; l < lines.size(); ++l) steady = steady && lines[l][i] == first[i];
    // A separator every line holds as often as the header beats one that merely occurs more.
    const int score = first[i] + (steady ? 1000 : 0);
    if (score > bestScore) {
      bestScore = score;
      best = kCandidates[i];
    }
  }
  return best;
}

bool IsUtf8Stream(std::istream& in) {
  std::string carry;  // the start of a sequence cut by the end of a chunk
  char chunk[64 * 1024];
  while (in) {
    in.read(chunk, sizeof chunk);
    std::string text = carry;
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
    // Hold back a cut sequence at the end: at most three bytes from its last lead byte.
    std::size_t keep = 0;
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
      const unsigned char b = static_cast<unsigned char>(text[text.size() - back]);
      if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
      const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
      if (length > back) keep = back;
      break;
    }
    if (!in) keep = 0;  // at the end nothing more is coming: the cut sequence is malformed
    carry = text.substr(text.size() - keep);
    text.resize(text.size() - keep);
    if (!IsValidUtf8(text)) return false;
  }
  return carry.empty();
}

}  // namespace tavrin::tools
