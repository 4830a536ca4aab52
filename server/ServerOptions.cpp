#include "server/ServerOptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <optional>

#include "base/Convert.h"
#include "base/Exception.h"
#include "server/ControlCommand.h"

namespace rda {

namespace {

constexpr int kEchoPortOffset = 10000;
constexpr int kMaxPort = 65535;

int ReadNumber(const std::string& option, const std::string& value, int min, int max) {
  const auto v = TryStrToInt(value);
  if (!v || *v < min || *v > max) {
    throw Exception(option + " needs a number from " + std::to_string(min) + " to " +
                    std::to_string(max) + ", not \"" + value + "\"");
  }
  return *v;
}

// The extension path without slashes around it; only characters that need
// no escaping in a URL path.
std::string ReadHttpPath(std::string path) {
  while (!path.empty() && path.front() == '/') path.erase(0, 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  const bool ok = !path.empty() && path.find("//") == std::string::npos &&
                  path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789-._~!$'()*+,;=:@/") == std::string::npos;
  if (!ok) throw Exception("--http-path needs a path such as isapi/RdaHttp.dll, not \"" + path + "\"");
  return path;
}

}  // namespace

ServerOptions ParseServerOptions(const std::vector<std::string>& args) {
  ServerOptions o;
  bool keyGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw Exception(name + " needs a value");
      return args[++i];
    };
    auto flag = [&]() {
      if (inlineValue) throw Exception(name + " takes no value");
    };
    if (name == "--help" || name == "-h") {
      flag();
      o.help = true;
    } else if (name == "--port") {
      o.port = ReadNumber(name, value(), 0, kMaxPort);
    } else if (name == "--bind") {
      o.bind = value();
    } else if (name == "--db") {
      o.db = value();
      if (o.db.empty()) throw Exception("--db needs a file name or a postgresql:// URI");
    } else if (name == "--init") {
      o.init = value();
    } else if (name == "--encryption") {
      const std::string v = value();
      if (v == "none") o.session.encryption = etNoEncryption;
      else if (v == "rda") o.session.encryption = etRdaEncrypt;
      else if (v == "des") o.session.encryption = etDESEncrypt;
      else throw Exception("--encryption is none, rda or des, not \"" + v + "\"");
    } else if (name == "--key") {
      o.session.key = value();
      keyGiven = true;
    } else if (name == "--zlib") {
      flag();
      o.session.zlib = true;
    } else if (name == "--user") {
      o.session.user = value();
      if (o.session.user.empty()) throw Exception("--user needs a name");
    } else if (name == "--password") {
      o.session.password = value();
    } else if (name == "--allow-anonymous") {
      flag();
      o.allowAnonymous = true;
    } else if (name == "--tls-cert") {
      o.tlsCert = value();
      if (o.tlsCert.empty()) throw Exception("--tls-cert needs a file");
    } else if (name == "--tls-key") {
      o.tlsKey = value();
      if (o.tlsKey.empty()) throw Exception("--tls-key needs a file");
    } else if (name == "--add-user") {
      o.addUser = value();
      if (o.addUser.empty()) throw Exception("--add-user needs a name");
    } else if (name == "--require-login") {
      flag();
      o.session.requireLogin = true;
    } else if (name == "--echo") {
      flag();
      o.echo = true;
    } else if (name == "--control-port") {
      o.controlPort = ReadNumber(name, value(), 0, kMaxPort);
    } else if (name == "--updates") {
      o.session.updatesDir = value();
      if (o.session.updatesDir.empty()) throw Exception("--updates needs a folder");
    } else if (name == "--version") {
      o.session.version = value();
    } else if (name == "--max-clients") {
      o.maxClients = ReadNumber(name, value(), 1, 100000);
    } else if (name == "--max-request") {
      o.session.maxRequestBytes = static_cast<size_t>(ReadNumber(name, value(), 1, 100)) << 20;
    } else if (name == "--max-result") {
      // One reply frame holds the row text and must stay under the 100 MiB frame limit.
      o.session.maxResultBytes = static_cast<size_t>(ReadNumber(name, value(), 1, 99)) << 20;
    } else if (name == "--handshake-timeout") {
      o.handshakeTimeout = std::chrono::seconds(ReadNumber(name, value(), 1, 86400));
    } else if (name == "--query-timeout") {
      o.queryTimeout = std::chrono::seconds(ReadNumber(name, value(), 1, 86400));
    } else if (name == "--idle-limit") {
      o.idleLimit = std::chrono::seconds(ReadNumber(name, value(), 0, 30 * 86400));
    } else if (name == "--http-port") {
      o.httpPort = ReadNumber(name, value(), 0, kMaxPort);
    } else if (name == "--http-path") {
      o.httpPath = ReadHttpPath(value());
    } else if (name == "--http-allow") {
      const std::string entry = value();
      const size_t colon = entry.rfind(':');
      if (entry != "self" &&
          (colon == std::string::npos || colon + 1 == entry.size() ||
           entry.find_first_not_of("0123456789", colon + 1) != std::string::npos))
        throw Exception("--http-allow needs HOST:PORT, [IPv6]:PORT or self, not \"" + entry + "\"");
      o.httpAllow.push_back(entry);
    } else if (name == "--http-session-idle") {
      o.httpSessionIdle = std::chrono::seconds(ReadNumber(name, value(), 1, 86400));
    } else if (name == "--quiet") {
      flag();
      o.logLevel = ServerOptions::LogLevel::kQuiet;
    } else if (name == "--verbose") {
      flag();
      o.logLevel = ServerOptions::LogLevel::kVerbose;
    } else {
      throw Exception("unknown option \"" + args[i] + "\" (see --help)");
    }
  }
  if (o.session.encryption == etDESEncrypt && o.session.key.empty())
    throw Exception("--encryption des needs --key");
  if (keyGiven && o.session.encryption != etDESEncrypt)
    throw Exception("--key is only used with --encryption des");
  if (!o.addUser.empty() && o.db.empty())
    throw Exception("--add-user needs --db (the database that keeps the users)");
  if (o.tlsCert.empty() != o.tlsKey.empty())
    throw Exception("--tls-cert and --tls-key go together: give both or neither");
  if (!o.session.password.empty() && o.session.user.empty())
    throw Exception("--password needs --user");
  if (o.echo && o.port != 0 && o.port + kEchoPortOffset > kMaxPort)
    throw Exception("--echo listens on the data port + 10000, so the data port must be at most " +
                    std::to_string(kMaxPort - kEchoPortOffset) + " (or 0)");
  return o;
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
    return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

std::string ProtectedModeRefusal(const std::string& address) {
  return "bound to " + address +
         ", which other machines can reach, the server serves only verified logins and none are "
         "configured: give --user and --password, or add users to the database with "
         "\"rdaserver --db DB --add-user NAME\" (password on standard input), or start with "
         "--allow-anonymous to serve everyone without a login (see \"Running rdaserver on a "
         "network\" in docs/server.md)";
}

std::string ServerUsage() {
  std::string text =
      "Usage: rdaserver [options]\n"
      "\n"
      "The reference data server: answers the Rda client protocol from an SQLite database.\n"
      "Prints one line \"rdaserver ready data=PORT [echo=PORT] [control=PORT] [http=PORT]\"\n"
      "to stdout"
      " once it listens; SIGTERM or SIGINT stop it.\n"
      "\n"
      "Options:\n"
      "  --port N              data port (default 9406; 0 = any free port)\n"
      "  --bind ADDR           address the data, echo and HTTP ports listen on (default\n"
      "                        127.0.0.1); any but a loopback address turns on protected\n"
      "                        mode: logins required, and configured (see --allow-anonymous)\n"
      "  --db FILE|URI         SQLite database file, created when missing (WAL mode), or a\n"
      "                        PostgreSQL database: postgresql://USER@HOST:PORT/DBNAME or a\n"
      "                        libpq connection string (\"host=... dbname=...\");\n"
      "                        default: an in-memory SQLite database that lives as long as\n"
      "                        the server\n"
      "  --init SCRIPT         SQL script run once at start (for example server/demo.sql)\n"
      "  --encryption MODE     message encryption: none (default), rda (+4 cipher) or des\n"
      "  --key K               DES key text (with --encryption des; first 8 bytes used)\n"
      "  --zlib                whole message bodies as zlib streams\n"
      "  --user U              accept logins only as user U ...\n"
      "  --password P          ... with password P. Without --user, a table RdaUsers\n"
      "                        (UserName, Password) decides when the database has one\n"
      "                        (passwords kept as salted hashes; see --add-user), and\n"
      "                        otherwise every login is accepted (none in protected mode)\n"
      "  --require-login       refuse data requests (selects, fetches, metadata, changes)\n"
      "                        before a verified login\n"
      "  --allow-anonymous     serve clients without a login although --bind is not a\n"
      "                        loopback address (otherwise the server refuses to start\n"
      "                        there unless logins are configured, and then requires them)\n"
      "  --tls-cert FILE       the data port speaks TLS 1.2 or later with this PEM\n"
      "                        certificate chain ...\n"
      "  --tls-key FILE        ... and this PEM private key (both or neither)\n"
      "  --add-user NAME       add or replace user NAME in RdaUsers (made when missing) of\n"
      "                        --db, with the password read from standard input (one\n"
      "                        line), and exit without serving\n"
      "  --echo                LAN echo service on the data port + 10000\n"
      "                        (with --port 0 on any free port)\n"
      "  --control-port N      control port, a test facility: always on 127.0.0.1 whatever\n"
      "                        --bind says (0 = any free port); takes the commands below,\n"
      "                        one per line\n"
      "  --updates DIR         published client programs: DIR/<application>/<version> is\n"
      "                        pushed to a client that logs in with an older version;\n"
      "                        DIR/patcher.exe goes to clients that ask for it; sendfile\n"
      "                        sends files of DIR in segments\n"
      "  --version TEXT        version text the server reports (server utility code 6;\n"
      "                        default 1.0)\n"
      "  --max-clients N       connections served at once (default 200)\n"
      "  --max-request MIB     largest request frame in MiB (default 16)\n"
      "  --max-result MIB      largest row text of one reply packet in MiB, 1..99; larger\n"
      "                        results need packets (default 64)\n"
      "  --handshake-timeout S seconds a new connection may take to send its first complete\n"
      "                        request, and a request may stall half-sent (default 30)\n"
      "  --query-timeout S     seconds a statement may run before it is interrupted (default 30)\n"
      "  --idle-limit S        seconds a client connection may send nothing before it is\n"
      "                        closed (default 7200; 0 = never)\n"
      "  --http-port N         HTTP tunnelling endpoint on the bind address (0 = any free\n"
      "                        port); HTTP POSTs to the data port are answered in any case\n"
      "  --http-path P         the endpoint's extension path (default isapi/RdaHttp.dll)\n"
      "  --http-allow H:P      a data server the endpoint may forward to; repeatable;\n"
      "                        \"self\" is this server (the default when none is given)\n"
      "  --http-session-idle S seconds after which an idle tunnel session ends (default 600)\n"
      "  --quiet | --verbose   log only errors | every request (log goes to stderr)\n"
      "  --help                this text\n"
      "\n"
      "Control commands (<client>: a session id, \"last\" or \"*\"):\n";
  std::string help = ControlHelpText();
  size_t start = 0;
  while (start < help.size()) {
    const size_t end = help.find('\n', start);
    text += "  " + help.substr(start, end - start) + "\n";
    start = end + 1;
  }
  text += "Each command is answered with \"ok\" or \"error <text>\"; see docs/server.md.\n";
  return text;
}

}  // namespace rda
