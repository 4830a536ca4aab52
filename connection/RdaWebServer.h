// TRdaWebServer: how a connection reaches its data server through a web server.
//
// When the data server can only be reached through a web server, every framed message
// of the connection travels as the body of an HTTP POST to a tunnelling extension on
// that web server, which forwards it to the data server named in the request and
// answers with the data server's frames. These are the settings of that carriage; the
// connection owns one (TRdaClientSocket::WebServer()).
//
// Request forms (the connection builds them; see docs/connection.md):
//   WinInet true  (form 1): the platform HTTP client posts to
//       http[s]://<host>:<WebServerPort>/<RdaHttpDll>/RDA?<address>&<port>&<Timeout>
//   WinInet false (form 2): a hand-built HTTP/1.0 request on the connection's socket,
//       POST /<RdaHttpDll>/Rda?&<address>&<port>
// where <address> and <port> are the data server as the web server sees it (the
// connection's proxied address and port).
//
// A TRdaWebServer made without an owner only holds settings (a source for Assign).
// Single-threaded, like the connection.
#pragma once

#include <cstdint>
#include <string>

#include "connection/RdaSet.h"

namespace rda {

class TRdaClientSocket;

// Certificate errors that HTTPS requests of the platform HTTP client ignore.
enum TRdaSSLOption : uint8_t {
  soIgnoreInvalidCertDate = 0,  // expired or not yet valid
  soIgnoreInvalidCertName,      // issued for another host name
  soIgnoreInvalidCertCA,        // self-signed or issued by an unknown authority
};
using TRdaSSLOptions = TRdaSet<TRdaSSLOption>;

class TRdaWebServer {
 public:
  // `owner` (may be null) must outlive this object; the connection owns its own.
  explicit TRdaWebServer(TRdaClientSocket* owner = nullptr) : owner_(owner) {}
  TRdaWebServer(const TRdaWebServer&) = delete;
  TRdaWebServer& operator=(const TRdaWebServer&) = delete;

  // Copies every setting of `source` (the owner stays). When the copied UseWebServer
  // is true, the owning connection is switched to the HTTP transport (SetUseWebServer).
  void Assign(const TRdaWebServer& source);
  TRdaClientSocket* Owner() const { return owner_; }

  // [false] Stateless mode: every outgoing message carries a session header (a log-in
  // header while the connection's SessionId is 0) and every reply starts with one.
  bool AddCookie() const { return addCookie_; }
  void SetAddCookie(bool value) { addCookie_ = value; }
  // [true] Requests go through the platform HTTP client (form 1); false: hand-built
  // HTTP/1.0 requests on the connection's own socket (form 2).
  bool WinInet() const { return winInet_; }
  void SetWinInet(bool value) { winInet_ = value; }
  // [false] Show the HTTP client's progress texts in panel 1 of the status bar (the
  // connection's own OnWinInetStatus handler is installed when the HTTP transport is
  // selected and no handler is set).
  bool WinInetToStatusBar() const { return winInetToStatusBar_; }
  void SetWinInetToStatusBar(bool value) { winInetToStatusBar_ = value; }
  // [false] Form 1 uses HTTPS. The port is then 443 when WebServerPort is 80 or 0 (the
  // plain HTTP defaults), else WebServerPort.
  bool UseSSL() const { return useSSL_; }
  void SetUseSSL(bool value) { useSSL_ = value; }
  // [{}] Certificate errors that HTTPS requests ignore.
  TRdaSSLOptions SSLOptions() const { return sslOptions_; }
  void SetSSLOptions(TRdaSSLOptions value) { sslOptions_ = value; }
  // [""], [80] The web server (80 is also used for 0).
  const std::string& WebServerAddress() const { return webServerAddress_; }
  void SetWebServerAddress(const std::string& value) { webServerAddress_ = value; }
  uint16_t WebServerPort() const { return webServerPort_; }
  void SetWebServerPort(uint16_t value) { webServerPort_ = value; }
  // [""], [9000] The data server as the web server sees it.
  const std::string& RdaServerAddress() const { return rdaServerAddress_; }
  void SetRdaServerAddress(const std::string& value) { rdaServerAddress_ = value; }
  uint16_t RdaServerPort() const { return rdaServerPort_; }
  void SetRdaServerPort(uint16_t value) { rdaServerPort_ = value; }
  // [false] Setting it (also to the value it has) switches the owning connection:
  //   true:  TransportMode 2; proxied address := RdaServerAddress, else the
  //          connection's Address, else its Host; proxied port := RdaServerPort; Host :=
  //          WebServerAddress; Port := WebServerPort; DirectTcp := false; Address
  //          cleared when the connection is not active; panel 0 of the status bar
  //          cleared; the connection's own OnWinInetStatus handler installed when
  //          WinInetToStatusBar is set and none is.
  //   false: TransportMode 0; Host and Address cleared, then RdaServerAddress goes to
  //          Host when it starts with a letter, else to Address; Port :=
  //          RdaServerPort; DirectTcp := true; proxied address and port cleared;
  //          ClientType := ctNonBlocking.
  // A connection that is open on the other transport is closed first.
  bool UseWebServer() const { return useWebServer_; }
  void SetUseWebServer(bool value);
  // [false] Kept and copied.
  bool Authenticate() const { return authenticate_; }
  void SetAuthenticate(bool value) { authenticate_ = value; }
  // [""] Kept and copied (the hand-built proxy form uses the connection's own
  // ProxyUserName and ProxyPassword).
  const std::string& ProxyUserName() const { return proxyUserName_; }
  void SetProxyUserName(const std::string& value) { proxyUserName_ = value; }
  const std::string& ProxyPassword() const { return proxyPassword_; }
  void SetProxyPassword(const std::string& value) { proxyPassword_ = value; }
  // ["scripts/Rdahttp.dll"] The extension's path on the web server, without a leading
  // "/".
  const std::string& RdaHttpDll() const { return rdaHttpDll_; }
  void SetRdaHttpDll(const std::string& value) { rdaHttpDll_ = value; }
  // [5] Passed to the extension as the last query value of form 1 (its limit, in
  // seconds, for the data server's answer); the client applies no limit from it.
  uint16_t Timeout() const { return timeout_; }
  void SetTimeout(uint16_t value) { timeout_ = value; }

 private:
  TRdaClientSocket* owner_;
  bool addCookie_ = false;
  bool winInet_ = true;
  bool winInetToStatusBar_ = false;
  bool useSSL_ = false;
  TRdaSSLOptions sslOptions_;
  std::string webServerAddress_;
  uint16_t webServerPort_ = 80;
  std::string rdaServerAddress_;
  uint16_t rdaServerPort_ = 9000;
  bool useWebServer_ = false;
  bool authenticate_ = false;
  std::string proxyUserName_;
  std::string proxyPassword_;
  std::string rdaHttpDll_ = "scripts/Rdahttp.dll";
  uint16_t timeout_ = 5;
};

}  // namespace rda
