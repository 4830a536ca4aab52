// Helpers for the connection's unit tests: a loopback peer that records what the
// connection writes and sends what a test tells it to, a user interface that records
// what would be shown, and builders for server messages.
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

#include "base/ByteIO.h"
#include "connection/RdaClientSocket.h"
#include "connection/RdaComponent.h"
#include "connection/RdaUserInterface.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"

namespace rda::test {

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

// A string line as the server composes it.
struct Msg {
  int token;
  int32_t id = 0;
  std::vector<std::string> fields;
};

inline bool operator==(const Msg& a, const Msg& b) {
  return a.token == b.token && a.id == b.id && a.fields == b.fields;
}
inline void PrintTo(const Msg& m, std::ostream* os) {
  *os << "{" << m.token << ", " << m.id;
  for (const std::string& f : m.fields) *os << ", \"" << f << "\"";
  *os << "}";
}

// A received body taken apart (after unpacking it with `transforms`, when given).
inline Msg Decode(std::string body, TRdaBodyTransforms* transforms = nullptr) {
  if (transforms != nullptr) body = transforms->UnpackMessage(std::move(body));
  TRdaStringLine line;
  line.Parse(std::move(body));
  Msg m{line.Token(), line.MsgId(), {}};
  for (int i = 0; i < TRdaStringLine::kMaxFields; ++i) {
    if (ReadI32At(line.Header(), 5 + static_cast<size_t>(i) * TRdaStringLine::kDescriptorSize + 1) == 0)
      break;
    m.fields.push_back(line.NextFieldText());
  }
  return m;
}

inline std::string Compose(const Msg& m) {
  TRdaStringLine line;
  line.SetToken(m.token);
  line.SetMsgId(m.id);
  for (const std::string& f : m.fields) line.AddField(f);
  return line.Compose();
}

// A framed message, packed by `transforms` (as the peer's end is configured).
inline std::string Frame(const Msg& m, TRdaBodyTransforms* transforms = nullptr) {
  std::string body = Compose(m);
  if (transforms != nullptr) body = transforms->PackMessage(std::move(body));
  std::string frame;
  ByteWriter w(frame);
  w.PutI32(static_cast<int32_t>(body.size()));
  w.PutBytes(body);
  return frame;
}

inline std::string ListText(const std::vector<std::pair<std::string, std::string>>& items) {
  TRdaParamList list;
  for (const auto& [name, value] : items) {
    TRdaParamItem& item = list.Add();
    item.SetName(name);
    item.SetAsString(value);
  }
  return list.ToText(false);
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
  std::vector<std::string> Frames() const {
    std::vector<std::string> frames;
    size_t pos = 0;
    while (pos + 4 <= received_.size()) {
      const auto n = static_cast<size_t>(LoadI32LE(received_.data() + pos));
      if (pos + 4 + n > received_.size()) break;
      frames.push_back(received_.substr(pos + 4, n));
      pos += 4 + n;
    }
    return frames;
  }
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

// Records what a window would have shown, and answers as told.
class RecordingUI : public TRdaUserInterface {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  bool AskYesNo(const std::string& text) override {
    questions.push_back(text);
    return answerYes;
  }
  std::optional<TRdaLoginEntry> LoginDialog() override {
    ++loginDialogs;
    if (logins.empty()) return std::nullopt;
    std::optional<TRdaLoginEntry> next = logins.front();
    logins.erase(logins.begin());
    return next;
  }
  std::optional<std::string> InputAddress(const std::string&, const std::string&,
                                          const std::string& initial) override {
    shownAddress = initial;
    return inputAnswer;
  }
  TRdaAddressChoice ChooseAddress(const std::vector<std::string>& list,
                                  const std::string& last) override {
    shownList = list;
    shownAddress = last;
    return choice;
  }
  void TerminateApplication() override { ++terminated; }
  void ShowException(const std::exception& error) override { errors.push_back(error.what()); }

  std::vector<std::string> messages, questions, errors, shownList;
  std::string shownAddress;
  std::vector<std::optional<TRdaLoginEntry>> logins;
  std::optional<std::string> inputAnswer;
  TRdaAddressChoice choice;
  bool answerYes = false;
  int loginDialogs = 0;
  int terminated = 0;
};

// A component that keeps what it is sent.
class RecordingComponent : public TRdaComponent {
 public:
  void ReceiveMessage(TRdaClientSocket&, const TRdaComponentMessage& m) override {
    messages.push_back(m);
  }
  bool AwaitsOutputParams() const override { return awaitsOutput; }
  void ReceiveOutputParams(TRdaClientSocket&, TRdaParamList& params) override {
    outputParams.push_back(params.ToText(false));
  }
  void ReceiveRowsAffected(TRdaClientSocket&, int rows) override { rowsAffected.push_back(rows); }

  std::vector<TRdaComponentMessage> messages;
  std::vector<std::string> outputParams;
  std::vector<int> rowsAffected;
  bool awaitsOutput = false;
};

}  // namespace rda::test
