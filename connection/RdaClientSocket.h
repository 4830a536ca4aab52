// TRdaClientSocket: the client end of a connection to the remote data server.
//
// It keeps the connection settings, opens and closes the connection, logs in, keeps
// the connection alive, follows the server's redirects, sends requests and waits for
// their replies while the application's event loop keeps running, turns received
// bytes into messages and acts on each (replies, SQL errors, chat, broadcasts, coded
// messages, server settings, a terminate notice), and reports its state as text.
//
// The life of a connection (State()):
//
//   Inactive --SetActive(true)--> Opening --connected--> Connected
//      ^                            |                      |
//      +------ error / closed ------+                      | SetActive(false)
//      +------------------------- Closing <----------------+  (or the peer closes)
//
// Connecting runs the login and the server-version request (DoConnected); losing the
// connection ends every reply wait at once. AnchorStatus() is the state as the user
// sees it (the status bar texts).
//
// Threads and waits. Everything runs on the thread of the Qt event loop that owns the
// connection. OpenAndWait, CloseAndWait and a request that waits for its reply run a
// nested event loop (user input held back), so socket events, timers and
// server-initiated messages are handled while a caller waits; handlers may therefore
// run inside a call of the same connection. One request waits at a time.
//
// Errors. Calls raise the system's exceptions (base/Exception.h, ESocketError in
// RdaTransport.h).
// No exception leaves an event handler into the Qt event loop: an error raised while
// a socket event is handled goes to the caller waiting in this connection (it is
// raised from that wait), or, when nobody waits, to OnException, or, when that is not
// set, to the user interface's ShowException.
//
// The published events are std::function members named as the event; each is called
// only when set. A handler may call back into the connection, but must not destroy
// it: a connection may only be destroyed outside its own handlers and waits.
//
// Inside, the protocol is TRdaClientCore (RdaClientCore.h, no Qt): this class hands
// its calls to the core, and its private side, the Qt driver, runs the sockets, the
// timer, the waits and the platform HTTP client for it (docs/connection.md).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "connection/RdaClientEvents.h"
#include "connection/RdaConnectionSettings.h"
#include "connection/RdaTransport.h"
#include "connection/RdaUserInterface.h"
#include "connection/RdaWebServer.h"
#include "messaging/RdaBodyTransforms.h"

namespace rda {

class TRdaClientCore;
class TRdaClientSocketPrivate;
class TRdaComponent;
class TRdaDataSet;
class TRdaParamList;
class TRdaSmartWait;
class TRdaStringLine;

class TRdaClientSocket : public TRdaClientEvents {
 public:
  TRdaClientSocket();
  // Ends every wait, closes the connection at once and tells registered components
  // and the status display to forget it.
  ~TRdaClientSocket();
  TRdaClientSocket(const TRdaClientSocket&) = delete;
  TRdaClientSocket& operator=(const TRdaClientSocket&) = delete;

  // ---- Published settings (default in brackets) ------------------------------------
  //
  // Every setting is a member of Settings() (RdaConnectionSettings.h); the property
  // functions below read and write it, and do what a setter has to do.
  const TRdaConnectionSettings& Settings() const;

  // [false] Connected. Setting true starts connecting (Address, else Host, and Port)
  // and returns at once; setting false closes. See also OpenAndWait/CloseAndWait.
  bool Active() const;
  void SetActive(bool value);
  // ["127.0.0.1"] Server address; a host name here is resolved as well.
  const std::string& Address() const;
  void SetAddress(const std::string& value);
  // [""] Host name, used when Address is empty.
  const std::string& Host() const;
  void SetHost(const std::string& value);
  // [9000]
  int Port() const;
  void SetPort(int value);
  // [""] Kept for the settings it was stored with.
  const std::string& Service() const;
  void SetService(const std::string& value);
  // [ctNonBlocking] ctBlocking: requests are queued and run by BlockingExchange over
  // one short-lived connection each.
  TClientType ClientType() const;
  void SetClientType(TClientType value);
  // [caFastConnectCombo] What Loaded() does.
  TRdaConnectAction ConnectAction() const;
  void SetConnectAction(TRdaConnectAction value);
  // [ltNoChallenge] ltLoginDlg: ask in the login dialog; ltLoginNoDlg: log in with
  // UserName and Password; ltNoChallenge: no login.
  TLoginType AutoLoginDlg() const;
  void SetAutoLoginDlg(TLoginType value);
  // [""] Credentials sent in the login.
  const std::string& UserName() const;
  void SetUserName(const std::string& value);
  const std::string& Password() const;
  void SetPassword(const std::string& value);
  // [0] Refused logins allowed before the application is ended; 0 = no limit and no
  // retry. Below the limit a refused login reconnects after 500 ms.
  int LoginMaxAttempts() const;
  void SetLoginMaxAttempts(int value);
  // [""] Sent in the login; when empty at connect time it becomes the program's file
  // name.
  const std::string& ApplicationName() const;
  void SetApplicationName(const std::string& value);
  // [""] Sent in the login.
  const std::string& ApplicationVersion() const;
  void SetApplicationVersion(const std::string& value);
  // [""] When set, a client update the server pushes is a patch: it is saved under
  // this name and applied by the patcher program ("patcher.exe" beside the program),
  // which every login asks the server for ("NeedPatcher") while it is missing.
  const std::string& PatchFile() const;
  void SetPatchFile(const std::string& value);
  // [0] Minutes between keep-alive messages; 0 or less stops them.
  int KeepAlivePing() const;
  void SetKeepAlivePing(int minutes);
  // [etNoEncryption] Also sets ActiveEncryption (see TRdaBodyTransforms).
  TRdaEncryption Encryption() const;
  void SetEncryption(TRdaEncryption value);
  // [acNoCompression] acRdaCompress is stored, then refused with rda::Exception
  // "Lzh compression only supported Rda Custom Compression\rUse RdaZLib!".
  TRdaCompression Compression() const;
  void SetCompression(TRdaCompression value);
  // [""] DES key texts.
  const std::string& EncryptKeyIn() const;
  void SetEncryptKeyIn(const std::string& value);
  const std::string& EncryptKeyOut() const;
  void SetEncryptKeyOut(const std::string& value);
  // [none] Where the state text is shown; not owned (see TRdaStatusDisplay). Setting
  // it shows the current state at once.
  TRdaStatusDisplay* StatusBar() const;
  void SetStatusBar(TRdaStatusDisplay* value);
  // [TACNoAnchor] Read-only state for the user, and its text.
  TClientAnchorStatus AnchorStatus() const;
  std::string AnchorStatusText() const;
  // [false] Report reading (and writing) progress through OnReadProgress.
  bool ProgressBar() const;
  void SetProgressBar(bool value);
  // [cqNoChange] Cursor during reply waits.
  TWaitingCursor CursorOnQueries() const;
  void SetCursorOnQueries(TWaitingCursor value);
  // [{seAsExceptions}]
  TRdaSQLErrorSet SQLErrorHandling() const;
  void SetSQLErrorHandling(TRdaSQLErrorSet value);
  // [sqlNone] Setting it applies the dialect's preset of SQLOptions and date masks.
  TSQLDialect SQLDialect() const;
  void SetSQLDialect(TSQLDialect value);
  // [{}] Overwritten by the server's settings message.
  TRdaServerSQLOptions SQLOptions() const;
  void SetSQLOptions(TRdaServerSQLOptions value);
  // [usBDE]
  TRdaUpdateSQL UpdateSQLSyntax() const;
  void SetUpdateSQLSyntax(TRdaUpdateSQL value);
  // [""] Date and time formats for SQL literals.
  const std::string& DateMaskForSQL() const;
  void SetDateMaskForSQL(const std::string& value);
  const std::string& TimeMaskForSQL() const;
  void SetTimeMaskForSQL(const std::string& value);
  const std::string& DateTimeMaskForSQL() const;
  void SetDateTimeMaskForSQL(const std::string& value);
  // ["BEGIN TRANSACTION"], ["COMMIT"]
  const std::string& SQLTransactionStart() const;
  void SetSQLTransactionStart(const std::string& value);
  const std::string& SQLTransactionEnd() const;
  void SetSQLTransactionEnd(const std::string& value);
  // [smNoCache], [""] The metadata cache: smFetchOnValidate asks the server for it
  // after each connect (after the login when there is one); smLoadFromFile loads
  // CacheMetaDataFileName when the file exists, else asks and saves the answer there.
  TServerMetaCacheOptions CacheMetaDataOptions() const;
  void SetCacheMetaDataOptions(TServerMetaCacheOptions value);
  const std::string& CacheMetaDataFileName() const;
  void SetCacheMetaDataFileName(const std::string& value);
  // [""] Kept; not used by the connection.
  const std::string& DTUserName() const;
  void SetDTUserName(const std::string& value);
  const std::string& DTPassword() const;
  void SetDTPassword(const std::string& value);
  const std::string& UserKey() const;
  void SetUserKey(const std::string& value);
  const std::string& About() const;
  void SetAbout(const std::string& value);

  // [60000] Milliseconds a request that waits for its reply may go without receiving
  // a byte from the server; 0 = no limit. When it passes, the connection is closed
  // (a late reply could no longer be told from the next one's) and the request raises
  // ERdaConnectException "No reply from the server within <n> ms; the connection has
  // been closed."
  int ReplyTimeout() const;
  void SetReplyTimeout(int ms);
  // [30000] Milliseconds a connect may take before it fails with error 10060; 0 = the
  // system's own limit. Takes effect at the next open.
  int ConnectTimeout() const;
  void SetConnectTimeout(int ms);
  // [5000] Milliseconds a blocking exchange waits for data.
  int BlockingTimeout() const;
  void SetBlockingTimeout(int ms);
  // [4096] Largest single socket write; values below 1 are ignored.
  int WriteChunkSize() const;
  void SetWriteChunkSize(int bytes);
  // [false] Direct TCP connections run inside TLS 1.2 or later, with the server's
  // certificate verified against TlsCaFile (or the system's trust store when it is
  // empty) and checked to name the host connected to. Off, the bytes on the wire are
  // the system's own. A failed handshake or check ends the connect with ESocketError
  // and one of the kInternet... codes (RdaTransport.h), its text saying why. The HTTP
  // carriages ignore it (they have WebServer().UseSSL()). Takes effect at the next
  // open.
  bool UseTls() const;
  void SetUseTls(bool value);
  // [""] A PEM file of the certificates to trust for TLS instead of the system's
  // trust store. A file that holds none fails the connect.
  const std::string& TlsCaFile() const;
  void SetTlsCaFile(const std::string& value);

  // ---- State -----------------------------------------------------------------------

  TRdaConnectionState State() const;
  // 0 = direct TCP, 1 = HTTP through a proxy, 2 = HTTP to the web server's tunnelling
  // extension; the message stack has the same value. DirectTcp is false while an
  // HTTP transport is selected.
  uint8_t TransportMode() const;
  bool DirectTcp() const;
  // The data server behind a web server or proxy, as the web server or proxy reaches
  // it (set by the "ServerProxiedAddress" and "ServerProxiedPort" command-line keys,
  // by selecting the HTTP transport, by SetupWebTunnel and by a server reconnect).
  const std::string& ProxiedAddress() const;
  void SetProxiedAddress(const std::string& value);
  int ProxiedPort() const;
  void SetProxiedPort(int value);
  TRdaEncryption ActiveEncryption() const;
  int PendingReplies() const;
  bool WaitingForOpen() const;
  int LastSocketError() const;
  int LoginAttempts() const;
  // Opens attempted, less the ones that failed with a socket error.
  int ConnectAttempts() const;
  int64_t BytesOutTotal() const;
  int64_t BytesInTotal() const;
  // The reply slot: the reply or error text a waiting caller takes after its wait.
  const std::string& ReplyText() const;
  void SetReplyText(const std::string& value);
  bool ReplyIsError() const;
  void SetReplyIsError(bool value);
  // Set by requests that want a server SQL error raised while they wait.
  bool RaiseSqlImmediately() const;
  void SetRaiseSqlImmediately(bool value);
  // Set by requests that read the server's error text themselves after their wait.
  bool CallerTakesErrors() const;
  void SetCallerTakesErrors(bool value);
  int32_t SessionId() const;
  void SetSessionId(int32_t id);
  // The version the server reported; 0 until it has.
  double ServerVersion() const;
  // "address:port" of the anchor server to go back to after a redirected connection
  // drops; empty when not redirected.
  const std::string& AnchorReturnAddress() const;
  // Parameters sent with the login; the connection owns them.
  TRdaParamList& LoginParams();
  // The server's lists for instant messaging (RdaClientCore.h): the contacts (one
  // field "Contact", its index current), the users logged in (without this
  // connection's own user) and the messages that waited for this user. Null until
  // the server sent the first; owned by the connection.
  TRdaDataSet* Contacts() const;
  TRdaDataSet* UserList() const;
  TRdaDataSet* WaitingMail() const;
  // The metadata cache: whether one is held, and its entry `name` (raises
  // Exception "MetaData Not Cached!" or name + " not found in cache"). The entry
  // lives until the next cache arrives.
  bool MetaDataCached() const;
  TRdaDataSet& GetCachedMetaData(std::string_view name);
  // Optional trigger settings sent with the login as "~RdaTrigger"; null by default.
  TRdaParamList* TriggerParams();
  void SetTriggerParams(std::unique_ptr<TRdaParamList> params);
  TRdaSmartWait& SmartWait();

  // Where messages, questions and dialogs go; not owned. Null (the default) selects
  // the connection's own TRdaHeadlessUserInterface.
  TRdaUserInterface& UserInterface();
  void SetUserInterface(TRdaUserInterface* ui);
  // The command-line parameters (without the program) that Loaded() reads and a
  // client update starts the program again with; by default the application's
  // arguments.
  void SetCommandLine(std::vector<std::string> parameters);
  // The running program's file: its name is the default ApplicationName and shows in
  // the update window, and its folder receives what the server sends to be written
  // (a new program, the patcher, files in segments). By default the application's.
  void SetProgramFile(std::string path);

  // ---- Client updates ---------------------------------------------------------------
  //
  // A server may replace the running program with a newer one. Token 39 starts the
  // update: the user interface shows the update window (ClientUpdateStarted) and
  // ProgressBar is set, so that the window follows the file as it arrives. Token 38
  // brings the file: the window closes, a waiting request stops waiting, and
  //   - without PatchFile: the file is written beside the program (TempFile.exe, all
  //     of it, or the update is refused), a restart script is started that puts it in
  //     place once the program has ended and starts the program again with its
  //     command line, and the application is asked to end;
  //   - with PatchFile: the file is saved as PatchFile, and a script that runs the
  //     patcher on it is written; OnAutoClientUpgrade may change its lines, or keep
  //     the program running (handled) instead of starting it.
  // Files sent in segments (OnFileSegmentArrive) go below the program's folder; a name
  // that is absolute or holds ".." is refused. Failures raise (ERdaProtocolError to a
  // waiting caller, else OnException) and leave the program and its files as they
  // were. See docs/connection.md and RdaClientUpdate.h.
  bool UpdateInProgress() const;

  // ---- HTTP tunnelling ----------------------------------------------------------------
  //
  // TransportMode 2 carries every message as an HTTP POST to the tunnelling extension
  // of a web server: through the platform HTTP client (WebServer().WinInet(), form 1)
  // or as a hand-built HTTP/1.0 request on the connection's socket, which is then
  // connected to the web server (form 2). TransportMode 1 (the "HTTP" command-line
  // key) sends hand-built requests through an HTTP proxy at Address:Port to the data
  // server at the proxied address and port (form 3). In both modes:
  //   - no login and no version request is sent on connect (a stateless session logs
  //     in through its session header, WebServer().AddCookie());
  //   - a request that waits for its reply waits until the response to it is complete,
  //     whether or not the connection was open when it was sent;
  //   - requests go one at a time, in order; hand-built ones that find the socket busy
  //     or closed wait in the Outbox, and the connection opens itself to send them;
  //   - an error page of the web server or extension makes the connection inactive and
  //     raises ERdaConnectException "10061: Connection refused.  Verify that a server is
  //     available." (or hands that text to OnCustomSQLError); a platform HTTP client
  //     request that fails raises rda::Exception with the reason, "<status text>
  //     (<status>)" for a status of 300 or above;
  //   - ReplyTimeout also bounds a response that stops arriving when nobody waits for
  //     it: the connection is closed and the error reported.
  // With the platform HTTP client, opening the connection (SetActive, OpenAndWait)
  // connects nothing: it makes the connection usable at once, and each message opens
  // its own request. See docs/connection.md.

  // The settings of the HTTP carriage; SetWebServer copies them (TRdaWebServer::Assign).
  TRdaWebServer& WebServer();
  const TRdaWebServer& WebServer() const;
  void SetWebServer(const TRdaWebServer& value);
  // Points the connection at a web server's tunnelling extension: TransportMode 2,
  // Address cleared, Host and Port := the web server, DirectTcp false; the web server
  // settings and the proxied address and port := the arguments. UseWebServer is left
  // as it is. An open connection in another transport mode is closed first.
  void SetupWebTunnel(const std::string& webServerAddress, const std::string& dataServerAddress,
                      const std::string& path, uint16_t webServerPort, uint16_t dataServerPort);
  // [""] A proxy user name or password adds Basic proxy authorisation to the
  // hand-built proxy requests (TransportMode 1).
  const std::string& ProxyUserName() const;
  void SetProxyUserName(const std::string& value);
  const std::string& ProxyPassword() const;
  void SetProxyPassword(const std::string& value);
  // [""], [0] A SOCKS 5 proxy for the platform HTTP client's requests. Without one the
  // requests use the application's proxy setting (QNetworkProxy::applicationProxy,
  // which QNetworkProxyFactory::setUseSystemConfiguration points at the system's).
  const std::string& SocksHost() const;
  void SetSocksHost(const std::string& value);
  int SocksPort() const;
  void SetSocksPort(int value);

  // ---- Life ------------------------------------------------------------------------

  // Call once the settings are in place (after creating and configuring the object):
  // runs ConnectAction. caNone: nothing. caUseDesignAddress: connect to the stored
  // address. caFastConnect: ask for the address (AskServerAddress), then connect.
  // caFastConnectCombo: take it from the address list (ChooseIPAddress), then connect.
  // caCustomConnect: clear Address, Host and Port, fire OnCustomConnect, connect when
  // it set an address or host and a port, else show "The Server Address and Port have
  // not been set properly." and end the application. Before connecting, "LOCAL" in
  // the address means 127.0.0.1, "address:port" is split, a name goes to Host, and the
  // command-line keys "Port=", "HTTP", "ServerProxiedAddress", "ServerProxiedPort",
  // "IPAddress", "Compression" and "Login" override the settings.
  void Loaded();
  // Starts connecting and runs the event loop until the connection is up (including
  // the login), a socket error is reported, or a reply ends the wait. Returns nothing:
  // look at Active(). Raises what the connect raised (ESocketError for a refused port).
  void OpenAndWait();
  // Closes and runs the event loop until the connection is closed (at most 5 seconds
  // for unsent bytes to leave; then it is cut).
  void CloseAndWait();

  // ---- Requests and replies ----------------------------------------------------------

  // Composes, packs, frames and writes one message. With waitForReply on a
  // non-blocking connection, runs the event loop until the reply ends the wait, then
  // raises whatever ended it abnormally: an error raised while the reply was handled,
  // ERdaConnectException "Disconnected from server!" when the connection dropped
  // first, or the ReplyTimeout error. A second request that waits, sent while one
  // waits, raises ERdaConnectException "A request is already waiting for its reply."
  // and is not sent. On a blocking connection the frame is queued for
  // BlockingExchange.
  void SendMessage(TRdaStringLine& line, bool waitForReply);
  // Blocking connections: opens a connection, writes every queued frame behind the
  // marker FF FF FF FF, reads and handles the replies until the server closes or
  // `timeoutMs` passes without data, closes, and returns (and clears) ReplyText.
  // Raises "No Data to send!" with nothing queued, the open error's text when the
  // connection cannot be opened (the queue is cleared), and "Blocking Socket Time out"
  // when no data comes back (the queue is kept for the next exchange).
  std::string BlockingExchange(int timeoutMs);
  // Ends the current reply wait: at once with `force`, else when no other reply is
  // outstanding.
  void EndReplyWait(bool force);
  // With ReplyIsError: "[RDA SERVER ERROR]" + ReplyText, and clears both; else "".
  std::string TakeServerError();
  // Token 15 (msgId, text), no wait. On a blocking connection runs BlockingExchange
  // and raises rda::Exception with the reply text when there is one.
  void SendCodedMessage(int32_t msgId, const std::string& text);
  // Token 28 (msgId, the list's text form or "" without a list, reply flag). Raises
  // "Not Connected to Server" on a closed non-blocking direct connection. With
  // wantReply, waits and returns (and clears) ReplyText.
  std::string SendCodedParamList(int32_t msgId, const TRdaParamList* list, bool wantReply);
  // Token 48 (code, text), no wait. Code 6 asks for the server version.
  void SendServerUtilityRequest(int32_t code, const std::string& text);

  // ---- Components ------------------------------------------------------------------

  // The id under which replies for `component` are routed: its id when registered,
  // else the next id (from 1, never reused). Null gives -1.
  int ComponentId(TRdaComponent* component);
  // The component registered under `id`, or null.
  TRdaComponent* ComponentById(int id) const;
  // Forgets the id of `component`: messages carrying it are ignored from now
  // on, and the component gets a new id when it asks again. A bound dataset
  // stays bound.
  void ReleaseComponentId(TRdaComponent* component);
  // Datasets bound to this connection are reopened after a connect when they put an
  // open off (TRdaComponent::TakeDeferredOpen). Not owned; unbinding is automatic when
  // the component is destroyed.
  void BindDataset(TRdaComponent* dataset);
  void UnbindDataset(TRdaComponent* dataset);

  // A new connection with this one's settings except those each connection keeps for
  // itself (the [own] members of TRdaConnectionSettings: the login and connect
  // behaviour, keep-alive, the dialect and transaction statements, ...), its
  // transport, transforms and session, and its handlers of OnEncrypt, OnDecrypt,
  // OnCompress, OnDecompress, OnSQLError, OnCustomSQLError, OnCustomSQLSyntax, OnError,
  // OnDisconnect, OnReadProgress, OnWinInetStatus, OnStatelessPacketEvent and
  // OnLoginParamsAttempt
  // (see CopyConnectionTo).
  std::unique_ptr<TRdaClientSocket> CloneConnection();
  // The copying step of CloneConnection into an existing copy. When this connection
  // has no session id and the copy has one, this connection takes the copy's.
  void CopyConnectionTo(TRdaClientSocket& copy);

  // ---- Events ----------------------------------------------------------------------
  //
  // The events (OnConnectStatusChange, OnChatMessage, OnSQLError, ...) are the members
  // of TRdaClientEvents (RdaClientEvents.h), which this class derives from.

 private:
  // Tests reach the protocol core of a connection through a test peer of their own.
  friend class TRdaClientSocketTestPeer;
  TRdaClientCore& C();
  const TRdaClientCore& C() const;
  std::unique_ptr<TRdaClientSocketPrivate> d_;
};

}  // namespace rda
