// Starts the reference data server (build/bin/rdaserver) as a child process
// for a test, learns its ports from its ready line and stops it again.
//
//   rda::test::ServerProcess server({"--port", "0", "--echo", "--control-port", "0"});
//   int port = server.DataPort();
//   server.Control("chat * hello");   // "ok"
//
// The server prints exactly one line to stdout once it listens:
//
//   rdaserver ready data=PORT [echo=PORT] [control=PORT] [http=PORT]
//
// The constructor waits for that line within a time limit and raises
// std::runtime_error (with what the server printed) when the process ends
// first, prints something else or stays silent. stderr is inherited, so the
// server's own messages show up in the test log.
//
// The child gets PR_SET_PDEATHSIG = SIGKILL, so a test that crashes does not
// leave servers behind. That signal follows the thread that forked, so
// construct a ServerProcess on a thread that outlives it (normally the
// test's own thread).
//
// The destructor stops the process by its pid: SIGTERM, a wait of up to
// five seconds, then SIGKILL. Kill() ends it at once (a server that dies in
// the middle of a reply). Header-only, plain POSIX, no Qt: the server tests
// and the client's integration tests both use it.
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

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef RDA_BIN_DIR
#error "ServerProcess.h needs RDA_BIN_DIR, the folder that holds rdaserver"
#endif

namespace rda::test {

class ServerProcess {
 public:
  using Millis = std::chrono::milliseconds;

  // The server binary of this build.
  static std::string BinaryPath() { return std::string(RDA_BIN_DIR) + "/rdaserver"; }

  // Starts the server with args (without the program name) and waits up to
  // startLimit for its ready line. Raises std::runtime_error on failure;
  // the process is gone by then.
  explicit ServerProcess(const std::vector<std::string>& args, Millis startLimit = Millis(10000)) {
    Start(args, startLimit);
  }
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  pid_t Pid() const { return pid_; }
  int DataPort() const { return dataPort_; }
  int EchoPort() const { return echoPort_; }        // 0 without --echo
  int ControlPort() const { return controlPort_; }  // 0 without --control-port
  int HttpPort() const { return httpPort_; }        // 0 without --http-port
  const std::string& ReadyLine() const { return readyLine_; }

  // True while the process has not ended (reaps it when it has).
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) Reaped(status);
    return false;
  }

  // SIGTERM, then up to `limit` for the process to end, then SIGKILL.
  // Returns the wait status (as waitpid gives it), or -1 when there was no
  // process. Safe to call more than once.
  int Stop(Millis limit = Millis(5000)) {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    if (!WaitFor(limit)) {
      kill(pid_, SIGKILL);
      WaitFor(Millis(5000));
    }
    return status_;
  }

  // SIGKILL at once, then reaps the process.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    WaitFor(Millis(5000));
  }

  // True when Stop found the process ended by itself after SIGTERM with
  // exit code 0 (a clean shutdown).
  bool ExitedCleanly() const { return status_ >= 0 && WIFEXITED(status_) && WEXITSTATUS(status_) == 0; }

  // Sends one command line to the control port and returns the answer line
  // without its line end ("ok", "error ...", or the listing of `clients`,
  // whose lines are joined with "\n"). Raises std::runtime_error when the
  // control port is off, cannot be reached or does not answer within limit.
  std::string Control(const std::string& command, Millis limit = Millis(5000)) const {
    if (controlPort_ <= 0) throw std::runtime_error("rdaserver was started without --control-port");
    return ControlCommand(controlPort_, command, limit);
  }

  // Asks the control port `command` until it answers `expected` (polling, for a
  // change the server makes on its own time, such as ending an idle session) or
  // `limit` passes. Returns the last answer.
  std::string ControlUntil(const std::string& command, const std::string& expected,
                           Millis limit = Millis(10000)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::string answer = Control(command);
      if (answer == expected || std::chrono::steady_clock::now() >= deadline) return answer;
      std::this_thread::sleep_for(Millis(20));
    }
  }

  // The same for any control port. The answer ends with its line that
  // begins with "ok" or "error" (the `clients` listing comes before it).
  static std::string ControlCommand(int port, const std::string& command,
                                    Millis limit = Millis(5000)) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      const std::string err = std::strerror(errno);
      close(fd);
      throw std::runtime_error("control connect: " + err);
    }
    const std::string out = command + "\n";
    size_t sent = 0;
    while (sent < out.size()) {
      const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        close(fd);
        throw std::runtime_error("control send failed");
      }
      sent += static_cast<size_t>(n);
    }
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        close(fd);
        throw std::runtime_error("control command timed out: " + command);
      }
      char buf[4096];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
      if (AnswerComplete(answer) || answer.size() > (1u << 20)) break;
    }
    close(fd);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    return answer;
  }

 private:
  static bool AnswerComplete(const std::string& answer) {
    if (answer.empty() || answer.back() != '\n') return false;
    const size_t start = answer.rfind('\n', answer.size() - 2);
    const std::string last = answer.substr(start == std::string::npos ? 0 : start + 1);
    return last.rfind("ok", 0) == 0 || last.rfind("error", 0) == 0;
  }

  void Start(const std::vector<std::string>& args, Millis startLimit) {
    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are allowed.
    const std::string path = BinaryPath();
    std::vector<std::string> storage;
    storage.push_back(path);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      close(fds[0]);
      close(fds[1]);
      throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    }
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(126);
      if (dup2(fds[1], STDOUT_FILENO) < 0) _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    pid_ = pid;
    close(fds[1]);
    std::string got;
    std::string failure;
    const auto deadline = std::chrono::steady_clock::now() + startLimit;
    for (;;) {
      if (got.find('\n') != std::string::npos) break;
      const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      pollfd p{fds[0], POLLIN, 0};
      const int r = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        failure = "no ready line within the start limit";
        break;
      }
      char buf[512];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failure = "the server ended before its ready line";
        break;
      }
      got.append(buf, static_cast<size_t>(n));
      if (got.size() > 4096) {
        failure = "the server printed no ready line";
        break;
      }
    }
    // The server prints nothing more to stdout; closing our end keeps a
    // stray write from ever blocking it (it ignores SIGPIPE).
    close(fds[0]);
    if (failure.empty()) {
      readyLine_ = got.substr(0, got.find('\n'));
      if (!ParseReadyLine(readyLine_)) failure = "unexpected ready line";
    }
    if (!failure.empty()) {
      Kill();
      throw std::runtime_error("rdaserver: " + failure + ": " + got);
    }
  }

  bool ParseReadyLine(const std::string& line) {
    if (line.rfind("rdaserver ready", 0) != 0) return false;
    dataPort_ = Value(line, " data=");
    echoPort_ = Value(line, " echo=");
    controlPort_ = Value(line, " control=");
    httpPort_ = Value(line, " http=");
    return dataPort_ > 0;
  }

  static int Value(const std::string& line, const char* key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return 0;
    return std::atoi(line.c_str() + at + std::strlen(key));
  }

  bool WaitFor(Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno == ECHILD)) {
        Reaped(r == pid_ ? status : -1);
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(Millis(10));
    }
  }

  void Reaped(int status) {
    status_ = status;
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int status_ = -1;
  int dataPort_ = 0;
  int echoPort_ = 0;
  int controlPort_ = 0;
  int httpPort_ = 0;
  std::string readyLine_;
};

// rdaserver run to its end, for the uses that do not serve (a refused
// start, --add-user): its exit code (-1 when it did not exit) and everything
// it printed, stdout and stderr. input goes to its standard input through
// the shell's printf, so it may hold \n but no single quote.
struct FinishedServer {
  int code = -1;
  std::string output;
};

inline FinishedServer RunRdaserver(const std::string& args, const std::string& input = "") {
  const std::string command = "printf '" + input + "' | " + ServerProcess::BinaryPath() + " " + args + " 2>&1";
  FinishedServer f;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return f;
  char buf[512];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) f.output.append(buf, n);
  const int status = pclose(p);
  f.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return f;
}

}  // namespace rda::test
