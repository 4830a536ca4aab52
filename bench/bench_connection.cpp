// The client connection against the physical limit of loopback TCP, in one run:
//
//   1. A small request and its answer (a coded parameter list that wants a reply,
//      the same 71 bytes each way) through TRdaClientSocket, against a raw TCP
//      ping-pong of the same byte counts between plain blocking sockets.
//      Goal: at most 1.5x the raw round trip.
//   2. One 64 MiB reply through the client's receive path (socket, message stack,
//      unpack, parse, dispatch into the reply slot), against a raw loopback transfer
//      of the same bytes read with plain recv(). Goal: at least 0.5x its throughput.
//
// Both sides of each pair talk to the same kind of peer: a thread with a blocking
// socket that answers every framed request with a canned reply frame, so that only
// the client differs. The round trip is also measured against rdaserver (started from
// the folder of this program on port 0) for information.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/ByteIO.h"
#include "bench/BenchReport.h"
#include "bench/ClientRoundTrip.h"
#include "connection/RdaClientSocket.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"

// rdaserver lives beside this program; ServerProcess finds it through RDA_BIN_DIR.
namespace {
std::string g_binDir;
}
#define RDA_BIN_DIR g_binDir
#include "tests/support/ServerProcess.h"

namespace {

constexpr size_t kBigFrame = 64u << 20;
constexpr size_t kBigText = kBigFrame - 4 - 50;

std::string Framed(rda::TRdaStringLine& line) {
  const std::string body = line.Compose();
  std::string out;
  rda::ByteWriter w(out);
  w.PutI32(static_cast<int32_t>(body.size()));
  w.PutBytes(body);
  return out;
}

// Token 28, a list, reply wanted: the client's request, and the peer's answer.
std::string SmallFrame() {
  rda::TRdaStringLine line;
  line.SetToken(28);
  line.AddField(int32_t{1});
  line.AddField(rda::bench::SmallList().ToText(false));
  line.AddField(int32_t{1});
  return Framed(line);
}

// Token 61: a reply text of kBigText bytes.
const std::string& BigFrame() {
  static const std::string frame = [] {
    std::string text(kBigText, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    rda::TRdaStringLine line;
    line.SetToken(61);
    line.AddField(text);
    return Framed(line);
  }();
  return frame;
}

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) throw std::runtime_error("send failed");
    p += k;
    n -= static_cast<size_t>(k);
  }
}

bool ReadAll(int fd, char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = recv(fd, p, std::min<size_t>(n, 1u << 20), 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

void NoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("connect failed");
  NoDelay(fd);
  return fd;
}

// A thread that serves one connection at a time on loopback and answers every framed
// request with `reply`, except the server-version request (token 48) that a
// connection sends when it connects.
class Peer {
 public:
  explicit Peer(const std::string& reply) : reply_(reply) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listenFd_, 4) != 0)
      throw std::runtime_error("listen failed");
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Peer() {
    shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    close(listenFd_);
  }
  int Port() const { return port_; }

 private:
  void Serve() {
    for (;;) {
      const int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) return;
      NoDelay(fd);
      std::string buf;
      char block[65536];
      for (;;) {
        const ssize_t n = recv(fd, block, sizeof block, 0);
        if (n <= 0) break;
        buf.append(block, static_cast<size_t>(n));
        size_t pos = 0;
        while (buf.size() - pos >= 5) {
          const auto len = static_cast<size_t>(rda::LoadI32LE(buf.data() + pos));
          if (buf.size() - pos - 4 < len) break;
          const bool versionRequest = buf[pos + 4] == 48;
          pos += 4 + len;
          if (!versionRequest) WriteAll(fd, reply_.data(), reply_.size());
        }
        buf.erase(0, pos);
      }
      close(fd);
    }
  }

  const std::string& reply_;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

void BM_RawRoundTrip(benchmark::State& state) {
  const std::string request = SmallFrame();
  const std::string expected = SmallFrame();
  Peer peer(expected);
  const int fd = Connect(peer.Port());
  std::string reply(expected.size(), '\0');
  for (auto _ : state) {
    WriteAll(fd, request.data(), request.size());
    if (!ReadAll(fd, reply.data(), reply.size()) || reply != expected) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  close(fd);
}

void ClientRoundTrips(benchmark::State& state, int port) {
  rda::TRdaClientSocket s;
  s.SetPort(port);
  rda::bench::ClientRoundTrips(state, s);
}

void BM_ClientRoundTrip(benchmark::State& state) {
  const std::string reply = SmallFrame();
  Peer peer(reply);
  ClientRoundTrips(state, peer.Port());
}

void BM_ClientRoundTripRdaServer(benchmark::State& state) {
  if (!std::filesystem::exists(rda::test::ServerProcess::BinaryPath())) {
    state.SkipWithError("rdaserver is not beside this program");
    return;
  }
  rda::test::ServerProcess server({"--port", "0", "--quiet"});
  ClientRoundTrips(state, server.DataPort());
}

void BM_RawReply64MiB(benchmark::State& state) {
  const std::string request = SmallFrame();
  Peer peer(BigFrame());
  const int fd = Connect(peer.Port());
  std::string reply(kBigFrame, '\0');
  for (auto _ : state) {
    WriteAll(fd, request.data(), request.size());
    if (!ReadAll(fd, reply.data(), reply.size()) || reply.back() != BigFrame().back()) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFrame));
}

// The same transfer into a new buffer for each reply, as a receiver of messages has
// to: the cost of touching 64 MiB of fresh memory (page faults), for information.
void BM_RawReply64MiBFreshBuffer(benchmark::State& state) {
  const std::string request = SmallFrame();
  Peer peer(BigFrame());
  const int fd = Connect(peer.Port());
  for (auto _ : state) {
    WriteAll(fd, request.data(), request.size());
    auto reply = std::make_unique_for_overwrite<char[]>(kBigFrame);
    if (!ReadAll(fd, reply.get(), kBigFrame) || reply[kBigFrame - 1] != BigFrame().back()) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFrame));
}

void BM_ClientReply64MiB(benchmark::State& state) {
  Peer peer(BigFrame());
  rda::TRdaClientSocket s;
  s.SetPort(peer.Port());
  s.OnDisconnect = [] {};
  s.OpenAndWait();
  for (auto _ : state) {
    rda::TRdaStringLine request;
    request.SetToken(52);
    request.AddField("send the big one");
    s.SendMessage(request, true);
    const std::string& text = s.ReplyText();
    if (text.size() != kBigText || text[kBigText - 1] != static_cast<char>('a' + (kBigText - 1) % 26)) {
      state.SkipWithError("wrong answer");
      break;
    }
    s.SetReplyText("");
  }
  s.CloseAndWait();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFrame));
}

}  // namespace

BENCHMARK(BM_RawRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_ClientRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_ClientRoundTripRdaServer)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1);
BENCHMARK(BM_RawReply64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_RawReply64MiBFreshBuffer)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ClientReply64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  g_binDir = std::filesystem::absolute(argv[0]).parent_path().string();
  return rda::bench::Run(argc, argv, rda::bench::Clock::kReal, [](const rda::bench::Results& r) {
    std::printf("client round trip / raw round trip = %.2f (goal <= 1.5)\n",
                r.Ratio("BM_ClientRoundTrip", "BM_RawRoundTrip"));
    std::printf("client round trip with rdaserver / raw round trip = %.2f (for information)\n",
                r.Ratio("BM_ClientRoundTripRdaServer", "BM_RawRoundTrip"));
    std::printf("client 64 MiB reply throughput / raw transfer throughput = %.2f (goal >= 0.5)\n",
                r.Ratio("BM_RawReply64MiB", "BM_ClientReply64MiB"));
    std::printf("client 64 MiB reply throughput / raw transfer into fresh memory = %.2f (for "
                "information)\n",
                r.Ratio("BM_RawReply64MiBFreshBuffer", "BM_ClientReply64MiB"));
  });
}
