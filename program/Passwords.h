// The passwords of the mail accounts: kept in the desktop's secret store when the user asks for it,
// kept in memory for the rest of the run once known, and asked for when neither has one.
//
// `SessionPasswords` owns the passwords known in this run, one per account key (user "@" server),
// and overwrites them when it goes. The functions below reach the secret store and the dialogs
// through AppServices. A password never goes to the settings file, a message or a log. GUI thread.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

namespace tavrin::app {

struct AppServices;

class SessionPasswords {
 public:
  SessionPasswords() = default;
  SessionPasswords(SessionPasswords&&) = default;
  SessionPasswords& operator=(SessionPasswords&&) = default;
  ~SessionPasswords();

  const std::string* Find(const std::string& key) const;
  void Keep(const std::string& key, const std::string& password);
  // Overwrites and drops the password kept for `key`, if any.
  void Forget(const std::string& key);
  // The server refused the password of `key`: it is forgotten, and until a new one is kept the
  // store's copy (likely the same wrong one) is not used either: the user is asked.
  void Refused(const std::string& key);
  bool WasRefused(const std::string& key) const { return refused_.count(key) != 0; }
  // Whether the next password of `key` the server accepts goes to the secret store: set when a
  // refused one was taken out of it, so the user's choice to remember it still holds.
  void StoreOnceAccepted(const std::string& key, bool store);
  bool StoresOnceAccepted(const std::string& key) const {
    return storeOnceAccepted_.count(key) != 0;
  }

 private:
  std::map<std::string, std::string> passwords_;
  std::set<std::string> refused_;
  std::set<std::string> storeOnceAccepted_;
};

// The key of an account's password in the store and in memory.
std::string PasswordKey(const std::string& userName, const std::string& serverName);

// The password a send signs in with: the one known in this run, else the stored one, else the
// one the user types at "Password for USER at SERVER:". Nothing when the user cancels or types
// none; the send is then not started.
std::optional<std::string> PasswordForSend(AppServices& services, const std::string& userName,
                                           const std::string& serverName);

// The server's word on the password of `key` that a send signed in with. Refused: forgotten in
// this run and taken out of the secret store too, which would otherwise offer it at every start
// (and a server may lock an account tried too often); when the store held it, the next password
// the server accepts is kept there in its place. Accepted: that replacement, if one is due. A
// store that does not answer is left as it is.
void PasswordJudged(AppServices& services, const std::string& key, bool accepted);

// What the configuration dialog shows: the password known for `key` and whether it is stored.
struct KnownPassword {
  std::string password;
  bool stored = false;
};
KnownPassword PasswordKnownFor(AppServices& services, const std::string& key);

// The configuration dialog's OK for the account `key` (nothing happens without one). A typed
// password becomes the one known in this run; with `remember` it is written to the store (a store
// that does not take it is told). An emptied field leaves no password known in this run for `key`
// or `shownKey`, the account the dialog opened with. Without `remember`, or with the field
// emptied, the store forgets the passwords under both keys, but only when the dialog showed one
// kept there (`shownStored`): a store that did not answer when the dialog opened showed nothing
// and is left as it is.
void ConfirmPassword(AppServices& services, const std::string& shownKey, bool shownStored,
                     const std::string& key, const std::string& typed, bool remember);

}  // namespace tavrin::app
