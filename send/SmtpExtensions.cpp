#include "send/SmtpExtensions.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace tavrin::app {

namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

}  // namespace

void TSmtpExtensions::Clear() {
  sawFirstLine_ = false;
  keywords_.clear();
}

void TSmtpExtensions::AddReplyLine(const std::string& line) {
  if (!sawFirstLine_) {
    sawFirstLine_ = true;
    return;
  }
  // Text after the three-digit code and its separator, without the line end.
  std::string text = line.size() > 4 ? line.substr(4) : std::string();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.size() > 5 && Upper(text.substr(0, 5)) == "AUTH=") text[4] = ' ';
  std::istringstream words(text);
  Extension extension;
  if (!(words >> extension.keyword)) return;
  extension.keyword = Upper(extension.keyword);
  for (std::string word; words >> word;) extension.parameters.push_back(Upper(word));
  if (const Extension* known = Find(extension.keyword)) {
    // A keyword listed twice ("AUTH" and the old "AUTH="): one entry with every parameter.
    auto& params = const_cast<Extension*>(known)->parameters;
    for (auto& p : extension.parameters)
      if (std::find(params.begin(), params.end(), p) == params.end()) params.push_back(p);
    return;
  }
  keywords_.push_back(std::move(extension));
}

const TSmtpExtensions::Extension* TSmtpExtensions::Find(const std::string& keyword) const {
  const std::string wanted = Upper(keyword);
  for (const auto& e : keywords_)
    if (e.keyword == wanted) return &e;
  return nullptr;
}

bool TSmtpExtensions::Has(const std::string& keyword) const { return Find(keyword) != nullptr; }

std::vector<std::string> TSmtpExtensions::Parameters(const std::string& keyword) const {
  const Extension* e = Find(keyword);
  return e ? e->parameters : std::vector<std::string>{};
}

bool TSmtpExtensions::OffersAuth(const std::string& mechanism) const {
  const auto params = Parameters("AUTH");
  return std::find(params.begin(), params.end(), Upper(mechanism)) != params.end();
}

std::optional<std::uint64_t> TSmtpExtensions::SizeLimit() const {
  const auto params = Parameters("SIZE");
  if (params.empty()) return std::nullopt;
  const std::string& digits = params.front();
  if (digits.empty() || digits.size() > 19 ||
      !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
    return std::nullopt;
  const std::uint64_t limit = std::stoull(digits);
  if (limit == 0) return std::nullopt;
  return limit;
}

}  // namespace tavrin::app
