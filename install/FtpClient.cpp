#include "install/FtpClient.h"

#include <curl/curl.h>

#include <QEventLoop>
#include <QObject>

#include <exception>
#include <mutex>
#include <thread>

#include "install/FileUtil.h"

namespace rda {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string EscapeRemotePath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F) throw EFtpError("Invalid remote file name: " + path);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                       c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

struct TFtpClient::Impl {
  CURL* curl = nullptr;
  QObject context;  // queued calls from the worker land here, on the owner's thread
  std::atomic<bool> stop{false};
  std::thread worker;
  bool connected = false;
  char errorText[CURL_ERROR_SIZE] = {};
  // Set during Get; used by the worker only.
  TReplacingFile* file = nullptr;
  std::exception_ptr writeError;
  int64_t lastReported = -1;
  std::function<void(int64_t)>* onWork = nullptr;

  Impl() {
    GlobalInit();
    curl = curl_easy_init();
  }
  ~Impl() {
    stop = true;
    if (worker.joinable()) worker.join();
    if (curl != nullptr) curl_easy_cleanup(curl);
  }

  static size_t WriteBody(char* data, size_t size, size_t count, void* self) {
    auto* impl = static_cast<Impl*>(self);
    const size_t n = size * count;
    try {
      if (impl->file == nullptr) return 0;
      impl->file->Write(std::string_view(data, n));
    } catch (...) {
      impl->writeError = std::current_exception();
      return 0;  // curl ends the transfer with a write error
    }
    return n;
  }

  static int Progress(void* self, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
    auto* impl = static_cast<Impl*>(self);
    if (impl->stop) return 1;
    if (impl->onWork != nullptr && now != impl->lastReported) {
      impl->lastReported = now;
      auto* onWork = impl->onWork;
      const int64_t count = now;
      QMetaObject::invokeMethod(
          &impl->context, [onWork, count] {
            if (*onWork) (*onWork)(count);
          },
          Qt::QueuedConnection);
    }
    return 0;
  }

  // Runs `work` on the worker thread and waits with the event loop running, so that
  // the window stays responsive and OnWork calls arrive meanwhile.
  void RunOffThread(const std::function<void()>& work) {
    QEventLoop loop;
    worker = std::thread([this, &work, &loop] {
      work();
      QMetaObject::invokeMethod(&context, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
  }

  CURLcode Perform() {
    CURLcode rc = CURLE_OK;
    RunOffThread([this, &rc] { rc = curl_easy_perform(curl); });
    return rc;
  }

  std::string Reason(CURLcode rc) const {
    std::string text = errorText[0] != '\0' ? errorText : curl_easy_strerror(rc);
    long reply = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
    if (reply > 0) text += " (last reply " + std::to_string(reply) + ")";
    return text;
  }
};

TFtpClient::TFtpClient() : d_(std::make_unique<Impl>()) {}
TFtpClient::~TFtpClient() = default;

namespace {

// Without a function of our own, libcurl prints what it learnt to stdout.
size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

void Prepare(CURL* curl, const std::string& url, const std::string& user,
             const std::string& password, bool passive, char* errorText) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
  curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  curl_easy_setopt(curl, CURLOPT_FTPPORT, passive ? nullptr : "-");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kFtpConnectLimitMs));
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   static_cast<long>(kFtpReplyLimitMs / 1000));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(kFtpStallLimitMs / 1000));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Discard);
  errorText[0] = '\0';
}

}  // namespace

void TFtpClient::Connect() {
  if (d_->curl == nullptr) throw EFtpError("The FTP client could not be created");
  const std::string url = "ftp://" +
                          (host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_) +
                          ":" + std::to_string(port_) + "/";
  Prepare(d_->curl, url, user_, password_, passive_, d_->errorText);
  curl_easy_setopt(d_->curl, CURLOPT_NOBODY, 1L);
  const CURLcode rc = d_->Perform();
  if (rc != CURLE_OK) throw EFtpError(d_->Reason(rc));
  d_->connected = true;
}

bool TFtpClient::Connected() const { return d_->connected; }

namespace {

std::string FileUrl(const std::string& host, int port, const std::string& remotePath) {
  const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  // "%2F" makes the path absolute on the server; with NOCWD it goes into SIZE and
  // RETR as it stands.
  const bool absolute = !remotePath.empty() && remotePath.front() == '/';
  return "ftp://" + h + ":" + std::to_string(port) + "/" + (absolute ? "%2F" : "") +
         EscapeRemotePath(absolute ? remotePath.substr(1) : remotePath);
}

}  // namespace

int64_t TFtpClient::Size(const std::string& remotePath) {
  if (!d_->connected) throw EFtpError("Not connected");
  Prepare(d_->curl, FileUrl(host_, port_, remotePath), user_, password_, passive_,
          d_->errorText);
  curl_easy_setopt(d_->curl, CURLOPT_NOBODY, 1L);
  const CURLcode rc = d_->Perform();
  if (rc == CURLE_REMOTE_FILE_NOT_FOUND) return -1;
  if (rc != CURLE_OK) throw EFtpError(d_->Reason(rc));
  curl_off_t size = -1;
  curl_easy_getinfo(d_->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
  return size;
}

void TFtpClient::Get(const std::string& remotePath, const std::string& localFile,
                     int64_t expectedSize) {
  if (!d_->connected) throw EFtpError("Not connected");
  const std::string url = FileUrl(host_, port_, remotePath);
  TReplacingFile file(localFile);  // raises EFCreateError when it cannot be created
  Prepare(d_->curl, url, user_, password_, passive_, d_->errorText);
  curl_easy_setopt(d_->curl, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(d_->curl, CURLOPT_HTTPGET, 1L);  // undoes NOBODY for every protocol
  curl_easy_setopt(d_->curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
  curl_easy_setopt(d_->curl, CURLOPT_WRITEFUNCTION, &Impl::WriteBody);
  curl_easy_setopt(d_->curl, CURLOPT_WRITEDATA, d_.get());
  curl_easy_setopt(d_->curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(d_->curl, CURLOPT_XFERINFOFUNCTION, &Impl::Progress);
  curl_easy_setopt(d_->curl, CURLOPT_XFERINFODATA, d_.get());
  d_->file = &file;
  d_->writeError = nullptr;
  d_->lastReported = -1;
  d_->onWork = &OnWork;
  const CURLcode rc = d_->Perform();
  d_->file = nullptr;
  d_->onWork = nullptr;
  curl_easy_setopt(d_->curl, CURLOPT_NOPROGRESS, 1L);
  if (d_->writeError) std::rethrow_exception(d_->writeError);
  if (rc != CURLE_OK) throw EFtpError(d_->Reason(rc));
  if (expectedSize >= 0 && file.Size() != expectedSize) {
    throw EFtpError("The download ended early: " + std::to_string(file.Size()) + " of " +
                    std::to_string(expectedSize) + " bytes");
  }
  file.Commit();
}

void TFtpClient::Disconnect() {
  if (!d_->connected) return;
  d_->connected = false;
  // Closing the handle's connections sends QUIT; a fresh handle for the next Connect.
  CURL* old = d_->curl;
  d_->curl = curl_easy_init();
  d_->RunOffThread([old] { curl_easy_cleanup(old); });
}

}  // namespace rda
