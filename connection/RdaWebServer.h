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
// The values live in a TRdaWebServerSettings: the connection's own (inside its
// TRdaConnectionSettings) for the object a connection owns, or the object's own for
// one made without an owner, which only holds settings (a source for Assign).
// Single-threaded, like the connection.
#pragma once

#include <cstdint>
#include <string>

#include "connection/RdaConnectionSettings.h"

namespace rda {

class TRdaClientCore;
class TRdaClientSocket;

class TRdaWebServer {
 public:
  // A settings holder of its own (a source for Assign), without an owner.
  TRdaWebServer() : settings_(&own_) {}
  // The web server settings of a connection: `settings` is its
  // TRdaConnectionSettings::WebServer, `core` switches its transport, `owner` (may be
  // null) is the connection; all must outlive this object.
  TRdaWebServer(TRdaClientSocket* owner, TRdaClientCore* core, TRdaWebServerSettings* settings)
      : owner_(owner), core_(core), settings_(settings) {}
  TRdaWebServer(const TRdaWebServer&) = delete;
  TRdaWebServer& operator=(const TRdaWebServer&) = delete;

  // Copies every setting of `source` (the owner stays). When the copied UseWebServer
  // is true, the owning connection is switched to the HTTP transport (SetUseWebServer).
  void Assign(const TRdaWebServer& source);
  TRdaClientSocket* Owner() const { return owner_; }
  const TRdaWebServerSettings& Settings() const { return *settings_; }

  // [false] Stateless mode: every outgoing message carries a session header (a log-in
  // header while the connection's SessionId is 0) and every reply starts with one.
  bool AddCookie() const { return settings_->AddCookie; }
  void SetAddCookie(bool value) { settings_->AddCookie = value; }
  // [true] Requests go through the platform HTTP client (form 1); false: hand-built
  // HTTP/1.0 requests on the connection's own socket (form 2).
  bool WinInet() const { return settings_->WinInet; }
  void SetWinInet(bool value) { settings_->WinInet = value; }
  // [false] Show the HTTP client's progress texts in panel 1 of the status bar (the
  // connection's own OnWinInetStatus handler is installed when the HTTP transport is
  // selected and no handler is set).
  bool WinInetToStatusBar() const { return settings_->WinInetToStatusBar; }
  void SetWinInetToStatusBar(bool value) { settings_->WinInetToStatusBar = value; }
  // [false] Form 1 uses HTTPS. The port is then 443 when WebServerPort is 80 or 0 (the
  // plain HTTP defaults), else WebServerPort.
  bool UseSSL() const { return settings_->UseSSL; }
  void SetUseSSL(bool value) { settings_->UseSSL = value; }
  // [{}] Certificate errors that HTTPS requests ignore.
  TRdaSSLOptions SSLOptions() const { return settings_->SSLOptions; }
  void SetSSLOptions(TRdaSSLOptions value) { settings_->SSLOptions = value; }
  // [""], [80] The web server (80 is also used for 0).
  const std::string& WebServerAddress() const { return settings_->WebServerAddress; }
  void SetWebServerAddress(const std::string& value) { settings_->WebServerAddress = value; }
  uint16_t WebServerPort() const { return settings_->WebServerPort; }
  void SetWebServerPort(uint16_t value) { settings_->WebServerPort = value; }
  // [""], [9000] The data server as the web server sees it.
  const std::string& RdaServerAddress() const { return settings_->RdaServerAddress; }
  void SetRdaServerAddress(const std::string& value) { settings_->RdaServerAddress = value; }
  uint16_t RdaServerPort() const { return settings_->RdaServerPort; }
  void SetRdaServerPort(uint16_t value) { settings_->RdaServerPort = value; }
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
  bool UseWebServer() const { return settings_->UseWebServer; }
  void SetUseWebServer(bool value);
  // [false] Kept and copied.
  bool Authenticate() const { return settings_->Authenticate; }
  void SetAuthenticate(bool value) { settings_->Authenticate = value; }
  // [""] Kept and copied (the hand-built proxy form uses the connection's own
  // ProxyUserName and ProxyPassword).
  const std::string& ProxyUserName() const { return settings_->ProxyUserName; }
  void SetProxyUserName(const std::string& value) { settings_->ProxyUserName = value; }
  const std::string& ProxyPassword() const { return settings_->ProxyPassword; }
  void SetProxyPassword(const std::string& value) { settings_->ProxyPassword = value; }
  // ["scripts/Rdahttp.dll"] The extension's path on the web server, without a leading
  // "/".
  const std::string& RdaHttpDll() const { return settings_->RdaHttpDll; }
  void SetRdaHttpDll(const std::string& value) { settings_->RdaHttpDll = value; }
  // [5] Passed to the extension as the last query value of form 1 (its limit, in
  // seconds, for the data server's answer); the client applies no limit from it.
  uint16_t Timeout() const { return settings_->Timeout; }
  void SetTimeout(uint16_t value) { settings_->Timeout = value; }

 private:
  TRdaClientSocket* owner_ = nullptr;
  TRdaClientCore* core_ = nullptr;
  TRdaWebServerSettings own_;
  TRdaWebServerSettings* settings_;
};

}  // namespace rda
