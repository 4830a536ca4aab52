#include "server/ServerSession.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/Exception.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaWire.h"
#include "messaging/RdaZLib.h"
#include "server/ClientUpdates.h"

namespace rda {

namespace {

// Requests of the dataset layer this server does not carry out; each waits
// for an answer, so it gets an error instead of silence.
bool IsUnsupportedRequest(int token) {
  switch (token) {
    case tkMetaData: case tkStoredProc: case tkExecuteSql: case tkTransaction:
    case tkApplyUpdates: case tkProviderTransaction:
      return true;
    default:
      return false;
  }
}

constexpr size_t kValueOverhead = 10;  // marker, length and separator bytes around a value

std::string ToUtf8(const std::string& text) { return HasHighBytes(text) ? Cp1252ToUtf8(text) : text; }
std::string ToCodePage(const std::string& text) {
  return HasHighBytes(text) ? Utf8ToCp1252(text) : text;
}

// The fields of a parsed line, as many as its header names.
std::vector<std::string> ReadFields(TRdaStringLine& line) {
  const int count = line.FieldCount();
  std::vector<std::string> fields;
  for (int i = 0; i < count; ++i) fields.push_back(line.NextFieldText());
  return fields;
}

const std::string& FieldAt(const std::vector<std::string>& f, size_t i) {
  static const std::string kEmpty;
  return i < f.size() ? f[i] : kEmpty;
}

int IntegerAt(const std::vector<std::string>& f, size_t i, int fallback) {
  return StrToIntDef(FieldAt(f, i), fallback);
}

TRdaStringLine MakeLine(int token, int id) {
  TRdaStringLine line;
  line.SetToken(token);
  line.SetMsgId(id);
  return line;
}

size_t RowBytes(const SqlRow& row) {
  size_t n = 1;
  for (const auto& v : row) n += v.bytes.size() + kValueOverhead;
  return n;
}

}  // namespace

ServerSession::ServerSession(const SessionSettings& settings, std::unique_ptr<SqlConnection> db,
                             int id, std::string peer)
    : settings_(settings), db_(std::move(db)), id_(id) {
  info_.id = id;
  info_.peer = std::move(peer);
  if (settings_.encryption == etDESEncrypt) {
    transforms_.SetDESKey(settings_.key);
  } else {
    transforms_.SetEncryption(settings_.encryption);
  }
  if (settings_.zlib) transforms_.SetCompression(acRdaZLib);
}

// Cursors hold statements of the connection, so they go first.
ServerSession::~ServerSession() { cursors_.clear(); }

void ServerSession::Log(const std::string& text) {
  if (OnLog) OnLog(text);
}

void ServerSession::Close(Closing how, const std::string& reason) {
  if (closing_ == Closing::kNow) return;
  closing_ = how;
  closeReason_ = reason;
}

SessionInfo ServerSession::Info() const {
  std::lock_guard<std::mutex> lock(infoMutex_);
  return info_;
}

void ServerSession::Append(std::string_view bytes) {
  if (closing_ == Closing::kNow || bytes.empty()) return;
  if (closing_ == Closing::kWhenQuiet) closing_ = Closing::kNo;  // the exchange goes on
  // The first four bytes tell a blocking client (FF FF FF FF in front of
  // its frames) from any other; the marker itself is no part of a frame.
  if (streamStart_.size() < 4) {
    const size_t take = std::min(bytes.size(), 4 - streamStart_.size());
    streamStart_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (streamStart_.size() < 4) return;
    if (streamStart_ == kBlockingPrefix) {
      blocking_ = true;
      std::lock_guard<std::mutex> lock(infoMutex_);
      info_.blocking = true;
    } else {
      Feed(streamStart_);
    }
  }
  Feed(bytes);
}

void ServerSession::Feed(std::string_view bytes) {
  if (closing_ == Closing::kNow || bytes.empty()) return;
  try {
    stack_.Append(bytes);
  } catch (const std::exception& e) {
    Close(Closing::kNow, e.what());
    return;
  }
  if (stack_.Used() > settings_.maxRequestBytes) {
    Close(Closing::kNow, "a request larger than " + std::to_string(settings_.maxRequestBytes) +
                             " bytes");
  }
}

std::string ServerSession::Receive(std::string_view bytes) {
  Append(bytes);
  std::string out;
  while (HasWork()) out += Step();
  return out;
}

std::string ServerSession::Step() {
  std::string out;
  if (!HasWork()) return out;
  std::string frame = stack_.PopMessage();
  seenRequest_ = true;
  try {
    std::string body = transforms_.UnpackMessage(std::move(frame));
    if (!body.empty()) {
      TRdaStringLine line;
      line.Parse(std::move(body));
      Dispatch(line, out);
    }
  } catch (const std::exception& e) {
    // The frame boundary is intact, so the stream is still usable.
    Log(std::string("dropped a message: ") + e.what());
  }
  if (blocking_ && !stack_.HasMessages() && stack_.Used() == 0 && closing_ == Closing::kNo) {
    if (!answeredInExchange_ && out.empty()) {
      TRdaStringLine ack = MakeLine(tkAcknowledge, 0);
      Send(ack, out);
    }
    answeredInExchange_ = false;
    Close(Closing::kWhenQuiet, "blocking exchange answered");
  }
  return out;
}

void ServerSession::Dispatch(TRdaStringLine& line, std::string& out) {
  const int token = line.Token();
  const int id = line.MsgId();
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    ++info_.requests;
  }
  if (token == tkShortForm) return;  // carries nothing to act on
  if (token == tkLogin) {
    Login(line, out);
    return;
  }
  const std::vector<std::string> f = ReadFields(line);
  const bool dataRequest = token == tkSelect || token == tkSelectAlternative || token == tkFetch;
  std::string reply;
  try {
    if (dataRequest && settings_.requireLogin && !verified_) {
      SendError(id, "Login required", reply);
    } else {
      switch (token) {
        case tkSelect:
          Select(id, FieldAt(f, 0), IntegerAt(f, 1, -1), IntegerAt(f, 2, 0), FieldAt(f, 3), reply);
          break;
        case tkSelectAlternative:
          Select(id, FieldAt(f, 1), IntegerAt(f, 2, -1), IntegerAt(f, 3, 0), FieldAt(f, 0), reply);
          break;
        case tkFetch:
          Fetch(id, IntegerAt(f, 0, 0), IntegerAt(f, 1, -1), IntegerAt(f, 2, 0), reply);
          break;
        case tkCloseCursor:
          CloseCursors(IntegerAt(f, 0, 0));
          break;
        case tkCodedMessage:
          CodedMessage(id, f, reply);
          break;
        case tkCodedParamList:
          CodedParamList(id, f, reply);
          break;
        case tkServerUtility:
          UtilityRequest(id, f, reply);
          break;
        default:
          if (IsUnsupportedRequest(token)) {
            SendError(id, "Request " + std::to_string(token) + " is not supported by this server",
                      reply);
          } else {
            Log("ignored a message with token " + std::to_string(token));
          }
          break;
      }
    }
  } catch (const std::exception& e) {
    // A data request always gets its answer; anything else is only logged.
    reply.clear();
    if (dataRequest) SendError(id, e.what(), reply);
    else Log(std::string("request ") + std::to_string(token) + " failed: " + e.what());
  }
  out += reply;
}

// ---- Selects, packets and cursors -------------------------------------------------

ServerSession::Packet ServerSession::ReadPacket(SqlStatement& stmt, std::optional<SqlRow> first,
                                                int rows) {
  Packet p;
  size_t bytes = 0;
  auto add = [&](SqlRow row) {
    bytes += RowBytes(row);
    if (bytes > settings_.maxResultBytes) {
      throw Exception("The result is larger than " + std::to_string(settings_.maxResultBytes) +
                      " bytes; fetch it in packets (RowsToReturn)");
    }
    p.rows.push_back(std::move(row));
  };
  if (first) add(std::move(*first));
  while (rows <= 0 || p.rows.size() < static_cast<size_t>(rows)) {
    if (!db_->Step(stmt)) return p;
    add(stmt.Row());
  }
  if (db_->Step(stmt)) p.next = stmt.Row();
  return p;
}

std::string ServerSession::RowText(const std::vector<ColumnSpec>& columns, const Packet& packet) {
  std::string text;
  for (const auto& row : packet.rows) AppendRow(text, columns, row);
  AppendEndRow(text);
  return text;
}

void ServerSession::Select(int id, const std::string& sql, int rows, int options,
                           const std::string& dbAndParams, std::string& out) {
  // A new result for a component replaces its open one.
  CloseCursors(id);
  // The database name is not used: a server serves one database.
  std::unique_ptr<TRdaParamList> params;
  const size_t separator = dbAndParams.find(kParamsSeparator);
  if (separator != std::string::npos && separator + 1 < dbAndParams.size())
    params = TRdaParamList::FromText(std::string_view(dbAndParams).substr(separator + 1));

  db_->BeginRequest();
  SqlStatement stmt = db_->Prepare(ToUtf8(sql), params.get());
  Packet packet;
  if (stmt.ColumnCount() == 0) {
    while (db_->Step(stmt)) {
    }
  } else if (rows != 0) {
    packet = ReadPacket(stmt, std::nullopt, rows > 0 ? rows : 0);
  }
  const bool complete = rows != 0 && !packet.next;
  std::vector<ColumnSpec> columns;
  for (int i = 0; i < stmt.ColumnCount(); ++i) {
    columns.push_back(DecideColumn(stmt.ColumnName(i), stmt.DeclaredType(i), packet.rows,
                                   static_cast<size_t>(i), complete));
  }

  TRdaStringLine fields = MakeLine(tkFieldDescriptions, id);
  fields.AddField(FieldDescriptions(columns));
  Send(fields, out);

  int indicator = 0;
  const std::string text = RowText(columns, packet);
  if (rows > 0 && packet.next) {
    if (cursors_.size() >= settings_.maxCursors) cursors_.erase(cursors_.begin());
    indicator = nextCursor_++;
    if (nextCursor_ <= 0) nextCursor_ = 1;
    cursors_[indicator] = Cursor{id, std::move(stmt), std::move(columns), std::move(packet.next)};
  }
  SendPacket(id, indicator, text, options, out);
}

void ServerSession::Fetch(int id, int handle, int rows, int options, std::string& out) {
  auto it = cursors_.find(handle);
  if (it == cursors_.end()) {
    // Nothing (left) to fetch: an empty last packet ends the client's fetching.
    std::string text;
    AppendEndRow(text);
    SendPacket(id, -2, text, options, out);
    return;
  }
  Cursor& cursor = it->second;
  Packet packet;
  try {
    db_->BeginRequest();
    packet = ReadPacket(cursor.stmt, std::move(cursor.next), rows > 0 ? rows : 0);
  } catch (...) {
    cursors_.erase(it);
    throw;
  }
  const std::string text = RowText(cursor.columns, packet);
  const int indicator = packet.next ? -1 : -2;
  if (packet.next) {
    cursor.next = std::move(packet.next);
  } else {
    cursors_.erase(it);
  }
  SendPacket(id, indicator, text, options, out);
}

void ServerSession::CloseCursors(int componentId) {
  std::erase_if(cursors_, [componentId](const auto& entry) {
    return entry.second.componentId == componentId;
  });
}

void ServerSession::SendPacket(int id, int indicator, std::string rows, int options,
                               std::string& out) {
  const bool compress =
      TRdaSelectSQLOptionSet::FromBits(static_cast<uint32_t>(options)).Contains(soCompress);
  TRdaStringLine packet = MakeLine(tkRowPacket, id);
  packet.AddField(indicator);
  packet.AddField(compress ? ZLibCompress(rows) : rows);
  packet.AddField(compress ? kRowsCompressed : 0);
  Send(packet, out);
}

void ServerSession::SendError(int id, const std::string& text, std::string& out) {
  // A 02 byte would make the client read the text as a parameter list; an
  // error message can quote a client's SQL, which may hold one.
  std::string message = ToCodePage(text);
  std::replace(message.begin(), message.end(), kErrorListMarker, '?');
  TRdaStringLine error = MakeLine(tkSqlError, id);
  error.AddField(message);
  Send(error, out);
}

void ServerSession::Send(TRdaStringLine& line, std::string& out) {
  AppendFrame(out, transforms_.PackMessage(line.Compose()));
  answeredInExchange_ = true;
}

std::string ServerSession::Frame(std::string body) {
  try {
    return Framed(transforms_.PackMessage(std::move(body)));
  } catch (const std::exception& e) {
    Log(std::string("could not pack a message: ") + e.what());
    return {};
  }
}

// ---- Login, coded messages, utility requests -----------------------------------------

bool ServerSession::CheckCredentials(const std::string& user, const std::string& password) {
  if (!settings_.user.empty()) return user == settings_.user && password == settings_.password;
  db_->BeginRequest();
  if (!db_->TableExists("RdaUsers")) return true;
  TRdaParamList params;
  params.CreateParam(ftString, "u", ptInput).SetAsString(user);
  SqlStatement stmt =
      db_->Prepare("SELECT Password FROM RdaUsers WHERE UserName = :u COLLATE NOCASE", &params);
  while (db_->Step(stmt)) {
    const SqlRow row = stmt.Row();
    if (!row.empty() && row[0].storage != SqlValue::kNull && row[0].bytes == password) return true;
  }
  return false;
}

void ServerSession::Login(TRdaStringLine& line, std::string& out) {
  const std::vector<std::string> f = ReadFields(line);
  const std::string user = ToUtf8(FieldAt(f, 1));
  const std::string password = ToUtf8(FieldAt(f, 2));
  const std::string& versionAndParams = FieldAt(f, 4);
  bool verified = false;
  try {
    verified = CheckCredentials(user, password);
  } catch (const std::exception& e) {
    Log(std::string("login check failed: ") + e.what());
  }
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    info_.user = user;
    info_.application = ToUtf8(FieldAt(f, 3));
    info_.applicationVersion =
        ToUtf8(versionAndParams.substr(0, versionAndParams.find(kLoginParamsSeparator)));
    info_.login = verified ? LoginState::kVerified : LoginState::kRefused;
  }
  verified_ = verified;
  TRdaParamList params;
  params.CreateParam(ftString, "UserName", ptInput).SetAsString(FieldAt(f, 1));
  params.CreateParam(ftString, "ServerVersion", ptInput).SetAsString(settings_.version);
  params.CreateParam(ftInteger, "ClientId", ptInput).SetAsInteger(id_);
  TRdaStringLine reply;
  reply.SetToken(tkLogin);
  reply.SetMsgId(line.MsgId());
  reply.AddField(verified ? kLoginVerified : 0);
  reply.AddField(params.ToText(false));
  Send(reply, out);
  Log(std::string("login of \"") + user + "\" " + (verified ? "verified" : "refused"));
  // The client logs in again on a new connection.
  if (!verified) {
    Close(Closing::kNow, "login refused");
    return;
  }
  SendClientUpdate(ToUtf8(FieldAt(f, 3)), versionAndParams, out);
}

// What the owner published for this client: the patcher when its login asks for it,
// then a newer program. A file that cannot be read is logged and not sent.
void ServerSession::SendClientUpdate(const std::string& application,
                                     const std::string& versionAndParams, std::string& out) {
  if (settings_.updatesDir.empty()) return;
  const size_t separator = versionAndParams.find(kLoginParamsSeparator);
  const std::string version = ToUtf8(versionAndParams.substr(0, separator));
  try {
    std::unique_ptr<TRdaParamList> params;
    if (separator != std::string::npos)
      params = TRdaParamList::FromText(std::string_view(versionAndParams).substr(separator + 1));
    if (params && params->FindParam("NeedPatcher") != nullptr) {
      const std::string path = PublishedFilePath(settings_.updatesDir, "patcher.exe");
      std::error_code ec;
      if (std::filesystem::is_regular_file(path, ec)) {
        TRdaParamList info;
        info.CreateParam(ftBlob, "Patcher", ptInput).SetAsBlob(ReadPublishedFile(path, kMaxPublishedFile));
        TRdaStringLine patcher = MakeLine(tkServerUtility, 0);
        patcher.AddField(suPatcher);
        patcher.AddField(info.ToText(false));
        Send(patcher, out);
        Log("sent the patcher to \"" + application + "\"");
      }
    }
    const std::optional<TPublishedProgram> update = UpdateFor(settings_.updatesDir, application, version);
    if (!update) return;
    std::string file = ReadPublishedFile(update->path, kMaxPublishedFile);
    TRdaStringLine start = MakeLine(tkClientUpdateStart, 0);
    Send(start, out);
    TRdaStringLine program = MakeLine(tkClientUpdateFile, 0);
    program.AddStreamField(file);
    Send(program, out);
    Log("sent \"" + application + "\" " + update->version + " to a client with " + version);
  } catch (const std::exception& e) {
    Log(std::string("client update of \"") + application + "\" not sent: " + e.what());
  }
}

void ServerSession::CodedMessage(int id, const std::vector<std::string>& f, std::string& out) {
  const int msgId = IntegerAt(f, 0, 0);
  if (msgId == miKeepAlive || msgId == miPingAnswer) {
    std::lock_guard<std::mutex> lock(infoMutex_);
    ++(msgId == miKeepAlive ? info_.keepAlives : info_.pingAnswers);
    return;
  }
  TRdaStringLine echo = MakeLine(tkCodedMessage, id);
  echo.AddField(msgId);
  echo.AddField(FieldAt(f, 1));
  Send(echo, out);
}

void ServerSession::CodedParamList(int id, const std::vector<std::string>& f, std::string& out) {
  const int msgId = IntegerAt(f, 0, 0);
  if (msgId == miDeleteWaitingMessages) return;  // no messages wait on this server
  try {
    TRdaParamList::FromText(FieldAt(f, 1));
  } catch (const std::exception& e) {
    TRdaParamList errors;
    errors.CreateParam(ftString, "Error", ptInput).SetAsString(e.what());
    TRdaStringLine exception = MakeLine(tkAsyncException, id);
    exception.AddField(errors.ToText(false));
    exception.AddField(0);
    Send(exception, out);
    return;
  }
  TRdaStringLine echo = MakeLine(tkCodedParamList, id);
  echo.AddField(msgId);
  echo.AddField(FieldAt(f, 1));
  echo.AddField(IntegerAt(f, 2, 0));
  Send(echo, out);
}

void ServerSession::UtilityRequest(int id, const std::vector<std::string>& f, std::string& out) {
  const int code = IntegerAt(f, 0, 0);
  if (code == suServerVersion) {
    TRdaParamList info;
    info.CreateParam(ftString, "ServerVersion", ptInput).SetAsString(settings_.version);
    TRdaStringLine reply = MakeLine(tkServerUtility, id);
    reply.AddField(suServerVersion);
    reply.AddField(info.ToText(false));
    Send(reply, out);
  } else if (code == suPing) {
    TRdaStringLine pong = MakeLine(tkCodedMessage, id);
    pong.AddField(miPingAnswer);
    pong.AddField(kPingAnswerText);
    Send(pong, out);
  } else if (code == suMetaDataCache) {
    Log("no metadata cache is kept; request 48 code 13 ignored");
  } else {
    Log("ignored server utility request code " + std::to_string(code));
  }
}

}  // namespace rda
