#include "send/MailSend.h"

#include <cassert>

#include "platform/SecretStore.h"

namespace tavrin::app {

SendSetup::~SendSetup() { platform::WipeSecret(password); }

TMailSend::TMailSend(SendSetup setup)
    : setup_(std::move(setup)), dialogue_(sock_, replies_, log_, table_) {
  platform::WipeSecret(setup.password);  // a short one was copied, not moved
  sock_.SetHost(setup_.server);
  sock_.SetPort(setup_.port);
  sock_.SetTimeOut(kSocketTimeOutMs);
  if (!setup_.caFile.empty()) sock_.SetCaFile(setup_.caFile);
  dataset_.SetDbfFileName(setup_.tableFile);
  replies_.Transcript = [this](const std::string& text) {
    if (dialogue_.events.transcript) dialogue_.events.transcript(text);
  };
}

TMailSend::~TMailSend() = default;

void TMailSend::Start(MailMessage message) {
  assert(!started_);
  started_ = true;
  SendJob job;
  job.serverName = setup_.server;
  job.returnEmail = setup_.returnEmail;
  job.nameField = setup_.nameField;
  job.emailField = setup_.emailField;
  job.messageLines = std::move(message.lines);
  job.boundary = std::move(message.boundary);
  job.attachments = std::move(message.attachments);
  job.tempDir = setup_.tempDir;
  job.security = setup_.security;
  job.userName = setup_.userName;
  job.password = setup_.password;
  platform::WipeSecret(setup_.password);
  job.passwordJudged = setup_.passwordJudged;
  job.recipientsPerMessage = setup_.recipientsPerMessage;
  job.personalised = message.personalised;
  job.input = std::move(message.input);
  job.optOutField = std::move(message.optOutField);
  job.testRecord = message.testRecord;
  job.settledBefore = std::move(message.settledBefore);
  dialogue_.Start(std::move(job));
}

}  // namespace tavrin::app
