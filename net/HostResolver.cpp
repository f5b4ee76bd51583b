#include "net/HostResolver.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QtEndian>

namespace tavrin::net {

namespace {

class TSystemResolver : public THostResolver {
 public:
  ~TSystemResolver() override { Abort(); }

  void Start(const std::string& name, Callback done) override {
    Abort();
    done_ = std::move(done);
    lookupId_ = QHostInfo::lookupHost(QString::fromLatin1(name.data(), static_cast<int>(name.size())),
                                      &context_, [this](const QHostInfo& info) { Finished(info); });
  }

  void Abort() override {
    if (lookupId_ < 0) return;
    QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
    done_ = nullptr;
  }

 private:
  void Finished(const QHostInfo& info) {
    if (info.lookupId() != lookupId_) return;  // an aborted look-up answering late
    lookupId_ = -1;
    Callback done = std::move(done_);
    done_ = nullptr;
    std::uint32_t address = 0;
    bool ok = false;
    if (info.error() == QHostInfo::NoError) {
      for (const QHostAddress& a : info.addresses()) {
        if (a.protocol() != QAbstractSocket::IPv4Protocol) continue;
        address = qToBigEndian<quint32>(a.toIPv4Address());
        ok = true;
        break;
      }
    }
    if (done) done(ok, address);
  }

  QObject context_;  // ends delivery when the resolver goes
  int lookupId_ = -1;
  Callback done_;
};

}  // namespace

std::unique_ptr<THostResolver> MakeSystemResolver() { return std::make_unique<TSystemResolver>(); }

}  // namespace tavrin::net
