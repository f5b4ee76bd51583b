// TSmtpExtensions: what the server said it can do in its reply to "EHLO".
//
// Fed the reply's lines one by one after Clear; the first line names the server and adds nothing,
// each later line is one extension: a keyword and its parameters. Keywords compare without regard
// to case. Holds only what the latest reply listed: Clear forgets it (after STARTTLS the list
// from before the handshake must not be trusted).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::app {

class TSmtpExtensions {
 public:
  // Forgets every extension; the next line fed is a reply's first.
  void Clear();
  // One line of the reply to "EHLO", as received: "250-PIPELINING\r\n", "250 SIZE 10240000".
  void AddReplyLine(const std::string& line);

  bool Empty() const { return keywords_.empty(); }
  // True when the keyword ("PIPELINING", "STARTTLS", "SIZE", "AUTH") was listed.
  bool Has(const std::string& keyword) const;
  // The parameters listed after the keyword, upper-cased; empty when none or not listed.
  // The old "AUTH=PLAIN LOGIN" form counts as "AUTH PLAIN LOGIN".
  std::vector<std::string> Parameters(const std::string& keyword) const;
  // True when "AUTH" lists the mechanism ("PLAIN", "LOGIN").
  bool OffersAuth(const std::string& mechanism) const;
  // The largest message in octets the server takes, when it listed "SIZE" with a number above 0.
  std::optional<std::uint64_t> SizeLimit() const;

 private:
  struct Extension {
    std::string keyword;  // upper-cased
    std::vector<std::string> parameters;
  };
  const Extension* Find(const std::string& keyword) const;

  bool sawFirstLine_ = false;
  std::vector<Extension> keywords_;
};

}  // namespace tavrin::app
