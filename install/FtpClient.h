// TFtpClient: the FTP client that fetches the TCP/IP client from the module server.
//
// libcurl does the protocol (log-in, passive mode, SIZE, RETR with resume off). Each
// call runs on a worker thread while the calling thread waits with its event loop
// running, so the window stays responsive; OnWork is called on the calling thread
// with the bytes moved so far.
//
//   TFtpClient ftp;
//   ftp.SetHost("modules.example"); ftp.SetPort(21); ftp.SetPassive(true);
//   ftp.SetUsername("anonymous"); ftp.SetPassword("visit@nowhere");
//   ftp.Connect();
//   if (ftp.Size("/OrvaneModules/v6251/Tamrix.exe") > 0) ftp.Get(..., "Tamrix.exe", size);
//   ftp.Disconnect();
//
// Errors raise EFtpError with libcurl's text and the server's last reply, except the
// local file, which raises EFCreateError (see Get). Limits: a connection must be up
// within kFtpConnectLimitMs, a server reply must come within kFtpReplyLimitMs, and a
// transfer that moves no byte for kFtpStallLimitMs is given up, so that no call waits
// without end.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Exception.h"

namespace rda {

RDA_DECLARE_EXCEPTION(EFtpError, Exception)

inline constexpr int kFtpConnectLimitMs = 30000;
inline constexpr int kFtpReplyLimitMs = 60000;
inline constexpr int kFtpStallLimitMs = 60000;

class TFtpClient {
 public:
  TFtpClient();
  // Stops a call that is still running (the worker is told to stop and joined).
  ~TFtpClient();
  TFtpClient(const TFtpClient&) = delete;
  TFtpClient& operator=(const TFtpClient&) = delete;

  const std::string& Host() const { return host_; }
  void SetHost(const std::string& v) { host_ = v; }
  int Port() const { return port_; }
  void SetPort(int v) { port_ = v; }
  bool Passive() const { return passive_; }
  void SetPassive(bool v) { passive_ = v; }
  const std::string& Username() const { return user_; }
  void SetUsername(const std::string& v) { user_ = v; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }

  // Connects and logs in. Raises EFtpError.
  void Connect();
  bool Connected() const;
  // The size the server reports for `remotePath` (the SIZE command), or -1 when the
  // server has no such file or does not tell its size.
  int64_t Size(const std::string& remotePath);
  // Downloads `remotePath` into `localFile`. The bytes go to a temporary file beside
  // it, which replaces the local file only when the transfer ended well and, with
  // `expectedSize` >= 0, brought exactly that many bytes; otherwise the local file
  // is left as it was and EFtpError says why. Raises EFCreateError when the local
  // file cannot be created or replaced.
  void Get(const std::string& remotePath, const std::string& localFile, int64_t expectedSize);
  void Disconnect();

  // After each block: the bytes moved so far in this transfer. On the calling thread.
  std::function<void(int64_t workCount)> OnWork;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
  std::string host_;
  int port_ = 21;
  bool passive_ = true;
  std::string user_;
  std::string password_;
};

}  // namespace rda
