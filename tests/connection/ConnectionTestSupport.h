// Helpers for the connection's unit tests: a loopback peer that records what the
// connection writes and sends what a test tells it to, and the way in to a
// connection's protocol core. The message builders, the recording user interface and
// component are the core tests' (CoreTestSupport.h).
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection/RdaClientCore.h"
#include "connection/RdaClientSocket.h"
#include "tests/connection_core/CoreTestSupport.h"

namespace rda {

// What the tests see of a connection's inside: its protocol core.
class TRdaClientSocketTestPeer {
 public:
  static TRdaClientCore& Core(TRdaClientSocket& s) { return s.C(); }
};

}  // namespace rda

namespace rda::test {

inline TRdaClientCore& Core(TRdaClientSocket& s) { return TRdaClientSocketTestPeer::Core(s); }

// Runs the event loop until `done` or `ms` pass; true when done.
inline bool RunUntil(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// A loopback peer for one connection: records received bytes, sends on request.
class FakePeer {
 public:
  FakePeer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      socket_ = server_.nextPendingConnection();
      ++connections_;
      QObject::connect(socket_, &QTcpSocket::readyRead, [this, s = socket_] {
        const QByteArray bytes = s->readAll();
        received_.append(bytes.constData(), static_cast<size_t>(bytes.size()));
        if (onReceive) onReceive();
      });
    });
  }
  int Port() const { return server_.serverPort(); }
  int Connections() const { return connections_; }
  bool Connected() const {
    return socket_ != nullptr && socket_->state() == QAbstractSocket::ConnectedState;
  }
  const std::string& Received() const { return received_; }
  void ClearReceived() { received_.clear(); }
  void Send(const std::string& bytes) {
    socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    socket_->flush();
  }
  void Close() {
    if (socket_ != nullptr) socket_->disconnectFromHost();
  }
  // Received frames (after the 4-byte lengths), as far as they are complete.
  std::vector<std::string> Frames() const { return FramesIn(received_); }
  std::function<void()> onReceive;

 private:
  QTcpServer server_;
  QTcpSocket* socket_ = nullptr;
  int connections_ = 0;
  std::string received_;
};

// A peer on its own thread for one blocking exchange: it reads the marker and the
// frames until `requestBytes` have come, answers with `reply` and closes. The test's
// thread may block in the meantime.
class ThreadPeer {
 public:
  ThreadPeer(size_t requestBytes, std::string reply) {
    std::promise<int> port;
    std::future<int> portReady = port.get_future();
    thread_ = std::thread([this, requestBytes, reply = std::move(reply), &port] {
      QTcpServer server;
      server.listen(QHostAddress::LocalHost, 0);
      port.set_value(server.serverPort());
      if (!server.waitForNewConnection(5000)) return;
      QTcpSocket* socket = server.nextPendingConnection();
      while (received_.size() < requestBytes && socket->waitForReadyRead(5000)) {
        const QByteArray bytes = socket->readAll();
        received_.append(bytes.constData(), static_cast<size_t>(bytes.size()));
      }
      socket->write(reply.data(), static_cast<qint64>(reply.size()));
      socket->waitForBytesWritten(5000);
      socket->disconnectFromHost();
      if (socket->state() != QAbstractSocket::UnconnectedState) socket->waitForDisconnected(5000);
    });
    port_ = portReady.get();
  }
  ~ThreadPeer() {
    if (thread_.joinable()) thread_.join();
  }
  int Port() const { return port_; }
  // What the peer read; waits for it to finish its one exchange.
  const std::string& Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  std::thread thread_;
  int port_ = 0;
  std::string received_;
};

}  // namespace rda::test
