#include "server/HttpTunnel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "base/Exception.h"
#include "base/Text.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/SocketIO.h"

namespace rda {

namespace {

using Clock = HttpTunnel::Clock;

constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr int kLogNormal = 1;
constexpr int kLogVerbose = 2;


// The canonical text of a numeric address, or nothing for a name.
std::optional<std::string> CanonicalNumeric(const std::string& text) {
  char out[INET6_ADDRSTRLEN];
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1 && inet_ntop(AF_INET, &v4, out, sizeof out))
    return std::string(out);
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1 && inet_ntop(AF_INET6, &v6, out, sizeof out))
    return std::string(out);
  return std::nullopt;
}

std::string AddressText(const sockaddr_storage& a) {
  const std::string peer = PeerName(a);
  return peer.substr(0, peer.rfind(':'));
}

void SetPort(sockaddr_storage& a, int port) {
  if (a.ss_family == AF_INET)
    reinterpret_cast<sockaddr_in*>(&a)->sin_port = htons(static_cast<uint16_t>(port));
  else
    reinterpret_cast<sockaddr_in6*>(&a)->sin6_port = htons(static_cast<uint16_t>(port));
}

// A numeric address with its port; false when the text is not numeric.
bool NumericAddress(const std::string& host, int port, TunnelDestination& d) {
  d = TunnelDestination{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&d.address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&d.address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    d.addressLength = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    d.addressLength = sizeof(sockaddr_in6);
  } else {
    return false;
  }
  SetPort(d.address, port);
  d.port = port;
  return true;
}

void AddName(TunnelDestination& d, const std::string& name) {
  const std::string n = LowerAscii(name);
  if (std::find(d.names.begin(), d.names.end(), n) == d.names.end()) d.names.push_back(n);
}

std::string Key(const TunnelDestination& d) { return PeerName(d.address); }

}  // namespace

TunnelDestination SelfDestination(const std::string& bind, int dataPort) {
  const bool wildcard4 = bind == "0.0.0.0";
  const bool wildcard6 = bind == "::";
  TunnelDestination d;
  const std::string connectTo = wildcard4 ? "127.0.0.1" : wildcard6 ? "::1" : bind;
  if (!NumericAddress(connectTo, dataPort, d))
    throw Exception("the bind address " + bind + " is not a numeric address");
  d.label = "self";
  AddName(d, "localhost");
  AddName(d, AddressText(d.address));
  if (wildcard4 || wildcard6) {
    AddName(d, "127.0.0.1");
    if (wildcard6) AddName(d, "::1");
  }
  d.key = Key(d);
  return d;
}

TunnelDestination ResolveDestination(const std::string& entry, const TunnelDestination& self) {
  if (LowerAscii(entry) == "self") return self;
  const std::string bad = "--http-allow needs HOST:PORT, [IPv6]:PORT or self, not \"" + entry + "\"";
  std::string host;
  std::string port;
  if (!entry.empty() && entry.front() == '[') {
    const size_t close = entry.find("]:");
    if (close == std::string::npos) throw Exception(bad);
    host = entry.substr(1, close - 1);
    port = entry.substr(close + 2);
  } else {
    const size_t colon = entry.rfind(':');
    if (colon == std::string::npos || entry.find(':') != colon) throw Exception(bad);
    host = entry.substr(0, colon);
    port = entry.substr(colon + 1);
  }
  const bool digits =
      !port.empty() && port.size() <= 5 &&
      std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
  const int portNumber = digits ? std::stoi(port) : 0;
  if (host.empty() || portNumber < 1 || portNumber > 65535) throw Exception(bad);

  TunnelDestination d;
  if (!NumericAddress(host, portNumber, d)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || !found)
      throw Exception("--http-allow " + entry + ": " + gai_strerror(rc));
    std::memcpy(&d.address, found->ai_addr, found->ai_addrlen);
    d.addressLength = found->ai_addrlen;
    d.port = portNumber;
    freeaddrinfo(found);
    AddName(d, host);
  }
  d.label = entry;
  AddName(d, AddressText(d.address));
  d.key = Key(d);
  return d;
}

const TunnelDestination* FindDestination(const std::vector<TunnelDestination>& allowed,
                                         std::string_view address, int port) {
  const std::string wanted =
      CanonicalNumeric(std::string(address)).value_or(LowerAscii(std::string(address)));
  for (const auto& d : allowed) {
    if (d.port == port && std::find(d.names.begin(), d.names.end(), wanted) != d.names.end())
      return &d;
  }
  return nullptr;
}

// ---- The connection to a data server ------------------------------------------------

class HttpTunnel::Backend {
 public:
  Backend(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}
  ~Backend() { close(fd_); }
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  bool Send(std::string_view bytes, Clock::time_point deadline) {
    if (closed_) return false;
    if (!SendAll(fd_, bytes, stopFd_, deadline)) closed_ = true;
    return !closed_;
  }

  // The next frame's content; nothing at the deadline, when the server
  // closes the connection or sends what is no frame, or when stopping.
  std::optional<std::string> Next(Clock::time_point deadline) {
    char buf[65536];
    while (!stack_.HasMessages()) {
      if (closed_) return std::nullopt;
      pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
      const int r = poll(p, 2, MillisUntil(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return std::nullopt;
      if (p[1].revents & POLLIN) {
        closed_ = true;
        return std::nullopt;
      }
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        closed_ = true;
        return std::nullopt;
      }
      try {
        stack_.Append(std::string_view(buf, static_cast<size_t>(n)));
      } catch (const std::exception&) {
        closed_ = true;  // not a frame stream any more
      }
    }
    return stack_.PopMessage();
  }

  bool Closed() const { return closed_; }

 private:
  int fd_;
  int stopFd_;
  bool closed_ = false;
  TRdaMessageStack stack_;
};

struct HttpTunnel::Session {
  int32_t id = 0;
  std::string destination;  // TunnelDestination::key
  std::string user;
  std::timed_mutex use;     // held by the request using the session
  std::unique_ptr<Backend> backend;  // guarded by use
  bool ended = false;                // guarded by use
  std::atomic<Clock::rep> lastUsed{0};

  void Touch() { lastUsed = Clock::now().time_since_epoch().count(); }
  Clock::time_point LastUsed() const { return Clock::time_point(Clock::duration(lastUsed.load())); }
};

struct HttpTunnel::Answer {
  enum class End { kComplete, kClosed, kTimedOut, kTooLarge } end = End::kComplete;
  std::vector<std::string> frames;  // contents
  size_t bytes = 0;
};

// ---- The tunnel ----------------------------------------------------------------------

HttpTunnel::HttpTunnel(HttpTunnelSettings settings, int stopFd, LogFunction log)
    : settings_(std::move(settings)), stopFd_(stopFd), log_(std::move(log)),
      random_(std::random_device{}()) {}

HttpTunnel::~HttpTunnel() = default;

void HttpTunnel::Log(int level, const std::string& text) const {
  if (log_) log_(level, text);
}

size_t HttpTunnel::SessionCount() const {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  return sessions_.size();
}

int32_t HttpTunnel::NextPingId() {
  // Negative ids far from those a client gives its components.
  return -1000000 - static_cast<int32_t>(pings_.fetch_add(1) % 1000000000u);
}

void HttpTunnel::Sweep() {
  const auto now = Clock::now();
  std::vector<std::shared_ptr<Session>> ended;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      Session& s = *it->second;
      if (now - s.LastUsed() >= settings_.sessionIdle && s.use.try_lock()) {
        s.ended = true;
        s.use.unlock();
        ended.push_back(it->second);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Closing the connections happens outside the registry's lock.
  for (auto& s : ended) {
    std::lock_guard<std::timed_mutex> use(s->use);
    s->backend.reset();
    Log(kLogNormal, "tunnel session " + std::to_string(s->id) + " ended after " +
                        std::to_string(settings_.sessionIdle.count()) + " s idle");
  }
}

std::shared_ptr<HttpTunnel::Session> HttpTunnel::NewSession(const TunnelDestination& dest,
                                                            std::unique_ptr<Backend> backend) {
  auto s = std::make_shared<Session>();
  s->destination = dest.key;
  s->backend = std::move(backend);
  s->Touch();
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  if (sessions_.size() >= settings_.maxSessions) return nullptr;
  // Ids are random, so that one client cannot guess another's.
  std::uniform_int_distribution<int32_t> ids(1, INT32_MAX);
  do {
    s->id = ids(random_);
  } while (sessions_.count(s->id));
  sessions_[s->id] = s;
  return s;
}

std::shared_ptr<HttpTunnel::Session> HttpTunnel::FindSession(int32_t id) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  return it->second;
}

// Requires the session's use lock.
void HttpTunnel::EndSession(Session& s) {
  s.ended = true;
  s.backend.reset();
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  const auto it = sessions_.find(s.id);
  if (it != sessions_.end() && it->second.get() == &s) sessions_.erase(it);
}

std::unique_ptr<HttpTunnel::Backend> HttpTunnel::Open(const TunnelDestination& dest,
                                                      Clock::time_point deadline,
                                                      std::string& error, bool& refused) {
  int err = 0;
  const int fd = ConnectWithin(dest.address, dest.addressLength,
                               std::min(deadline, Clock::now() + kConnectLimit), stopFd_, err);
  if (fd < 0) {
    refused = err == ECONNREFUSED;
    error = ErrnoText(err);
    return nullptr;
  }
  return std::make_unique<Backend>(fd, stopFd_);
}

HttpTunnel::Answer HttpTunnel::Forward(Backend& backend, TunnelCodec& codec,
                                       const std::string& content, Clock::time_point deadline) {
  Answer a;
  const int32_t ping = NextPingId();
  std::string out = Framed(content);
  out += codec.PingFrame(ping);
  if (!backend.Send(out, deadline)) {
    a.end = Answer::End::kClosed;
    return a;
  }
  for (;;) {
    std::optional<std::string> m = backend.Next(deadline);
    if (!m) {
      a.end = backend.Closed() ? Answer::End::kClosed : Answer::End::kTimedOut;
      return a;
    }
    if (codec.IsPingAnswer(*m, ping)) return a;
    a.bytes += m->size();
    if (a.bytes > kMaxAnswerBytes) {
      a.end = Answer::End::kTooLarge;
      a.frames.clear();
      return a;
    }
    a.frames.push_back(std::move(*m));
  }
}

void HttpTunnel::Serve(int fd, const std::string& peer, std::string_view received, Entry entry) {
  TunnelCodec codec(settings_.transforms, settings_.maxBodyBytes);
  HttpRequestParser parser(settings_.maxHeadBytes, settings_.maxBodyBytes);
  auto idleSince = Clock::now();
  auto requestStart = idleSince;
  auto lastRead = idleSince;
  bool started = false;
  auto noteStart = [&] {
    if (!started && parser.Started()) {
      started = true;
      requestStart = lastRead = Clock::now();
    }
  };
  parser.Append(received);
  noteStart();
  char buf[65536];
  for (;;) {
    while (parser.GetState() == HttpRequestParser::State::kNeedMore) {
      if (parser.ContinueDue() &&
          !SendAll(fd, kContinue, stopFd_, Clock::now() + kWriteStall))
        return;
      // Idle between requests: the keep-alive limit. Then the head must
      // arrive within the request time, and the body may not stall longer.
      const auto deadline = !started            ? idleSince + kKeepAliveIdle
                            : parser.HeadRead() ? lastRead + settings_.requestTimeout
                                                : requestStart + settings_.requestTimeout;
      pollfd p[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
      const int r = poll(p, 2, MillisUntil(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || (p[1].revents & POLLIN)) return;
      if (r == 0) {
        if (!started) return;  // an idle keep-alive connection
        const HttpError timeout{408, "the request did not arrive within " +
                                         std::to_string(settings_.requestTimeout.count()) + " s"};
        Log(kLogNormal, "http " + peer + ": " + timeout.detail);
        SendAll(fd, HttpErrorResponse(1, timeout, false), stopFd_, Clock::now() + kWriteStall);
        return;
      }
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        if (n == 0 && parser.Finish() == HttpRequestParser::State::kFailed) break;
        return;
      }
      parser.Append(std::string_view(buf, static_cast<size_t>(n)));
      noteStart();
      lastRead = Clock::now();
    }
    if (parser.GetState() == HttpRequestParser::State::kFailed) {
      Log(kLogNormal, "http " + peer + ": " + std::to_string(parser.Error().status) + " " +
                          parser.Error().detail);
      SendAll(fd, HttpErrorResponse(1, parser.Error(), false), stopFd_,
              Clock::now() + kWriteStall);
      return;
    }
    const HttpRequest request = parser.Take();
    bool keepAlive = request.keepAlive;
    const std::string response = Handle(request, entry, codec, peer, keepAlive);
    if (!SendAll(fd, response, stopFd_, Clock::now() + kWriteStall) || !keepAlive) return;
    idleSince = Clock::now();
    started = false;
    noteStart();  // a pipelined request already under way
  }
}

std::string HttpTunnel::Handle(const HttpRequest& request, Entry entry, TunnelCodec& codec,
                               const std::string& peer, bool& keepAlive) {
  const int minor = request.minorVersion;
  auto error = [&](int status, const std::string& detail, int level = kLogNormal) {
    Log(level, "http " + peer + ": " + std::to_string(status) + " " + detail);
    return HttpErrorResponse(minor, HttpError{status, detail}, keepAlive);
  };
  const TunnelDestination* dest = &settings_.self;
  auto limit = std::chrono::seconds(kDefaultAnswerLimit);
  if (entry == Entry::kEndpoint) {
    const TunnelTargetResult t = ParseTunnelTarget(request.target, settings_.extensionPath);
    if (!t.target) return error(t.error.status, t.error.detail);
    dest = FindDestination(settings_.allowed, t.target->address, t.target->port);
    if (!dest) {
      return error(403, "this endpoint does not forward to " + t.target->address + ":" +
                            std::to_string(t.target->port));
    }
    if (t.target->timeoutSeconds > 0)
      limit = std::min(std::chrono::seconds(t.target->timeoutSeconds), kMaxAnswerLimit);
  }
  const std::string& body = request.body;
  const std::optional<int32_t> length = FrameLengthAt(body);
  if (!length || *length < 0 || static_cast<size_t>(*length) != body.size() - kFrameLengthSize)
    return error(400, "the body is not one framed message");
  return Tunnel(request, *dest, Clock::now() + limit, entry == Entry::kDataPort, codec, peer);
}

std::string HttpTunnel::Tunnel(const HttpRequest& request, const TunnelDestination& dest,
                               Clock::time_point deadline, bool proxied, TunnelCodec& codec,
                               const std::string& peer) {
  const int minor = request.minorVersion;
  const bool keepAlive = request.keepAlive;
  TunnelCodec::Request r = codec.ReadRequest(std::string_view(request.body).substr(kFrameLengthSize));
  const std::string what = "http " + peer + " -> " + dest.label;

  auto frames = [&](const std::vector<std::string>& contents, std::optional<int32_t> id) {
    std::string out;
    for (const auto& c : contents) out += TunnelCodec::ClientFrame(c, id, proxied);
    return HttpResponse(minor, 200, keepAlive, "application/octet-stream", out, {"Content:"});
  };
  auto fail = [&](int status, const std::string& detail) {
    Log(kLogNormal, what + ": " + std::to_string(status) + " " + detail);
    return HttpErrorResponse(minor, HttpError{status, detail}, keepAlive);
  };
  auto sessionError = [&](const std::string& text) {
    Log(kLogNormal, what + ": " + text);
    return frames({codec.SessionError(r.msgId, text)}, 0);
  };
  auto unreachable = [&](const std::string& error, bool refused) {
    return fail(502, (refused ? "10061 " : "") + std::string("the data server ") + dest.label +
                         " cannot be reached: " + error);
  };
  // The answer of a completed exchange, or the error that ended it.
  auto respond = [&](const Answer& a, std::optional<int32_t> id, Session* s) {
    if (a.end == Answer::End::kComplete) return frames(a.frames, id);
    if (s) EndSession(*s);
    if (a.end == Answer::End::kTimedOut)
      return fail(504, "the data server did not answer in time");
    if (a.end == Answer::End::kTooLarge)
      return fail(502, "the answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes");
    // A server that answers and then closes (a refused login) has answered.
    if (!a.frames.empty()) return frames(a.frames, id);
    return fail(502, "the data server closed the connection without an answer");
  };

  std::string error;
  bool refused = false;
  switch (r.header) {
    case TunnelCodec::HeaderKind::kNone: {
      // No session: a connection for this request alone.
      auto backend = Open(dest, deadline, error, refused);
      if (!backend) return unreachable(error, refused);
      const Answer a = Forward(*backend, codec, r.content, deadline);
      Log(kLogVerbose, what + ": " + std::to_string(a.frames.size()) + " frames");
      return respond(a, std::nullopt, nullptr);
    }
    case TunnelCodec::HeaderKind::kLogin: {
      auto backend = Open(dest, deadline, error, refused);
      if (!backend) return unreachable(error, refused);
      const Answer login = Forward(*backend, codec,
                                   codec.LoginFrame(r.user, r.password).substr(kFrameLengthSize), deadline);
      bool verified = false;
      for (const auto& m : login.frames) verified = verified || codec.LoginVerified(m) == true;
      if (login.end == Answer::End::kTimedOut) return fail(504, "the login was not answered in time");
      if (!verified && login.frames.empty())
        return fail(502, "the data server closed the connection without an answer");
      if (!verified) return sessionError("Login refused for user " + r.user);
      auto session = NewSession(dest, std::move(backend));
      if (!session) return fail(503, "too many tunnel sessions are open");
      session->user = r.user;
      std::lock_guard<std::timed_mutex> use(session->use);
      Log(kLogNormal, what + ": session " + std::to_string(session->id) + " of \"" + r.user +
                          "\" opened");
      const Answer a = Forward(*session->backend, codec, r.content, deadline);
      session->Touch();
      return respond(a, session->id, session.get());
    }
    case TunnelCodec::HeaderKind::kSession: {
      auto session = FindSession(r.sessionId);
      if (!session || session->destination != dest.key)
        return sessionError("Session " + std::to_string(r.sessionId) + " is not open");
      std::unique_lock<std::timed_mutex> use(session->use, std::defer_lock);
      if (!use.try_lock_until(deadline)) return fail(503, "the session is busy");
      if (session->ended)
        return sessionError("Session " + std::to_string(r.sessionId) + " has ended");
      if (Clock::now() - session->LastUsed() >= settings_.sessionIdle) {
        EndSession(*session);
        return sessionError("Session " + std::to_string(r.sessionId) + " has expired");
      }
      session->Touch();
      const Answer a = Forward(*session->backend, codec, r.content, deadline);
      session->Touch();
      Log(kLogVerbose, what + ": session " + std::to_string(session->id) + ", " +
                           std::to_string(a.frames.size()) + " frames");
      return respond(a, session->id, session.get());
    }
  }
  return fail(500, "unknown request kind");
}

}  // namespace rda
