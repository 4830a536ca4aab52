// Real web parts for tests of the HTTP tunnel: nginx as the company's web
// server in front of the tunnelling endpoint, tinyproxy as an HTTP proxy,
// and curl as a third-party client. Each peer runs as a child process with a
// configuration generated into a temporary folder of its own (pid file,
// logs, temp paths all inside it), listens on a free loopback port and is
// stopped by its pid.
//
//   rda::test::ServerProcess server({"--port", "0", "--http-port", "0"});
//   rda::test::NginxProcess web(server.HttpPort());
//   auto r = rda::test::RunCurl({"-s", "--data-binary", "@" + file,
//                                web.Url("/isapi/RdaHttp.dll/RDA?127.0.0.1&9406&20")});
//   // r.exitCode == 0, r.out holds the response body
//
//   rda::test::TinyproxyProcess proxy;
//   RunCurl({"-s", "-x", proxy.Url(), "--data-binary", "@" + file, "http://127.0.0.1:PORT/"});
//
// Constructors raise std::runtime_error (with the peer's log) when the peer
// cannot be started or does not accept connections within the start limit;
// nothing is left running then. Destructors stop the peer: SIGTERM, up to
// five seconds, then SIGKILL, and remove the folder. Children get
// PR_SET_PDEATHSIG = SIGKILL, so a crashed test leaves no peers behind (the
// signal follows the thread that forked: construct peers on the test's own
// thread). Header-only, plain POSIX, no Qt.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace rda::test {

using WebMillis = std::chrono::milliseconds;

// A folder under the system's temp folder, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "rda-test-") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
      throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes bytes to a file in the folder and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = File(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
  }

 private:
  std::string path_;
};

// The text of a file, or empty when it cannot be read.
inline std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// 127.0.0.1:port as a socket address.
inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A loopback port that was free a moment ago. Another process may take it
// before it is used, so the peers below retry with a new port when they
// cannot listen.
inline int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("cannot find a free port: " + std::string(std::strerror(errno)));
  }
  close(fd);
  return ntohs(addr.sin_port);
}

// True when 127.0.0.1:port accepts a connection (`connect`), or can be bound now.
inline bool LoopbackTry(int port, bool connect) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in addr = LoopbackAddress(port);
  const auto* a = reinterpret_cast<const sockaddr*>(&addr);
  const bool ok = (connect ? ::connect(fd, a, sizeof addr) : ::bind(fd, a, sizeof addr)) == 0;
  close(fd);
  return ok;
}
inline bool LoopbackAccepts(int port) { return LoopbackTry(port, true); }
inline bool LoopbackPortFree(int port) { return LoopbackTry(port, false); }

// The full path of a program: searched in PATH and then in the sbin
// folders, which a user's PATH often lacks (nginx lives in /usr/sbin).
// Raises std::runtime_error when it is not installed.
inline std::string FindProgram(const std::string& name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/local/sbin:/usr/sbin:/sbin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      const std::string path = dir + "/" + name;
      if (access(path.c_str(), X_OK) == 0) return path;
    }
    start = end + 1;
  }
  throw std::runtime_error(name + " is not installed (./run.sh setup installs it)");
}

// One child process started from argv, with stdout and stderr appended to a
// log file; stopped by its pid.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const std::vector<std::string>& argv, const std::string& logFile) {
    Start(argv, logFile);
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Start(const std::vector<std::string>& args, const std::string& logFile) {
    std::vector<std::string> storage = args;
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error("cannot open " + logFile);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      close(log);
      throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    }
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(126);
      const int devNull = open("/dev/null", O_RDONLY);
      if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(log, STDOUT_FILENO) < 0 ||
          dup2(log, STDERR_FILENO) < 0)
        _exit(126);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(log);
    pid_ = pid;
  }

  pid_t Pid() const { return pid_; }

  // True while the process has not ended (reaps it when it has).
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    pid_ = -1;
    return false;
  }

  // `signal` (SIGTERM unless the peer shuts down on another), up to `limit`
  // for the process to end, then SIGKILL.
  void Stop(WebMillis limit = WebMillis(5000), int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    if (!WaitFor(limit)) {
      kill(pid_, SIGKILL);
      WaitFor(WebMillis(5000));
    }
    pid_ = -1;
  }

 private:
  bool WaitFor(WebMillis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno == ECHILD)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(WebMillis(10));
    }
  }

  pid_t pid_ = -1;
};

namespace detail {

// Starts a peer on a free port: makeArgs(port) writes its configuration and
// returns its argv; the peer is up once the port accepts connections.
// Retries with another port when the peer ends early (its port was taken).
template <typename MakeArgs>
int StartOnFreePort(const std::string& name, ChildProcess& child, const std::string& logFile,
                    MakeArgs makeArgs, WebMillis startLimit) {
  std::string why;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = FreeLoopbackPort();
    child.Start(makeArgs(port), logFile);
    const auto deadline = std::chrono::steady_clock::now() + startLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!child.Running()) break;
      if (LoopbackAccepts(port)) return port;
      std::this_thread::sleep_for(WebMillis(20));
    }
    why = child.Running() ? "no connection accepted within the start limit" : "it ended";
    child.Stop();
  }
  throw std::runtime_error(name + " did not start (" + why + "): " +
                           ReadTextFile(logFile));
}

}  // namespace detail

// nginx as a reverse proxy: requests under `location` go to the upstream
// (the tunnelling endpoint, 127.0.0.1:upstreamPort) with the request's path
// and query unchanged; everything else gets nginx's own 404. Request bodies
// and responses are not buffered to disk, so large frames pass as they come.
class NginxProcess {
 public:
  struct Options {
    int upstreamPort = 0;                // required
    std::string location = "/isapi/";    // the prefix proxied to the upstream
    std::string extraServerConfig;       // more directives inside the server block
    std::string certificateFile;         // with keyFile: listen with TLS
    std::string keyFile;
    size_t maxBodyBytes = 128 << 20;     // client_max_body_size
  };

  // The default set-up in front of 127.0.0.1:upstreamPort.
  explicit NginxProcess(int upstreamPort) : NginxProcess(WithUpstream(upstreamPort)) {}

  explicit NginxProcess(const Options& options, WebMillis startLimit = WebMillis(10000))
      : dir_("rda-nginx-"), options_(options) {
    if (options.upstreamPort <= 0) throw std::runtime_error("NginxProcess needs an upstream port");
    std::filesystem::create_directories(dir_.File("logs"));
    std::filesystem::create_directories(dir_.File("tmp"));
    port_ = detail::StartOnFreePort(
        "nginx", child_, dir_.File("logs/stdout.log"),
        [this](int port) {
          const std::string conf = dir_.Write("nginx.conf", Config(port));
          return std::vector<std::string>{FindProgram("nginx"), "-p", dir_.Path(), "-c", conf,
                                          "-e", dir_.File("logs/error.log")};
        },
        startLimit);
  }
  ~NginxProcess() { child_.Stop(); }
  NginxProcess(const NginxProcess&) = delete;
  NginxProcess& operator=(const NginxProcess&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return child_.Pid(); }
  // "http://127.0.0.1:PORT" + path (https with TLS).
  std::string Url(const std::string& path = "/") const {
    return std::string(Tls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string ErrorLog() const { return ReadTextFile(dir_.File("logs/error.log")); }
  std::string AccessLog() const { return ReadTextFile(dir_.File("logs/access.log")); }
  // nginx writes a request's log line once the request is over, which may be after
  // the client has read the whole response: waits until `text` occurs `count` times
  // in the access log or `limit` passes; the number of times it occurs.
  int AwaitLogged(const std::string& text, int count = 1, WebMillis limit = WebMillis(5000)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const std::string log = AccessLog();
      int n = 0;
      for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
      if (n >= count || std::chrono::steady_clock::now() >= deadline) return n;
      std::this_thread::sleep_for(WebMillis(10));
    }
  }

 private:
  static Options WithUpstream(int port) {
    Options o;
    o.upstreamPort = port;
    return o;
  }
  bool Tls() const { return !options_.certificateFile.empty(); }

  std::string Config(int port) const {
    const std::string d = dir_.Path();
    std::ostringstream c;
    c << "daemon off;\n"
      << "master_process off;\n"
      << "worker_processes 1;\n"
      << "pid " << d << "/nginx.pid;\n"
      << "error_log " << d << "/logs/error.log info;\n"
      << "events { worker_connections 256; }\n"
      << "http {\n"
      << "  access_log " << d << "/logs/access.log;\n"
      << "  client_body_temp_path " << d << "/tmp/body;\n"
      << "  proxy_temp_path " << d << "/tmp/proxy;\n"
      << "  fastcgi_temp_path " << d << "/tmp/fastcgi;\n"
      << "  uwsgi_temp_path " << d << "/tmp/uwsgi;\n"
      << "  scgi_temp_path " << d << "/tmp/scgi;\n"
      << "  client_max_body_size " << options_.maxBodyBytes << ";\n"
      << "  client_body_buffer_size 1m;\n"
      << "  upstream rda_tunnel {\n"
      << "    server 127.0.0.1:" << options_.upstreamPort << ";\n"
      << "    keepalive 8;\n"
      << "  }\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << port << (Tls() ? " ssl" : "") << ";\n";
    if (Tls()) {
      c << "    ssl_certificate " << options_.certificateFile << ";\n"
        << "    ssl_certificate_key " << options_.keyFile << ";\n";
    }
    c << "    location " << options_.location << " {\n"
      << "      proxy_pass http://rda_tunnel;\n"
      << "      proxy_http_version 1.1;\n"
      << "      proxy_set_header Connection \"\";\n"
      << "      proxy_buffering off;\n"
      << "      proxy_read_timeout 120s;\n"
      << "    }\n"
      << options_.extraServerConfig << "\n"
      << "  }\n"
      << "}\n";
    return c.str();
  }

  TempDir dir_;
  Options options_;
  ChildProcess child_;
  int port_ = 0;
};

// tinyproxy as a plain HTTP proxy on loopback: allows 127.0.0.1 only, adds
// no Via header, logs into its own folder and runs in the foreground (-d).
class TinyproxyProcess {
 public:
  explicit TinyproxyProcess(WebMillis startLimit = WebMillis(10000)) : dir_("rda-tinyproxy-") {
    port_ = detail::StartOnFreePort(
        "tinyproxy", child_, dir_.File("stdout.log"),
        [this](int port) {
          const std::string conf = dir_.Write("tinyproxy.conf", Config(port));
          return std::vector<std::string>{FindProgram("tinyproxy"), "-d", "-c", conf};
        },
        startLimit);
  }
  ~TinyproxyProcess() { child_.Stop(); }
  TinyproxyProcess(const TinyproxyProcess&) = delete;
  TinyproxyProcess& operator=(const TinyproxyProcess&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return child_.Pid(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string Log() const { return ReadTextFile(dir_.File("tinyproxy.log")); }

 private:
  std::string Config(int port) const {
    std::ostringstream c;
    c << "Port " << port << "\n"
      << "Listen 127.0.0.1\n"
      << "Timeout 60\n"
      << "Allow 127.0.0.1\n"
      << "MaxClients 64\n"
      << "DisableViaHeader Yes\n"
      << "LogLevel Info\n"
      << "LogFile \"" << dir_.File("tinyproxy.log") << "\"\n"
      << "PidFile \"" << dir_.File("tinyproxy.pid") << "\"\n";
    return c.str();
  }

  TempDir dir_;
  ChildProcess child_;
  int port_ = 0;
};

// What a curl run gave: its exit code (-1 when it had to be killed at the
// time limit), stdout and stderr.
struct CurlResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs curl with args (without the program name) and waits up to limit.
// stdout and stderr are collected in full.
inline CurlResult RunCurl(const std::vector<std::string>& args,
                          WebMillis limit = WebMillis(30000)) {
  std::vector<std::string> storage{FindProgram("curl")};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    throw std::runtime_error("pipe failed");
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(outPipe[1], STDOUT_FILENO) < 0 ||
        dup2(errPipe[1], STDERR_FILENO) < 0)
      _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  CurlResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool outOpen = true;
  bool errOpen = true;
  bool killed = false;
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<WebMillis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
    const int r = poll(p, 2, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else if (!(n < 0 && errno == EINTR)) {
        (i == 0 ? outOpen : errOpen) = false;
      }
    }
  }
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace rda::test
