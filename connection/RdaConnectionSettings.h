// The settings of a connection, in one plain struct.
//
// TRdaClientSocket keeps one TRdaConnectionSettings; its property getters and setters
// read and write the members (a setter with an effect, such as SetKeepAlivePing or
// SetSQLDialect, also does it). Each member says its default in brackets.
//
// Copying. A copy of a connection (CloneConnection, and the copying step a dataset runs
// each time it reuses its private copy) takes the whole struct except the members
// marked [own]: those belong to each connection object and keep their value in the
// copy (TakeSharedSettings). The transforms' settings (encryption, compression, keys)
// live in TRdaBodyTransforms and are copied through its setters.
//
// The enumerations here are the stored property values: never renumber them.
#pragma once

#include <cstdint>
#include <string>

#include "base/EnumSet.h"
#include "connection/RdaUserInterface.h"

namespace rda {

enum TClientType : uint8_t { ctNonBlocking = 0, ctBlocking };

// What TRdaClientSocket::Loaded() does.
enum TRdaConnectAction : uint8_t {
  caNone = 0,
  caUseDesignAddress,
  caFastConnect,
  caFastConnectCombo,
  caCustomConnect
};

// The ordinal of the first two travels in the login message.
enum TLoginType : uint8_t { ltLoginDlg = 0, ltLoginNoDlg = 1, ltNoChallenge = 2 };

// The connection state as the user sees it; TRdaClientSocket::AnchorStatusText gives
// its text.
enum TClientAnchorStatus : uint8_t {
  TACNoAnchor = 0,
  TACConnectedToAnchor,
  TACConnectedToServer,
  TACDisconnectedFromAnchor,
  TACDisconnectedFromServer,
  TAAnchorReDirect
};

// The connection's own life: Inactive -> Opening -> Connected -> Closing -> Inactive.
enum class TRdaConnectionState : uint8_t { Inactive, Opening, Connected, Closing };

// How server SQL errors and socket errors are reported.
enum TRdaSQLError : uint8_t {
  seAsExceptions = 0,          // record server SQL errors for the caller / raise them
  seToStatusBar,               // with seAsExceptions: show them in panel 1 as well
  seNoExceptionOnDisconnect,   // losing the connection raises nothing
  seSocketErrorNoException,    // show the four explained socket errors instead of raising
  seRouteCookieErrorsToLogin,  // stateless-session errors go to OnLoginParamsAttempt
};
using TRdaSQLErrorSet = TSet<TRdaSQLError>;

// SQL text options used by the datasets; bit n of the stored 16-bit set is value n.
enum TRdaServerSQLOption : uint8_t {
  ssUseQuotesInFieldNames = 0,
  ssTableNameInInsertStatments = 1,
  ssBooleanAsInteger = 2,
  ssUSDatesForLocalSQL = 3,
  ssTerminateWithSemiColon = 4,
  ssNoQuotesInDates = 5,
  ssDoubleQuoteStrings = 6,
  ssUseISInNuLLcompares = 7,
  ssNoTableNameInUpdateStatements = 8,
  ssBracketsInFieldNames = 9,
};
using TRdaServerSQLOptions = TSet<TRdaServerSQLOption>;

enum TSQLDialect : uint8_t {
  sqlNone = 0,
  sqlLocalSQL,
  sqlDBISAM,
  sqlAccess,
  sqlMSSQLServer,
  sqlOracle,
  sqlAdvantage,
  sqlSQLAnywhere,
  sqlInterbase,
  sqlCustom
};

enum TRdaUpdateSQL : uint8_t { usODBC = 0, usBDE = 1, usAccess = 2, usODBCOld = 3, usOracle = 4 };

enum TServerMetaCacheOptions : uint8_t { smNoCache = 0, smFetchOnValidate = 1, smLoadFromFile = 2 };

// Certificate errors that HTTPS requests of the platform HTTP client ignore.
enum TRdaSSLOption : uint8_t {
  soIgnoreInvalidCertDate = 0,  // expired or not yet valid
  soIgnoreInvalidCertName,      // issued for another host name
  soIgnoreInvalidCertCA,        // self-signed or issued by an unknown authority
};
using TRdaSSLOptions = TSet<TRdaSSLOption>;

// The settings of the HTTP carriage (TRdaWebServer reads and writes them; see there
// for what each means).
struct TRdaWebServerSettings {
  bool AddCookie = false;            // [false] stateless mode: session headers
  bool WinInet = true;               // [true] form 1 (platform HTTP client), else form 2
  bool WinInetToStatusBar = false;   // [false] HTTP client steps in panel 1
  bool UseSSL = false;               // [false] form 1 uses HTTPS
  TRdaSSLOptions SSLOptions;         // [{}] certificate errors HTTPS ignores
  std::string WebServerAddress;      // [""]
  uint16_t WebServerPort = 80;       // [80] (0 means 80 as well)
  std::string RdaServerAddress;      // [""] the data server as the web server sees it
  uint16_t RdaServerPort = 9000;     // [9000]
  bool UseWebServer = false;         // [false] the HTTP transport is selected
  bool Authenticate = false;         // [false] kept and copied
  std::string ProxyUserName;         // [""] kept and copied
  std::string ProxyPassword;         // [""] kept and copied
  std::string RdaHttpDll = "scripts/Rdahttp.dll";  // ["scripts/Rdahttp.dll"] no leading "/"
  uint16_t Timeout = 5;              // [5] sent in form 1's query; no limit of ours
};

// TLS on a direct TCP connection. Off, the connection's bytes are exactly the system's
// own; on, the same frames travel inside TLS 1.2 or later, the server's certificate
// must chain to a trusted certificate and name the host connected to (Address, else
// Host). The HTTP carriages have their own (TRdaWebServerSettings::UseSSL).
struct TRdaTlsSettings {
  bool Enabled = false;  // [false]
  std::string CaFile;    // [""] PEM certificates to trust instead of the system's store
};

struct TRdaConnectionSettings {
  // ---- The server ----------------------------------------------------------------------
  std::string Address = "127.0.0.1";  // ["127.0.0.1"] a host name here is resolved as well
  std::string Host;                   // [""] used when Address is empty
  int Port = 9000;                    // [9000]
  std::string Service;                // [""] [own] kept for the settings it was stored with
  TClientType ClientType = ctNonBlocking;                // [ctNonBlocking] [own]
  TRdaConnectAction ConnectAction = caFastConnectCombo;  // [caFastConnectCombo] [own]

  // ---- Login ---------------------------------------------------------------------------
  TLoginType AutoLoginDlg = ltNoChallenge;  // [ltNoChallenge] [own]
  std::string UserName;                     // [""]
  std::string Password;                     // [""]
  int LoginMaxAttempts = 0;                 // [0] [own] 0 = no limit and no retry
  std::string ApplicationName;              // [""] [own] "" = the program's file name
  std::string ApplicationVersion;           // [""] [own]
  std::string PatchFile;                    // [""] [own]

  // ---- Traffic -------------------------------------------------------------------------
  int KeepAlivePing = 0;                       // [0] [own] minutes; 0 = none
  bool ProgressBar = false;                    // [false] report through OnReadProgress
  TWaitingCursor CursorOnQueries = cqNoChange;  // [cqNoChange] [own]
  TRdaSQLErrorSet SQLErrorHandling{seAsExceptions};  // [{seAsExceptions}]
  int ReplyTimeout = 60000;     // [60000] ms of silence a waiting request bears; 0 = none
  int ConnectTimeout = 30000;   // [30000] ms a connect may take; 0 = the system's limit
  int BlockingTimeout = 5000;   // [5000] [own] ms a blocking exchange waits for data
  int WriteChunkSize = 4096;    // [4096] [own] largest single socket write
  TRdaTlsSettings Tls;          // [off] TLS on direct TCP connections

  // ---- SQL -----------------------------------------------------------------------------
  TSQLDialect SQLDialect = sqlNone;       // [sqlNone] [own]
  TRdaServerSQLOptions SQLOptions;        // [{}]
  TRdaUpdateSQL UpdateSQLSyntax = usBDE;  // [usBDE]
  std::string DateMaskForSQL;             // [""]
  std::string TimeMaskForSQL;             // [""]
  std::string DateTimeMaskForSQL;         // [""]
  std::string SQLTransactionStart = "BEGIN TRANSACTION";  // ["BEGIN TRANSACTION"] [own]
  std::string SQLTransactionEnd = "COMMIT";               // ["COMMIT"] [own]

  // ---- Metadata cache and kept values ----------------------------------------------------
  TServerMetaCacheOptions CacheMetaDataOptions = smNoCache;  // [smNoCache] [own]
  std::string CacheMetaDataFileName;  // [""] [own]
  std::string DTUserName;             // [""] [own]
  std::string DTPassword;             // [""] [own]
  std::string UserKey;                // [""] [own]
  std::string About;                  // [""] [own]

  // ---- Proxies (the copy of a connection goes the same way) -------------------------------
  std::string ProxyUserName;  // [""] Basic proxy authorisation of the hand-built proxy form
  std::string ProxyPassword;  // [""]
  std::string SocksHost;      // [""] a SOCKS 5 proxy for the platform HTTP client
  int SocksPort = 0;          // [0]

  // ---- The HTTP carriage --------------------------------------------------------------------
  TRdaWebServerSettings WebServer;
};

// The copying step of a connection: `copy` takes every setting of `source` except the
// [own] ones, which keep the value they have in `copy`.
void TakeSharedSettings(const TRdaConnectionSettings& source, TRdaConnectionSettings& copy);

}  // namespace rda
