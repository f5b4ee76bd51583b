#include "platform/Trim.h"

namespace tavrin::platform {

std::string_view TrimControls(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

std::string_view TrimLeft(std::string_view s, std::string_view pad) {
  const std::size_t first = s.find_first_not_of(pad);
  return first == std::string_view::npos ? std::string_view() : s.substr(first);
}

std::string_view TrimRight(std::string_view s, std::string_view pad) {
  const std::size_t last = s.find_last_not_of(pad);
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

std::string_view Trim(std::string_view s, std::string_view pad) {
  return TrimRight(TrimLeft(s, pad), pad);
}

}  // namespace tavrin::platform
