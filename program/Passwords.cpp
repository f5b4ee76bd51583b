#include "program/Passwords.h"

#include "program/AppServices.h"
#include "platform/SecretStore.h"

namespace tavrin::app {

SessionPasswords::~SessionPasswords() {
  for (auto& [key, password] : passwords_) platform::WipeSecret(password);
}

const std::string* SessionPasswords::Find(const std::string& key) const {
  const auto found = passwords_.find(key);
  return found == passwords_.end() ? nullptr : &found->second;
}

void SessionPasswords::Keep(const std::string& key, const std::string& password) {
  std::string& kept = passwords_[key];
  platform::WipeSecret(kept);
  kept = password;
  refused_.erase(key);
}

void SessionPasswords::Refused(const std::string& key) {
  Forget(key);
  refused_.insert(key);
}

void SessionPasswords::StoreOnceAccepted(const std::string& key, bool store) {
  if (store)
    storeOnceAccepted_.insert(key);
  else
    storeOnceAccepted_.erase(key);
}

void SessionPasswords::Forget(const std::string& key) {
  const auto found = passwords_.find(key);
  if (found == passwords_.end()) return;
  platform::WipeSecret(found->second);
  passwords_.erase(found);
}

std::string PasswordKey(const std::string& userName, const std::string& serverName) {
  return userName.empty() ? std::string() : userName + "@" + serverName;
}

std::optional<std::string> PasswordForSend(AppServices& services, const std::string& userName,
                                           const std::string& serverName) {
  const std::string key = PasswordKey(userName, serverName);
  if (const std::string* known = services.passwords.Find(key)) return *known;
  std::optional<std::string> password;
  if (services.secrets != nullptr && !services.passwords.WasRefused(key))
    password = services.secrets->Read(key);
  if (!password || password->empty())  // an empty one stored is none
    password = services.dialogs.AskPassword(
        SettingToAnsi("Password for " + userName + " at " + serverName + ":"));
  if (!password || password->empty()) return std::nullopt;
  services.passwords.Keep(key, *password);
  return password;
}

void PasswordJudged(AppServices& services, const std::string& key, bool accepted) {
  if (key.empty()) return;
  platform::SecretStore* store = services.secrets;
  if (!accepted) {
    services.passwords.Refused(key);
    if (store == nullptr) return;
    std::optional<std::string> stored = store->Read(key);
    if (!stored) return;
    platform::WipeSecret(*stored);
    store->Remove(key);
    services.passwords.StoreOnceAccepted(key, true);
    return;
  }
  if (!services.passwords.StoresOnceAccepted(key) || store == nullptr) return;
  const std::string* known = services.passwords.Find(key);
  if (known != nullptr && store->Write(key, *known))
    services.passwords.StoreOnceAccepted(key, false);
}

KnownPassword PasswordKnownFor(AppServices& services, const std::string& key) {
  KnownPassword known;
  if (key.empty()) return known;
  std::optional<std::string> stored;
  if (services.secrets != nullptr) stored = services.secrets->Read(key);
  known.stored = stored.has_value();
  if (const std::string* kept = services.passwords.Find(key))
    known.password = *kept;
  else if (stored)
    known.password = *stored;
  if (stored) platform::WipeSecret(*stored);
  return known;
}

void ConfirmPassword(AppServices& services, const std::string& shownKey, bool shownStored,
                     const std::string& key, const std::string& typed, bool remember) {
  if (key.empty()) return;
  // The user has chosen for the account here: no earlier choice waits for a sign-in.
  services.passwords.StoreOnceAccepted(shownKey, false);
  services.passwords.StoreOnceAccepted(key, false);
  if (typed.empty()) {
    services.passwords.Forget(shownKey);
    services.passwords.Forget(key);
  } else {
    services.passwords.Keep(key, typed);
  }
  platform::SecretStore* store = services.secrets;
  if (remember && !typed.empty()) {
    if (store == nullptr || !store->Write(key, typed))
      services.dialogs.ShowMessage(
          "The password could not be kept in the desktop's secret store. It is used until the "
          "program ends and asked for at the first send after that.");
    return;
  }
  if (store == nullptr || !shownStored) return;
  if (!shownKey.empty() && shownKey != key) store->Remove(shownKey);
  store->Remove(key);
}

}  // namespace tavrin::app
