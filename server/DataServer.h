// The socket side of rdaserver: the data port, the LAN echo service, the
// control port and the HTTP tunnelling endpoint, each a thin loop around
// code that does no I/O of its own (ServerSession, ParseControlCommand,
// HttpRequestParser and TunnelCodec under HttpTunnel).
//
// A data connection whose first bytes are "POST " is a proxied client's
// HTTP request (a frame's length never reads so); it is handed to the
// tunnel, which answers it in HTTP from this server.
//
// Threads: one accept thread polls every listening socket; each accepted
// connection gets a thread of its own (data, echo or control). A data
// connection's thread owns its ServerSession and its database connection;
// the control port reaches a session only through the connection's queue of
// composed lines, which the session's own thread packs and writes.
//
// Bounds, so that one client cannot hurt the server or another client:
//   - at most maxClients data connections (more are closed at once), as
//     many HTTP connections and tunnel sessions, 64 echo and 16 control
//     connections;
//   - a new data connection must deliver its first complete request within
//     the handshake time, and a half-received request may not stall longer;
//   - a client that does not read its answers for kWriteStall is dropped;
//     while more than kOutputHighWater bytes wait to be written, no further
//     request of that client is read or handled;
//   - requests are capped by the session (maxRequestBytes), statements by
//     the query time limit, results by the session's result limit;
//   - every session catches its own failures; a failed session ends its
//     connection only.
//
// Stop() ends everything: it interrupts running statements, wakes every
// thread and waits for them (a bounded wait).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "server/HttpTunnel.h"
#include "server/LoginThrottle.h"
#include "server/ServerPresence.h"
#include "server/ServerProviderUpdates.h"
#include "server/ServerDatabase.h"
#include "server/ServerOptions.h"
#include "server/TlsChannel.h"

namespace rda {

class DataServer {
 public:
  static constexpr size_t kOutputHighWater = 1 << 20;
  static constexpr std::chrono::seconds kWriteStall{60};
  // A blocking client's connection is closed after this much quiet.
  static constexpr std::chrono::milliseconds kBlockingQuiet{50};
  static constexpr int kMaxEchoConnections = 64;
  static constexpr int kMaxControlConnections = 16;
  static constexpr std::chrono::seconds kEchoIdle{30};
  static constexpr std::chrono::seconds kControlIdle{300};
  static constexpr size_t kMaxControlLine = 64 * 1024;
  static constexpr size_t kMaxQueuedPushBytes = 16 * 1024 * 1024;

  // Opens the database and runs the --init script. Raises rda::Exception
  // with a message for the user, also when bound to an address other
  // machines reach without logins configured nor --allow-anonymous
  // (protected mode, which then refuses requests before a verified login).
  explicit DataServer(ServerOptions options);
  ~DataServer();
  DataServer(const DataServer&) = delete;
  DataServer& operator=(const DataServer&) = delete;

  // Listens and starts the accept thread. Raises rda::Exception when a port
  // cannot be opened.
  void Start();
  // Stops serving; returns true when every thread has ended in time.
  // Idempotent.
  bool Stop();

  int DataPort() const { return dataPort_; }
  int EchoPort() const { return echoPort_; }        // 0 when off
  int ControlPort() const { return controlPort_; }  // 0 when off
  int HttpPort() const { return httpPort_; }        // 0 when off
  // "rdaserver ready data=PORT [echo=PORT] [control=PORT] [http=PORT]"
  std::string ReadyLine() const;

  // Runs one control command and returns its answer (lines joined with
  // "\n", the last "ok" or "error <text>").
  std::string RunControl(std::string_view line);

  size_t ClientCount() const;
  size_t TunnelSessionCount() const { return tunnel_ ? tunnel_->SessionCount() : 0; }

 private:
  struct Connection;

  void AcceptLoop();
  void Accept(int listener, int kind);
  void ServeClient(const std::shared_ptr<Connection>& c);
  void ServeEcho(int fd);
  void ServeControl(int fd);
  void ServeHttp(int fd, const std::string& peer, const std::string& received,
                 HttpTunnel::Entry entry);
  void Spawn(std::function<void()> work);
  void Unregister(int id);
  void Log(ServerOptions::LogLevel level, const std::string& text);
  bool Stopping() const { return stopping_.load(); }

  ServerOptions options_;
  std::unique_ptr<Database> database_;
  ServerPresence presence_;
  LoginThrottle throttle_;
  ProviderBroadcasts broadcasts_;
  // Provider broadcasts to and from the other servers on the database, and
  // the connection the listener's thread evaluates their filters on.
  std::unique_ptr<SqlConnection> eventDb_;
  std::unique_ptr<EventChannel> events_;
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  bool stopped_ = false;
  int stopFd_ = -1;  // an eventfd; readable once the server stops
  int dataListener_ = -1;
  int echoListener_ = -1;
  int controlListener_ = -1;
  int httpListener_ = -1;
  int dataPort_ = 0;
  int echoPort_ = 0;
  int controlPort_ = 0;
  int httpPort_ = 0;
  std::unique_ptr<HttpTunnel> tunnel_;
  std::unique_ptr<TlsContext> tls_;  // set when the data port speaks TLS
  std::thread acceptThread_;

  mutable std::mutex registryMutex_;
  std::map<int, std::shared_ptr<Connection>> connections_;
  int nextId_ = 1;
  std::atomic<int> echoConnections_{0};
  std::atomic<int> controlConnections_{0};
  std::atomic<int> httpConnections_{0};

  std::mutex threadsMutex_;
  std::condition_variable threadsDone_;
  int liveThreads_ = 0;

  std::mutex logMutex_;
};

}  // namespace rda
