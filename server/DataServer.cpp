#include "server/DataServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/Exception.h"
#include "server/ClientUpdates.h"
#include "server/ControlCommand.h"
#include "server/ServerCatalog.h"
#include "server/SocketIO.h"
#include "server/UserTable.h"

namespace rda {

namespace {

using Clock = std::chrono::steady_clock;

enum ListenerKind { kData, kEcho, kControl, kHttp };

constexpr int kEchoPortOffset = 10000;
constexpr size_t kReadChunk = 64 * 1024;
constexpr char kHttpPost[] = "POST ";
constexpr size_t kHttpPostSize = sizeof(kHttpPost) - 1;

// What a plain data port's first bytes are: frames, a proxied HTTP request, or the
// hello of a client set for TLS (which would otherwise wait for the rest of what
// reads as a frame of many megabytes); undecided while too few have come to tell.
enum class Opening { kUndecided, kFrames, kHttp, kTlsHello };
Opening ClassifyOpening(std::string_view first) {
  if (std::string_view(kHttpPost).starts_with(first.substr(0, kHttpPostSize)))
    return first.size() < kHttpPostSize ? Opening::kUndecided : Opening::kHttp;
  // A TLS 1.2 or later client hello: a handshake record (22) of version 3.1 to 3.4
  // whose message is a client hello (1) with the version 3.3. No first frame of the
  // system's starts so: it would be a frame of over 64 KiB whose body begins with
  // those bytes.
  struct Byte {
    size_t at;
    unsigned char low, high;
  };
  static constexpr Byte kHello[] = {{0, 22, 22}, {1, 3, 3}, {2, 1, 4}, {5, 1, 1}, {9, 3, 3}, {10, 3, 3}};
  for (const Byte& b : kHello) {
    if (first.size() <= b.at) return Opening::kUndecided;
    const auto c = static_cast<unsigned char>(first[b.at]);
    if (c < b.low || c > b.high) return Opening::kFrames;
  }
  return Opening::kTlsHello;
}
// How often idle tunnel sessions are looked for.
constexpr std::chrono::milliseconds kSweepInterval{1000};

// A listening socket on address:port; port 0 picks a free one.
int Listen(const std::string& address, int port, int& boundPort) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) throw Exception("cannot listen on " + address + ": " + gai_strerror(rc));
  std::string error = "no address";
  int fd = -1;
  for (addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      error = ErrnoText();
      continue;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 128) != 0) {
      error = ErrnoText();
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) throw Exception("cannot listen on " + address + ":" + service + ": " + error);
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  boundPort = addr.ss_family == AF_INET6
                  ? ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port)
                  : ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  return fd;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("cannot read " + path + ": " + ErrnoText());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const char* LoginText(LoginState s) {
  switch (s) {
    case LoginState::kVerified: return "verified";
    case LoginState::kRefused: return "refused";
    default: return "none";
  }
}

}  // namespace

struct DataServer::Connection {
  int id = 0;
  int fd = -1;
  int wakeFd = -1;
  std::string peer;
  std::mutex mutex;  // guards what follows
  std::shared_ptr<ServerSession> session;
  std::deque<std::string> pushes;
  size_t pushBytes = 0;
  bool disconnect = false;

  ~Connection() {
    if (wakeFd >= 0) close(wakeFd);
  }
  void Wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd, &one, sizeof one);
  }
};

DataServer::DataServer(ServerOptions options) : options_(std::move(options)) {
  DatabaseLimits limits;
  limits.queryTimeout = options_.queryTimeout;
  limits.cancel = &stopping_;
  try {
    database_ = OpenDatabase(options_.db, limits);
  } catch (const std::exception& e) {
    throw Exception("cannot open database " + (options_.db.empty() ? "(in memory)" : options_.db) +
                    ": " + e.what());
  }
  if (const std::string& updates = options_.session.updatesDir;
      !updates.empty() && !std::filesystem::is_directory(updates))
    throw Exception("--updates " + updates + " is not a folder");
  if (!options_.init.empty()) {
    const std::string script = ReadFile(options_.init);
    try {
      database_->RunScript(script);
    } catch (const std::exception& e) {
      throw Exception(options_.init + ": " + e.what());
    }
  }
  try {
    database_->RunScript(DefinitionTablesScript(database_->Engine()));
  } catch (const std::exception& e) {
    throw Exception(std::string("cannot make the definition tables: ") + e.what());
  }
  try {
    events_ = database_->OpenEventChannel();
  } catch (const std::exception& e) {
    throw Exception(std::string("cannot share provider broadcasts with other servers: ") + e.what());
  }
  if (events_) {
    broadcasts_.publish = [this](SqlConnection& db, const std::string& event) {
      try {
        events_->Publish(db, event);
      } catch (const std::exception& e) {
        // The change is committed; only the other servers' clients miss it.
        Log(ServerOptions::LogLevel::kQuiet, std::string("cannot tell the other servers of a change: ") + e.what());
      }
    };
  }
  if (!IsLoopbackAddress(options_.bind) && !options_.allowAnonymous) {
    // Protected mode: other machines reach the server, so nobody is served
    // without a verified login.
    bool logins = !options_.session.user.empty();
    if (!logins) {
      const std::unique_ptr<SqlConnection> db = database_->Connect();
      db->BeginRequest();
      logins = db->TableExists(kUsersTable);
    }
    if (!logins) throw Exception(ProtectedModeRefusal(options_.bind));
    options_.session.requireLogin = true;
    options_.session.anonymousLogins = false;
  }
  if (!options_.tlsCert.empty()) tls_ = std::make_unique<TlsContext>(options_.tlsCert, options_.tlsKey);
  options_.session.presence = &presence_;
  options_.session.broadcasts = &broadcasts_;
  options_.session.throttle = &throttle_;
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) throw Exception("eventfd: " + ErrnoText());
}

DataServer::~DataServer() {
  Stop();
  events_.reset();  // its listener delivers into broadcasts_ through eventDb_
  for (int fd : {dataListener_, echoListener_, controlListener_, httpListener_, stopFd_})
    if (fd >= 0) close(fd);
}

void DataServer::Start() {
  if (started_) return;
  dataListener_ = Listen(options_.bind, options_.port, dataPort_);
  if (options_.echo) {
    echoListener_ =
        Listen(options_.bind, options_.port == 0 ? 0 : dataPort_ + kEchoPortOffset, echoPort_);
  }
  // The control port takes commands from anyone who reaches it, so it is
  // never reachable from another machine.
  if (options_.controlPort >= 0)
    controlListener_ = Listen("127.0.0.1", options_.controlPort, controlPort_);
  // The tunnel also answers HTTP on the data port, so it exists without
  // --http-port too.
  HttpTunnelSettings http;
  http.extensionPath = options_.httpPath;
  http.self = SelfDestination(options_.bind, dataPort_);
  for (const auto& entry : options_.httpAllow)
    http.allowed.push_back(ResolveDestination(entry, http.self));
  if (http.allowed.empty()) http.allowed.push_back(http.self);
  http.sessionIdle = options_.httpSessionIdle;
  http.requestTimeout = options_.handshakeTimeout;
  http.maxBodyBytes = options_.session.maxRequestBytes + 4;
  http.maxSessions = static_cast<size_t>(options_.maxClients);
  http.transforms = options_.session;
  tunnel_ = std::make_unique<HttpTunnel>(std::move(http), stopFd_, [this](int level, const std::string& text) {
    Log(static_cast<ServerOptions::LogLevel>(level), text);
  });
  if (options_.httpPort >= 0) httpListener_ = Listen(options_.bind, options_.httpPort, httpPort_);
  if (events_) {
    auto log = [this](const std::string& text) { Log(ServerOptions::LogLevel::kQuiet, text); };
    events_->Listen(
        [this](const std::string& event) {
          if (!eventDb_) eventDb_ = database_->Connect();
          eventDb_->BeginRequest();
          DeliverChange(*eventDb_, broadcasts_, event, -1,
                        [this](const std::string& text) { Log(ServerOptions::LogLevel::kVerbose, text); });
        },
        log);
  }
  started_ = true;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

std::string DataServer::ReadyLine() const {
  std::string line = "rdaserver ready data=" + std::to_string(dataPort_);
  if (echoPort_) line += " echo=" + std::to_string(echoPort_);
  if (controlPort_) line += " control=" + std::to_string(controlPort_);
  if (httpPort_) line += " http=" + std::to_string(httpPort_);
  return line;
}

bool DataServer::Stop() {
  if (!started_ || stopped_) return true;
  stopped_ = true;
  stopping_ = true;
  throttle_.Stop();
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (auto& [id, c] : connections_) c->Wake();
  }
  std::unique_lock<std::mutex> lock(threadsMutex_);
  const bool done = threadsDone_.wait_for(lock, std::chrono::seconds(10),
                                          [this] { return liveThreads_ == 0; });
  if (!done) Log(ServerOptions::LogLevel::kQuiet, "some connections did not end in time");
  return done;
}

size_t DataServer::ClientCount() const {
  std::lock_guard<std::mutex> lock(registryMutex_);
  return connections_.size();
}

void DataServer::Log(ServerOptions::LogLevel level, const std::string& text) {
  if (static_cast<int>(level) > static_cast<int>(options_.logLevel)) return;
  std::lock_guard<std::mutex> lock(logMutex_);
  std::fprintf(stderr, "rdaserver: %s\n", text.c_str());
  std::fflush(stderr);
}

void DataServer::Spawn(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);
    ++liveThreads_;
  }
  try {
    std::thread([this, work = std::move(work)]() mutable {
      try {
        work();
      } catch (const std::exception& e) {
        Log(ServerOptions::LogLevel::kQuiet, std::string("connection failed: ") + e.what());
      }
      work = nullptr;
      // Notify under the lock: once it is released, Stop may return and
      // this server may be gone.
      std::lock_guard<std::mutex> lock(threadsMutex_);
      --liveThreads_;
      threadsDone_.notify_all();
    }).detach();
  } catch (...) {
    std::lock_guard<std::mutex> lock(threadsMutex_);
    --liveThreads_;
    throw;
  }
}

// ---- Accepting ----------------------------------------------------------------------

void DataServer::AcceptLoop() {
  auto nextSweep = Clock::now() + kSweepInterval;
  while (!Stopping()) {
    pollfd fds[5] = {{stopFd_, POLLIN, 0},
                     {dataListener_, POLLIN, 0},
                     {echoListener_, POLLIN, 0},
                     {controlListener_, POLLIN, 0},
                     {httpListener_, POLLIN, 0}};
    const int r = poll(fds, 5, MillisUntil(nextSweep));
    if (Clock::now() >= nextSweep) {
      tunnel_->Sweep();
      nextSweep = Clock::now() + kSweepInterval;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      Log(ServerOptions::LogLevel::kQuiet, "poll: " + ErrnoText());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) Accept(dataListener_, kData);
    if (fds[2].revents & POLLIN) Accept(echoListener_, kEcho);
    if (fds[3].revents & POLLIN) Accept(controlListener_, kControl);
    if (fds[4].revents & POLLIN) Accept(httpListener_, kHttp);
  }
}

void DataServer::Accept(int listener, int kind) {
  for (;;) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&addr), &len,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) {
        Log(ServerOptions::LogLevel::kQuiet, "accept: " + ErrnoText());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      return;  // EAGAIN: nothing more waits
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int registered = 0;
    try {
      if (kind == kEcho) {
        if (echoConnections_.fetch_add(1) >= kMaxEchoConnections) {
          --echoConnections_;
          close(fd);
          continue;
        }
        Spawn([this, fd] {
          ServeEcho(fd);
          --echoConnections_;
        });
      } else if (kind == kControl) {
        if (controlConnections_.fetch_add(1) >= kMaxControlConnections) {
          --controlConnections_;
          close(fd);
          continue;
        }
        Spawn([this, fd] {
          ServeControl(fd);
          --controlConnections_;
        });
      } else if (kind == kHttp) {
        if (httpConnections_.fetch_add(1) >= options_.maxClients) {
          --httpConnections_;
          close(fd);
          continue;
        }
        const std::string peer = PeerName(addr);
        Spawn([this, fd, peer] {
          ServeHttp(fd, peer, {}, HttpTunnel::Entry::kEndpoint);
          --httpConnections_;
        });
      } else {
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        c->peer = PeerName(addr);
        {
          std::lock_guard<std::mutex> lock(registryMutex_);
          if (connections_.size() >= static_cast<size_t>(options_.maxClients)) {
            Log(ServerOptions::LogLevel::kNormal,
                "refused " + c->peer + ": " + std::to_string(options_.maxClients) +
                    " clients are connected");
            close(fd);
            continue;
          }
          c->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
          if (c->wakeFd < 0) {
            close(fd);
            continue;
          }
          c->id = registered = nextId_++;
          connections_[c->id] = c;
        }
        Spawn([this, c] { ServeClient(c); });
      }
    } catch (const std::exception& e) {
      // No thread could be started for it.
      Log(ServerOptions::LogLevel::kQuiet, std::string("cannot serve a connection: ") + e.what());
      if (kind == kEcho) --echoConnections_;
      if (kind == kControl) --controlConnections_;
      if (kind == kHttp) --httpConnections_;
      if (registered) Unregister(registered);
      close(fd);
    }
  }
}

void DataServer::Unregister(int id) {
  std::lock_guard<std::mutex> lock(registryMutex_);
  connections_.erase(id);
}

// ---- Data connections -------------------------------------------------------------------

void DataServer::ServeClient(const std::shared_ptr<Connection>& c) {
  std::shared_ptr<ServerSession> session;
  std::unique_ptr<TlsChannel> tls;
  try {
    session = std::make_shared<ServerSession>(options_.session, database_->Connect(), c->id, c->peer);
    if (tls_) tls = std::make_unique<TlsChannel>(*tls_, c->fd);
  } catch (const std::exception& e) {
    Log(ServerOptions::LogLevel::kQuiet, "client " + std::to_string(c->id) + ": " + e.what());
    close(c->fd);
    Unregister(c->id);
    return;
  }
  const int id = c->id;
  session->OnLog = [this, id](const std::string& text) {
    Log(ServerOptions::LogLevel::kVerbose, "client " + std::to_string(id) + ": " + text);
  };
  // Messages from other sessions' threads join the control port's queue.
  session->OnPush = [weak = std::weak_ptr<Connection>(c)](std::string body) {
    const std::shared_ptr<Connection> target = weak.lock();
    if (!target) return;
    std::lock_guard<std::mutex> lock(target->mutex);
    if (target->pushBytes + body.size() > kMaxQueuedPushBytes) return;
    target->pushBytes += body.size();
    target->pushes.push_back(std::move(body));
    target->Wake();
  };
  {
    std::lock_guard<std::mutex> lock(c->mutex);
    c->session = session;
  }
  Log(ServerOptions::LogLevel::kNormal, "client " + std::to_string(id) + " connected from " + c->peer);

  const auto handshake = options_.handshakeTimeout;
  const auto connected = Clock::now();
  auto lastRead = connected;
  auto lastWrite = connected;
  std::string out;
  size_t outPos = 0;
  bool peerClosed = false;
  std::string reason;
  char buf[kReadChunk];
  // A TLS port carries frames only: the tunnel has a port of its own.
  bool sniffing = !tls;
  std::string sniff;
  bool http = false;

  // One receive or send, inside TLS when the port speaks it. A failure sets
  // reason.
  enum class Io { kMoved, kAgain, kClosed, kFailed };
  const auto settle = [&](TlsChannel::Result result) {
    switch (result) {
      case TlsChannel::Result::kDone: return Io::kMoved;
      case TlsChannel::Result::kAgain: return Io::kAgain;
      case TlsChannel::Result::kClosed: return Io::kClosed;
      case TlsChannel::Result::kFailed: break;
    }
    reason = tls->Error();
    return Io::kFailed;
  };
  const auto receive = [&](size_t& n) {
    if (tls) return settle(tls->Read(buf, sizeof buf, n));
    const ssize_t r = recv(c->fd, buf, sizeof buf, 0);
    if (r > 0) {
      n = static_cast<size_t>(r);
      return Io::kMoved;
    }
    if (r == 0) return Io::kClosed;
    if (errno == EAGAIN || errno == EINTR) return Io::kAgain;
    reason = "receive: " + ErrnoText();
    return Io::kFailed;
  };
  const auto transmit = [&](size_t& n) {
    if (tls) return settle(tls->Write(out.data() + outPos, out.size() - outPos, n));
    const ssize_t r = send(c->fd, out.data() + outPos, out.size() - outPos, MSG_NOSIGNAL);
    if (r > 0) {
      n = static_cast<size_t>(r);
      return Io::kMoved;
    }
    if (r < 0 && errno != EAGAIN && errno != EINTR) {
      reason = "send: " + ErrnoText();
      return Io::kFailed;
    }
    return Io::kAgain;
  };

  for (;;) {
    if (Stopping()) {
      reason = "server stopping";
      break;
    }
    const bool hadOutput = outPos < out.size();
    {
      std::lock_guard<std::mutex> lock(c->mutex);
      if (c->disconnect) {
        reason = "disconnected by the control port";
        break;
      }
      for (auto& body : c->pushes) out += session->Frame(std::move(body));
      c->pushes.clear();
      c->pushBytes = 0;
    }
    while (out.size() - outPos < kOutputHighWater && session->HasWork()) out += session->Step();
    if (outPos == out.size()) {
      out.clear();
      outPos = 0;
    }
    if (outPos < out.size()) {
      if (!hadOutput) lastWrite = Clock::now();
      // Most answers fit the socket's buffer: write them now rather than
      // after another poll.
      size_t n = 0;
      const Io io = transmit(n);
      if (io == Io::kFailed) break;
      if (io == Io::kClosed) {
        reason = "closed by the client";
        break;
      }
      if (io == Io::kMoved) {
        outPos += n;
        lastWrite = Clock::now();
      }
      if (outPos == out.size()) {
        out.clear();
        outPos = 0;
      }
    }
    const bool pendingOut = outPos < out.size();
    const auto closing = session->CloseState();
    if (!pendingOut && closing == ServerSession::Closing::kNow) {
      reason = session->CloseReason();
      break;
    }
    if (!pendingOut && peerClosed && !session->HasWork()) {
      reason = "closed by the client";
      break;
    }
    // Requests held back while a large answer drained: answer them now,
    // before waiting on a socket that has nothing more to say.
    if (!pendingOut && session->HasWork()) continue;
    const bool wantRead = !peerClosed && closing != ServerSession::Closing::kNow &&
                          !session->HasWork() && out.size() - outPos < kOutputHighWater;

    auto deadline = Clock::time_point::max();
    if (!session->SeenRequest()) deadline = std::min(deadline, connected + handshake);
    if (session->PendingBytes() > 0) deadline = std::min(deadline, lastRead + handshake);
    if (pendingOut) deadline = std::min(deadline, lastWrite + kWriteStall);
    const bool idleWatch = options_.idleLimit.count() > 0 && !pendingOut && !session->HasWork();
    if (idleWatch) deadline = std::min(deadline, lastRead + options_.idleLimit);
    const bool quietClose = closing == ServerSession::Closing::kWhenQuiet && !pendingOut;
    if (quietClose) deadline = std::min(deadline, std::max(lastRead, lastWrite) + kBlockingQuiet);

    // Decrypted bytes already inside the TLS channel do not wake poll.
    const bool buffered = tls && wantRead && tls->Buffered();
    const short readEvents = tls ? tls->ReadEvents() : POLLIN;
    const short writeEvents = tls ? tls->WriteEvents() : POLLOUT;
    pollfd fds[3] = {{c->fd, static_cast<short>((wantRead ? readEvents : 0) | (pendingOut ? writeEvents : 0)), 0},
                     {c->wakeFd, POLLIN, 0},
                     {stopFd_, POLLIN, 0}};
    const int r = poll(fds, 3, buffered ? 0 : MillisUntil(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      reason = "poll: " + ErrnoText();
      break;
    }
    const auto now = Clock::now();
    if (r == 0 && !buffered) {
      if (quietClose && now >= std::max(lastRead, lastWrite) + kBlockingQuiet) {
        reason = session->CloseReason();
        break;
      }
      if (!session->SeenRequest() && now >= connected + handshake) {
        reason = "no complete request within " + std::to_string(handshake.count()) + " s";
        break;
      }
      if (session->PendingBytes() > 0 && now >= lastRead + handshake) {
        reason = "a request stalled for " + std::to_string(handshake.count()) + " s";
        break;
      }
      if (pendingOut && now >= lastWrite + kWriteStall) {
        reason = "the client does not read its answers";
        break;
      }
      if (idleWatch && now >= lastRead + options_.idleLimit) {
        reason = "idle for more than " + std::to_string(options_.idleLimit.count()) + " s";
        break;
      }
      continue;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(c->wakeFd, &count, sizeof count);
    }
    if (wantRead && (buffered || (fds[0].revents & (readEvents | POLLHUP | POLLERR)))) {
      size_t n = 0;
      const Io io = receive(n);
      if (io == Io::kMoved && sniffing) {
        // The first bytes tell frames from a proxied HTTP request or a TLS hello.
        sniff.append(buf, n);
        lastRead = now;
        const Opening opening = ClassifyOpening(sniff);
        if (opening == Opening::kUndecided) continue;
        sniffing = false;
        if (opening == Opening::kHttp) {
          http = true;
          break;
        }
        if (opening == Opening::kTlsHello) {
          reason = "a client set for TLS on a plain port (start rdaserver with --tls-cert and --tls-key, "
                   "or connect without TLS)";
          break;
        }
        session->Append(sniff);
        sniff.clear();
      } else if (io == Io::kMoved) {
        session->Append(std::string_view(buf, n));
        lastRead = now;
      } else if (io == Io::kClosed) {
        peerClosed = true;
      } else if (io == Io::kFailed) {
        break;
      }
    }
    if (pendingOut && (fds[0].revents & (writeEvents | POLLHUP | POLLERR))) {
      size_t n = 0;
      const Io io = transmit(n);
      if (io == Io::kFailed) break;
      if (io == Io::kMoved) {
        outPos += n;
        lastWrite = now;
      }
    }
  }
  Unregister(id);
  if (http) {
    // Not a data client after all: the tunnel answers it from this server.
    {
      std::lock_guard<std::mutex> lock(c->mutex);
      c->session.reset();
    }
    session.reset();
    Log(ServerOptions::LogLevel::kVerbose, "client " + std::to_string(id) + " speaks HTTP");
    if (httpConnections_.fetch_add(1) >= options_.maxClients) {
      --httpConnections_;
      Log(ServerOptions::LogLevel::kNormal, "refused HTTP from " + c->peer + ": " +
                                                std::to_string(options_.maxClients) +
                                                " HTTP connections are open");
      close(c->fd);
      return;
    }
    ServeHttp(c->fd, c->peer, sniff, HttpTunnel::Entry::kDataPort);
    --httpConnections_;
    return;
  }
  if (tls) tls->Shutdown();
  CloseGracefully(c->fd);
  Log(ServerOptions::LogLevel::kNormal, "client " + std::to_string(id) + " closed: " + reason);
}

void DataServer::ServeHttp(int fd, const std::string& peer, const std::string& received,
                           HttpTunnel::Entry entry) {
  try {
    tunnel_->Serve(fd, peer, received, entry);
  } catch (const std::exception& e) {
    Log(ServerOptions::LogLevel::kQuiet, "http " + peer + ": " + e.what());
  }
  CloseGracefully(fd);
}

// ---- Echo and control -----------------------------------------------------------------------

void DataServer::ServeEcho(int fd) {
  char buf[4096];
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    const int r = poll(p, 2, static_cast<int>(std::chrono::milliseconds(kEchoIdle).count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p[1].revents & POLLIN)) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    if (!SendAll(fd, std::string_view(buf, static_cast<size_t>(n)), stopFd_, Clock::now() + std::chrono::seconds(5)))
      break;
  }
  CloseGracefully(fd);
}

void DataServer::ServeControl(int fd) {
  std::string pending;
  char buf[4096];
  bool open = true;
  while (open) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    const int r = poll(p, 2, static_cast<int>(std::chrono::milliseconds(kControlIdle).count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p[1].revents & POLLIN)) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t eol;
    while (open && (eol = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "quit") {
        open = false;
        break;
      }
      open = SendAll(fd, RunControl(line) + "\n", stopFd_, Clock::now() + std::chrono::seconds(5));
    }
    if (open && pending.size() > kMaxControlLine) {
      SendAll(fd, "error line too long\n", stopFd_, Clock::now() + std::chrono::seconds(5));
      open = false;
    }
  }
  CloseGracefully(fd);
}

std::string DataServer::RunControl(std::string_view line) {
  try {
    const ControlCommand cmd = ParseControlCommand(line);
    if (cmd.kind == ControlCommand::kHelp) return std::string(ControlHelpText()) + "ok";
    std::lock_guard<std::mutex> lock(registryMutex_);
    if (cmd.kind == ControlCommand::kClients) {
      std::string answer;
      for (const auto& [id, c] : connections_) {
        std::shared_ptr<ServerSession> session;
        {
          std::lock_guard<std::mutex> cl(c->mutex);
          session = c->session;
        }
        if (!session) continue;
        const SessionInfo info = session->Info();
        answer += std::to_string(info.id) + " " + info.peer + " user=\"" + info.user + "\" app=\"" +
                  info.application + "\" version=\"" + info.applicationVersion +
                  "\" login=" + LoginText(info.login) + " requests=" + std::to_string(info.requests) +
                  " keepalives=" + std::to_string(info.keepAlives) +
                  " pings=" + std::to_string(info.pingAnswers) +
                  (info.blocking ? " blocking" : "") + "\n";
      }
      return answer + "ok";
    }
    std::vector<std::shared_ptr<Connection>> targets;
    if (cmd.target.kind == ControlTarget::kAll) {
      for (const auto& [id, c] : connections_) targets.push_back(c);
    } else if (cmd.target.kind == ControlTarget::kLast) {
      if (!connections_.empty()) targets.push_back(connections_.rbegin()->second);
    } else if (auto it = connections_.find(cmd.target.id); it != connections_.end()) {
      targets.push_back(it->second);
    }
    if (targets.empty()) return "error no such client";
    // A file goes in segments, queued together.
    std::vector<std::string> bodies;
    if (cmd.kind == ControlCommand::kSendFile) {
      const std::string path = PublishedFilePath(options_.session.updatesDir, cmd.file);
      bodies = FileSegmentLines(cmd.localName, ReadPublishedFile(path, kMaxQueuedPushBytes));
    } else if (cmd.kind == ControlCommand::kSend) {
      bodies.push_back(cmd.body);
    }
    size_t bytes = 0;
    for (const std::string& body : bodies) bytes += body.size();
    for (const auto& c : targets) {
      std::lock_guard<std::mutex> cl(c->mutex);
      if (cmd.kind == ControlCommand::kDisconnect) {
        c->disconnect = true;
      } else {
        if (c->pushBytes + bytes > kMaxQueuedPushBytes)
          return "error the queue of client " + std::to_string(c->id) + " is full";
        c->pushes.insert(c->pushes.end(), bodies.begin(), bodies.end());
        c->pushBytes += bytes;
      }
      c->Wake();
    }
    Log(ServerOptions::LogLevel::kVerbose, "control: " + std::string(line));
    return "ok";
  } catch (const std::exception& e) {
    return std::string("error ") + e.what();
  }
}

}  // namespace rda
