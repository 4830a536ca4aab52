// The two downloads: FTP against a real FTP server (pyftpdlib), HTTP GET against
// nginx and, for the answers nginx never gives (short bodies, chunks, a server that
// goes quiet), a scripted peer in this process.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <filesystem>
#include <random>

#include "base/Exception.h"
#include "connection/RdaClientSocket.h"
#include "install/FtpClient.h"
#include "install/VNXDBCli.h"
#include "tests/install/InstallTestSupport.h"
#include "tests/support/FtpServer.h"

namespace rda {
namespace {

using test::ReadTextFile;
using test::TempDir;

std::string RandomBytes(size_t n) {
  std::mt19937 gen(42);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// The names in a folder (temporary download files would show here).
std::vector<std::string> FolderNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A folder the FTP server serves, holding /OrvaneModules/v6251/Tamrix.exe.
struct ModuleFiles {
  TempDir root{"rda-modules-"};
  std::string exe = RandomBytes(300 * 1000 + 7);
  ModuleFiles() {
    std::filesystem::create_directories(root.File("OrvaneModules/v6251"));
    root.Write("OrvaneModules/v6251/Tamrix.exe", exe);
  }
};

void Login(TFtpClient& ftp, int port) {
  ftp.SetHost("127.0.0.1");
  ftp.SetPort(port);
  ftp.SetPassive(true);
  ftp.SetUsername("anonymous");
  ftp.SetPassword("visit@nowhere");
  ftp.Connect();
}

TEST(FtpClient, SizeThenGetWithProgressOnTheCallingThread) {
  ModuleFiles files;
  test::FtpServerProcess server(files.root.Path());
  TempDir local;
  TFtpClient ftp;
  std::vector<int64_t> work;
  const auto caller = std::this_thread::get_id();
  bool otherThread = false;
  ftp.OnWork = [&](int64_t n) {
    work.push_back(n);
    otherThread |= std::this_thread::get_id() != caller;
  };
  Login(ftp, server.Port());
  EXPECT_EQ(ftp.Size("/OrvaneModules/v6251/Missing.exe"), -1);
  const int64_t size = ftp.Size("/OrvaneModules/v6251/Tamrix.exe");
  ASSERT_EQ(size, static_cast<int64_t>(files.exe.size()));
  ftp.Get("/OrvaneModules/v6251/Tamrix.exe", local.File("Tamrix.exe"), size);
  ftp.Disconnect();

  EXPECT_EQ(ReadTextFile(local.File("Tamrix.exe")), files.exe);
  EXPECT_EQ(FolderNames(local.Path()), std::vector<std::string>{"Tamrix.exe"});
  ASSERT_FALSE(work.empty());
  EXPECT_EQ(work.back(), size);
  EXPECT_TRUE(std::is_sorted(work.begin(), work.end()));
  EXPECT_FALSE(otherThread);
  const std::string log = server.Log();
  EXPECT_NE(log.find("USER 'anonymous' logged in"), std::string::npos) << log;
  EXPECT_NE(log.find("SIZE /OrvaneModules/v6251/Tamrix.exe"), std::string::npos) << log;
  EXPECT_NE(log.find("RETR /OrvaneModules/v6251/Tamrix.exe"), std::string::npos) << log;
  EXPECT_NE(log.find("<- EPSV"), std::string::npos) << log;  // passive
  EXPECT_EQ(log.find("<- PORT"), std::string::npos) << log;
  EXPECT_EQ(log.find("<- EPRT"), std::string::npos) << log;
}

TEST(FtpClient, DownloadShorterThanTheAnnouncedSizeKeepsTheOldFile) {
  ModuleFiles files;
  test::FtpServerProcess server(files.root.Path(), /*sizeBonus=*/100);
  TempDir local;
  local.Write("Tamrix.exe", "old client");
  TFtpClient ftp;
  Login(ftp, server.Port());
  const int64_t size = ftp.Size("/OrvaneModules/v6251/Tamrix.exe");
  EXPECT_EQ(size, static_cast<int64_t>(files.exe.size()) + 100);
  EXPECT_THROW(ftp.Get("/OrvaneModules/v6251/Tamrix.exe", local.File("Tamrix.exe"), size),
               EFtpError);
  EXPECT_EQ(ReadTextFile(local.File("Tamrix.exe")), "old client");
  EXPECT_EQ(FolderNames(local.Path()), std::vector<std::string>{"Tamrix.exe"});
}

TEST(FtpClient, LocalFileThatCannotBeReplacedAndServerThatIsNotThere) {
  ModuleFiles files;
  test::FtpServerProcess server(files.root.Path());
  TempDir local;
  std::filesystem::create_directories(local.File("Tamrix.exe"));  // in the way
  TFtpClient ftp;
  Login(ftp, server.Port());
  EXPECT_THROW(ftp.Get("/OrvaneModules/v6251/Tamrix.exe", local.File("Tamrix.exe"), -1),
               EFCreateError);
  EXPECT_EQ(FolderNames(local.Path()), std::vector<std::string>{"Tamrix.exe"});
  EXPECT_THROW(ftp.Get("/OrvaneModules/v6251/Tamrix.exe", local.File("none/Tamrix.exe"), -1),
               EFCreateError);

  TFtpClient nobody;
  nobody.SetHost("127.0.0.1");
  nobody.SetPort(test::FreeLoopbackPort());
  EXPECT_THROW(nobody.Connect(), EFtpError);
}

// nginx serving a folder of files (and nothing in front of a tunnel).
struct StaticWeb {
  TempDir root{"rda-web-"};
  std::unique_ptr<test::NginxProcess> nginx;
  StaticWeb() {
    test::NginxProcess::Options o;
    o.upstreamPort = test::FreeLoopbackPort();  // the tunnel location is not used here
    o.extraServerConfig = "    location / { root " + root.Path() + "; }\n";
    nginx = std::make_unique<test::NginxProcess>(o);
  }
};

TEST(HTTPGetFile, DownloadFromNginxEndsWithTheBodyNotWithSilence) {
  StaticWeb web;
  const std::string exe = RandomBytes(200 * 1000 + 3);
  std::filesystem::create_directories(web.root.File("ACME-XModules"));
  web.root.Write("ACME-XModules/WebTamrix.exe", exe);
  TempDir local;
  local.Write("WebTamrix.exe", "old client");
  std::vector<std::pair<int64_t, int64_t>> progress;
  THttpGetResult r;
  const int64_t n = HTTPGetFile(
      "127.0.0.1", "ACME-XModules/WebTamrix.exe", local.File("WebTamrix.exe"),
      [&](int64_t length, bool&, int64_t received) { progress.emplace_back(length, received); },
      web.nginx->Port(), &r);
  EXPECT_TRUE(r.Installed) << r.Failure;
  EXPECT_FALSE(r.TimedOut);  // nginx keeps the connection open: the length ended the read
  EXPECT_EQ(r.Status, 200);
  EXPECT_GT(n, static_cast<int64_t>(exe.size()));  // headers included
  EXPECT_EQ(n, r.Received);
  EXPECT_EQ(ReadTextFile(local.File("WebTamrix.exe")), exe);
  EXPECT_EQ(FolderNames(local.Path()), std::vector<std::string>{"WebTamrix.exe"});
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), std::make_pair(static_cast<int64_t>(exe.size()), n));
}

TEST(HTTPGetFile, ErrorPageIsNotInstalledAndRefusedConnectionRaises) {
  StaticWeb web;
  TempDir local;
  local.Write("WebTamrix.exe", "old client");
  THttpGetResult r;
  EXPECT_EQ(HTTPGetFile("127.0.0.1", "ACME-XModules/WebTamrix.exe", local.File("WebTamrix.exe"),
                        nullptr, web.nginx->Port(), &r),
            0);
  EXPECT_EQ(r.Status, 404);
  EXPECT_FALSE(r.Installed);
  EXPECT_EQ(ReadTextFile(local.File("WebTamrix.exe")), "old client");
  EXPECT_EQ(FolderNames(local.Path()), std::vector<std::string>{"WebTamrix.exe"});

  try {
    HTTPGetFile("127.0.0.1", "x", local.File("x"), nullptr, test::FreeLoopbackPort());
    ADD_FAILURE() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10061);
  }
  EXPECT_THROW(HTTPGetFile("bad host", "x", local.File("x"), nullptr, 80), Exception);
}

// A web server in this process that answers the first request with a script: pieces
// sent one after another, then a close unless `keepOpen`.
class ScriptedWeb {
 public:
  ScriptedWeb(std::vector<std::string> pieces, bool keepOpen)
      : pieces_(std::move(pieces)), keepOpen_(keepOpen) {
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      QTcpSocket* s = server_.nextPendingConnection();
      QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
        request_ += s->readAll().toStdString();
        if (request_.find("\r\n\r\n") != std::string::npos && !answered_) {
          answered_ = true;
          Send(s, 0);
        }
      });
    });
  }
  int Port() const { return server_.serverPort(); }
  const std::string& Request() const { return request_; }

 private:
  void Send(QTcpSocket* s, size_t i) {
    if (i == pieces_.size()) {
      if (!keepOpen_) s->disconnectFromHost();
      return;
    }
    s->write(pieces_[i].data(), static_cast<qint64>(pieces_[i].size()));
    s->flush();
    QTimer::singleShot(20, s, [this, s, i] { Send(s, i + 1); });
  }

  QTcpServer server_;
  std::vector<std::string> pieces_;
  bool keepOpen_;
  bool answered_ = false;
  std::string request_;
};

TEST(HTTPGetFile, WhatIsInstalledAndWhatIsNot) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    bool keepOpen;
    bool installed;
    std::string content;  // of the local file afterwards
  } cases[] = {
      {"short body then close",
       {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", "only part"}, false, false, "old"},
      {"chunked in pieces",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "\r\n4\r\nWebT", "\r\n6\r\namrix!",
        "\r\n0\r\n\r\n"},
       true, true, "WebTamrix!"},
      {"no length, ended by the close", {"HTTP/1.0 200 OK\r\n\r\n", "whole", " body"}, false,
       true, "whole body"},
      {"head split", {"HTTP/1.1 200 OK\r\nContent-Le", "ngth: 2\r\n", "\r\nok"}, true, true, "ok"},
      {"server error", {"HTTP/1.1 500 Oops\r\nContent-Length: 4\r\n\r\nfail"}, true, false, "old"},
      {"garbage", {"SSH-2.0-OpenSSH\r\n\r\n"}, false, false, "old"},
  };
  for (const Case& c : cases) {
    TempDir local;
    local.Write("WebTamrix.exe", "old");
    ScriptedWeb web(c.pieces, c.keepOpen);
    THttpGetResult r;
    HTTPGetFile("127.0.0.1", "ACME-XModules/WebTamrix.exe", local.File("WebTamrix.exe"), nullptr,
                web.Port(), &r);
    EXPECT_EQ(r.Installed, c.installed) << c.name << ": " << r.Failure;
    EXPECT_FALSE(r.TimedOut) << c.name;
    EXPECT_EQ(ReadTextFile(local.File("WebTamrix.exe")), c.content) << c.name;
    EXPECT_EQ(FolderNames(local.Path()), std::vector<std::string>{"WebTamrix.exe"}) << c.name;
    EXPECT_EQ(web.Request(),
              "GET /ACME-XModules/WebTamrix.exe HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  }
}

TEST(HTTPGetFile, ServerThatGoesQuietBeforeTheEndIsGivenUp) {
  TempDir local;
  ScriptedWeb web({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "12345"}, /*keepOpen=*/true);
  THttpGetResult r;
  EXPECT_EQ(HTTPGetFile("127.0.0.1", "Extranet\\WebTamrix.exe", local.File("WebTamrix.exe"),
                        nullptr, web.Port(), &r),
            0);
  EXPECT_TRUE(r.TimedOut);
  EXPECT_FALSE(r.Installed);
  EXPECT_TRUE(FolderNames(local.Path()).empty());
  // The version 5 folder goes out with its backslash, as the web server expects it.
  EXPECT_EQ(web.Request(), "GET /Extranet\\WebTamrix.exe HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

TEST(HTTPGetFile, CancelWritesNothing) {
  TempDir local;
  ScriptedWeb web({"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", "ab", "cd"}, true);
  THttpGetResult r;
  EXPECT_EQ(HTTPGetFile(
                "127.0.0.1", "x", local.File("x"),
                [](int64_t, bool& cancel, int64_t) { cancel = true; }, web.Port(), &r),
            0);
  EXPECT_TRUE(r.Cancelled);
  EXPECT_TRUE(FolderNames(local.Path()).empty());
}

}  // namespace
}  // namespace rda
