// The command line of rdaserver.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "server/ServerSession.h"

namespace rda {

struct ServerOptions {
  enum class LogLevel { kQuiet, kNormal, kVerbose };

  int port = 9406;              // 0 = any free port
  std::string bind = "127.0.0.1";
  std::string db;               // SQLite file or PostgreSQL URI; empty = in-memory SQLite
  std::string init;             // SQL script run at start
  bool echo = false;            // LAN echo service on port + 10000
  int controlPort = -1;         // -1 = off, 0 = any free port
  int maxClients = 200;
  std::chrono::seconds handshakeTimeout{30};
  std::chrono::seconds queryTimeout{30};
  // A client connection that sends nothing this long is closed (0 = never),
  // so idle clients cannot hold the server's connections and the database's.
  std::chrono::seconds idleLimit{7200};
  // The HTTP tunnelling endpoint.
  int httpPort = -1;                             // -1 = off, 0 = any free port
  std::string httpPath = "isapi/RdaHttp.dll";    // the extension path, no slashes around it
  std::vector<std::string> httpAllow;            // HOST:PORT or "self"; empty = self only
  std::chrono::seconds httpSessionIdle{600};     // a tunnel session idle this long ends
  // Serve every client without a login although bound to an address other
  // machines reach.
  bool allowAnonymous = false;
  // TLS on the data port (both or neither): PEM certificate chain and key.
  std::string tlsCert;
  std::string tlsKey;
  // --add-user NAME: write the user (password from standard input) and exit.
  std::string addUser;
  LogLevel logLevel = LogLevel::kNormal;
  bool help = false;
  SessionSettings session;
};

// Reads the arguments (without the program name). Raises rda::Exception
// with a message for the user on a bad option or value.
ServerOptions ParseServerOptions(const std::vector<std::string>& args);

// Whether address (numeric) is a loopback address: 127.0.0.0/8, ::1 or an
// IPv4-mapped 127.x.
bool IsLoopbackAddress(const std::string& address);

// Why a server bound to address without logins does not start, and what to do.
std::string ProtectedModeRefusal(const std::string& address);

// The --help text.
std::string ServerUsage();

}  // namespace rda
