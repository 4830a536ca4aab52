// Helpers of the install utility's tests: servers on the ports the install utility
// expects (the echo service at data port + 10000), and the test program's Qt
// application (offscreen).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/InstallSettings.h"
#include "install/TamrixInstall.h"
#include "tests/support/FtpServer.h"
#include "tests/support/GuiTestEnvironment.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/WebPeers.h"

extern char** environ;

namespace rda::test {

// rdaserver with the echo service where the install utility probes for it: on data
// port + 10000. Picks a data port whose echo port is free too, and tries again with
// another when another process took one of them first.
inline std::unique_ptr<ServerProcess> StartServerWithEcho(std::vector<std::string> args) {
  std::string why;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int port = FreeLoopbackPort();
    if (port > 55535 || !LoopbackPortFree(port + 10000)) continue;
    std::vector<std::string> all{"--port", std::to_string(port), "--echo"};
    all.insert(all.end(), args.begin(), args.end());
    try {
      auto server = std::make_unique<ServerProcess>(all);
      if (server->EchoPort() == port + 10000) return server;
      why = "echo on " + std::to_string(server->EchoPort());
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  throw std::runtime_error("could not start rdaserver with its echo service: " + why);
}

// A row of the directory's host table; port -1 stands for the company server's port
// plus `shift` (a shift of 65536 gives a number that names the company's port once cut
// to 16 bits).
struct DirectoryRow {
  std::string code;
  std::string host;
  int port;
  std::string lan;
  int shift = 0;
};

// What a test site holds.
struct SiteOptions {
  std::string version = "6.251";     // SY_MASTR and SYMASTER of the company
  std::string companyCode = "ACME";  // SYMASTER's CompanyCode
  bool versionRow = true;            // SYMASTER holds the company's row
  bool echo = true;                  // the LAN echo service of the company server
  std::vector<DirectoryRow> rows = {{"ACME", "127.0.0.1", -1, "127.0.0.1"}};
  bool ftpFile = true;               // the module server holds the client
  int ftpSizeBonus = 0;              // the module server announces more than it sends
  bool webFile = true;               // the web server holds the web client
  std::vector<std::string> serverArgs;  // more options of both data servers (TLS)
};

// The servers a customer's install meets, all real and on loopback: the company's
// data server (with its echo service on port + 10000 and the tunnelling endpoint),
// the directory data server, the module FTP server and the company's web server
// (nginx: the client download, and /isapi/ in front of the endpoint).
class InstallSite {
 public:
  explicit InstallSite(SiteOptions options = {}) : options_(std::move(options)) {
    const std::string demo = ReadTextFile(std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql");
    if (demo.empty()) throw std::runtime_error("server/demo.sql not found");
    // The directory first: the company server's endpoint may forward to it.
    const int directoryPort = FreeLoopbackPort();
    const int companyPort = PickCompanyPort(directoryPort);
    std::string dirSql = demo + "\nDELETE FROM \"VNXHOSTS\";\n";
    for (const DirectoryRow& r : options_.rows) {
      dirSql += "INSERT INTO \"VNXHOSTS\" VALUES (" + Quote(r.code) + ", " + Quote(r.host) + ", " +
                std::to_string(r.port < 0 ? companyPort + r.shift : r.port) + ", " + Quote(r.lan) + ");\n";
    }
    std::vector<std::string> directoryArgs{"--port", std::to_string(directoryPort), "--encryption", "rda",
                                           "--quiet", "--init", files.Write("directory.sql", dirSql)};
    directoryArgs.insert(directoryArgs.end(), options_.serverArgs.begin(), options_.serverArgs.end());
    directory = std::make_unique<ServerProcess>(directoryArgs);
    const std::string v = Quote(options_.version);
    const std::string acmeSql =
        demo + "\nUPDATE \"SY_MASTR\" SET \"Comp_Name\" = 'Acme Trading Ltd', \"Version Number\" = " +
        v + ";\nDELETE FROM \"SYMASTER\";\n" +
        (options_.versionRow ? "INSERT INTO \"SYMASTER\" VALUES (" + Quote(options_.companyCode) +
                                   ", 'Acme Trading Ltd', " + v + ");\n"
                             : std::string());
    std::vector<std::string> args{"--port", std::to_string(companyPort), "--encryption", "rda",
                                  "--quiet", "--init", files.Write("acme.sql", acmeSql),
                                  "--http-port", "0", "--http-allow", "self", "--http-allow",
                                  "127.0.0.1:" + std::to_string(directoryPort)};
    if (options_.echo) args.push_back("--echo");
    args.insert(args.end(), options_.serverArgs.begin(), options_.serverArgs.end());
    company = std::make_unique<ServerProcess>(args);

    tamrixExe = "Tamrix " + options_.version + " " + std::string(100000, 'T');
    webTamrixExe = "WebTamrix " + options_.version + " " + std::string(100000, 'W');
    const std::string ftpFolder = files.File("ftp") + TTamrixInstall::ModuleFolder(options_.version);
    std::filesystem::create_directories(ftpFolder);
    if (options_.ftpFile) files.Write("ftp" + TTamrixInstall::ModuleFolder(options_.version) + "Tamrix.exe", tamrixExe);
    ftp = std::make_unique<FtpServerProcess>(files.File("ftp"), options_.ftpSizeBonus);

    const std::string webPath = WebClientPath();
    std::filesystem::create_directories(files.File("www/" + options_.companyCode + "-XModules"));
    if (options_.webFile) files.Write("www/" + webPath, webTamrixExe);
    NginxProcess::Options webOptions;
    webOptions.upstreamPort = company->HttpPort();
    webOptions.extraServerConfig = "    location / { root " + files.File("www") + "; }\n";
    web = std::make_unique<NginxProcess>(webOptions);
  }

  // The web client's path on the web server, as the install asks for it.
  std::string WebClientPath() const {
    return !options_.version.empty() && options_.version[0] == '5'
               ? std::string("Extranet\\WebTamrix.exe")
               : options_.companyCode + "-XModules/WebTamrix.exe";
  }
  int CompanyPort() const { return company->DataPort(); }

  // Every place on 127.0.0.1, as deployment settings and as the environment.
  TInstallSettings Settings() const {
    TInstallSettings s;
    s.DemoHost = "127.0.0.1";
    s.DemoPort = company->DataPort();
    s.DirectoryHost = "127.0.0.1";
    s.DirectoryPort = directory->DataPort();
    s.ModuleFtpHost = "127.0.0.1";
    s.ModuleFtpPort = ftp->Port();
    s.WebServerPort = web->Port();
    return s;
  }
  std::vector<std::string> Environment() const {
    const TInstallSettings s = Settings();
    return {"TAMRIX_DEMO_HOST=" + s.DemoHost, "TAMRIX_DEMO_PORT=" + std::to_string(s.DemoPort),
            "TAMRIX_DIRECTORY_HOST=" + s.DirectoryHost,
            "TAMRIX_DIRECTORY_PORT=" + std::to_string(s.DirectoryPort),
            "TAMRIX_MODULE_FTP_HOST=" + s.ModuleFtpHost,
            "TAMRIX_MODULE_FTP_PORT=" + std::to_string(s.ModuleFtpPort),
            "TAMRIX_WEB_PORT=" + std::to_string(s.WebServerPort)};
  }

  TempDir files{"rda-site-"};
  std::unique_ptr<ServerProcess> directory;
  std::unique_ptr<ServerProcess> company;
  std::unique_ptr<FtpServerProcess> ftp;
  std::unique_ptr<NginxProcess> web;
  std::string tamrixExe;
  std::string webTamrixExe;

 private:
  static std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  }
  // A data port whose port + 10000 is free too, for the echo service.
  static int PickCompanyPort(int avoid) {
    for (int i = 0; i < 50; ++i) {
      const int p = FreeLoopbackPort();
      if (p != avoid && p <= 55535 && LoopbackPortFree(p + 10000)) return p;
    }
    throw std::runtime_error("no data port with a free echo port");
  }

  SiteOptions options_;
};

// What a program run gave.
struct RunResult {
  int exitCode = -1;  // -1 when it had to be killed at the time limit
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] as the program sees it, resolved in `cwd`) in `cwd` with `env`
// over this process's environment (an entry "NAME=value" replaces NAME, an entry
// "NAME" without "=" takes NAME out; of two entries for one name the later counts);
// collects stdout and stderr; kills it after `limit`.
inline RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::vector<std::string>& env,
                            WebMillis limit = WebMillis(60000)) {
  std::vector<std::string> argStore = argv;
  std::vector<char*> args;
  for (auto& a : argStore) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> envStore;
  const auto names = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string name = names(*e);
    if (std::none_of(env.begin(), env.end(), [&](const auto& x) { return names(x) == name; })) {
      envStore.emplace_back(*e);
    }
  }
  for (size_t i = 0; i < env.size(); ++i) {
    const std::string name = names(env[i]);
    const bool later = std::any_of(env.begin() + static_cast<std::ptrdiff_t>(i) + 1, env.end(),
                                   [&](const auto& x) { return names(x) == name; });
    if (!later && env[i].find('=') != std::string::npos) envStore.push_back(env[i]);
  }
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string program = argv[0].front() == '/' ? argv[0] : cwd + "/" + argv[0];

  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(outPipe[1], STDOUT_FILENO) < 0 ||
        dup2(errPipe[1], STDERR_FILENO) < 0 || chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    execve(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool open[2] = {true, true};
  const int fds[2] = {outPipe[0], errPipe[0]};
  bool killed = false;
  while (open[0] || open[1]) {
    const auto left =
        std::chrono::duration_cast<WebMillis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
    if (poll(p, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[8192];
      const ssize_t n = read(fds[i], buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else if (!(n < 0 && errno == EINTR)) {
        open[i] = false;
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

// A folder a user runs the install utility from: the program (a link to this build's
// TamrixInstall, under the name given) and whatever files the test puts there.
class ClientFolder {
 public:
  explicit ClientFolder(const std::string& programName = "TamrixInstall")
      : program_(programName) {
    std::filesystem::create_symlink(std::string(RDA_BIN_DIR) + "/TamrixInstall",
                                    dir.File(programName));
  }
  // Runs the program headless in the folder, as "./<name> args...", with the site's
  // environment and then `env` (as RunProgram takes it).
  RunResult Run(const InstallSite& site, std::vector<std::string> args,
                const std::vector<std::string>& env = {}) const {
    args.insert(args.begin(), "./" + program_);
    args.push_back("--headless");
    std::vector<std::string> all = site.Environment();
    all.insert(all.end(), env.begin(), env.end());
    return RunProgram(args, dir.Path(), all);
  }
  std::string Read(const std::string& name) const { return ReadTextFile(dir.File(name)); }
  bool Has(const std::string& name) const { return std::filesystem::exists(dir.File(name)); }

  TempDir dir{"rda-client-"};

 private:
  std::string program_;
};

}  // namespace rda::test
