#include "connection/RdaTransport.h"

#include <QAbstractSocket>
#include <QTcpSocket>
#include <QTimer>

namespace rda {

namespace {

class TRdaTcpTransport final : public TRdaTransport {
 public:
  static constexpr qint64 kReadBufferSize = 256 * 1024;

  TRdaTcpTransport() {
    // The connection drains the socket on every read event, so Qt's own buffer only
    // needs to hold one read's worth; a small one is reused instead of growing with
    // every large reply.
    socket_.setReadBufferSize(kReadBufferSize);
    connectTimer_.setSingleShot(true);
    QObject::connect(&connectTimer_, &QTimer::timeout, &socket_, [this] { ConnectTimedOut(); });
    QObject::connect(&socket_, &QAbstractSocket::stateChanged, &socket_,
                     [this](QAbstractSocket::SocketState state) {
                       if (events_ == nullptr) return;
                       if (state == QAbstractSocket::HostLookupState) events_->TransportLookup();
                       if (state == QAbstractSocket::ConnectingState) events_->TransportConnecting();
                     });
    QObject::connect(&socket_, &QAbstractSocket::connected, &socket_, [this] {
      connectTimer_.stop();
      connected_ = true;
      // Requests and replies are small and alternate: do not hold a request back
      // waiting for the acknowledgement of the previous one.
      socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
      if (events_ != nullptr) events_->TransportConnected();
    });
    QObject::connect(&socket_, &QAbstractSocket::disconnected, &socket_, [this] {
      connectTimer_.stop();
      if (events_ != nullptr) events_->TransportDisconnected();
    });
    QObject::connect(&socket_, &QIODevice::readyRead, &socket_, [this] {
      if (events_ != nullptr) events_->TransportReadyRead();
    });
    QObject::connect(&socket_, &QIODevice::bytesWritten, &socket_, [this](qint64) {
      if (events_ != nullptr) events_->TransportBytesWritten();
    });
    QObject::connect(&socket_, &QAbstractSocket::errorOccurred, &socket_,
                     [this](QAbstractSocket::SocketError error) { SocketError(error); });
  }

  ~TRdaTcpTransport() override {
    // No events into a connection that is going away.
    events_ = nullptr;
    socket_.abort();
  }

  void Open(const std::string& host, uint16_t port, int connectTimeoutMs) override {
    connected_ = false;
    lastError_ = 0;
    lastErrorText_.clear();
    if (connectTimeoutMs > 0) connectTimer_.start(connectTimeoutMs);
    socket_.connectToHost(QString::fromStdString(host), port);
  }

  void Close() override {
    connectTimer_.stop();
    if (socket_.state() == QAbstractSocket::ConnectedState) {
      socket_.disconnectFromHost();
    } else {
      socket_.abort();
    }
  }

  void Abort() override {
    connectTimer_.stop();
    socket_.abort();
  }

  bool IsConnected() const override { return socket_.state() == QAbstractSocket::ConnectedState; }
  bool IsIdle() const override { return socket_.state() == QAbstractSocket::UnconnectedState; }

  int64_t Write(std::string_view bytes) override {
    if (!IsConnected()) return 0;
    const qint64 n = socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    return n < 0 ? 0 : n;
  }
  void Flush() override { socket_.flush(); }
  int64_t BytesAvailable() const override { return socket_.isOpen() ? socket_.bytesAvailable() : 0; }
  size_t Read(char* buffer, size_t max) override {
    if (!socket_.isOpen()) return 0;
    const qint64 n = socket_.read(buffer, static_cast<qint64>(max));
    return n < 0 ? 0 : static_cast<size_t>(n);
  }

  bool WaitForConnected(int ms) override { return socket_.waitForConnected(ms); }
  bool WaitForBytesWritten(int ms) override { return socket_.waitForBytesWritten(ms); }
  bool WaitForReadyRead(int ms) override { return socket_.waitForReadyRead(ms); }
  int64_t BytesToWrite() const override { return socket_.bytesToWrite(); }

  int LastErrorCode() const override { return lastError_; }
  std::string LastErrorText() const override { return lastErrorText_; }

 private:
  void SocketError(QAbstractSocket::SocketError error) {
    connectTimer_.stop();
    // A time-out of one of the blocking waits is that call's result, not a socket
    // error: the caller decides what it means.
    if (error == QAbstractSocket::SocketTimeoutError && socket_.state() != QAbstractSocket::UnconnectedState)
      return;
    const bool peerClosed = error == QAbstractSocket::RemoteHostClosedError;
    lastError_ = WinsockCodeForSocketError(static_cast<int>(error), connected_);
    lastErrorText_ = socket_.errorString().toStdString();
    TErrorEvent kind = connected_ ? eeReceive : eeConnect;
    if (error == QAbstractSocket::HostNotFoundError) kind = eeLookup;
    if (events_ != nullptr) events_->TransportError(lastError_, kind, peerClosed);
  }

  void ConnectTimedOut() {
    if (socket_.state() == QAbstractSocket::ConnectedState) return;
    socket_.abort();
    lastError_ = kWSAETIMEDOUT;
    lastErrorText_ = "Connection timed out";
    if (events_ != nullptr) events_->TransportError(lastError_, eeConnect, false);
  }

  QTcpSocket socket_;
  QTimer connectTimer_;
  bool connected_ = false;
  int lastError_ = 0;
  std::string lastErrorText_;
};

}  // namespace

std::unique_ptr<TRdaTransport> MakeTcpTransport() {
  return std::make_unique<TRdaTcpTransport>();
}

int WinsockCodeForSocketError(int qtSocketError, bool connected) {
  switch (static_cast<QAbstractSocket::SocketError>(qtSocketError)) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionRefusedError:
      return kWSAECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::ProxyConnectionClosedError:
      return kWSAECONNRESET;
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::ProxyNotFoundError:
      return kWSAHOST_NOT_FOUND;
    case QAbstractSocket::SocketAccessError:
      return kWSAEACCES;
    case QAbstractSocket::SocketResourceError:
      return kWSAENOBUFS;
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
      return kWSAETIMEDOUT;
    case QAbstractSocket::DatagramTooLargeError:
      return kWSAEMSGSIZE;
    // Qt reports an unreachable network or host while connecting, and a connection
    // the local stack gave up on (a failed send) once connected, as NetworkError.
    case QAbstractSocket::NetworkError:
      return connected ? kWSAECONNABORTED : kWSAEHOSTUNREACH;
    case QAbstractSocket::AddressInUseError:
      return kWSAEADDRINUSE;
    case QAbstractSocket::SocketAddressNotAvailableError:
      return kWSAEADDRNOTAVAIL;
    case QAbstractSocket::UnsupportedSocketOperationError:
      return kWSAEOPNOTSUPP;
    case QAbstractSocket::UnfinishedSocketOperationError:
      return kWSAEINPROGRESS;
    case QAbstractSocket::TemporaryError:
      return kWSAEWOULDBLOCK;
    default:  // OperationError, the proxy and TLS errors, UnknownSocketError
      return kWSAEINVAL;
  }
}

}  // namespace rda
