#include "connection/RdaTransport.h"

#include <QAbstractSocket>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QSignalBlocker>
#include <QTcpSocket>
#include <QTimer>

namespace rda {

namespace {

// The WinInet code for a certificate check that failed.
int CodeForSslError(QSslError::SslError error) {
  switch (error) {
    case QSslError::HostNameMismatch:
      return kInternetSecCertCnInvalid;
    case QSslError::CertificateExpired:
    case QSslError::CertificateNotYetValid:
      return kInternetSecCertDateInvalid;
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
    case QSslError::CertificateRejected:
    case QSslError::InvalidCaCertificate:
      return kInternetInvalidCa;
    default:
      return kInternetSecurityChannelError;
  }
}

// A plain connection is a QTcpSocket; a TLS one a QSslSocket, made when an Open asks
// for the other kind. A TLS connection counts as connected once its handshake and the
// checks of the server's certificate have passed; until then, the connect limit
// covers the handshake too, so that a server that never answers it (a plain port)
// cannot hold the connect forever.
class TRdaTcpTransport final : public TRdaTransport {
 public:
  static constexpr qint64 kReadBufferSize = 256 * 1024;
  // The handshake's limit when the connect has none of its own.
  static constexpr int kHandshakeLimitMs = 30000;

  TRdaTcpTransport() {
    connectTimer_.setSingleShot(true);
    QObject::connect(&connectTimer_, &QTimer::timeout, &connectTimer_, [this] { ConnectTimedOut(); });
    MakeSocket(false);
  }

  ~TRdaTcpTransport() override {
    // No events into a connection that is going away.
    events_ = nullptr;
    socket_->abort();
  }

  void Open(const std::string& host, uint16_t port, int connectTimeoutMs,
            const TRdaTlsSettings& tls) override {
    connected_ = false;
    tcpUp_ = false;
    dropped_ = false;
    pendingProblem_.clear();
    lastError_ = 0;
    lastErrorText_.clear();
    certificateText_.clear();
    if (tls.Enabled != (ssl_ != nullptr)) MakeSocket(tls.Enabled);
    if (connectTimeoutMs > 0) connectTimer_.start(connectTimeoutMs);
    if (ssl_ == nullptr) {
      socket_->connectToHost(QString::fromStdString(host), port);
      return;
    }
    ssl_->setSslConfiguration(TlsConfiguration(tls, pendingProblem_));
    if (!pendingProblem_.empty()) {
      // Reported from the event loop, as every other connect failure is (or by a
      // blocking wait for the connection), unless the connection is closed first.
      QTimer::singleShot(0, socket_.get(), [this] { ReportPendingProblem(); });
      return;
    }
    ssl_->connectToHostEncrypted(QString::fromStdString(host), port);
  }

  void Close() override {
    pendingProblem_.clear();
    connectTimer_.stop();
    if (socket_->state() == QAbstractSocket::ConnectedState) {
      socket_->disconnectFromHost();
    } else {
      socket_->abort();
    }
  }

  void Abort() override {
    pendingProblem_.clear();
    connectTimer_.stop();
    socket_->abort();
  }

  bool IsConnected() const override {
    return socket_->state() == QAbstractSocket::ConnectedState && (ssl_ == nullptr || ssl_->isEncrypted());
  }
  bool IsIdle() const override { return socket_->state() == QAbstractSocket::UnconnectedState; }

  int64_t Write(std::string_view bytes) override {
    if (!IsConnected()) return 0;
    const qint64 n = socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    return n < 0 ? 0 : n;
  }
  void Flush() override { socket_->flush(); }
  int64_t BytesAvailable() const override { return socket_->isOpen() ? socket_->bytesAvailable() : 0; }
  size_t Read(char* buffer, size_t max) override {
    if (!socket_->isOpen()) return 0;
    const qint64 n = socket_->read(buffer, static_cast<qint64>(max));
    return n < 0 ? 0 : static_cast<size_t>(n);
  }

  bool WaitForConnected(int ms) override {
    if (!pendingProblem_.empty()) {
      ReportPendingProblem();
      return false;
    }
    return ssl_ != nullptr ? ssl_->waitForEncrypted(ms) : socket_->waitForConnected(ms);
  }
  bool WaitForBytesWritten(int ms) override { return socket_->waitForBytesWritten(ms); }
  bool WaitForReadyRead(int ms) override { return socket_->waitForReadyRead(ms); }
  int64_t BytesToWrite() const override { return socket_->bytesToWrite(); }

  int LastErrorCode() const override { return lastError_; }
  std::string LastErrorText() const override { return lastErrorText_; }

 private:
  // TLS 1.2 or later, the peer verified, trusting the CA file's certificates instead
  // of the system's when one is given. `problem` says why the settings cannot work.
  static QSslConfiguration TlsConfiguration(const TRdaTlsSettings& tls, std::string& problem) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!QSslSocket::supportsSsl()) {
      problem = "TLS is not available on this machine (no TLS library could be loaded)";
    } else if (!tls.CaFile.empty()) {
      const QList<QSslCertificate> trusted = QSslCertificate::fromPath(
          QString::fromStdString(tls.CaFile), QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
      if (trusted.isEmpty()) problem = "the CA file " + tls.CaFile + " holds no PEM certificate";
      config.setCaCertificates(trusted);
    }
    return config;
  }

  // Replaces the socket by a plain or a TLS one. The old one may be the sender of the
  // signal being handled: it goes away once the event loop is back.
  void MakeSocket(bool tls) {
    if (socket_) {
      socket_->disconnect();
      socket_->abort();
      socket_.release()->deleteLater();
    }
    ssl_ = nullptr;
    if (tls) {
      auto ssl = std::make_unique<QSslSocket>();
      ssl_ = ssl.get();
      socket_ = std::move(ssl);
    } else {
      socket_ = std::make_unique<QTcpSocket>();
    }
    QTcpSocket* socket = socket_.get();
    // The connection drains the socket on every read event, so Qt's own buffer only
    // needs to hold one read's worth; a small one is reused instead of growing with
    // every large reply.
    socket->setReadBufferSize(kReadBufferSize);
    QObject::connect(socket, &QAbstractSocket::stateChanged, socket, [this](QAbstractSocket::SocketState state) {
      if (events_ == nullptr) return;
      if (state == QAbstractSocket::HostLookupState) events_->TransportLookup();
      if (state == QAbstractSocket::ConnectingState) events_->TransportConnecting();
    });
    QObject::connect(socket, &QAbstractSocket::connected, socket, [this] {
      // Requests and replies are small and alternate: do not hold a request back
      // waiting for the acknowledgement of the previous one.
      socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      tcpUp_ = true;
      if (ssl_ == nullptr) {
        Connected();
      } else if (!connectTimer_.isActive()) {
        connectTimer_.start(kHandshakeLimitMs);
      }
    });
    if (ssl_ != nullptr) {
      QObject::connect(ssl_, &QSslSocket::encrypted, socket, [this] { Connected(); });
      QObject::connect(ssl_, &QSslSocket::sslErrors, socket, [this](const QList<QSslError>& errors) {
        // Not ignored: Qt ends the handshake with SslHandshakeFailedError next.
        certificateError_ = kInternetSecurityChannelError;
        certificateText_.clear();
        for (const QSslError& error : errors) {
          if (certificateText_.empty()) certificateError_ = CodeForSslError(error.error());
          if (!certificateText_.empty()) certificateText_ += "; ";
          certificateText_ += error.errorString().toStdString();
        }
      });
    }
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this] {
      if (dropped_) return;
      if (Handshaking()) {
        HandshakeFailed("the server closed the connection during the TLS handshake (is it a TLS port?)");
        return;
      }
      connectTimer_.stop();
      if (events_ != nullptr) events_->TransportDisconnected();
    });
    QObject::connect(socket, &QIODevice::readyRead, socket, [this] {
      if (events_ != nullptr) events_->TransportReadyRead();
    });
    QObject::connect(socket, &QIODevice::bytesWritten, socket, [this](qint64) {
      if (events_ != nullptr) events_->TransportBytesWritten();
    });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket,
                     [this](QAbstractSocket::SocketError error) { SocketError(error); });
  }

  void Connected() {
    connectTimer_.stop();
    connected_ = true;
    if (events_ != nullptr) events_->TransportConnected();
  }

  void SocketError(QAbstractSocket::SocketError error) {
    // A time-out of one of the blocking waits is that call's result, not a socket
    // error: the caller decides what it means.
    if (error == QAbstractSocket::SocketTimeoutError && socket_->state() != QAbstractSocket::UnconnectedState)
      return;
    if (dropped_) return;
    if (Handshaking()) {
      HandshakeFailed(error == QAbstractSocket::RemoteHostClosedError
                          ? "the server closed the connection during the TLS handshake (is it a TLS port?)"
                          : socket_->errorString().toStdString());
      return;
    }
    TErrorEvent kind = connected_ ? eeReceive : eeConnect;
    if (error == QAbstractSocket::HostNotFoundError) kind = eeLookup;
    Fail(WinsockCodeForSocketError(static_cast<int>(error), connected_), socket_->errorString().toStdString(),
         kind, error == QAbstractSocket::RemoteHostClosedError);
  }

  void ConnectTimedOut() {
    if (IsConnected()) return;
    if (Handshaking()) {
      HandshakeFailed("the server did not complete the TLS handshake within " +
                      std::to_string(connectTimer_.interval()) + " ms (is it a TLS port?)");
      return;
    }
    socket_->abort();
    Fail(kWSAETIMEDOUT, "Connection timed out", eeConnect, false);
  }

  // The TCP connection is up and its TLS handshake is not done.
  bool Handshaking() const { return ssl_ != nullptr && tcpUp_ && !connected_; }

  // The connection was never up for the layers above: they hear of a failed connect
  // (with what the certificate checks found, when they failed), not of a disconnect,
  // and nothing more of this socket until the next open.
  void HandshakeFailed(std::string reason) {
    int code = kInternetSecurityChannelError;
    if (!certificateText_.empty()) {
      code = certificateError_;
      reason = std::move(certificateText_);
      certificateText_.clear();
    }
    dropped_ = true;
    {
      const QSignalBlocker quiet(socket_.get());
      socket_->abort();
    }
    Fail(code, std::move(reason), eeConnect, false);
  }

  void ReportPendingProblem() {
    if (pendingProblem_.empty()) return;
    std::string problem = std::move(pendingProblem_);
    pendingProblem_.clear();
    Fail(kInternetSecurityChannelError, std::move(problem), eeConnect, false);
  }

  void Fail(int code, std::string text, TErrorEvent kind, bool peerClosed) {
    connectTimer_.stop();
    lastError_ = code;
    lastErrorText_ = std::move(text);
    if (events_ != nullptr) events_->TransportError(lastError_, kind, peerClosed);
  }

  std::unique_ptr<QTcpSocket> socket_;
  QSslSocket* ssl_ = nullptr;  // socket_ when it is a TLS socket
  QTimer connectTimer_;
  bool tcpUp_ = false;      // the TCP connection is (or was) up
  bool connected_ = false;  // and, with TLS, its handshake done
  bool dropped_ = false;    // a failed handshake was reported: the socket is silenced
  // Why the TLS settings of the running open cannot work, until it is reported.
  std::string pendingProblem_;
  int lastError_ = 0;
  std::string lastErrorText_;
  // What the certificate checks of the running handshake found.
  int certificateError_ = 0;
  std::string certificateText_;
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
