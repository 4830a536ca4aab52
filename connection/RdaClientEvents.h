// The events of a connection: what it tells the application.
//
// Each is an optional handler (a std::function), checked before each call. They are
// members of TRdaClientSocket (which derives from this struct), so that an
// application sets them as s.OnChatMessage = ...; the protocol core fires them.
// A handler may call back into the connection, but must not destroy it.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "connection/RdaTransport.h"
#include "messaging/RdaBodyTransforms.h"

namespace rda {

class TRdaParamList;
class TRdaDataSet;
class TDataSet;

struct TRdaClientEvents {
  // Each time AnchorStatus is set, with its text.
  std::function<void(const std::string& connectStatus)> OnConnectStatusChange;
  // The login reply, when OnLoginParamsAttempt is not set.
  std::function<void(bool clientVerified)> OnLoginAttempt;
  // The login reply with the server's parameters.
  std::function<void(bool clientVerified, TRdaParamList& serverParams)> OnLoginParamsAttempt;
  // Per message sent / received: the body before any transform, its length, the total.
  TRdaBodyTransforms::TRdaBytesEvent OnBytesOutEvent;
  TRdaBodyTransforms::TRdaBytesEvent OnBytesInEvent;
  // While reading (and writing) with ProgressBar set.
  std::function<void(int64_t expected, int64_t received)> OnReadProgress;
  std::function<void(const std::string& s)> OnChatMessage;
  std::function<void(const std::string& s)> OnServerBroadcast;
  // A server SQL error text.
  std::function<void(const std::string& s)> OnSQLError;
  std::function<void(int32_t msgId, const std::string& s)> OnCodedMessage;
  std::function<void(int32_t msgId, TRdaParamList& params)> OnCodedParamList;
  std::function<void(int32_t code, TRdaParamList& params)> OnServerUtilityInfoEvent;
  // Never fired; kept with the other events.
  std::function<void(int32_t msgId, TRdaParamList& params)> OnObjectFromServer;
  std::function<void(int32_t msgId, const std::string& stream)> OnCodedStream;
  std::function<void(int32_t token, const std::string& objectName, TRdaParamList& object)>
      OnCustomObject;
  std::function<void(int32_t errorToken, TRdaParamList& errors, bool& handled)>
      OnServerAsyncException;
  // A server SQL error that carries a parameter list.
  std::function<void(TRdaParamList& params)> OnCustomSQLError;
  // Writing a field's value into generated SQL (remotedata/RdaSqlUtils.h): `sender`
  // is the dataset the statement is for, `ds` the dataset holding the value (the
  // dataset itself or its change log). Set `handled` to have `result` used as the
  // value's SQL text as it stands.
  std::function<void(TDataSet& sender, TDataSet& ds, const std::string& fieldName,
                     std::string& result, bool& handled)>
      OnCustomSQLSyntax;
  // The server ends this client; set handled to keep the connection and the
  // application.
  std::function<void(const std::string& msgFromServer, bool& handled)>
      OnTerminateMessageFromServer;
  std::function<void(int32_t msgId, TRdaParamList& incomingMessage)> OnInstantMessage;
  // Instant messages waited on the server for this user (at a verified login, or
  // -75011): `waitingMail` is the connection's waiting-mail dataset. Setting
  // `deleteMessages` asks the server to drop them (-75010).
  std::function<void(TRdaDataSet& waitingMail, bool& deleteMessages)> OnInstantMessagingWaiting;
  // A step of a platform HTTP client request, as a WinInet status code
  // (WinInetStatusText in RdaHttpTunnel.h gives its text). Reported: 20 connecting, 21
  // connected (HTTPS only), 30 sending, 31 sent, 40 receiving, 41 received, 100
  // complete, 110 redirected. Without a handler, and with WebServer().WinInetToStatusBar
  // set when the HTTP transport was selected, the texts go to panel 1 of StatusBar.
  std::function<void(uint32_t status)> OnWinInetStatus;
  // The body transform hooks (see TRdaBodyTransforms).
  TRdaBodyTransforms::TRdaStatelessPacketEvent OnStatelessPacketEvent;
  TRdaBodyTransforms::TRdaClientDataStringEvent OnEncrypt;
  TRdaBodyTransforms::TRdaClientDataStringEvent OnDecrypt;
  TRdaBodyTransforms::TRdaClientDataStringEvent OnCompress;
  TRdaBodyTransforms::TRdaClientDataStringEvent OnDecompress;
  // ConnectAction caCustomConnect: set Address or Host and Port here.
  std::function<void()> OnCustomConnect;
  // Socket events, before the connection's own handling.
  std::function<void()> OnLookup;
  std::function<void()> OnConnecting;
  std::function<void()> OnConnect;
  std::function<void()> OnDisconnect;
  std::function<void()> OnRead;
  std::function<void()> OnWrite;
  // A socket error; when set, the connection does nothing more about the error than
  // record it in LastSocketError (a lost connection is still handled when the socket
  // reports it closed).
  std::function<void(TErrorEvent kind, int errorCode)> OnError;
  // A patch update has arrived (PatchFile set): `update` is its bytes (already saved
  // as PatchFile), `batchFileList` the lines of the script that will run the patcher
  // and start the program again; the handler may change them. Setting `handled`
  // keeps the program running: the script is written but not started.
  std::function<void(const std::string& update, std::vector<std::string>& batchFileList,
                     bool& handled)>
      OnAutoClientUpgrade;
  // A segment of a file the server sends arrived: its bytes (currentSize) and the
  // file's size with them (totalSize), and the size the server announced (fileSize);
  // fired before they are written. Once the last segment is written the file is put
  // in place and the event fires with -1, -1, -1.
  std::function<void(const std::string& localFileName, int64_t currentSize, int64_t totalSize,
                     int64_t fileSize)>
      OnFileSegmentArrive;
  // An error raised while a socket event was handled and no caller was waiting.
  std::function<void(const std::exception& error)> OnException;
};

}  // namespace rda
