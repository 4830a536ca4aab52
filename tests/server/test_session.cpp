// A server session driven without sockets: requests in as framed bytes,
// answers out as framed bytes, over an in-memory SQLite database.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "messaging/RdaZLib.h"
#include "server/ServerSession.h"

namespace rda {
namespace {

constexpr int kCompressOption = 1 << soCompress;

struct Reply {
  int token = 0;
  int id = 0;
  std::vector<std::string> fields;
};

std::string Frame(const std::string& body) { return Framed(body); }

struct Field {
  Field(const char* t) : text(t) {}
  Field(std::string t) : text(std::move(t)) {}
  Field(int v) : isInteger(true), integer(v) {}
  bool isInteger = false;
  std::string text;
  int integer = 0;
};

TRdaStringLine Line(int token, int id, const std::vector<Field>& fields) {
  TRdaStringLine line;
  line.SetToken(token);
  line.SetMsgId(id);
  for (const auto& f : fields) {
    if (f.isInteger) line.AddField(f.integer);
    else line.AddField(f.text);
  }
  return line;
}

class SessionTest : public ::testing::Test {
 protected:
  void Open(const std::string& script = "") {
    db_ = OpenDatabase("", limits_);
    if (!script.empty()) db_->RunScript(script);
    session_ = std::make_unique<ServerSession>(settings_, db_->Connect(), 1, "test");
  }

  // The request as the client puts it on the wire.
  std::string Request(int token, int id, const std::vector<Field>& fields) {
    TRdaStringLine line = Line(token, id, fields);
    return Frame(client_.PackMessage(line.Compose()));
  }

  std::vector<Reply> Decode(const std::string& bytes) {
    TRdaMessageStack stack;
    stack.Append(bytes);
    std::vector<Reply> replies;
    while (stack.HasMessages()) {
      TRdaStringLine line;
      line.Parse(client_.UnpackMessage(stack.PopMessage()));
      Reply r{line.Token(), line.MsgId(), {}};
      for (int k = line.FieldCount(); k > 0; --k) r.fields.push_back(line.NextFieldText());
      replies.push_back(std::move(r));
    }
    return replies;
  }

  std::vector<Reply> Ask(int token, int id, const std::vector<Field>& fields) {
    return Decode(session_->Receive(Request(token, id, fields)));
  }

  std::vector<Reply> Select(int id, const std::string& sql, int rows = -1, int options = 0,
                            const std::string& dbAndParams = "") {
    return Ask(tkSelect, id, {sql, rows, options, dbAndParams});
  }

  std::vector<Reply> Fetch(int id, int handle, int rows) { return Ask(tkFetch, id, {handle, rows, 4}); }

  DatabaseLimits limits_;
  SessionSettings settings_;
  TRdaBodyTransforms client_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<ServerSession> session_;
};

TEST_F(SessionTest, SelectReplyFramesAreByteExact) {
  Open(
      "CREATE TABLE t (i INTEGER, f REAL, s VARCHAR(10), b BLOB, d DECIMAL(10,2), m MONEY,"
      "                w DATETIME, n TEXT);"
      "INSERT INTO t VALUES (42, 1.5, 'ab', x'0100', 12.34, 2.5, '2024-01-31 12:00:00', NULL);"
      "INSERT INTO t VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);");
  const std::string out = session_->Receive(Request(tkSelect, 7, {"SELECT * FROM t", -1, 0, "\x05"}));

  const std::string fields =
      "i\x02" "3\x02" "0\x02\x04" "f\x02" "6\x02" "0\x02\x04" "s\x02" "1\x02" "10\x02\x04"
      "b\x02" "15\x02" "0\x02\x04" "d\x02" "8\x02" "2\x02\x04" "m\x02" "7\x02" "0\x02\x04"
      "w\x02" "11\x02" "0\x02\x04" "n\x02" "1\x02" "255\x02\x04";
  const std::string rows =
      std::string("42\x02", 3) +
      std::string("\x05\x00\x00\x00\x00\x00\x00\xf8\x3f\x02", 10) +                // 1.5
      "ab\x02" +
      std::string("\x06\x02\x00\x00\x00\x01\x00\x02", 8) +                         // 2 bytes
      std::string("\x07\x04\x02\x12\x34", 5) + std::string(30, '\0') + "\x02" +   // BCD 12.34
      std::string("\x08\xa8\x61\x00\x00\x00\x00\x00\x00\x02", 10) +                // 2.5 x 10000
      std::string("\x05\x00\x00\x00\x00\x50\x21\xe6\x40\x02", 10) +                // 45322.5
      "\x03\x02" "\x04" +                                                          // NULL, row end
      "\x03\x02\x03\x02\x03\x02\x03\x02\x03\x02\x03\x02\x03\x02\x03\x02\x04"        // all NULL
      "NULL\x04";
  TRdaStringLine descriptions = Line(tkFieldDescriptions, 7, {fields});
  TRdaStringLine packet = Line(tkRowPacket, 7, {0, rows, 0});
  EXPECT_EQ(out, Frame(descriptions.Compose()) + Frame(packet.Compose()));
}

TEST_F(SessionTest, EmptyResultIsTheNullRowAndErrorsCarrySqliteText) {
  Open("CREATE TABLE t (a VARCHAR(5));");
  auto r = Select(3, "SELECT a FROM t");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].fields, (std::vector<std::string>{"0", "NULL\x04", "0"}));

  r = Select(4, "SELECT * FROM nope");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkSqlError);
  EXPECT_EQ(r[0].id, 4);
  EXPECT_EQ(r[0].fields[0], "no such table: nope");

  // Statements before the last run to their end; the last one is the result.
  r = Select(5, "INSERT INTO t VALUES ('x'); INSERT INTO t VALUES ('y'); SELECT count(*) FROM t");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].fields[1], "2\x02\x04NULL\x04");
  // A 02 byte in the text would turn it into a parameter list at the client.
  r = Select(8, "SELECT \x02");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].fields[0], "unrecognized token: \"?\"");
  // SQLite reads a statement up to a zero byte; what follows is not SQL.
  r = Select(7, std::string("SELECT 5;\0 SELECT", 17));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].fields[1], "5\x02\x04NULL\x04");
  // No file can be attached, so a client cannot reach beyond its database.
  r = Select(6, "ATTACH 'other.db' AS o");
  EXPECT_EQ(r[0].token, tkSqlError);
}

TEST_F(SessionTest, ParametersAreBoundByName) {
  Open(
      "CREATE TABLE h (code VARCHAR(10), port INTEGER, since DATE);"
      "INSERT INTO h VALUES ('DEMO', 9406, '2020-05-01'), ('ACME', 9407, '2021-06-02');");
  TRdaParamList params;
  params.CreateParam(ftString, "code", ptInput).SetAsString("ACME");
  params.CreateParam(ftInteger, "port", ptInput).SetAsInteger(9407);
  params.CreateParam(ftDate, "since", ptInput).SetAsDate(44349.0);  // 2021-06-02
  params.CreateParam(ftString, "unused", ptInput).SetAsString("x");
  const auto r = Select(2, "SELECT code FROM h WHERE code = :code AND port = :port AND since = :since",
                        -1, 0, "main\x05" + params.ToText(true));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].fields[1], "ACME\x02\x04NULL\x04");

  const auto bad = Select(2, "SELECT 1", -1, 0, std::string("\x05\xff\xff\xff\x7f", 5));
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].token, tkSqlError);
  EXPECT_NE(bad[0].fields[0].find("Invalid parameter list text"), std::string::npos);
}

TEST_F(SessionTest, PacketsWithCursorFetchAndClose) {
  Open("CREATE TABLE n (v INTEGER); INSERT INTO n VALUES (1), (2), (3), (4), (5);");
  auto r = Select(9, "SELECT v FROM n ORDER BY v", 2);
  ASSERT_EQ(r.size(), 2u);
  // More packets follow, so the integer field cannot be narrower than 64 bits.
  EXPECT_EQ(r[0].fields[0], "v\x02" "25\x02" "0\x02\x04");
  const int handle = std::stoi(r[1].fields[0]);
  EXPECT_GT(handle, 0);
  EXPECT_EQ(r[1].fields[1], "1\x02\x04" "2\x02\x04NULL\x04");

  r = Fetch(9, handle, 2);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkRowPacket);
  EXPECT_EQ(r[0].id, 9);
  EXPECT_EQ(r[0].fields[0], "-1");
  EXPECT_EQ(r[0].fields[1], "3\x02\x04" "4\x02\x04NULL\x04");
  r = Fetch(9, handle, 2);
  EXPECT_EQ(r[0].fields[0], "-2");
  EXPECT_EQ(r[0].fields[1], "5\x02\x04NULL\x04");
  EXPECT_EQ(session_->OpenCursors(), 0u);
  r = Fetch(9, handle, 2);  // nothing left: an empty last packet
  EXPECT_EQ(r[0].fields[0], "-2");
  EXPECT_EQ(r[0].fields[1], "NULL\x04");

  // A result that fits its first packet opens no cursor.
  r = Select(9, "SELECT v FROM n", 5);
  EXPECT_EQ(r[1].fields[0], "0");
  EXPECT_EQ(session_->OpenCursors(), 0u);

  // Close (token 34) names the component, not the cursor.
  r = Select(10, "SELECT v FROM n", 1);
  const int second = std::stoi(r[1].fields[0]);
  EXPECT_EQ(session_->OpenCursors(), 1u);
  EXPECT_TRUE(Ask(tkCloseCursor, 10, {10, 0}).empty());
  EXPECT_EQ(session_->OpenCursors(), 0u);
  EXPECT_EQ(Fetch(10, second, 1)[0].fields[1], "NULL\x04");

  // RowsToReturn 0: the field descriptions and an empty packet.
  r = Select(11, "SELECT v FROM n", 0);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].fields, (std::vector<std::string>{"0", "NULL\x04", "0"}));
}

TEST_F(SessionTest, CompressedRowData) {
  Open("CREATE TABLE t (s VARCHAR(20)); INSERT INTO t VALUES ('compress me'), ('and me');");
  const auto plain = Select(1, "SELECT s FROM t");
  const auto packed = Select(1, "SELECT s FROM t", -1, kCompressOption);
  ASSERT_EQ(packed.size(), 2u);
  EXPECT_EQ(packed[1].fields[2], "1");
  EXPECT_EQ(ZLibDecompress(packed[1].fields[1]), plain[1].fields[1]);
}

TEST_F(SessionTest, ResultAndTimeLimitsAnswerWithErrors) {
  settings_.maxResultBytes = 1000;
  Open("CREATE TABLE t (s TEXT); INSERT INTO t SELECT hex(randomblob(100)) FROM "
       "(WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 50) SELECT x FROM c);");
  auto r = Select(1, "SELECT s FROM t");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkSqlError);
  EXPECT_NE(r[0].fields[0].find("fetch it in packets"), std::string::npos);
  EXPECT_EQ(Select(1, "SELECT s FROM t", 2)[1].token, 5);  // in packets it goes

  // The time limit only on a database of its own: on a busy machine the set-up
  // above may itself take longer than a short limit.
  limits_.queryTimeout = std::chrono::milliseconds(100);
  Open();
  r = Select(2, "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].fields[0].rfind("interrupted", 0), 0u);
}

struct LoginCase {
  const char* name;
  const char* fixedUser;
  const char* fixedPassword;
  bool usersTable;
  const char* user;
  const char* password;
  bool verified;
};

TEST_F(SessionTest, LoginAgainstOptionsUsersTableOrAnyone) {
  const std::vector<LoginCase> cases = {
      {"fixed, right", "joe", "secret", false, "joe", "secret", true},
      {"fixed, wrong password", "joe", "secret", false, "joe", "guess", false},
      {"fixed, wrong user", "joe", "secret", true, "ann", "pw", false},
      {"table, right (name in any case)", "", "", true, "ANN", "pw", true},
      {"table, wrong", "", "", true, "ann", "PW", false},
      {"table, unknown user", "", "", true, "bob", "pw", false},
      {"no table: anyone", "", "", false, "bob", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    settings_.user = c.fixedUser;
    settings_.password = c.fixedPassword;
    Open(c.usersTable ? "CREATE TABLE RdaUsers (UserName TEXT, Password TEXT);"
                        "INSERT INTO RdaUsers VALUES ('ann', 'pw');"
                      : "");
    const auto r = Ask(tkLogin, 0, {1, c.user, c.password, "XTamrixInstall", "6.251\x02"});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].token, tkLogin);
    EXPECT_EQ(r[0].fields[0], c.verified ? "1" : "0");
    const auto params = TRdaParamList::FromText(r[0].fields[1]);
    EXPECT_EQ(params->ParamByName("UserName").AsString(), c.user);
    EXPECT_EQ(session_->Info().application, "XTamrixInstall");
    EXPECT_EQ(session_->Info().applicationVersion, "6.251");
    // A refused client is let go, so that its reconnect logs in afresh.
    EXPECT_EQ(session_->CloseState() == ServerSession::Closing::kNow, !c.verified);
  }
}

TEST_F(SessionTest, RequiredLoginGuardsDataRequests) {
  settings_.requireLogin = true;
  Open("CREATE TABLE t (a INTEGER);");
  auto r = Select(1, "SELECT a FROM t");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].fields[0], "Login required");
  // Changes are data requests too.
  for (const int token : {int{tkExecuteSql}, int{tkTransaction}}) {
    r = Ask(token, 1, {"INSERT INTO t VALUES (1)", "", "", ""});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].fields[0], "Login required");
  }
  Ask(tkLogin, 0, {1, "any", "one", "app", "1\x02"});
  EXPECT_EQ(Select(1, "SELECT a FROM t").size(), 2u);
  r = Ask(tkExecuteSql, 1, {"INSERT INTO t VALUES (1)\r\n", "", "", ""});
  ASSERT_EQ(r.size(), 2u);  // rows affected, acknowledgement
  EXPECT_EQ(r[1].token, tkAcknowledge);
}

TEST_F(SessionTest, UtilityCodedAndUnsupportedRequests) {
  settings_.version = "6.5";
  Open();
  auto r = Ask(tkServerUtility, 0, {suServerVersion, ""});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkServerUtility);
  EXPECT_EQ(r[0].fields[0], "6");
  EXPECT_EQ(TRdaParamList::FromText(r[0].fields[1])->Items(0).AsString(), "6.5");

  r = Ask(tkServerUtility, 0, {suPing, ""});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkCodedMessage);
  EXPECT_EQ(r[0].fields, (std::vector<std::string>{"-99999999", "ping"}));

  EXPECT_TRUE(Ask(tkCodedMessage, 0, {miKeepAlive, ""}).empty());  // keep-alive
  EXPECT_TRUE(Ask(tkCodedMessage, 0, {miPingAnswer, "ping"}).empty());
  EXPECT_EQ(session_->Info().keepAlives, 1u);
  EXPECT_EQ(session_->Info().pingAnswers, 1u);
  r = Ask(tkCodedMessage, 3, {77, "hello"});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkCodedMessage);
  EXPECT_EQ(r[0].id, 3);
  EXPECT_EQ(r[0].fields, (std::vector<std::string>{"77", "hello"}));

  TRdaParamList list;
  list.CreateParam(ftInteger, "N", ptInput).SetAsInteger(5);
  r = Ask(tkCodedParamList, 0, {12, list.ToText(false), 1});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkCodedParamList);
  EXPECT_EQ(r[0].fields, (std::vector<std::string>{"12", list.ToText(false), "1"}));
  r = Ask(tkCodedParamList, 0, {12, std::string("\x09\x00\x00\x00" "N", 5), 1});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkAsyncException);
  EXPECT_NE(TRdaParamList::FromText(r[0].fields[0])->Items(0).AsString().find("Invalid parameter"),
            std::string::npos);
  EXPECT_TRUE(Ask(tkCodedParamList, 0, {miDeleteWaitingMessages, "", 0}).empty());

  r = Ask(tkExecuteSql, 4, {"UPDATE nosuchtable SET a = 1"});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkSqlError);
  EXPECT_EQ(r[0].id, 4);
  EXPECT_EQ(r[0].fields[0], "no such table: nosuchtable\r\nStatement 1 of 1: UPDATE nosuchtable SET a = 1");
}

struct TransformCase {
  const char* name;
  TRdaEncryption encryption;
  bool zlib;
};

TEST_F(SessionTest, AnswersTravelUnderEveryTransform) {
  const std::vector<TransformCase> cases = {
      {"none", etNoEncryption, false},
      {"+4", etRdaEncrypt, false},
      {"DES", etDESEncrypt, false},
      {"zlib", etNoEncryption, true},
      {"DES and zlib", etDESEncrypt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    settings_.encryption = c.encryption;
    settings_.key = "k3y";
    settings_.zlib = c.zlib;
    client_ = TRdaBodyTransforms();
    if (c.encryption == etDESEncrypt) client_.SetDESKey("k3y");
    else client_.SetEncryption(c.encryption);
    if (c.zlib) client_.SetCompression(acRdaZLib);
    Open("CREATE TABLE t (s VARCHAR(5)); INSERT INTO t VALUES ('hi');");
    const std::string out = session_->Receive(Request(tkSelect, 1, {"SELECT s FROM t", -1, 0, ""}));
    const auto r = Decode(out);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].fields[1], "hi\x02\x04NULL\x04");
    // The answer really is transformed on the wire.
    TRdaStringLine plain = Line(tkFieldDescriptions, 1, {r[0].fields[0]});
    EXPECT_EQ(out.find(plain.Compose()) != std::string::npos,
              c.encryption == etNoEncryption && !c.zlib);
  }
}

struct MalformedCase {
  const char* name;
  std::string bytes;
  bool closes;
};

TEST_F(SessionTest, MalformedInputIsDroppedOrEndsTheSession) {
  settings_.maxRequestBytes = 4096;
  const std::vector<MalformedCase> cases = {
      {"garbage body", Frame("\x99garbage that is no string line"), false},
      {"shorter than the header", Frame(std::string(10, '\x03')), false},
      {"descriptor past the end",
       Frame(std::string("\x03\x00\x00\x00\x00\x00\x01\x00\x00\x00\xff\x00\x00\x00", 14) +
             std::string(36, '\0')),
       false},
      {"unknown token", Frame(Line(60, 0, {"x"}).Compose()), false},
      {"short form", Frame(std::string("\xfd\xff\xff\xffrest", 8)), false},
      {"empty frame", Frame(""), false},
      {"frame length past the limit", std::string("\xff\xff\xff\x7f", 4), true},
      {"negative frame length", std::string("\x00\x00\x00\x80", 4), true},
      {"request past the server's limit", std::string("\x00\x00\x01\x00", 4) + std::string(5000, 'x'),
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    EXPECT_TRUE(session_->Receive(c.bytes).empty());
    const auto after = Ask(tkServerUtility, 0, {suServerVersion, ""});
    if (c.closes) {
      EXPECT_EQ(session_->CloseState(), ServerSession::Closing::kNow);
      EXPECT_TRUE(after.empty());
    } else {
      EXPECT_EQ(session_->CloseState(), ServerSession::Closing::kNo);
      ASSERT_EQ(after.size(), 1u);
      EXPECT_EQ(after[0].token, tkServerUtility);
    }
  }
}

TEST_F(SessionTest, RequestsSplitAtEveryOffsetGiveTheSameAnswers) {
  Open("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1);");
  const std::string stream = Request(tkServerUtility, 0, {suServerVersion, ""}) + Request(tkSelect, 2, {"SELECT a FROM t", -1, 0, ""});
  const std::string whole = session_->Receive(stream);
  ASSERT_EQ(Decode(whole).size(), 3u);
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    std::string out = session_->Receive(stream.substr(0, cut));
    out += session_->Receive(stream.substr(cut));
    ASSERT_EQ(out, whole) << "cut at " << cut;
  }
}

TEST_F(SessionTest, BlockingClientIsAnsweredThenLetGo) {
  Open("CREATE TABLE t (a INTEGER);");
  const std::string marker("\xff\xff\xff\xff", 4);
  auto r = Decode(session_->Receive(marker + Request(tkSelect, 1, {"SELECT a FROM t", -1, 0, ""})));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_TRUE(session_->Info().blocking);
  EXPECT_EQ(session_->CloseState(), ServerSession::Closing::kWhenQuiet);

  // An exchange with nothing to answer still gets something to read.
  Open();
  r = Decode(session_->Receive(marker + Request(tkCodedMessage, 0, {miKeepAlive, ""})));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].token, tkAcknowledge);
}

}  // namespace
}  // namespace rda
