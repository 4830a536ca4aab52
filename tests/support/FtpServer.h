// A real FTP server for tests and the demo: pyftpdlib on a free loopback port,
// anonymous and read-only over a folder, passive data connections on loopback.
//
//   rda::test::TempDir files;
//   // files/OrvaneModules/v6251/Tamrix.exe ...
//   rda::test::FtpServerProcess ftp(files.Path());
//   // ftp.Port(); ftp.Log() has every command the server received
//
// `sizeBonus` makes the server report every file's size (the SIZE command) that many
// bytes larger than it is, while it still sends the file as it is: a download that
// ends before the announced size.
//
// The constructor raises std::runtime_error (with the server's log) when it cannot
// start; the destructor stops the server by its pid. Needs Debian's python3 with
// python3-pyftpdlib (./run.sh setup installs it).
#pragma once

#include <string>
#include <vector>

#include "tests/support/WebPeers.h"

namespace rda::test {

// The Python that has pyftpdlib: the system's own (a python3 earlier on PATH, such
// as a pyenv shim, may lack Debian's packages).
inline std::string PythonWithPyftpdlib() {
  for (const char* p : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return "python3";
}

inline constexpr const char* kFtpServerScript = R"PY(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.servers import FTPServer

root, port, bonus = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

class LyingFS(AbstractedFS):
    def getsize(self, path):
        return AbstractedFS.getsize(self, path) + bonus

authorizer = DummyAuthorizer()
authorizer.add_anonymous(root)  # read-only: list and retrieve
handler = FTPHandler
handler.authorizer = authorizer
handler.abstracted_fs = LyingFS
handler.permit_foreign_addresses = False
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout,
                    format="%(message)s")
server = FTPServer(("127.0.0.1", port), handler)
server.max_cons = 32
print("ready", flush=True)
server.serve_forever()
)PY";

class FtpServerProcess {
 public:
  explicit FtpServerProcess(const std::string& root, int sizeBonus = 0,
                            WebMillis startLimit = WebMillis(15000))
      : dir_("rda-ftp-") {
    const std::string script = dir_.Write("ftpserver.py", kFtpServerScript);
    port_ = detail::StartOnFreePort(
        "pyftpdlib", child_, dir_.File("ftp.log"),
        [&](int port) {
          return std::vector<std::string>{PythonWithPyftpdlib(), script, root,
                                          std::to_string(port), std::to_string(sizeBonus)};
        },
        startLimit);
  }
  ~FtpServerProcess() { child_.Stop(); }
  FtpServerProcess(const FtpServerProcess&) = delete;
  FtpServerProcess& operator=(const FtpServerProcess&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return child_.Pid(); }
  std::string Log() const { return ReadTextFile(dir_.File("ftp.log")); }

 private:
  TempDir dir_;
  ChildProcess child_;
  int port_ = 0;
};

}  // namespace rda::test
