#include "net/HostResolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QObject>
#include <QTimer>
#include <mutex>
#include <system_error>
#include <thread>

namespace tavrin::net {

namespace {

constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoAddress = 11004;

int LookupErrorCode(int gaiError) {
  switch (gaiError) {
    case EAI_NONAME: return kHostNotFound;
    case EAI_AGAIN: return kTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA: return kNoAddress;
#endif
    case EAI_ADDRFAMILY: return kNoAddress;
    default: return kNoRecovery;
  }
}

// What a look-up thread and its resolver share. The thread delivers only while `receiver` is
// set; the resolver clears it, under the lock, before it may go.
struct Pending {
  std::mutex mutex;
  QObject* receiver = nullptr;
};

class TThreadResolver : public THostResolver {
 public:
  explicit TThreadResolver(LookupFunction lookup) : lookup_(std::move(lookup)) {}
  ~TThreadResolver() override { Abort(); }

  void Start(const std::string& name, Callback done) override {
    Abort();
    done_ = std::move(done);
    const std::uint64_t id = ++lookupId_;
    pending_ = std::make_shared<Pending>();
    pending_->receiver = &context_;
    try {
      std::thread(Run, pending_, lookup_, name, this, id).detach();
    } catch (const std::system_error&) {  // no thread to be had: the look-up fails
      QTimer::singleShot(0, &context_, [this, id] { Finished(id, kNoRecovery, 0); });
    }
  }

  void Abort() override {
    if (pending_) {
      std::lock_guard lock(pending_->mutex);
      pending_->receiver = nullptr;
    }
    pending_.reset();
    done_ = nullptr;
    ++lookupId_;
  }

  int FailureCode() const override { return failure_; }

 private:
  // The look-up thread. It outlives an abandoned look-up and its resolver, so it holds only
  // what it owns; it reaches the resolver through the receiver's event queue.
  static void Run(std::shared_ptr<Pending> pending, LookupFunction lookup, std::string name,
                  TThreadResolver* resolver, std::uint64_t id) {
    std::uint32_t address = 0;
    int error = lookup ? lookup(name, &address) : SystemLookup(name, &address);
    std::lock_guard lock(pending->mutex);
    if (pending->receiver == nullptr) return;
    QMetaObject::invokeMethod(
        pending->receiver,
        [resolver, id, error, address] { resolver->Finished(id, error, address); },
        Qt::QueuedConnection);
  }

  void Finished(std::uint64_t id, int error, std::uint32_t address) {
    if (id != lookupId_) return;  // an aborted look-up answering late
    pending_.reset();
    Callback done = std::move(done_);
    done_ = nullptr;
    failure_ = error;
    if (done) done(error == 0, error == 0 ? address : 0);
  }

  LookupFunction lookup_;
  QObject context_;  // ends delivery when the resolver goes
  std::shared_ptr<Pending> pending_;
  std::uint64_t lookupId_ = 0;
  Callback done_;
  int failure_ = 0;
};

}  // namespace

int SystemLookup(const std::string& name, std::uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;  // a name with only IPv6 addresses is told from an unknown one
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) return LookupErrorCode(rc);
  int error = kNoAddress;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    *address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    error = 0;
    break;
  }
  ::freeaddrinfo(list);
  return error;
}

std::unique_ptr<THostResolver> MakeSystemResolver(LookupFunction lookup) {
  return std::make_unique<TThreadResolver>(std::move(lookup));
}

}  // namespace tavrin::net
