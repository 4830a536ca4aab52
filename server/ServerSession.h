// One client's conversation with the server, without any I/O.
//
// The socket layer hands received bytes to Append and writes what Step
// returns; server-initiated messages are composed string lines that Frame
// packs and frames for this client. Tests and the fuzz target drive a
// session the same way, with bytes in and bytes out.
//
// Requests answered (component id of the reply = that of the request):
//
//   token  request                           answer
//   3      SQL select                        1 field descriptions, then 5 row packet; or 6
//   46     select, other field order         as 3
//   33     fetch the next packet             5 with indicator -1 (more) or -2 (last)
//   34     close the cursors of a component  none
//   17     login                             17: 1 = verified / 0, list of server parameters;
//                                            then, after a verified login, the patcher (48
//                                            code 15) when asked for and a newer program
//                                            (39, 38) when one is published (ClientUpdates.h)
//   48     server utility request            code 6: 48 with code 6 and the version;
//                                            code 19: 15 with -99999999 "ping"
//   15     coded message                     15 echoed; -1 (keep-alive) and -99999999
//                                            (ping answer) only counted
//   28     coded parameter list              28 echoed with its reply flag; 64 for a
//                                            list that does not read; -75010 none
//   23     metadata, provider, server method 1 and 5 (the result, ServerCatalog.h); a
//                                            method with output parameters adds 30; or 6
//   27     stored procedure                  30 with its output parameters, 1, 5; or 6
//   28 -75014 instant message                to its recipient's sessions (28 -75014), or
//                                            kept as waiting mail when none is logged in
//   48 code 13                               48 code 13: the metadata cache
//   29     statement list                    28 -75007 rows affected, 35 rows read back, 4;
//                                            or 6 naming the failing statement (ServerApply.h)
//   31     transaction over datasets         as 29; a partial success: 6 with the failed rows
//   36 45 provider updates, 44 registration  ServerProviderUpdates.h
//   anything else                            ignored
//
// Connection rules: a stream that cannot be cut into frames (a bad length,
// or more than maxRequestBytes waiting for one frame) ends the session
// (Closing::kNow once the answers so far are written); a frame whose body
// does not unpack or parse is dropped and the session goes on. A refused
// login is answered and then the session ends, so that the client's
// reconnect logs in anew. A blocking client (one whose stream starts with
// FF FF FF FF) gets its answers and then the connection is closed once the
// client has been quiet for a moment (Closing::kWhenQuiet); an exchange that
// produced no answer is acknowledged with token 4, so that such a client
// always has something to read.
//
// Not thread-safe, except Info(), which the control port reads from another
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "server/RowPacket.h"
#include "server/ServerDatabase.h"

namespace rda {

class TRdaParamList;
class ServerPresence;
class LoginThrottle;
class ProviderBroadcasts;
struct Definition;
struct CatalogQuery;
struct ApplyResult;

// Settings every session of a server shares (read-only while sessions run).
struct SessionSettings {
  TRdaEncryption encryption = etNoEncryption;
  std::string key;             // DES key text
  bool zlib = false;           // whole message bodies as zlib streams
  std::string version = "1.0"; // answer to server utility code 6
  // Fixed credentials; when user is empty the users table "RdaUsers"
  // (UserName, Password; UserTable.h) decides, and without it every login is
  // accepted, unless anonymousLogins is off.
  std::string user;
  std::string password;
  bool anonymousLogins = true;
  bool requireLogin = false;   // refuse data requests before a verified login
  // Slows down repeated failed logins from one address; none: no delay.
  // Must outlive the sessions.
  LoginThrottle* throttle = nullptr;
  size_t maxRequestBytes = 16 * 1024 * 1024;
  size_t maxResultBytes = 64 * 1024 * 1024;  // row text of one packet
  size_t maxCursors = 32;
  // The folder of published client programs (ClientUpdates.h); empty = none.
  std::string updatesDir;
  // Who is logged in (user list, instant messages); none: sessions know only
  // themselves. Must outlive the sessions.
  ServerPresence* presence = nullptr;
  // Who is registered for provider broadcasts (ServerProviderUpdates.h); none:
  // provider changes reach no other client. Must outlive the sessions.
  ProviderBroadcasts* broadcasts = nullptr;
};

enum class LoginState { kNone, kVerified, kRefused };

// What the control port shows about a session.
struct SessionInfo {
  int id = 0;
  std::string peer;
  std::string user;
  std::string application;
  std::string applicationVersion;
  LoginState login = LoginState::kNone;
  uint64_t requests = 0;
  uint64_t keepAlives = 0;
  uint64_t pingAnswers = 0;
  bool blocking = false;
};

class ServerSession {
 public:
  enum class Closing { kNo, kNow, kWhenQuiet };

  // The session owns its database connection; settings must outlive it.
  ServerSession(const SessionSettings& settings, std::unique_ptr<SqlConnection> db, int id,
                std::string peer);
  ~ServerSession();
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  // Adds received bytes. A stream that cannot be framed sets Closing::kNow.
  void Append(std::string_view bytes);
  // True while complete requests wait for Step.
  bool HasWork() const { return stack_.HasMessages() && closing_ != Closing::kNow; }
  // Handles the oldest complete request and returns the frames to send.
  std::string Step();
  // Append, then Step until no work is left; the frames of all answers.
  std::string Receive(std::string_view bytes);

  // Packs and frames a composed string line (a server-initiated message).
  // Returns the empty text when the body cannot be packed.
  std::string Frame(std::string body);

  Closing CloseState() const { return closing_; }
  const std::string& CloseReason() const { return closeReason_; }
  // True once a complete frame has arrived (the handshake is over).
  bool SeenRequest() const { return seenRequest_; }
  // Bytes received that do not yet form a complete frame.
  size_t PendingBytes() const { return stack_.Used() + (streamStart_.size() % 4); }
  size_t OpenCursors() const { return cursors_.size(); }

  SessionInfo Info() const;

  // Diagnostics for the server's log; called when assigned.
  std::function<void(const std::string& text)> OnLog;
  // Queues a composed string line for this session's client from another
  // thread (instant messages, user lists); set before the first request.
  std::function<void(std::string body)> OnPush;

 private:
  struct Cursor {
    int componentId = 0;
    SqlStatement stmt;
    std::vector<ColumnSpec> columns;
    std::optional<SqlRow> next;  // the row read ahead
  };
  struct Packet {
    std::vector<SqlRow> rows;
    std::optional<SqlRow> next;  // set when more rows follow
  };

  void Feed(std::string_view bytes);
  void Dispatch(TRdaStringLine& line, std::string& out);
  void Select(int id, const std::string& sql, int rows, int options, const std::string& dbAndParams,
              std::string& out);
  // Runs sql (UTF-8) with params and sends its result; the first row read and
  // the columns go to firstRow and columns when given.
  void RunSelect(int id, const std::string& sql, int rows, int options, const TRdaParamList* params,
                 std::string& out, std::optional<SqlRow>* firstRow = nullptr,
                 std::vector<ColumnSpec>* columns = nullptr);
  void RunQuery(int id, const CatalogQuery& query, int rows, int options, std::string& out);
  void MetaData(int id, const std::vector<std::string>& f, std::string& out);
  void StoredProcedure(int id, const std::vector<std::string>& f, std::string& out);
  // Runs a procedure or method and sends its result, its output parameters
  // (token 30) before the result (outputsFirst) or after it.
  void RunDefinition(int id, const Definition& d, const TRdaParamList& params, int rows, int options,
                     bool outputsFirst, std::string& out);
  void MetaDataCache(int id, std::string& out);
  void UserList(int id, std::string& out);
  void InstantMessage(const std::vector<std::string>& f, std::string& out);
  void AddLoginLists(TRdaParamList& params, const std::string& user);
  void Fetch(int id, int handle, int rows, int options, std::string& out);
  void CloseCursors(int componentId);
  void Login(TRdaStringLine& line, std::string& out);
  void SendClientUpdate(const std::string& application, const std::string& versionAndParams,
                        std::string& out);
  void CodedMessage(int id, const std::vector<std::string>& f, std::string& out);
  void CodedParamList(int id, const std::vector<std::string>& f, std::string& out);
  void UtilityRequest(int id, const std::vector<std::string>& f, std::string& out);
  // Tokens 29 and 31 (ServerApply.cpp): rows affected (28 -75007), rows read back
  // (35), then 4; or 6 with the error, or with the failed rows of a partial success.
  void ApplyChanges(int token, int id, const std::vector<std::string>& f, std::string& out);
  void SendApplied(int id, const ApplyResult& result, std::string& out);
  // Provider updates and broadcasts (ServerProviderUpdates.cpp): tokens 44, 36, 45.
  void ProviderRegistration(int id, const std::vector<std::string>& f);
  void ProviderUpdate(int id, const std::vector<std::string>& f, std::string& out);
  void ProviderTransaction(int id, const std::vector<std::string>& f, std::string& out);
  void ReplyToProviderWrite(int id, const std::string& error,
                            const std::vector<std::pair<int, std::string>>& readBacks, std::string& out);

  // Reads up to `rows` rows (all when rows <= 0) after `first`, plus one to
  // learn whether more follow; raises when the row text would pass the limit.
  Packet ReadPacket(SqlStatement& stmt, std::optional<SqlRow> first, int rows);
  std::string RowText(const std::vector<ColumnSpec>& columns, const Packet& packet);
  void SendPacket(int id, int indicator, std::string rows, int options, std::string& out);
  void SendError(int id, const std::string& text, std::string& out);
  void Send(TRdaStringLine& line, std::string& out);
  bool CheckCredentials(const std::string& user, const std::string& password);
  void Log(const std::string& text);
  void Close(Closing how, const std::string& reason);

  const SessionSettings& settings_;
  std::unique_ptr<SqlConnection> db_;
  TRdaMessageStack stack_;
  TRdaBodyTransforms transforms_;
  std::map<int, Cursor> cursors_;
  int nextCursor_ = 1;
  Closing closing_ = Closing::kNo;
  std::string closeReason_;
  bool seenRequest_ = false;
  std::string streamStart_;  // the first bytes, to spot a blocking client
  bool answeredInExchange_ = false;
  // Copies of info_ fields for this session's own thread, read without the lock.
  const int id_;
  bool blocking_ = false;
  bool verified_ = false;
  std::string userName_;  // the verified login's user, code page
  bool present_ = false;  // joined the presence

  mutable std::mutex infoMutex_;
  SessionInfo info_;
};

}  // namespace rda
