#include "net/SockClient.h"

namespace tavrin::net {

namespace {
constexpr std::size_t kMaxHostLength = 127;
}

TSockClient::TSockClient(QObject* owner) : QObject(owner) {}
TSockClient::~TSockClient() = default;

void TSockClient::SetHost(const std::string& host) { host_ = host.substr(0, kMaxHostLength); }

}  // namespace tavrin::net
