// The platform HTTP client as a transport (form 1 of the tunnel): libcurl on a worker
// thread stands in for WinInet.
//
// One easy handle lives as long as the transport and runs one request at a time on
// the worker thread, in a multi handle whose connection cache keeps the web server's
// connections alive from one request to the next. Everything the connection sees
// happens on its own thread: the transport queues requests there, hands the worker
// one at a time, and the worker posts the request's steps (status codes, progress)
// and its result back through the connection thread's event loop. The worker never
// touches anything of the connection.
//
// Requests carry what the system sends and what HTTP/1.1 needs: the request line,
// Host, User-Agent "Rda 2", Accept "application/octet-stream" and Content-Length.
// libcurl's own additions (Content-Type, Expect: 100-continue, Proxy-Connection) are
// taken off.
//
// Proxies: a SOCKS 5 proxy when the settings name one; otherwise Qt's proxy setting:
// the application's proxy (QNetworkProxy::applicationProxy), or, with
// QNetworkProxyFactory::setUseSystemConfiguration, the system's for the URL. A proxy that wants
// a log-in (407) is answered on the connection's thread through AskProxyLogin and
// the request is made again; an accepted log-in is kept for that proxy.
//
// HTTPS: the certificate is checked by OpenSSL as usual, and an error is ignored only
// when it is of a kind the settings allow (expired or not yet valid; another host
// name; self-signed or an unknown issuer).
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QObject>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "base/HttpHead.h"
#include "connection/RdaHttpTunnel.h"
#include "connection/RdaTransport.h"

namespace rda {

namespace {

// Used when a response gives no reason phrase of its own.
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

// How often a response that nobody follows reports that it is still arriving.
constexpr std::chrono::milliseconds kQuietProgressInterval{100};

// Certificate errors a request lets pass (TRdaHttpRequestSettings).
struct TCertificateRule {
  bool date = false;
  bool name = false;
  bool ca = false;
  bool operator==(const TCertificateRule&) const = default;
};

// OpenSSL's verdict on one certificate check, with the errors the request allows
// turned into passes. The rule hangs on the TLS context (set up per connection).
int VerifyCertificate(int ok, X509_STORE_CTX* store) {
  if (ok == 1) return 1;
  const auto* ssl = static_cast<const SSL*>(
      X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const auto* rule = ssl == nullptr ? nullptr
                                    : static_cast<const TCertificateRule*>(
                                          SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (rule == nullptr) return 0;
  bool pass = false;
  switch (X509_STORE_CTX_get_error(store)) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      pass = rule->date;
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      pass = rule->name;
      break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_INVALID_CA:
      pass = rule->ca;
      break;
    default:
      break;
  }
  if (!pass) return 0;
  X509_STORE_CTX_set_error(store, X509_V_OK);
  return 1;
}

CURLcode SetUpTls(CURL*, void* sslContext, void* rule) {
  auto* context = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_app_data(context, rule);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, VerifyCertificate);
  return CURLE_OK;
}

// One request for the worker, and what became of it.
struct TJob {
  uint64_t id = 0;
  std::string url;
  std::string agent;
  std::string body;
  std::string proxy;  // curl's proxy URL; "" = none
  std::string proxyUser;
  std::string proxyPassword;
  bool haveProxyLogin = false;
  TCertificateRule certificates;
  int connectTimeoutMs = 0;
  bool reportSteps = true;
  bool reportProgress = true;
};

struct TJobResult {
  int status = 0;           // 0: no response
  int proxyConnectStatus = 0;  // the proxy's answer to a tunnel request (HTTPS)
  std::string reason;
  std::string body;
  std::string error;        // empty: the response came
};

// The worker thread with its curl handles. Everything it reports goes through the
// callbacks, from the worker thread; the owner forwards them to its own thread.
class TCurlWorker {
 public:
  struct TCallbacks {
    std::function<void(uint64_t job, uint32_t status)> Status;
    std::function<void(uint64_t job, int64_t expected, int64_t received)> Progress;
    std::function<void(uint64_t job, TJobResult result)> Done;
  };

  explicit TCurlWorker(TCallbacks callbacks) : callbacks_(std::move(callbacks)) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
  }
  ~TCurlWorker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
      stopJob_ = UINT64_MAX;
    }
    changed_.notify_one();
    Wake();
    thread_.join();
    if (wake_ >= 0) close(wake_);
  }
  TCurlWorker(const TCurlWorker&) = delete;
  TCurlWorker& operator=(const TCurlWorker&) = delete;

  void Start(TJob job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next_ = std::move(job);
    }
    changed_.notify_one();
  }
  // Stops every job up to `id` (the running one included) without a result, and,
  // with `dropConnections`, closes the connections kept for later requests.
  void Stop(uint64_t id, bool dropConnections) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopJob_ = std::max(stopJob_, id);
      if (next_ && next_->id <= id) next_.reset();
      dropConnections_ = dropConnections_ || dropConnections;
    }
    changed_.notify_one();
    Wake();
  }

 private:
  void Wake() {
    if (wake_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
  }
  bool Stopped(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return quit_ || id <= stopJob_;
  }

  void Run() {
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    SetUpHandle();
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] { return quit_ || next_.has_value() || dropConnections_; });
      if (quit_) break;
      if (dropConnections_) {
        dropConnections_ = false;
        lock.unlock();
        DropConnections();
        lock.lock();
        continue;
      }
      TJob job = std::move(*next_);
      next_.reset();
      lock.unlock();
      TJobResult result = Perform(job);
      if (!Stopped(job.id)) callbacks_.Done(job.id, std::move(result));
      lock.lock();
    }
    lock.unlock();
    curl_easy_cleanup(easy_);
    curl_multi_cleanup(multi_);
    curl_slist_free_all(headers_);
  }

  // What stays the same from one request to the next.
  void SetUpHandle() {
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_POST, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &TCurlWorker::WriteBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &TCurlWorker::HeaderLine);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETFUNCTION, &TCurlWorker::OpenSocket);
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &TCurlWorker::Prerequest);
    curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &TCurlWorker::TransferInfo);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy_, CURLOPT_SSL_CTX_FUNCTION, &SetUpTls);
    curl_easy_setopt(easy_, CURLOPT_SSL_CTX_DATA, &certificates_);
    curl_easy_setopt(easy_, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
    // Redirects are followed, as the platform client follows them (never from HTTPS
    // to plain HTTP: see Perform).
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 50L);
    // Only the headers the system sends: none of libcurl's defaults for a POST.
    headers_ = curl_slist_append(headers_, "Accept: application/octet-stream");
    headers_ = curl_slist_append(headers_, "Content-Type:");
    headers_ = curl_slist_append(headers_, "Expect:");
    headers_ = curl_slist_append(headers_, "Proxy-Connection:");
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
  }

  void DropConnections() {
    curl_multi_cleanup(multi_);
    multi_ = curl_multi_init();
  }

  TJobResult Perform(TJob& job) {
    job_ = &job;
    result_ = TJobResult();
    errorText_[0] = '\0';
    head_.clear();
    newConnection_ = false;
    sent_ = false;
    receiving_ = false;
    expected_ = 0;
    lastProgress_ = std::chrono::steady_clock::now();
    // A connection set up under other certificate rules must not carry this request.
    if (!(job.certificates == certificates_)) {
      certificates_ = job.certificates;
      DropConnections();
    }
    curl_easy_setopt(easy_, CURLOPT_URL, job.url.c_str());
    const bool https = job.url.rfind("https:", 0) == 0;
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, job.agent.c_str());
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, job.body.data());
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(job.body.size()));
    curl_easy_setopt(easy_, CURLOPT_PROXY, job.proxy.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, job.haveProxyLogin ? job.proxyUser.c_str() : nullptr);
    curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD,
                     job.haveProxyLogin ? job.proxyPassword.c_str() : nullptr);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, job.certificates.name ? 0L : 2L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(job.connectTimeoutMs));

    CURLcode code = CURLE_OK;
    bool stopped = false;
    curl_multi_add_handle(multi_, easy_);
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK) {
        code = CURLE_FAILED_INIT;
        break;
      }
      int left = 0;
      bool done = false;
      while (CURLMsg* m = curl_multi_info_read(multi_, &left)) {
        if (m->msg == CURLMSG_DONE) {
          code = m->data.result;
          done = true;
        }
      }
      if (done || running == 0) break;
      if (Stopped(job.id)) {
        stopped = true;
        break;
      }
      curl_waitfd extra{wake_, CURL_WAIT_POLLIN, 0};
      curl_multi_poll(multi_, &extra, 1, 1000, nullptr);
      if (extra.revents != 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
      }
    }
    // Taken off before it completed, the transfer's connection is closed with it.
    curl_multi_remove_handle(multi_, easy_);
    job_ = nullptr;
    if (stopped) return {};

    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    long connectStatus = 0;
    curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    result_.proxyConnectStatus = static_cast<int>(connectStatus);
    if (code == CURLE_OK) {
      result_.status = static_cast<int>(status);
    } else {
      result_.error = ErrorText(code);
    }
    return std::move(result_);
  }

  std::string ErrorText(CURLcode code) const {
    const std::string detail = errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(code);
    switch (code) {
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CIPHER:
      case CURLE_SSL_CACERT_BADFILE:
      case CURLE_SSL_ISSUER_ERROR:
        return "SSL handshake failed: " + detail;
      case CURLE_PARTIAL_FILE:
        return "The connection was closed after " + std::to_string(result_.body.size()) +
               " of the " + std::to_string(expected_) + " bytes of an HTTP response body";
      case CURLE_GOT_NOTHING:
        return "The web server closed the connection without a response";
      default:
        return detail;
    }
  }

  void Post(uint32_t status) {
    if (job_->reportSteps) callbacks_.Status(job_->id, status);
  }

  static size_t WriteBody(char* data, size_t size, size_t count, void* self) {
    auto* w = static_cast<TCurlWorker*>(self);
    const size_t n = size * count;
    if (w->result_.status >= 200 && w->result_.status < 300) {
      w->result_.body.append(data, n);
      const auto now = std::chrono::steady_clock::now();
      if (w->job_->reportProgress || now - w->lastProgress_ >= kQuietProgressInterval) {
        w->lastProgress_ = now;
        w->callbacks_.Progress(w->job_->id, w->expected_, static_cast<int64_t>(w->result_.body.size()));
      }
    }
    return n;
  }

  // Each line of a response head; a head ends with an empty line. Only the last
  // head counts (an interim 100 or a proxy's answer comes before it).
  static size_t HeaderLine(char* data, size_t size, size_t count, void* self) {
    auto* w = static_cast<TCurlWorker*>(self);
    const size_t n = size * count;
    const std::string_view line(data, n);
    if (line.rfind("HTTP/", 0) == 0) w->head_.clear();
    w->head_.append(line);
    if (line != "\r\n" && line != "\n") return n;
    const THttpHeadResult head = ParseHttpResponseHead(w->head_);
    if (!head.Ok() || head.Head.Status < 200) return n;
    w->result_.status = head.Head.Status;
    w->result_.reason = head.Head.Reason;
    w->expected_ = std::max<int64_t>(head.Head.ContentLength, 0);
    if (!w->sent_) {
      w->sent_ = true;
      w->Post(wsRequestSent);
    }
    if (head.Head.Status >= 300 && head.Head.Status < 400 && head.Head.Field("Location")) {
      // Followed: the next request reports its own steps.
      w->Post(wsRedirect);
      w->sent_ = w->receiving_ = false;
      return n;
    }
    if (!w->receiving_) {
      w->receiving_ = true;
      w->Post(wsReceivingResponse);
    }
    return n;
  }

  static curl_socket_t OpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
    auto* w = static_cast<TCurlWorker*>(self);
    w->newConnection_ = true;
    w->Post(wsConnecting);
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  static int Prerequest(void* self, char*, char*, int, int) {
    auto* w = static_cast<TCurlWorker*>(self);
    if (w->newConnection_ && w->job_->url.rfind("https:", 0) == 0) w->Post(wsConnected);
    return CURL_PREREQFUNC_OK;
  }

  static int TransferInfo(void* self, curl_off_t, curl_off_t, curl_off_t uploadTotal,
                          curl_off_t uploaded) {
    auto* w = static_cast<TCurlWorker*>(self);
    if (!w->sent_ && uploadTotal > 0 && uploaded >= uploadTotal) {
      w->sent_ = true;
      w->Post(wsRequestSent);
    }
    return w->Stopped(w->job_->id) ? 1 : 0;
  }

  TCallbacks callbacks_;
  std::thread thread_;
  int wake_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool quit_ = false;
  std::optional<TJob> next_;
  uint64_t stopJob_ = 0;
  bool dropConnections_ = false;

  // The worker thread's own.
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  char errorText_[CURL_ERROR_SIZE] = {};
  TCertificateRule certificates_;
  TJob* job_ = nullptr;
  TJobResult result_;
  std::string head_;
  int64_t expected_ = 0;
  std::chrono::steady_clock::time_point lastProgress_;
  bool newConnection_ = false;
  bool sent_ = false;
  bool receiving_ = false;

};

// The key and the "host:port" of a proxy.
struct TProxy {
  std::string url;  // as libcurl takes it; "" = no proxy
  std::string where;
  std::string user;
  std::string password;
};

TProxy ProxyFor(const TRdaHttpRequestSettings& s) {
  if (!s.SocksHost.empty()) {
    const std::string where = s.SocksHost + ":" + std::to_string(s.SocksPort);
    return {"socks5h://" + where, where, {}, {}};
  }
  // The application's own proxy applies to every host (loopback included), as it does
  // for Qt's sockets; the system's configuration is asked about this URL.
  QList<QNetworkProxy> proxies;
  if (QNetworkProxyFactory::usesSystemConfiguration()) {
    proxies = QNetworkProxyFactory::proxyForQuery(
        QNetworkProxyQuery(QUrl(QString::fromStdString(s.Url), QUrl::TolerantMode)));
  } else {
    proxies.append(QNetworkProxy::applicationProxy());
  }
  for (const QNetworkProxy& p : proxies) {
    std::string scheme;
    switch (p.type()) {
      case QNetworkProxy::HttpProxy:
      case QNetworkProxy::HttpCachingProxy:
        scheme = "http://";
        break;
      case QNetworkProxy::Socks5Proxy:
        scheme = "socks5h://";
        break;
      default:
        return {};
    }
    std::string host = p.hostName().toStdString();
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    const std::string where = host + ":" + std::to_string(p.port());
    return {scheme + where, where, p.user().toStdString(), p.password().toStdString()};
  }
  return {};
}

class TRdaCurlHttpTransport final : public TRdaHttpClientTransport {
 public:
  TRdaCurlHttpTransport() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    TCurlWorker::TCallbacks callbacks;
    callbacks.Status = [this](uint64_t job, uint32_t status) {
      QMetaObject::invokeMethod(&context_, [this, job, status] {
        if (running_ && job == runningJob_) Status(status);
      }, Qt::QueuedConnection);
    };
    // Progress is handed over as the latest figures, at most one hand-over waiting.
    callbacks.Progress = [this](uint64_t job, int64_t expected, int64_t received) {
      progressExpected_.store(expected);
      progressReceived_.store(received);
      if (progressPosted_.exchange(true)) return;
      QMetaObject::invokeMethod(&context_, [this, job] {
        progressPosted_.store(false);
        if (running_ && job == runningJob_ && events_ != nullptr)
          events_->TransportProgress(progressExpected_.load(), progressReceived_.load());
      }, Qt::QueuedConnection);
    };
    callbacks.Done = [this](uint64_t job, TJobResult result) {
      QMetaObject::invokeMethod(&context_, [this, job, result = std::move(result)]() mutable {
        Finished(job, std::move(result));
      }, Qt::QueuedConnection);
    };
    worker_ = std::make_unique<TCurlWorker>(std::move(callbacks));
  }
  ~TRdaCurlHttpTransport() override {
    events_ = nullptr;
    worker_.reset();  // joins the worker: nothing is posted after this
  }

  void SetRequestSettings(TRdaHttpRequestSettings settings) override {
    settings_ = std::move(settings);
  }
  int Outstanding() const override {
    return static_cast<int>(queue_.size()) + (running_ ? 1 : 0);
  }

  void Open(const std::string&, uint16_t, int connectTimeoutMs, const TRdaTlsSettings&) override {
    open_ = true;
    closing_ = false;
    connectTimeoutMs_ = connectTimeoutMs;
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
    queue_.push_back({std::move(body_), waitsForReply, settings_, 0, {}});
    body_.clear();
    StartNext();
  }
  int64_t BytesAvailable() const override { return 0; }
  size_t Read(char*, size_t) override { return 0; }

  int LastErrorCode() const override { return 0; }
  std::string LastErrorText() const override { return lastError_; }

 private:
  struct Request {
    std::string body;
    bool waits = false;
    TRdaHttpRequestSettings settings;
    int proxyLogins = 0;  // log-in questions asked for this request
    TProxy proxy;
  };

  void Status(uint32_t code) {
    if (events_ != nullptr && running_ && running_->settings.ReportSteps) events_->TransportStatus(code);
  }

  void StartNext() {
    if (running_ || queue_.empty()) return;
    running_ = std::move(queue_.front());
    queue_.pop_front();
    Submit();
  }

  // Hands the running request to the worker (again, after a proxy log-in).
  void Submit() {
    Request& r = *running_;
    r.proxy = ProxyFor(r.settings);
    TJob job;
    job.id = runningJob_ = ++lastJob_;
    job.url = r.settings.Url;
    job.agent = r.settings.Agent;
    job.body = r.body;
    job.proxy = r.proxy.url;
    const auto kept = proxyLogins_.find(r.proxy.url);
    if (kept != proxyLogins_.end()) {
      job.haveProxyLogin = true;
      job.proxyUser = kept->second.first;
      job.proxyPassword = kept->second.second;
    } else if (!r.proxy.user.empty()) {
      job.haveProxyLogin = true;
      job.proxyUser = r.proxy.user;
      job.proxyPassword = r.proxy.password;
    }
    job.certificates = {r.settings.IgnoreCertDate, r.settings.IgnoreCertName, r.settings.IgnoreCertCA};
    job.connectTimeoutMs = connectTimeoutMs_;
    job.reportSteps = r.settings.ReportSteps;
    job.reportProgress = r.settings.ReportProgress;
    Status(wsSendingRequest);
    worker_->Start(std::move(job));
  }

  // A proxy refused the request for want of a log-in: asks for one (at most
  // kMaxProxyLogins times per request) and keeps it for the proxy. True: try again.
  bool AskProxyLogin() {
    Request& r = *running_;
    const auto& ask = r.settings.AskProxyLogin;
    if (!ask || r.proxy.url.empty() || ++r.proxyLogins > kMaxProxyLogins) return false;
    std::string user;
    std::string password;
    if (!ask(r.proxy.where, user, password)) return false;
    proxyLogins_[r.proxy.url] = {user, password};
    return true;
  }

  void Finished(uint64_t job, TJobResult r) {
    if (!running_ || job != runningJob_) return;
    int status = r.status;
    if (!r.error.empty() && r.proxyConnectStatus == 407) {
      status = 407;
      r.error.clear();
    }
    if (status != 0) Status(wsResponseReceived);
    Status(wsRequestComplete);
    const std::weak_ptr<int> alive = alive_;
    if (status == 407 && AskProxyLogin()) {
      if (alive.expired() || !running_) return;  // the question ran the event loop
      Submit();
      return;
    }
    if (alive.expired() || !running_ || job != runningJob_) return;
    TRdaHttpResult result;
    result.Waits = running_->waits;
    result.Status = status;
    if (!r.error.empty()) {
      result.Error = std::move(r.error);
    } else if (status >= 300) {
      result.Error = (r.reason.empty() ? StandardReason(status) : r.reason) + " (" +
                     std::to_string(status) + ")";
    } else {
      result.Body = std::move(r.body);
    }
    lastError_ = result.Error;
    running_.reset();
    // The connection may close, abort or replace this transport from its handler.
    if (events_ != nullptr) events_->TransportResponse(result);
    if (alive.expired()) return;
    StartNext();
    if (closing_ && Outstanding() == 0) Closed();
  }

  void Closed() {
    open_ = false;
    closing_ = false;
    worker_->Stop(lastJob_, /*dropConnections=*/true);
    if (events_ != nullptr) events_->TransportDisconnected();
  }

  void Drop() {
    queue_.clear();
    body_.clear();
    running_.reset();
    worker_->Stop(lastJob_, /*dropConnections=*/true);
  }

  QObject context_;  // where the worker's reports run; declared first, so it goes last
  TRdaHttpRequestSettings settings_;
  std::deque<Request> queue_;
  std::optional<Request> running_;
  uint64_t runningJob_ = 0;
  uint64_t lastJob_ = 0;
  std::map<std::string, std::pair<std::string, std::string>> proxyLogins_;  // by proxy
  std::string body_;
  std::string lastError_;
  int connectTimeoutMs_ = 0;
  bool open_ = false;
  bool closing_ = false;
  std::atomic<bool> progressPosted_{false};
  std::atomic<int64_t> progressExpected_{0};
  std::atomic<int64_t> progressReceived_{0};
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::unique_ptr<TCurlWorker> worker_;  // declared last: joined before the rest goes
};

}  // namespace

std::unique_ptr<TRdaHttpClientTransport> MakeHttpClientTransport() {
  return std::make_unique<TRdaCurlHttpTransport>();
}

}  // namespace rda
