// TSockClient: the program's TCP client connection to the mail server.
//
// Owns one socket at a time. This first cut holds the connection properties that the settings
// set; connecting, events and data transfer are added on top of it. Lives on the GUI thread.
#pragma once

#include <QObject>
#include <string>

namespace tavrin::net {

class TSockClient : public QObject {
  Q_OBJECT
 public:
  explicit TSockClient(QObject* owner = nullptr);
  ~TSockClient() override;

  // Server name or dotted IPv4 address; a longer text keeps its first 127 characters.
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host);
  // Server TCP port; its low 16 bits are used when connecting.
  int Port() const { return port_; }
  void SetPort(int port) { port_ = port; }
  // Milliseconds allowed for look-up, connect and each wait; 0 waits without limit.
  int TimeOut() const { return timeOut_; }
  void SetTimeOut(int ms) { timeOut_ = ms < 0 ? 0 : ms; }

 private:
  std::string host_;
  int port_ = 0;
  int timeOut_ = 0;
};

}  // namespace tavrin::net
