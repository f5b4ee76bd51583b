// SecretStore: where a password is kept between runs, behind one small interface.
//
// `KeychainSecretStore` keeps secrets in the desktop's secret service under one service name;
// `RecordingSecretStore` (RecordingSecretStore.h) keeps them in memory for tests. Every call
// returns within a bounded wait: a store that does not answer in time counts as holding nothing.
// Secrets are bytes (a password as UTF-8). GUI thread only.
#pragma once

#include <optional>
#include <string>

namespace tavrin::platform {

class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // The secret kept under `key`, or nothing when there is none or the store cannot be reached.
  virtual std::optional<std::string> Read(const std::string& key) = 0;
  // Keeps `secret` under `key`, replacing any; false when the store did not take it.
  virtual bool Write(const std::string& key, const std::string& secret) = 0;
  // Forgets the secret under `key`, if any; a store that cannot be reached is left as it is.
  virtual void Remove(const std::string& key) = 0;
};

class KeychainSecretStore final : public SecretStore {
 public:
  // `waitMs`: how long one call waits for the store before it counts as not answering.
  explicit KeychainSecretStore(std::string service, int waitMs = 5000);

  std::optional<std::string> Read(const std::string& key) override;
  bool Write(const std::string& key, const std::string& secret) override;
  void Remove(const std::string& key) override;

 private:
  std::string service_;
  int waitMs_;
};

// Overwrites every byte `secret` holds, up to its capacity, with zeros, so that it does not linger
// in freed memory, and empties it.
void WipeSecret(std::string& secret);

}  // namespace tavrin::platform
