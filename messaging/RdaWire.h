// The wire vocabulary: every token, message id, utility code, option bit,
// marker byte and frame rule of the protocol, spelled once. The client, the
// server and the tests all take them from here; a bare number in their
// place is a defect. docs/formats/ has one page per format.
//
// Every enumeration and constant below travels on the wire or sits in
// peers' code: wire values, never renumber. New names for a value are fine;
// new values only when both ends learn them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/EnumSet.h"

namespace rda {

// ---- Frames ---------------------------------------------------------------------------
//
//   frame := length:i32le body          (0 <= length <= kMaxFrameBody)
//
// Several frames may follow each other in one read, and one frame may be spread
// over many. A blocking client sends the four bytes FF FF FF FF (kMarkerBlocking)
// once in front of all the frames of one exchange. Other senders of the format put
// FE FF FF FF (kMarkerExtended, an extra length at offset 16) in front of a frame;
// the message stack reads both (docs/formats/frames.md).

inline constexpr size_t kFrameLengthSize = 4;
inline constexpr int32_t kMaxFrameBody = 100 * 1048576;  // 104857600

// Signed 32-bit values that stand where a frame length would, and what they mean.
inline constexpr int32_t kMarkerBlocking = -1;   // FF FF FF FF: a blocking client's exchange
inline constexpr int32_t kMarkerExtended = -2;   // FE FF FF FF: a frame with an extra length
inline constexpr int32_t kMarkerShortForm = -3;  // FD FF FF FF: a short-form message (no header)
// The bytes of kMarkerBlocking as a blocking client writes them.
inline constexpr std::string_view kBlockingPrefix{"\xFF\xFF\xFF\xFF", 4};

constexpr bool IsFrameLength(int64_t length) { return length >= 0 && length <= kMaxFrameBody; }
// Appends the frame of body: its length, then the body.
void AppendFrame(std::string& out, std::string_view body);
// The frame of body.
std::string Framed(std::string_view body);
// The signed 32-bit value at the front of bytes (a frame length or a marker);
// nothing when fewer than 4 bytes are there.
std::optional<int32_t> FrameLengthAt(std::string_view bytes);

// ---- Transports -----------------------------------------------------------------------

// How a connection carries its frames (the message stack cuts by it).
enum TRdaTransportMode : uint8_t {  // wire values, never renumber
  tmDirectTcp = 0,      // frames as they are
  tmHttpProxy = 1,      // HTTP through a proxy: kProxyPadding bytes after each frame length
  tmHttpWebServer = 2,  // HTTP POST to the tunnelling extension of a web server
};
// The bytes that follow the frame length in an answer of transport mode 1.
inline constexpr size_t kProxyPadding = 5;
// The last header line and the empty line of a tunnel response; a client that cuts a raw
// response takes the first frame right after them.
inline constexpr std::string_view kHttpContentMarker = "Content:\r\n\r\n";

// ---- Tokens ---------------------------------------------------------------------------
//
// Byte 0 of a string line. C->S: sent by the client; S->C: sent by the server. The
// dispatcher looks at the low 7 bits (kTokenMask). docs/formats/messages.md has the
// fields of each.
enum TRdaToken : uint8_t {  // wire values, never renumber
  tkFieldDescriptions = 1,    // S->C  field descriptions of a result (text)
  tkSelect = 3,               // C->S  SQL select: SQL, rows to return, options, database #5 params
  tkAcknowledge = 4,          // S->C  ends the reply wait
  tkRowPacket = 5,            // S->C  packet indicator, rows text, compressed flag
  tkSqlError = 6,             // S->C  SQL error text
  tkChatText = 8,             // S->C  chat text
  tkUserMessage = 9,          // S->C  text shown to the user in a message box
  tkFieldDescriptions2 = 10,  // S->C  as tkFieldDescriptions
  tkRowPacket2 = 11,          // S->C  as tkRowPacket
  tkBroadcast = 13,           // S->C  broadcast text
  tkUserMessage2 = 14,        // S->C  as tkUserMessage
  tkCodedMessage = 15,        // both  message id (TRdaMessageId), text
  tkCodedStream = 16,         // S->C  message id, stream
  tkLogin = 17,               // both  login request / reply (kLoginVerified, server parameters)
  tkReconnect = 18,           // S->C  reconnect to the same server
  tkReset = 19,               // S->C  close and reopen
  tkNotification = 20,        // S->C  internal notification; ignored
  tkBlobNotUpdated = 21,      // S->C  a blob could not be updated
  tkBlobContents = 22,        // S->C  blob contents for a dataset
  tkMetaData = 23,            // C->S  metadata, provider or server-method request;
                              // S->C  an internal notification, ignored
  tkTerminate = 25,           // S->C  the server ends this client
  tkFieldProperties = 26,     // S->C  field properties for a dataset
  tkStoredProc = 27,          // C->S  stored procedure
  tkCodedParamList = 28,      // both  message id, parameter list, reply flag
  tkExecuteSql = 29,          // C->S  execute SQL generated by the client
  tkDataSetParamList = 30,    // S->C  coded parameter list for a dataset (output parameters)
  tkTransaction = 31,         // C->S  transaction over several datasets
  tkCursorHandle = 32,        // S->C  server cursor handle of a dataset
  tkFetch = 33,               // C->S  next packet: cursor handle, rows, options
  tkCloseCursor = 34,         // C->S  close the cursors of a component
  tkRefetchedRows = 35,       // S->C  refetched rows / output values for a dataset
  tkApplyUpdates = 36,        // C->S  apply provider updates
  tkClientUpdateFile = 38,    // S->C  client update file
  tkClientUpdateStart = 39,   // S->C  a client update is starting
  tkBeginStream = 42,         // S->C  start of a streamed result; ends the wait
  tkShortForm = 43,           // S->C  short-form message (no header); ignored
  tkProviderBroadcast = 44,   // both  broadcast registration (C->S) / broadcast dataset (S->C)
  tkProviderTransaction = 45, // C->S  provider transaction
  tkSelectAlternative = 46,   // C->S  select: database #5 params, SQL, rows, options
  tkRedirect = 47,            // S->C  redirect to another server
  tkServerUtility = 48,       // both  utility request (C->S) / information (S->C): code, text or list
  tkCustomObject = 50,        // S->C  custom object
  tkReplyText = 52,           // S->C  reply text; ends the wait
  tkBroadcastDataSets = 55,   // S->C  several broadcast datasets
  tkReplyText2 = 61,          // S->C  as tkReplyText
  tkAcknowledge2 = 62,        // S->C  as tkAcknowledge
  tkAsyncException = 64,      // S->C  list of error texts, error token
  tkAcknowledge3 = 69,        // S->C  as tkAcknowledge
  tkAcknowledge4 = 70,        // S->C  as tkAcknowledge
};
inline constexpr uint8_t kTokenMask = 0x7F;

// ---- Message ids ----------------------------------------------------------------------
//
// Field 1 of a coded message (tkCodedMessage) or coded parameter list
// (tkCodedParamList); the ids the system gives a meaning of its own.
enum TRdaMessageId : int32_t {  // wire values, never renumber
  miKeepAlive = -1,                  // C->S coded message, empty text: the keep-alive
  miRowsAffected = -75007,           // rows affected by a dataset statement
  miFileSegment = -75008,            // a segment of a client update file
  miDeleteWaitingMessages = -75010,  // C->S: drop the waiting instant messages; no reply
  miWaitingMessages = -75011,        // waiting instant messages
  miContacts = -75013,               // contacts and user list
  miInstantMessage = -75014,         // an instant message
  miUserStatus = -75022,             // a user's status changed
  miPingAnswer = -99999999,          // the coded message that answers a ping ("ping")
};
// Field 1 of the coded parameter list (tkDataSetParamList) that carries a dataset's
// output parameters; the client reads the list whatever the id.
inline constexpr int32_t kOutputParamsMsgId = 0;
// Field 2 of tkAsyncException: a stateless HTTP session that is not (any more) known.
inline constexpr int32_t kSessionErrorToken = -75016;
// The text of the answer to a ping.
inline constexpr std::string_view kPingAnswerText = "ping";

// ---- Server utility codes -------------------------------------------------------------
//
// Field 1 of tkServerUtility: a request (C->S) or the information sent (S->C).
enum TRdaServerUtility : int32_t {  // wire values, never renumber
  suServerVersion = 6,   // C->S send the version; S->C the version list
  suMetaDataCache = 13,  // C->S send the metadata cache; S->C the cache
  suServerSettings = 14, // S->C date masks, SQL options, update syntax
  suPatcher = 15,        // S->C the patcher program
  suPing = 19,           // a ping; answered with a coded message miPingAnswer, "ping"
};

// ---- Metadata requests (field 4 of tkMetaData) ----------------------------------------
//
// The request code is the client's TRdaMetaData value + 99.
enum TRdaMetaDataRequest : int32_t {  // wire values, never renumber
  mrTables = 100,
  mrIndexes = 101,
  mrFields = 102,
  mrViews = 103,
  mrStoredProcs = 104,
  mrForeignKeys = 105,
  mrSystemTables = 106,
  mrDBMSName = 107,
  mrPrimeKeys = 108,
  mrStoredProcColumns = 109,
  mrServerDataSets = 110,
  mrCustomDataSets = 111,   // open a provider's dataset
  mrBusinessObjects = 112,  // run a server method
  mrProviders = 113,
  mrBusObjectParams = 114,
  mrProviderParams = 115,
  mrVCLFields = 116,
  mrOtherMetaData = 117,
  mrBusinessObjectNames = 118,
  mrUserList = 119,
  mrAliasedBizObjectMethods = 120,
  mrProviderPrimeFields = 121,
  mrProviderUpdateTables = 122,
  mrProviderPrimeFieldsFromBizObject = 123,
  mrTriggers = 124,
  mrTableFields = 125,
  mrStatelessUserList = 126,
};
inline constexpr int32_t kMetaDataRequestOffset = 99;
// The column a server method's parameters are answered with when the method is unknown.
inline constexpr std::string_view kUnknownMethodField = "Junk";

// ---- Login (tkLogin) ------------------------------------------------------------------
//
// Request fields: login mode, user name, password, application name, then the
// application version, kLoginParamsSeparator and the login parameter list.
// Reply fields: kLoginVerified or 0, the list of server parameters.
inline constexpr int32_t kLoginVerified = 1;
inline constexpr char kLoginParamsSeparator = '\x02';

// ---- Selects and packets --------------------------------------------------------------

// Options of a select (field 3 of tkSelect, field 4 of tkSelectAlternative, field 3 of
// tkFetch): bit n of the 16-bit value is value n.
enum TRdaSelectSQLOption : uint8_t {  // wire values, never renumber
  soFetchMemos = 0,
  soFetchBlobs = 1,
  soPackets = 2,
  soFieldProperties = 3,
  soCyclopsSQL = 4,
  soCompress = 5,  // the rows text of each packet is one zlib stream
  soIgnoreAutoIncrement = 6,
  soExecStoredProc = 7,
  soFetchBytes = 8,
  soDelayed = 9,
  soForceChange = 10,
  soNoWait = 11,
  soForceProviderBlobs = 12,
};
using TRdaSelectSQLOptionSet = TSet<TRdaSelectSQLOption>;

// Field 4 of tkSelect (field 1 of tkSelectAlternative): the database name, this byte,
// then the input parameters in the parameter list's text form.
inline constexpr char kParamsSeparator = '\x05';

// Field 1 of a row packet: a positive value is the cursor handle to fetch the next
// packet with (tkFetch); the others say where the result stands.
enum TRdaPacketIndicator : int32_t {  // wire values, never renumber
  piAllRows = 0,       // the whole result is in this packet
  piMorePackets = -1,  // a fetch's packet; more rows remain
  piLastPacket = -2,   // a fetch's last packet
};
// Field 3 of a row packet: the rows text is one zlib stream.
inline constexpr int32_t kRowsCompressed = 1;

// ---- Row text -------------------------------------------------------------------------
//
// The bytes that structure the field descriptions and the rows text of a result
// (docs/formats/row-text.md):
//
//   descriptions := ( name #2 type #2 size #2 #4 )*
//   rows         := row* "NULL" #4
//   row          := value* #4
//   value        := ( text | #5 double:8 | #6 length:i32 bytes | #7 bcd:34
//                   | #8 currency:i64 )* #2          a value of only #3 is NULL
inline constexpr char kValueEnd = '\x02';
inline constexpr char kNullValue = '\x03';
inline constexpr char kRowEnd = '\x04';
inline constexpr char kDoubleMarker = '\x05';    // then 8 bytes: an IEEE double
inline constexpr char kBinaryMarker = '\x06';    // then length:i32 and the bytes
inline constexpr char kBcdMarker = '\x07';       // then the 34-byte BCD record
inline constexpr char kCurrencyMarker = '\x08';  // then 8 bytes: value x 10000
inline constexpr size_t kDoubleBytes = 8;
inline constexpr size_t kBinaryLengthBytes = 4;
inline constexpr size_t kBcdBytes = 34;
inline constexpr size_t kCurrencyBytes = 8;
// The row that ends the rows text of a packet. The same bytes as a server SQL error's
// text mean "no error".
inline constexpr std::string_view kEndRow = "NULL\x04";
// A field description item is at most this long.
inline constexpr size_t kMaxDescriptionItem = 255;

// A server SQL error (tkSqlError) whose text holds this byte carries a parameter list
// after its first character instead of a plain text.
inline constexpr char kErrorListMarker = '\x02';
// The start of a server's error for an update or delete that found no row: the
// row is no longer as the client read it.
inline constexpr std::string_view kUpdateConflictText =
    "Update conflict: the row was changed or deleted by another user since it was read";

// A provider update's error text may carry details for the client behind this byte
// (after the text a person reads): a parameter list in text form, written as hex
// digits so that no byte of it reads as kErrorListMarker or is changed on the way.
// Items "Failed.<component id>": that dataset's failed rows (a list: name the row's
// message, value its "BookMark"); "Conflict.<component id>.<BookMark>": the row as
// the server holds it now (a list of its columns as texts; empty when it is gone).
inline constexpr char kErrorDetailMarker = '\x04';
inline std::string HexDigits(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}
// The bytes of a HexDigits text; nothing for a text that is not one.
inline std::optional<std::string> FromHexDigits(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = value(text[i]);
    const int lo = value(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

// ---- Session header (stateless HTTP) --------------------------------------------------
//
//   offset size  field
//   0      2     header length, signed: 7 or 34
//   2      1     kind (TRdaSessionHeaderKind)
//   3      4     session id, signed (0 in the log-in form)
//   7      16    log-in form: user name, a length byte and at most 15 characters
//   23     11    log-in form: password, a length byte and at most 10 characters
//
// A client puts it in front of each compressed message and encrypts the two together:
// the log-in form while it has no session id, then the session id form. Every answer
// starts with the 7-byte form in clear, carrying the id to use next.
// Wire values, never renumber.
enum TRdaSessionHeaderKind : uint8_t { shSessionId = 0, shLogin = 1 };
inline constexpr size_t kSessionIdFormSize = 2 + 1 + 4;                     // 7
inline constexpr size_t kSessionUserField = 1 + 15;                          // 16
inline constexpr size_t kSessionPasswordField = 1 + 10;                      // 11
inline constexpr size_t kLoginFormSize =
    kSessionIdFormSize + kSessionUserField + kSessionPasswordField;       // 34
inline constexpr size_t kMaxSessionUserName = kSessionUserField - 1;          // 15
inline constexpr size_t kMaxSessionPassword = kSessionPasswordField - 1;      // 10

// The 7-byte form.
std::string SessionIdHeader(int32_t sessionId);
// The 34-byte form; the user name and password are cut to 15 and 10 characters.
std::string LoginHeader(std::string_view userName, std::string_view password);

struct TRdaSessionHeader {
  TRdaSessionHeaderKind Kind = shSessionId;
  int32_t SessionId = 0;
  std::string UserName;  // log-in form
  std::string Password;  // log-in form
  size_t Size() const { return Kind == shLogin ? kLoginFormSize : kSessionIdFormSize; }
};
// The header at the front of bytes when they start with one of the two forms exactly
// (length field, kind, a zero id in the log-in form, length bytes within their fields);
// nothing otherwise.
std::optional<TRdaSessionHeader> ReadSessionHeader(std::string_view bytes);

}  // namespace rda
