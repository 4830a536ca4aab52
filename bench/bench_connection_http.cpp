// A small select through the HTTP tunnel against the same select over direct TCP, in
// one run, all against one rdaserver (started from the folder of this program):
//
//   1. direct TCP: the client's own connection to the data port;
//   2. form 1: the platform HTTP client (libcurl on its worker thread) posting to
//      the server's tunnelling endpoint, HTTP/1.1 keep-alive; goal at most 3x direct
//      TCP;
//   3. form 2: hand-built HTTP/1.0 requests with Keep-Alive on one socket;
//   4. form 1 through nginx in front of the endpoint, as a company hosts it (for
//      information; skipped when nginx is not installed);
//   5. the floors: the same HTTP exchange (a POST of the select's size, the
//      endpoint's response head and a body of the answer's size) against a responder
//      in this process that answers at once, through a bare libcurl easy handle on the
//      benchmark's thread (form 1's floor: what form 1 adds to it is the hop to its
//      worker thread and back, ours and the endpoint's work), hand-built on a blocking
//      socket (form 2's), and through QNetworkAccessManager (for information: the
//      platform client form 1 used before, whose floor alone was above the goal).
//
// The tunnel runs in stateless mode (session header), so that each request reuses the
// endpoint's session connection to the data server, as the direct connection is
// reused. Every round trip checks the rows it got back.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "bench/BenchReport.h"
#include "connection/RdaClientSocket.h"
#include "connection/RdaComponent.h"
#include "messaging/RdaStringLine.h"

namespace {
std::string g_binDir;
}
#define RDA_BIN_DIR g_binDir
#include "tests/support/ServerProcess.h"
#include "tests/support/WebPeers.h"

namespace {

const char kSelect[] = "SELECT 'Demo Company Ltd', 6.251";

class Rows : public rda::TRdaComponent {
 public:
  void ReceiveMessage(rda::TRdaClientSocket&, const rda::TRdaComponentMessage& m) override {
    if (m.Token == 5) last = m.Fields[1];
  }
  std::string last;
};

rda::test::ServerProcess& Server() {
  static rda::test::ServerProcess server({"--port", "0", "--http-port", "0", "--quiet", "--user",
                                          "VORNA", "--password", "MARBLEDO"});
  return server;
}

enum class Carriage { kTcp, kForm1, kForm2 };

void Point(rda::TRdaClientSocket& s, Carriage c, int webPort) {
  if (c == Carriage::kTcp) {
    s.SetPort(Server().DataPort());
    return;
  }
  s.SetupWebTunnel("127.0.0.1", "127.0.0.1", "isapi/RdaHttp.dll", static_cast<uint16_t>(webPort),
                   static_cast<uint16_t>(Server().DataPort()));
  s.WebServer().SetWinInet(c == Carriage::kForm1);
  s.WebServer().SetAddCookie(true);
  s.WebServer().SetTimeout(20);
  s.SetUserName("VORNA");
  s.SetPassword("MARBLEDO");
}

void Selects(benchmark::State& state, Carriage c, int webPort) {
  rda::TRdaClientSocket s;
  s.OnDisconnect = [] {};
  Point(s, c, webPort);
  s.OpenAndWait();
  Rows rows;
  const int id = s.ComponentId(&rows);
  auto once = [&] {
    rda::TRdaStringLine select;
    select.SetToken(3);
    select.SetMsgId(id);
    select.AddField(kSelect);
    select.AddField(int32_t{-1});
    select.AddField(int32_t{0});
    select.AddField("");
    rows.last.clear();
    s.SendMessage(select, true);
    return rows.last.find("Demo Company Ltd") != std::string::npos;
  };
  try {
    once();  // the log-in of the session, the first connections
    for (auto _ : state) {
      if (!once()) {
        state.SkipWithError("wrong answer");
        break;
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  s.CloseAndWait();
}

bool HaveServer(benchmark::State& state) {
  if (std::filesystem::exists(rda::test::ServerProcess::BinaryPath())) return true;
  state.SkipWithError("rdaserver is not beside this program");
  return false;
}

void BM_SelectDirectTcp(benchmark::State& state) {
  if (HaveServer(state)) Selects(state, Carriage::kTcp, 0);
}
void BM_SelectTunnelForm1(benchmark::State& state) {
  if (HaveServer(state)) Selects(state, Carriage::kForm1, Server().HttpPort());
}
void BM_SelectTunnelForm2(benchmark::State& state) {
  if (HaveServer(state)) Selects(state, Carriage::kForm2, Server().HttpPort());
}
void BM_SelectTunnelForm1Nginx(benchmark::State& state) {
  if (!HaveServer(state)) return;
  std::unique_ptr<rda::test::NginxProcess> web;
  try {
    web = std::make_unique<rda::test::NginxProcess>(Server().HttpPort());
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  Selects(state, Carriage::kForm1, web->Port());
}

// The exchange of one select through the tunnel, in size: the request body and the
// answer frames, and the endpoint's response head without its Content-Length.
constexpr size_t kRequestBytes = 150;
constexpr size_t kAnswerBytes = 193;
const char kResponseHead[] = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";

// Answers every POST at once with kAnswerBytes, one thread per connection.
class Responder {
 public:
  Responder() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_, 8) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
      throw std::runtime_error("the responder cannot listen");
    port_ = ntohs(addr.sin_port);
    std::thread([fd = listen_] {
      for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;) std::thread(Serve, c).detach();
    }).detach();
  }
  int Port() const { return port_; }

 private:
  static void Serve(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string response = std::string(kResponseHead) +
                                 "Content-Length: " + std::to_string(kAnswerBytes) +
                                 "\r\nContent:\r\n\r\n" + std::string(kAnswerBytes, 'a');
    std::string in;
    char buffer[65536];
    for (;;) {
      const size_t end = in.find("\r\n\r\n");
      const size_t at = in.find("Content-Length: ");
      if (end != std::string::npos && at != std::string::npos && at < end) {
        const size_t total = end + 4 + std::stoul(in.substr(at + 16));
        if (in.size() >= total) {
          in.erase(0, total);
          if (send(fd, response.data(), response.size(), MSG_NOSIGNAL) < 0) break;
          continue;
        }
      }
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      in.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
  }

  int listen_ = -1;
  int port_ = 0;
};

Responder& TheResponder() {
  static Responder responder;
  return responder;
}

const char kPath[] = "/isapi/RdaHttp.dll/RDA?127.0.0.1&9406&20";

void BM_FloorQnamPost(benchmark::State& state) {
  QNetworkAccessManager manager;
  QNetworkRequest request(
      QUrl("http://127.0.0.1:" + QString::number(TheResponder().Port()) + kPath));
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
  const QByteArray body(kRequestBytes, 'q');
  auto once = [&] {
    QNetworkReply* reply = manager.post(request, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const qsizetype got = reply->readAll().size();
    reply->deleteLater();
    return got == static_cast<qsizetype>(kAnswerBytes);
  };
  once();
  for (auto _ : state) {
    if (!once()) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
}

size_t KeepBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

void BM_FloorCurlPost(benchmark::State& state) {
  CURL* easy = curl_easy_init();
  const std::string url = "http://127.0.0.1:" + std::to_string(TheResponder().Port()) + kPath;
  const std::string body(kRequestBytes, 'q');
  std::string answer;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type:");
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &KeepBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
  for (auto _ : state) {
    answer.clear();
    if (curl_easy_perform(easy) != CURLE_OK || answer.size() != kAnswerBytes) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);
}

void BM_FloorHandBuiltPost(benchmark::State& state) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(TheResponder().Port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    state.SkipWithError("cannot reach the responder");
    close(fd);
    return;
  }
  const std::string request = std::string("POST ") + kPath +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                              std::to_string(kRequestBytes) + "\r\n\r\n" +
                              std::string(kRequestBytes, 'q');
  std::string in;
  char buffer[65536];
  for (auto _ : state) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
      state.SkipWithError("send failed");
      break;
    }
    in.clear();
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos || in.size() < end + 4 + kAnswerBytes) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      in.append(buffer, static_cast<size_t>(n));
    }
    if (end == std::string::npos || in.size() != end + 4 + kAnswerBytes) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  close(fd);
}

}  // namespace

BENCHMARK(BM_SelectDirectTcp)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_SelectTunnelForm1)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_SelectTunnelForm2)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_SelectTunnelForm1Nginx)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_FloorCurlPost)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_FloorQnamPost)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_FloorHandBuiltPost)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  g_binDir = std::filesystem::absolute(argv[0]).parent_path().string();
  return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    const auto direct = [&](const char* name) { return r.Ratio(name, "BM_SelectDirectTcp"); };
    std::printf("tunnel form 1 (keep-alive) / direct TCP = %.2f (goal <= 3)\n",
                direct("BM_SelectTunnelForm1"));
    std::printf("tunnel form 2 (keep-alive) / direct TCP = %.2f (for information)\n",
                direct("BM_SelectTunnelForm2"));
    std::printf("tunnel form 1 through nginx / direct TCP = %.2f (for information)\n",
                direct("BM_SelectTunnelForm1Nginx"));
    std::printf("floors / direct TCP select: bare libcurl POST = %.2f, hand-built POST = %.2f, "
                "bare QNAM POST = %.2f\n",
                direct("BM_FloorCurlPost"), direct("BM_FloorHandBuiltPost"), direct("BM_FloorQnamPost"));
    std::printf("form 1 / its floor (bare libcurl POST) = %.2f; form 2 / hand-built POST = %.2f\n",
                r.Ratio("BM_SelectTunnelForm1", "BM_FloorCurlPost"),
                r.Ratio("BM_SelectTunnelForm2", "BM_FloorHandBuiltPost"));
  });
}
