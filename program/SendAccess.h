// SendAccess: how one send reaches its server and signs in, gathered from the settings, the secret
// store or the user when Send is pressed, before anything else starts.
//
// Owns a copy of the password and overwrites it when it goes. GUI thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "program/AppServices.h"
#include "send/MailSend.h"
#include "send/SendDialogue.h"

namespace tavrin::app {

inline constexpr const char* kPasswordNeedsEncryption =
    "A password is sent only over an encrypted connection: choose STARTTLS or TLS.";

struct SendAccess {
  SendAccess() = default;
  SendAccess(const SendAccess&) = default;
  SendAccess& operator=(const SendAccess&) = default;
  ~SendAccess();

  Security security = Security::kNone;
  std::string userName;  // "": no sign-in
  std::string password;
  int recipientsPerMessage = 0;
  std::function<void(bool accepted)> passwordJudged;  // see SendJob

  // Puts these values into `job`, or into `setup`: the one place the credentials go from.
  void FillJob(SendJob& job) const;
  void FillSetup(SendSetup& setup) const;
};

// A send to the server and recipients table the settings name, on `port` (as checked when the
// settings were applied), its temporary file in `tempDir`; no credentials yet (FillSetup).
SendSetup SendSetupFrom(const Settings& settings, int port, const std::string& tempDir);

// The access the settings describe. Nothing, after telling why, when the Security setting is
// unknown or a user name would sign in over a plain connection; nothing, quietly, when the user
// cancels the password prompt.
std::optional<SendAccess> GatherSendAccess(AppServices& services, Settings& settings);

}  // namespace tavrin::app
