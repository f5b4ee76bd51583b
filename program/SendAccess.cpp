#include "program/SendAccess.h"

#include "platform/SecretStore.h"

namespace tavrin::app {

SendAccess::~SendAccess() { platform::WipeSecret(password); }

void SendAccess::FillJob(SendJob& job) const {
  job.security = security;
  job.userName = userName;
  job.password = password;
  job.recipientsPerMessage = recipientsPerMessage;
  job.passwordJudged = passwordJudged;
}

void SendAccess::FillSetup(SendSetup& setup) const {
  setup.security = security;
  setup.userName = userName;
  setup.password = password;
  setup.recipientsPerMessage = recipientsPerMessage;
  setup.passwordJudged = passwordJudged;
}

SendSetup SendSetupFrom(const Settings& s, int port, const std::string& tempDir) {
  SendSetup setup;
  setup.server = s.ServerName;
  setup.port = port;
  setup.tableFile = TableFilePath(s);
  setup.nameField = SettingToAnsi(s.NameFieldname);
  setup.emailField = SettingToAnsi(s.EmailFieldname);
  setup.returnEmail = s.ReturnEmail;
  setup.tempDir = tempDir;
  return setup;
}

std::optional<SendAccess> GatherSendAccess(AppServices& services, Settings& s) {
  const auto security = ParseSecurity(s.Security);
  if (!security) {
    services.dialogs.ShowMessage(UnknownSecurityMessage(s.Security));
    return std::nullopt;
  }
  // The dialog refuses this too; a hand-edited file must not send a password in plain text.
  if (!s.UserName.empty() && *security == Security::kNone) {
    services.dialogs.ShowMessage(kPasswordNeedsEncryption);
    return std::nullopt;
  }
  SendAccess access;
  access.security = *security;
  access.recipientsPerMessage = RecipientsPerMessageLimit(s, services.dialogs);
  if (s.UserName.empty()) return access;
  auto password = PasswordForSend(services, s.UserName, s.ServerName);
  if (!password) return std::nullopt;
  access.userName = s.UserName;
  // The services outlive every window and so every send.
  access.passwordJudged = [&services, key = PasswordKey(s.UserName, s.ServerName)](bool accepted) {
    PasswordJudged(services, key, accepted);
  };
  access.password = *password;
  platform::WipeSecret(*password);
  return access;
}

}  // namespace tavrin::app
