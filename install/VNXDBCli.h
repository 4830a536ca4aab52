// HTTPGetFile: the plain HTTP GET that downloads the web client from the company's
// web server.
//
// The request is exactly
//   "GET /" + path + " HTTP/1.1\r\n" + "Host: " + host + "\r\n\r\n"
// (bytes of the path below 0x21, 0x7F and above are sent %-escaped, so that no path
// can break the request line). The response is read as it arrives, on the calling
// thread with its event loop running, so the window stays responsive; the progress
// callback runs after each block.
//
// The local file is replaced only by a complete, successful download: the body goes
// to a temporary file beside it, which is renamed over the local file once
//   - the status is 2xx,
//   - the body is complete: Content-Length bytes, the last chunk of a chunked body,
//     or (without either) the end of the connection,
// and is dropped otherwise, so a failed download never destroys a working client.
// Reading ends when the body is complete (a server that keeps the connection open
// costs nothing), when the server closes the connection, or after kSilenceLimitMs
// without data; a body that is not complete by then is not installed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace rda {

inline constexpr int kSilenceLimitMs = 5000;
inline constexpr int kHttpConnectLimitMs = 30000;

// Called after each block: the announced body length (0 while unknown), a flag that
// stops the download (nothing is written then), and the bytes received so far,
// headers included.
using THttpProgress = std::function<void(int64_t contentLength, bool& cancel, int64_t received)>;

struct THttpGetResult {
  int64_t Received = 0;       // bytes received, headers included
  int Status = 0;             // 0 when no status line was read
  int64_t ContentLength = -1; // as announced; -1 when not
  bool Cancelled = false;
  bool TimedOut = false;      // the read ended after kSilenceLimitMs without data
  bool Installed = false;     // the local file was replaced
  std::string Failure;        // why it was not installed
};

// Downloads `path` from host:port into `localFile`. Returns the bytes received when
// the file was installed, 0 otherwise (`result` says why). Raises ESocketError when
// the server cannot be reached (connection refused, host not found, no connection
// within kHttpConnectLimitMs), rda::Exception "Invalid host name" for a host with
// blanks or control characters, and EFCreateError when the local file cannot be
// written or replaced.
int64_t HTTPGetFile(const std::string& host, const std::string& path,
                    const std::string& localFile, const THttpProgress& progress, int port,
                    THttpGetResult* result = nullptr);

// The request text that HTTPGetFile sends.
std::string HttpGetRequest(const std::string& host, const std::string& path);

}  // namespace rda
