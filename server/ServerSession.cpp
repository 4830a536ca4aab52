#include "server/ServerSession.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/Exception.h"
#include "base/Text.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaWire.h"
#include "messaging/RdaZLib.h"
#include "server/ClientUpdates.h"
#include "server/LoginThrottle.h"
#include "server/PasswordHash.h"
#include "server/ServerCatalog.h"
#include "server/ServerPresence.h"
#include "server/ServerProviderUpdates.h"
#include "server/UserTable.h"
#include "memdata/RdaParamBridge.h"

namespace rda {

namespace {

constexpr size_t kValueOverhead = 10;  // marker, length and separator bytes around a value

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

// The time now in UTC as "YYYY-MM-DD HH:MM:SS".
std::string UtcNowText() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
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
ServerSession::~ServerSession() {
  cursors_.clear();
  if (present_) settings_.presence->Leave(id_);
  if (settings_.broadcasts != nullptr) settings_.broadcasts->Leave(id_);
}

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
  const bool dataRequest = token == tkSelect || token == tkSelectAlternative || token == tkFetch ||
                           token == tkMetaData || token == tkStoredProc || token == tkExecuteSql ||
                           token == tkTransaction || token == tkApplyUpdates || token == tkProviderTransaction;
  std::string reply;
  try {
    const bool needsLogin =
        dataRequest || (token == tkServerUtility && IntegerAt(f, 0, 0) == suMetaDataCache);
    if (needsLogin && settings_.requireLogin && !verified_) {
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
        case tkMetaData:
          MetaData(id, f, reply);
          break;
        case tkStoredProc:
          StoredProcedure(id, f, reply);
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
        case tkExecuteSql:
        case tkTransaction:
          ApplyChanges(token, id, f, reply);
          break;
        case tkApplyUpdates:
          ProviderUpdate(id, f, reply);
          break;
        case tkProviderTransaction:
          ProviderTransaction(id, f, reply);
          break;
        case tkProviderBroadcast:
          ProviderRegistration(id, f);
          break;
        default:
          Log("ignored a message with token " + std::to_string(token));
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
  // The database name is not used: a server serves one database.
  std::unique_ptr<TRdaParamList> params;
  const size_t separator = dbAndParams.find(kParamsSeparator);
  if (separator != std::string::npos && separator + 1 < dbAndParams.size())
    params = TRdaParamList::FromText(std::string_view(dbAndParams).substr(separator + 1));
  // A client that asked for a delayed result gets it streamed: token 42 ends
  // its wait at once, and the descriptions and rows follow. A select that
  // fails is answered by its error alone (the reply is dropped for it).
  if (TRdaSelectSQLOptionSet::FromBits(static_cast<uint32_t>(options)).Contains(soDelayed)) {
    TRdaStringLine begin = MakeLine(tkBeginStream, id);
    Send(begin, out);
  }
  RunSelect(id, CodePageToUtf8(sql), rows, options, params.get(), out);
}

void ServerSession::RunSelect(int id, const std::string& sql, int rows, int options,
                              const TRdaParamList* params, std::string& out,
                              std::optional<SqlRow>* firstRow, std::vector<ColumnSpec>* columnsOut) {
  // A new result for a component replaces its open one.
  CloseCursors(id);
  db_->BeginRequest();
  SqlStatement stmt = db_->Prepare(sql, params);
  Packet packet;
  if (stmt.ColumnCount() == 0) {
    while (db_->Step(stmt)) {
    }
  } else if (rows != 0) {
    packet = ReadPacket(stmt, std::nullopt, rows > 0 ? rows : 0);
  } else if (firstRow != nullptr && db_->Step(stmt)) {
    // Output parameters read the first row also when no rows are sent.
    *firstRow = stmt.Row();
  }
  const bool complete = rows != 0 && !packet.next;
  std::vector<ColumnSpec> columns;
  for (int i = 0; i < stmt.ColumnCount(); ++i) {
    columns.push_back(DecideColumn(stmt.ColumnName(i), stmt.DeclaredType(i), packet.rows,
                                   static_cast<size_t>(i), complete));
  }
  if (firstRow != nullptr && !packet.rows.empty()) *firstRow = packet.rows.front();
  if (columnsOut != nullptr) *columnsOut = columns;

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
  std::string message = Utf8ToCodePage(text);
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
  if (!settings_.user.empty()) {
    // Both compared, in a time that tells nothing about either.
    const bool sameUser = SameSecret(user, settings_.user);
    const bool samePassword = SameSecret(password, settings_.password);
    return sameUser && samePassword;
  }
  db_->BeginRequest();
  if (!db_->TableExists(kUsersTable)) return settings_.anonymousLogins;
  return CheckUserTable(*db_, user, password, [this](const std::string& text) { Log(text); });
}

void ServerSession::Login(TRdaStringLine& line, std::string& out) {
  const std::vector<std::string> f = ReadFields(line);
  const std::string user = CodePageToUtf8(FieldAt(f, 1));
  const std::string password = CodePageToUtf8(FieldAt(f, 2));
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
    info_.application = CodePageToUtf8(FieldAt(f, 3));
    info_.applicationVersion =
        CodePageToUtf8(versionAndParams.substr(0, versionAndParams.find(kLoginParamsSeparator)));
    info_.login = verified ? LoginState::kVerified : LoginState::kRefused;
  }
  verified_ = verified;
  const std::string address = LoginThrottle::Address(info_.peer);
  if (settings_.throttle != nullptr && verified) settings_.throttle->Succeeded(address);
  if (settings_.throttle != nullptr && !verified) {
    int failures = 0;
    const std::chrono::milliseconds delay = settings_.throttle->Failed(address, &failures);
    Log("login of \"" + user + "\" from " + address + " refused (" + std::to_string(failures) +
        " in a row from that address); answered after " + std::to_string(delay.count()) + " ms");
    // Only this connection's thread waits.
    settings_.throttle->Pause(delay);
  }
  TRdaParamList params;
  params.CreateParam(ftString, "UserName", ptInput).SetAsString(FieldAt(f, 1));
  params.CreateParam(ftString, "ServerVersion", ptInput).SetAsString(settings_.version);
  params.CreateParam(ftInteger, "ClientId", ptInput).SetAsInteger(id_);
  if (verified && settings_.presence != nullptr && !user.empty()) {
    try {
      AddLoginLists(params, FieldAt(f, 1));
    } catch (const std::exception& e) {
      Log(std::string("user lists not sent: ") + e.what());
    }
  }
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
  if (settings_.presence != nullptr && !user.empty() && OnPush) {
    userName_ = FieldAt(f, 1);
    present_ = true;
    settings_.presence->Join(id_, userName_, OnPush);
  }
  SendClientUpdate(CodePageToUtf8(FieldAt(f, 3)), versionAndParams, out);
}

// What the owner published for this client: the patcher when its login asks for it,
// then a newer program. A file that cannot be read is logged and not sent.
void ServerSession::SendClientUpdate(const std::string& application,
                                     const std::string& versionAndParams, std::string& out) {
  if (settings_.updatesDir.empty()) return;
  const size_t separator = versionAndParams.find(kLoginParamsSeparator);
  const std::string version = CodePageToUtf8(versionAndParams.substr(0, separator));
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
  if (msgId == miDeleteWaitingMessages) {
    if (!present_) return;
    TRdaParamList who;
    who.CreateParam(ftString, "User", ptInput).SetAsString(userName_);
    db_->BeginRequest();
    SqlStatement stmt = db_->Prepare("DELETE FROM RdaWaitingMail WHERE lower(ToUser) = lower(:User)", &who);
    while (db_->Step(stmt)) {
    }
    return;
  }
  if (msgId == miInstantMessage) {
    InstantMessage(f, out);
    return;
  }
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
    MetaDataCache(id, out);
  } else {
    Log("ignored server utility request code " + std::to_string(code));
  }
}

}  // namespace rda

// ---- Metadata, procedures, providers and server methods ------------------------------

namespace rda {

namespace {

constexpr int kCacheNameSize = 100;

// The output parameters of a definition with the values of the first row's
// columns of the same names.
std::unique_ptr<TRdaParamList> OutputValues(const Definition& d, const std::vector<ColumnSpec>& columns,
                                            const std::optional<SqlRow>& row) {
  auto list = std::make_unique<TRdaParamList>();
  for (const DefinedParam& p : d.params) {
    if (p.paramType != ptOutput && p.paramType != ptInputOutput && p.paramType != ptResult) continue;
    const TFieldType type = p.dataType >= 1 && p.dataType <= ftFMTBcd ? static_cast<TFieldType>(p.dataType) : ftString;
    TRdaParamItem& item = list->CreateParam(type, Utf8ToCodePage(p.name), static_cast<TRdaParamType>(p.paramType));
    item.SetIsNull(true);
    if (!row) continue;
    for (size_t i = 0; i < columns.size() && i < row->size(); ++i) {
      if (!SameTextAscii(columns[i].name, Utf8ToCodePage(p.name))) continue;
      const SqlValue& v = (*row)[i];
      if (v.storage == SqlValue::kNull) break;
      const std::string text = v.storage == SqlValue::kInteger ? std::to_string(v.integer)
                               : v.storage == SqlValue::kReal  ? FloatToStr(v.real)
                                                               : Utf8ToCodePage(v.bytes);
      switch (type) {
        case ftSmallint: case ftInteger: case ftWord: case ftAutoInc:
          item.SetAsInteger(v.storage == SqlValue::kInteger ? static_cast<int32_t>(v.integer) : StrToIntDef(text, 0));
          break;
        case ftLargeint:
          item.SetAsLargeint(v.storage == SqlValue::kInteger ? v.integer : StrToIntDef(text, 0));
          break;
        case ftFloat: case ftCurrency: case ftBCD:
          item.SetAsFloat(v.storage == SqlValue::kReal ? v.real : static_cast<double>(v.integer));
          break;
        case ftBoolean:
          item.SetAsBoolean(v.storage == SqlValue::kInteger ? v.integer != 0 : text == "1");
          break;
        default:
          item.SetAsString(text);
          break;
      }
      item.SetParamType(static_cast<TRdaParamType>(p.paramType));
      break;
    }
  }
  return list;
}

// A dataset describing parameters: Name, ParamType, Datatype.
std::string ParamsDataSet(const Definition& d) {
  TRdaDataSet ds;
  ds.AddField("Name", ftString, 64);
  ds.AddField("ParamType", ftInteger, 0);
  ds.AddField("Datatype", ftInteger, 0);
  ds.Open();
  for (const DefinedParam& p : d.params)
    ds.AppendRecord({Variant(Utf8ToCodePage(p.name)), Variant(p.paramType), Variant(p.dataType)});
  return ds.DataSetToText();
}

std::string KeyFieldsDataSet(const std::vector<std::string>& keys) {
  TRdaDataSet ds;
  ds.AddField("FieldName", ftString, 64);
  ds.Open();
  for (const std::string& k : keys) ds.AppendRecord({Variant(Utf8ToCodePage(k))});
  return ds.DataSetToText();
}

}  // namespace

void ServerSession::RunQuery(int id, const CatalogQuery& query, int rows, int options, std::string& out) {
  TRdaParamList params;
  for (const auto& [name, value] : query.texts)
    params.CreateParam(ftString, name, ptInput).SetAsString(value);
  RunSelect(id, query.sql, rows, options, &params, out);
}

void ServerSession::RunDefinition(int id, const Definition& d, const TRdaParamList& params, int rows,
                                  int options, bool outputsFirst, std::string& out) {
  std::optional<SqlRow> first;
  std::vector<ColumnSpec> columns;
  std::string result;
  RunSelect(id, d.sql, rows, options, &params, result, d.HasOutputs() ? &first : nullptr, &columns);
  if (!d.HasOutputs()) {
    out += result;
    return;
  }
  const std::unique_ptr<TRdaParamList> outputs = OutputValues(d, columns, first);
  TRdaStringLine line = MakeLine(tkDataSetParamList, id);
  line.AddField(int32_t{kOutputParamsMsgId});
  line.AddField(outputs->ToText(false));
  line.AddField(0);
  std::string sent;
  Send(line, sent);
  out += outputsFirst ? sent + result : result + sent;
}

void ServerSession::MetaData(int id, const std::vector<std::string>& f, std::string& out) {
  const std::string& a = FieldAt(f, 0);
  const std::string& b = FieldAt(f, 1);
  const int code = IntegerAt(f, 3, 0);
  db_->BeginRequest();
  switch (code) {
    case mrCustomDataSets: {  // a provider's dataset
      std::unique_ptr<TRdaParamList> params = b.empty() ? std::make_unique<TRdaParamList>()
                                                        : TRdaParamList::FromText(b);
      std::optional<Definition> d = FindDefinition(*db_, DefinitionKind::kProvider, a);
      const TRdaParamItem* provider = params->FindParam("Provider");
      if (!d && provider != nullptr) d = FindDefinition(*db_, DefinitionKind::kProvider, provider->AsString());
      if (!d) throw Exception("Provider " + (a.empty() && provider ? provider->AsString() : a) + " not found");
      const TRdaParamItem* rows = params->FindParam("RdaPacketRecords");
      const TRdaParamItem* options = params->FindParam("RdaSQLOptions");
      RunSelect(id, d->sql, rows ? rows->AsInteger() : -1, options ? options->AsInteger() : 0, params.get(), out);
      return;
    }
    case mrBusinessObjects: {  // a server method
      std::unique_ptr<TRdaParamList> params = b.empty() ? std::make_unique<TRdaParamList>()
                                                        : TRdaParamList::FromText(b);
      int rows = -1;
      int options = 0;
      // The client appends the rows to return and its options, unnamed.
      if (params->Count() >= 2) {
        rows = params->Items(params->Count() - 2).AsInteger();
        options = params->Items(params->Count() - 1).AsInteger();
        params->Delete(params->Count() - 1);
        params->Delete(params->Count() - 1);
      }
      const std::optional<Definition> d = FindDefinition(*db_, DefinitionKind::kMethod, a);
      if (!d) throw Exception(a + " not found");
      RunDefinition(id, *d, *params, rows, options, false, out);
      return;
    }
    case mrBusObjectParams: {  // a server method's parameters; "Junk" for an unknown method
      const std::optional<Definition> d = FindDefinition(*db_, DefinitionKind::kMethod, a);
      if (!d) {
        RunQuery(id, CatalogQuery{"SELECT NULL AS \"" + std::string(kUnknownMethodField) + "\" WHERE 1 = 0", {}}, -1, 0, out);
        return;
      }
      CatalogQuery q{"SELECT Name, ParamType, DataType FROM RdaParams WHERE Kind = 'method' AND "
                     "lower(Owner) = lower(:Name) ORDER BY Position",
                     {{"Name", Utf8ToCodePage(d->name)}}};
      RunQuery(id, q, -1, 0, out);
      return;
    }
    case mrProviderPrimeFields:    // a provider's key fields
    case mrProviderPrimeFieldsFromBizObject: {  // a server method's key fields
      const DefinitionKind kind = code == mrProviderPrimeFields ? DefinitionKind::kProvider : DefinitionKind::kMethod;
      const std::optional<Definition> d = FindDefinition(*db_, kind, a);
      if (!d) throw Exception(a + " not found");
      std::vector<std::string> keys;
      for (const std::string& k : d->keyFields) keys.push_back(Utf8ToCodePage(k));
      RunQuery(id, db_->TextListQuery("FieldName", keys), -1, 0, out);
      return;
    }
    case mrUserList:  // the users logged in now
    case mrStatelessUserList:
      UserList(id, out);
      return;
    default:
      break;
  }
  const std::optional<CatalogQuery> q = db_->MetaDataQuery(code, a, b);
  if (!q) throw Exception("Metadata request " + std::to_string(code) + " is not known to this server");
  RunQuery(id, *q, -1, 0, out);
}

void ServerSession::StoredProcedure(int id, const std::vector<std::string>& f, std::string& out) {
  const std::string& name = FieldAt(f, 0);
  std::unique_ptr<TRdaParamList> params =
      FieldAt(f, 1).empty() ? std::make_unique<TRdaParamList>() : TRdaParamList::FromText(FieldAt(f, 1));
  db_->BeginRequest();
  const std::optional<Definition> d = FindDefinition(*db_, DefinitionKind::kProcedure, name);
  if (!d) throw Exception("Stored procedure " + name + " not found");
  // The row packet ends the client's wait: the output values go first.
  RunDefinition(id, *d, *params, IntegerAt(f, 3, -1), IntegerAt(f, 4, 0), true, out);
}

void ServerSession::UserList(int id, std::string& out) {
  std::vector<PresentUser> users;
  if (settings_.presence != nullptr) users = settings_.presence->Users();
  // One SELECT of bound values per user; with nobody, one that returns no row.
  const bool nobody = users.empty();
  if (nobody) users.push_back(PresentUser{});
  TRdaParamList params;
  std::string sql;
  for (size_t i = 0; i < users.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    params.CreateParam(ftString, "u" + n, ptInput).SetAsString(users[i].userName);
    params.CreateParam(ftInteger, "s" + n, ptInput).SetAsInteger(users[i].status);
    params.CreateParam(ftInteger, "c" + n, ptInput).SetAsInteger(users[i].clientId);
    sql += (i == 0 ? "SELECT " : " UNION ALL SELECT ") + db_->TypedParameter(":u" + n, ftString) + " AS \"UserName\", " +
           db_->TypedParameter(":s" + n, ftInteger) + " AS \"Status\", " + db_->TypedParameter(":c" + n, ftInteger) +
           " AS \"ClientId\"";
  }
  if (nobody) sql += " WHERE 1 = 0";
  RunSelect(id, sql, -1, 0, &params, out);
}

void ServerSession::MetaDataCache(int id, std::string& out) {
  db_->BeginRequest();
  TRdaDataSet serverParams;
  serverParams.AddField("Name", ftString, kCacheNameSize);
  serverParams.AddField("ServerDataSet", ftString, kCacheNameSize);
  serverParams.AddField("Data", ftBlob, 0);
  serverParams.AddField("PrimeFields", ftBlob, 0);
  serverParams.Open();
  for (const DefinitionKind kind : {DefinitionKind::kMethod, DefinitionKind::kProvider}) {
    for (const Definition& d : AllDefinitions(*db_, kind)) {
      const std::string name = Utf8ToCodePage(d.name);
      serverParams.AppendRecord({Variant(name),
                                 Variant(kind == DefinitionKind::kProvider ? "RdaProviders." + name : std::string()),
                                 Variant(ParamsDataSet(d)), Variant(KeyFieldsDataSet(d.keyFields))});
    }
  }
  // The fields of every table, as the metadata request 125 lists them.
  TRdaDataSet tableFields;
  tableFields.AddField("TableName", ftString, kCacheNameSize);
  tableFields.AddField("FieldName", ftString, kCacheNameSize);
  tableFields.AddField("FieldType", ftInteger, 0);
  tableFields.AddField("FieldSize", ftInteger, 0);
  tableFields.Open();
  {
    const std::optional<CatalogQuery> q = db_->MetaDataQuery(mrTableFields, "", "");
    TRdaParamList params;
    for (const auto& [name, value] : q->texts) params.CreateParam(ftString, name, ptInput).SetAsString(value);
    SqlStatement stmt = db_->Prepare(q->sql, &params);
    tableFields.BeginBulk();
    while (db_->Step(stmt)) {
      const SqlRow row = stmt.Row();
      tableFields.AppendRecord({Variant(Utf8ToCodePage(row[0].bytes)), Variant(Utf8ToCodePage(row[1].bytes)),
                                Variant(static_cast<int32_t>(row[2].integer)),
                                Variant(static_cast<int32_t>(row[3].integer))});
    }
    tableFields.EndBulk();
  }
  TRdaDataSet cache;
  cache.AddField("Name", ftString, kCacheNameSize);
  cache.AddField("Data", ftBlob, 0);
  cache.Open();
  cache.AppendRecord({Variant(std::string("FServerparamsDataSet")), Variant(serverParams.DataSetToText())});
  cache.AppendRecord({Variant(std::string("TableFields")), Variant(tableFields.DataSetToText())});
  TRdaParamList info;
  SetAsDataSet(info.CreateParam(ftDataSet, "MetaDataCache", ptInput), cache);
  TRdaStringLine reply = MakeLine(tkServerUtility, id);
  reply.AddField(suMetaDataCache);
  reply.AddField(info.ToText(false));
  Send(reply, out);
}

// ---- Instant messages ------------------------------------------------------------------

void ServerSession::AddLoginLists(TRdaParamList& params, const std::string& user) {
  std::vector<PresentUser> users = settings_.presence->Users();
  if (std::none_of(users.begin(), users.end(), [this](const PresentUser& u) { return u.clientId == id_; }))
    users.push_back(PresentUser{user, 1, id_});
  ServerPresence::PutUserList(params, users);
  if (db_->TableExists("RdaUsers")) {
    std::string contacts;
    SqlStatement stmt = db_->Prepare("SELECT UserName FROM RdaUsers ORDER BY UserName", nullptr);
    while (db_->Step(stmt)) {
      const SqlRow row = stmt.Row();
      if (row.empty() || row[0].storage == SqlValue::kNull) continue;
      contacts += Utf8ToCodePage(row[0].bytes) + "\r\n";
    }
    params.CreateParam(ftMemo, "~Contacts", ptInput).SetAsMemo(contacts);
  }
  TRdaParamList who;
  who.CreateParam(ftString, "User", ptInput).SetAsString(user);
  SqlStatement mail = db_->Prepare(
      "SELECT Msgid, FromUser, Sent, Message FROM RdaWaitingMail WHERE lower(ToUser) = lower(:User) "
      "ORDER BY Msgid", &who);
  TRdaDataSet waiting;
  waiting.AddField("Msgid", ftInteger, 0);
  waiting.AddField("From", ftString, 35);
  waiting.AddField("Sent", ftString, 19);
  waiting.AddField("Text", ftMemo, 0);
  waiting.Open();
  while (db_->Step(mail)) {
    const SqlRow row = mail.Row();
    std::string text;
    try {
      const std::unique_ptr<TRdaParamList> message = TRdaParamList::FromText(row[3].bytes);
      if (const TRdaParamItem* t = message->FindParam("Text")) text = t->AsString();
    } catch (const std::exception&) {
      // A message that does not read is shown without its text.
    }
    waiting.AppendRecord({Variant(static_cast<int32_t>(row[0].integer)), Variant(Utf8ToCodePage(row[1].bytes)),
                          Variant(row[2].bytes), Variant(text)});
  }
  if (waiting.RecordCount() > 0)
    SetAsDataSet(params.CreateParam(ftDataSet, "~WaitingMail", ptInput), waiting);
}

void ServerSession::InstantMessage(const std::vector<std::string>& f, std::string& out) {
  std::unique_ptr<TRdaParamList> message = TRdaParamList::FromText(FieldAt(f, 1));
  const TRdaParamItem* to = message->FindParam("To");
  if (settings_.presence == nullptr || !present_ || to == nullptr || to->AsString().empty()) {
    TRdaParamList errors;
    errors.CreateParam(ftString, "Error", ptInput)
        .SetAsString("An instant message needs a verified login and an item \"To\"");
    TRdaStringLine exception = MakeLine(tkAsyncException, 0);
    exception.AddField(errors.ToText(false));
    exception.AddField(0);
    Send(exception, out);
    return;
  }
  const std::string recipient = to->AsString();
  message->DeleteParam("To");
  message->DeleteParam("Msgid");
  message->DeleteParam("From");
  message->CreateParam(ftString, "From", ptInput).SetAsString(userName_);
  const std::string kept = message->ToText(false);
  message->CreateParam(ftInteger, "Msgid", ptInput).SetAsInteger(settings_.presence->NextMessageId());
  TRdaStringLine line = MakeLine(tkCodedParamList, 0);
  line.AddField(int32_t{miInstantMessage});
  line.AddField(message->ToText(false));
  line.AddField(0);
  if (settings_.presence->SendTo(recipient, line.Compose()) > 0) return;
  // Nobody of that name is logged in: kept until they are.
  TRdaParamList row;
  row.CreateParam(ftString, "ToUser", ptInput).SetAsString(recipient);
  row.CreateParam(ftString, "FromUser", ptInput).SetAsString(userName_);
  row.CreateParam(ftBlob, "Message", ptInput).SetAsBlob(kept);
  row.CreateParam(ftString, "Sent", ptInput).SetAsString(UtcNowText());
  db_->BeginRequest();
  SqlStatement stmt = db_->Prepare(
      "INSERT INTO RdaWaitingMail (ToUser, FromUser, Sent, Message) VALUES (:ToUser, :FromUser, :Sent, "
      ":Message)",
      &row);
  while (db_->Step(stmt)) {
  }
  Log("kept an instant message for \"" + CodePageToUtf8(recipient) + "\"");
}

}  // namespace rda
