// The platform HTTP client as a transport: QNetworkAccessManager stands in for WinInet.
// Everything runs on the connection's thread; Qt's HTTP engine works in the background
// and reports through signals, which the connection's waits keep flowing.
#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QUrl>

#include <deque>

#include "connection/RdaHttpTunnel.h"
#include "connection/RdaTransport.h"

namespace rda {

namespace {

// Qt gives no status text for a refusal that the proxy answered itself.
std::string StandardReason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "HTTP status";
  }
}

class TRdaQtHttpTransport final : public TRdaHttpClientTransport {
 public:
  TRdaQtHttpTransport() {
    QObject::connect(&manager_, &QNetworkAccessManager::proxyAuthenticationRequired, &context_,
                     [this](const QNetworkProxy& proxy, QAuthenticator* auth) {
                       AskProxyLogin(proxy, auth);
                     });
  }
  ~TRdaQtHttpTransport() override {
    events_ = nullptr;
    Drop();
  }

  void SetRequestSettings(TRdaHttpRequestSettings settings) override {
    settings_ = std::move(settings);
  }
  int Outstanding() const override {
    return static_cast<int>(queue_.size()) + (current_ != nullptr ? 1 : 0);
  }

  void Open(const std::string&, uint16_t, int) override {
    open_ = true;
    closing_ = false;
    if (events_ != nullptr) events_->TransportConnected();
  }
  void Close() override {
    if (!open_) return;
    closing_ = true;
    if (Outstanding() == 0) Closed();
  }
  void Abort() override {
    Drop();
    open_ = false;
    closing_ = false;
  }
  bool IsConnected() const override { return open_ && !closing_; }
  bool IsIdle() const override { return !open_; }

  int64_t Write(std::string_view bytes) override {
    if (!IsConnected()) return 0;
    body_.append(bytes);
    return static_cast<int64_t>(bytes.size());
  }
  void Flush() override {}
  void EndOfRequest(bool waitsForReply) override {
    if (!IsConnected()) return;
    queue_.push_back({std::move(body_), waitsForReply, settings_});
    body_.clear();
    StartNext();
  }
  int64_t BytesAvailable() const override { return 0; }
  size_t Read(char*, size_t) override { return 0; }

  bool WaitForConnected(int) override { return false; }
  bool WaitForBytesWritten(int) override { return false; }
  bool WaitForReadyRead(int) override { return false; }
  int64_t BytesToWrite() const override { return 0; }

  int LastErrorCode() const override { return 0; }
  std::string LastErrorText() const override { return lastError_; }

 private:
  struct Request {
    std::string body;
    bool waits;
    TRdaHttpRequestSettings settings;
  };

  void Status(uint32_t code) {
    if (events_ != nullptr) events_->TransportStatus(code);
  }

  void StartNext() {
    if (current_ != nullptr || queue_.empty()) return;
    running_ = std::move(queue_.front());
    queue_.pop_front();
    proxyLogins_ = 0;
    const TRdaHttpRequestSettings& s = running_.settings;
    UseProxy(s);
    Status(wsSendingRequest);
    QNetworkReply* reply = manager_.post(
        RequestFor(s), QByteArray(running_.body.data(), static_cast<qsizetype>(running_.body.size())));
    current_ = reply;
    receiving_ = false;
    QObject::connect(reply, &QNetworkReply::socketStartedConnecting, &context_,
                     [this] { Status(wsConnecting); });
    QObject::connect(reply, &QNetworkReply::encrypted, &context_, [this] { Status(wsConnected); });
    QObject::connect(reply, &QNetworkReply::requestSent, &context_, [this] { Status(wsRequestSent); });
    QObject::connect(reply, &QNetworkReply::redirected, &context_, [this] { Status(wsRedirect); });
    QObject::connect(reply, &QNetworkReply::sslErrors, &context_,
                     [this, reply](const QList<QSslError>& errors) { SslErrors(reply, errors); });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &context_,
                     [this, reply](qint64 received, qint64 total) {
                       // Qt reports progress also for a request that failed before
                       // any response: nothing is being received then.
                       if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) return;
                       if (!receiving_) {
                         receiving_ = true;
                         Status(wsReceivingResponse);
                       }
                       if (events_ != nullptr) events_->TransportProgress(total < 0 ? 0 : total, received);
                     });
    QObject::connect(reply, &QNetworkReply::finished, &context_, [this, reply] { Finished(reply); });
  }

  // The request's URL and headers, parsed again only when the settings change: a
  // connection sends the same URL over and over.
  const QNetworkRequest& RequestFor(const TRdaHttpRequestSettings& s) {
    if (s.Url == requestUrl_ && s.Agent == requestAgent_) return request_;
    requestUrl_ = s.Url;
    requestAgent_ = s.Agent;
    request_ = QNetworkRequest(QUrl(QString::fromStdString(s.Url), QUrl::TolerantMode));
    request_.setHeader(QNetworkRequest::UserAgentHeader, QString::fromStdString(s.Agent));
    request_.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
    request_.setRawHeader("Accept", "application/octet-stream");
    // Nothing of a reply is stored: each one answers one message.
    request_.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request_.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                          QNetworkRequest::AlwaysNetwork);
    return request_;
  }

  void UseProxy(const TRdaHttpRequestSettings& s) {
    const std::string socks = s.SocksHost.empty() ? std::string()
                                                  : s.SocksHost + ":" + std::to_string(s.SocksPort);
    if (proxySet_ && socks == socks_) return;
    proxySet_ = true;
    socks_ = socks;
    if (s.SocksHost.empty()) {
      manager_.setProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
    } else {
      manager_.setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy,
                                      QString::fromStdString(s.SocksHost),
                                      static_cast<quint16>(s.SocksPort)));
    }
  }

  // Certificate errors are ignored only when every one of them is of a kind the
  // settings allow; otherwise the request fails with Qt's text for them.
  void SslErrors(QNetworkReply* reply, const QList<QSslError>& errors) {
    const TRdaHttpRequestSettings& s = running_.settings;
    for (const QSslError& e : errors) {
      switch (e.error()) {
        case QSslError::CertificateNotYetValid:
        case QSslError::CertificateExpired:
          if (!s.IgnoreCertDate) return;
          break;
        case QSslError::HostNameMismatch:
          if (!s.IgnoreCertName) return;
          break;
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::InvalidCaCertificate:
          if (!s.IgnoreCertCA) return;
          break;
        default:
          return;
      }
    }
    reply->ignoreSslErrors(errors);
  }

  void AskProxyLogin(const QNetworkProxy& proxy, QAuthenticator* auth) {
    const auto& ask = running_.settings.AskProxyLogin;
    if (!ask || ++proxyLogins_ > kMaxProxyLogins) return;  // left empty: the 407 stands
    std::string user;
    std::string password;
    // Qt names the proxy it used only when the request named it.
    const QNetworkProxy& named =
        proxy.hostName().isEmpty() ? QNetworkProxy::applicationProxy() : proxy;
    const std::string where = named.hostName().toStdString() + ":" + std::to_string(named.port());
    if (!ask(where, user, password)) return;
    auth->setUser(QString::fromStdString(user));
    auth->setPassword(QString::fromStdString(password));
  }

  void Finished(QNetworkReply* reply) {
    if (reply != current_) return;
    current_ = nullptr;
    reply->deleteLater();
    TRdaHttpResult result;
    result.Waits = running_.waits;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    result.Status = status.isValid() ? status.toInt() : 0;
    if (status.isValid()) Status(wsResponseReceived);
    if (reply->error() == QNetworkReply::ProxyAuthenticationRequiredError) result.Status = 407;
    if (result.Status >= 300) {
      std::string reason =
          reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().toStdString();
      if (reason.empty()) reason = StandardReason(result.Status);
      result.Error = reason + " (" + std::to_string(result.Status) + ")";
    } else if (reply->error() != QNetworkReply::NoError) {
      result.Error = reply->errorString().toStdString();
    } else {
      const QByteArray body = reply->readAll();
      result.Body.assign(body.constData(), static_cast<size_t>(body.size()));
    }
    lastError_ = result.Error;
    running_ = Request();
    Status(wsRequestComplete);
    // The connection may close, abort or replace this transport from its handler.
    const std::weak_ptr<int> alive = alive_;
    if (events_ != nullptr) events_->TransportResponse(result);
    if (alive.expired()) return;
    StartNext();
    if (closing_ && Outstanding() == 0) Closed();
  }

  void Closed() {
    open_ = false;
    closing_ = false;
    manager_.clearConnectionCache();
    if (events_ != nullptr) events_->TransportDisconnected();
  }

  void Drop() {
    queue_.clear();
    body_.clear();
    if (current_ != nullptr) {
      QNetworkReply* reply = current_;
      current_ = nullptr;
      QObject::disconnect(reply, nullptr, &context_, nullptr);
      reply->abort();
      reply->deleteLater();
    }
    manager_.clearConnectionCache();
  }

  QObject context_;  // receives the signals; declared first, so it goes last
  QNetworkAccessManager manager_;
  TRdaHttpRequestSettings settings_;
  QNetworkRequest request_;
  std::string requestUrl_;
  std::string requestAgent_;
  std::string socks_;
  bool proxySet_ = false;
  std::deque<Request> queue_;
  Request running_;
  QNetworkReply* current_ = nullptr;
  std::string body_;
  std::string lastError_;
  bool open_ = false;
  bool closing_ = false;
  bool receiving_ = false;
  int proxyLogins_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace

std::unique_ptr<TRdaHttpClientTransport> MakeHttpClientTransport() {
  return std::make_unique<TRdaQtHttpTransport>();
}

}  // namespace rda
