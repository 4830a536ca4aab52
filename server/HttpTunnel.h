// The HTTP tunnelling endpoint: clients that can reach the data server only
// through a web server post each framed message to it, and it forwards the
// message to the data server named in the request and returns the answer
// frames as the response body.
//
//   POST /<path>/RDA?<address>&<port>&<timeout>   (form 1, through an HTTP library)
//   POST /<path>/Rda?&<address>&<port>            (form 2, hand-built)
//   POST http://<address>:<port>/ ...             (form 3, through a proxy, to the data port)
//
// Response (200): the answer frames, after headers that end with the line
// "Content:" and the empty line, so that a client which cuts a raw response
// after "Content:\r\n\r\n" finds the first frame there:
//
//   HTTP/1.x 200 OK
//   Content-Type: application/octet-stream
//   Content-Length: <n>
//   Connection: keep-alive | close   (HTTP/1.0 keep-alive, or close; omitted for HTTP/1.1 keep-alive)
//   Content:
//   <empty line>
//   <frames>
//
// Errors are plain-text responses whose body starts "Error <status>" and
// ends with an empty line (HttpErrorResponse); a data server that refuses
// the connection gives 502 with "10061" (the refused-connection code the
// system's clients look for) in the body.
//
// Security: the endpoint forwards only to the destinations of its allow
// list (by default the server itself). A request naming anything else gets
// 403 and no connection is opened. Names are compared as text (a numeric
// address in its canonical form); the endpoint never looks up a name that
// a request brings.
//
// Sessions (TunnelCodec.h has the header): a request with a log-in header
// opens a connection to the data server, logs in there with the header's
// user name and password, and becomes a session with a random id, which
// every answer's header carries. Requests with that id go over the same
// connection, so the server's state (login, cursors) lives on. A session
// ends when it has been idle for sessionIdle, when its connection breaks,
// or when a request on it runs out of time. A request with an id that is
// unknown, ended, or of another destination is answered with token 64
// (error token -75016) and session id 0, so that the client logs in anew;
// so is a log-in the data server refuses. A request without a header gets
// a connection of its own that ends with the request: nothing of one
// client's conversation is ever visible to another.
//
// The end of an answer: TunnelCodec.h (a ping after each request). A
// request's time limit is its <timeout> (form 1, at most 600 s) or 60 s.
//
// Threads: Serve runs on the thread of one HTTP connection and handles its
// requests one after the other; sessions are shared between connections,
// and one request at a time uses a session (the others wait, within their
// time limit). Sweep may run on any thread.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "server/HttpRequest.h"
#include "server/ServerSession.h"
#include "server/TunnelCodec.h"

namespace rda {

// A data server the endpoint may forward to.
struct TunnelDestination {
  std::string label;               // as configured ("127.0.0.1:9406", "self")
  std::vector<std::string> names;  // host texts a request may use (lower case)
  int port = 0;
  sockaddr_storage address{};      // where the endpoint connects
  socklen_t addressLength = 0;
  std::string key;                 // canonical "address:port", unique per place
};

// The destination of the server itself: its data port on the bind address
// (on loopback when it binds to every address), named by the bind address,
// "localhost" and the loopback addresses.
TunnelDestination SelfDestination(const std::string& bind, int dataPort);

// Reads an --http-allow entry: "HOST:PORT", "[IPv6]:PORT" or "self".
// Resolves the host once, here. Raises rda::Exception with a message for
// the user.
TunnelDestination ResolveDestination(const std::string& entry, const TunnelDestination& self);

// The destination a request names, or nullptr when it is not allowed.
// Does no I/O.
const TunnelDestination* FindDestination(const std::vector<TunnelDestination>& allowed,
                                         std::string_view address, int port);

struct HttpTunnelSettings {
  std::string extensionPath = "isapi/RdaHttp.dll";
  std::vector<TunnelDestination> allowed;  // never empty in use
  TunnelDestination self;                  // what the data port's HTTP requests reach
  std::chrono::seconds sessionIdle{600};
  std::chrono::seconds requestTimeout{30};  // a request's head to arrive; a body to stall
  size_t maxHeadBytes = 16384;
  size_t maxBodyBytes = 16 << 20;
  size_t maxSessions = 200;
  SessionSettings transforms;  // encryption, key, zlib of the data servers
};

class HttpTunnel {
 public:
  enum class Entry { kEndpoint, kDataPort };
  using Clock = std::chrono::steady_clock;
  // Level 0 = errors, 1 = normal, 2 = every request.
  using LogFunction = std::function<void(int level, const std::string& text)>;

  static constexpr std::chrono::seconds kDefaultAnswerLimit{60};
  static constexpr std::chrono::seconds kMaxAnswerLimit{600};
  static constexpr std::chrono::seconds kConnectLimit{10};
  // An idle keep-alive connection is closed after this; web servers in
  // front should give up their idle connections sooner (nginx: 60 s).
  static constexpr std::chrono::seconds kKeepAliveIdle{120};
  static constexpr std::chrono::seconds kWriteStall{60};
  static constexpr size_t kMaxAnswerBytes = size_t{256} << 20;

  // stopFd becomes readable when the server stops; every wait ends then.
  HttpTunnel(HttpTunnelSettings settings, int stopFd, LogFunction log);
  ~HttpTunnel();
  HttpTunnel(const HttpTunnel&) = delete;
  HttpTunnel& operator=(const HttpTunnel&) = delete;

  // Serves one HTTP connection until it ends; `received` holds bytes already
  // read from it. Does not close fd.
  void Serve(int fd, const std::string& peer, std::string_view received, Entry entry);

  // Ends the sessions idle longer than the limit.
  void Sweep();
  size_t SessionCount() const;

 private:
  struct Session;
  class Backend;
  struct Answer;

  // The response to one complete request.
  std::string Handle(const HttpRequest& request, Entry entry, TunnelCodec& codec,
                     const std::string& peer, bool& keepAlive);
  std::string Tunnel(const HttpRequest& request, const TunnelDestination& dest,
                     Clock::time_point deadline, bool proxied, TunnelCodec& codec,
                     const std::string& peer);
  Answer Forward(Backend& backend, TunnelCodec& codec, const std::string& content,
                 Clock::time_point deadline);
  std::unique_ptr<Backend> Open(const TunnelDestination& dest, Clock::time_point deadline,
                                std::string& error, bool& refused);
  std::shared_ptr<Session> NewSession(const TunnelDestination& dest, std::unique_ptr<Backend> b);
  std::shared_ptr<Session> FindSession(int32_t id);
  void EndSession(Session& s);
  int32_t NextPingId();
  void Log(int level, const std::string& text) const;

  HttpTunnelSettings settings_;
  int stopFd_;
  LogFunction log_;
  std::atomic<uint32_t> pings_{0};

  mutable std::mutex sessionsMutex_;
  std::map<int32_t, std::shared_ptr<Session>> sessions_;
  std::mt19937 random_;
};

}  // namespace rda
