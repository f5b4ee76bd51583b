#include "platform/SecretStore.h"

#include <string.h>

#include <QEventLoop>
#include <QTimer>
#include <memory>
#include <qt6keychain/keychain.h>

namespace tavrin::platform {
namespace {

struct Outcome {
  bool finished = false;
  QKeychain::Error error = QKeychain::OtherError;
  QByteArray data;
};

// Zeros a buffer that no one else shares; a shared one is only let go.
void Wipe(QByteArray& bytes) {
  if (!bytes.isEmpty() && bytes.isDetached()) explicit_bzero(bytes.data(), bytes.size());
  bytes.clear();
}

void Wipe(QString& text) {
  if (!text.isEmpty() && text.isDetached())
    explicit_bzero(text.data(), text.size() * sizeof(QChar));
  text.clear();
}

// Starts `job` and waits for it at most `waitMs`, repainting but taking no user input, so that no
// click can start a second wait inside this one. A job that has not finished in time is left to
// finish and delete itself; its answer is dropped.
Outcome Run(QKeychain::Job* job, int waitMs) {
  auto outcome = std::make_shared<Outcome>();
  QEventLoop loop;
  QObject::connect(job, &QKeychain::Job::finished, &loop, [outcome, &loop](QKeychain::Job* done) {
    outcome->finished = true;
    outcome->error = done->error();
    if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done)) {
      QString text = read->textData();
      outcome->data = text.toUtf8();
      Wipe(text);
    }
    loop.quit();
  });
  QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
  job->setAutoDelete(true);
  job->start();
  if (!outcome->finished) loop.exec(QEventLoop::ExcludeUserInputEvents);
  return std::move(*outcome);
}

}  // namespace

KeychainSecretStore::KeychainSecretStore(std::string service, int waitMs)
    : service_(std::move(service)), waitMs_(waitMs) {}

std::optional<std::string> KeychainSecretStore::Read(const std::string& key) {
  auto* job = new QKeychain::ReadPasswordJob(QString::fromStdString(service_));
  job->setKey(QString::fromStdString(key));
  Outcome outcome = Run(job, waitMs_);
  if (!outcome.finished || outcome.error != QKeychain::NoError) return std::nullopt;
  std::string secret(outcome.data.constData(), outcome.data.size());
  Wipe(outcome.data);
  return secret;
}

bool KeychainSecretStore::Write(const std::string& key, const std::string& secret) {
  auto* job = new QKeychain::WritePasswordJob(QString::fromStdString(service_));
  job->setKey(QString::fromStdString(key));
  QString text = QString::fromUtf8(secret.data(), static_cast<qsizetype>(secret.size()));
  job->setTextData(text);
  Wipe(text);
  const Outcome outcome = Run(job, waitMs_);
  return outcome.finished && outcome.error == QKeychain::NoError;
}

void KeychainSecretStore::Remove(const std::string& key) {
  auto* job = new QKeychain::DeletePasswordJob(QString::fromStdString(service_));
  job->setKey(QString::fromStdString(key));
  Run(job, waitMs_);
}

void WipeSecret(std::string& secret) {
  // The whole buffer, not only the current length: a secret that was longer before (or a string
  // shortened in place) leaves its bytes beyond size(). resize() up to the capacity never
  // reallocates, so the bytes overwritten are the ones that held the secret.
  secret.resize(secret.capacity());
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

}  // namespace tavrin::platform
