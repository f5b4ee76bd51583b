// RecordingSecretStore: the test double of SecretStore.
//
// Keeps secrets in a map and records every call in order ("read KEY", "write KEY", "remove KEY";
// never the secret itself). With `answers` false it behaves as a store that cannot be reached:
// reads find nothing, writes fail, removals change nothing. Owns its records.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/SecretStore.h"

namespace tavrin::platform {

class RecordingSecretStore final : public SecretStore {
 public:
  std::optional<std::string> Read(const std::string& key) override {
    calls.push_back("read " + key);
    const auto found = secrets.find(key);
    if (!answers || found == secrets.end()) return std::nullopt;
    return found->second;
  }
  bool Write(const std::string& key, const std::string& secret) override {
    calls.push_back("write " + key);
    if (answers) secrets[key] = secret;
    return answers;
  }
  void Remove(const std::string& key) override {
    calls.push_back("remove " + key);
    if (answers) secrets.erase(key);
  }

  std::map<std::string, std::string> secrets;
  std::vector<std::string> calls;
  bool answers = true;
};

}  // namespace tavrin::platform
