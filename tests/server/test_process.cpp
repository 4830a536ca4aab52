// rdaserver as a process: started on free loopback ports, talked to over
// TCP by raw clients, stopped by its pid.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "messaging/RdaParamList.h"
#include "tests/support/PostgresCluster.h"
#include "tests/support/RawClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TlsRawClient.h"

namespace rda {
namespace {

using test::RawClient;
using test::ServerProcess;
using test::TestCertificates;
using test::TlsRawClient;
using Millis = std::chrono::milliseconds;

const std::string kDemoScript = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql";

TRdaStringLine Select(int id, const std::string& sql, int rows = -1) {
  TRdaStringLine line;
  line.SetToken(tkSelect);
  line.SetMsgId(id);
  line.AddField(sql);
  line.AddField(rows);
  line.AddField(0);
  line.AddField("\x05");
  return line;
}

TRdaStringLine VersionRequest() {
  TRdaStringLine line;
  line.SetToken(tkServerUtility);
  line.AddField(6);
  line.AddField("");
  return line;
}

// The rows text of a select's answer (field descriptions, then row packet).
std::string SelectRows(RawClient& c, int id, const std::string& sql) {
  TRdaStringLine request = Select(id, sql);
  c.Send(request);
  TRdaStringLine first = c.ReadLine();
  if (first.Token() == tkSqlError) return "error: " + first.NextFieldText();
  EXPECT_EQ(first.Token(), tkFieldDescriptions);
  TRdaStringLine packet = c.ReadLine();
  EXPECT_EQ(packet.Token(), tkRowPacket);
  EXPECT_EQ(packet.MsgId(), id);
  packet.NextFieldText();
  return packet.NextFieldText();
}

TEST(ServerProcess, DemoDatabaseAnswersTheInstallQueriesUnderThePlus4Cipher) {
  ServerProcess server({"--port", "0", "--init", kDemoScript, "--encryption", "rda", "--quiet"});
  RawClient c(server.DataPort());
  c.Transforms().SetEncryption(etRdaEncrypt);
  TRdaStringLine version = VersionRequest();
  c.Send(version);
  TRdaStringLine reply = c.ReadLine();
  EXPECT_EQ(reply.Token(), tkServerUtility);
  EXPECT_EQ(reply.NextFieldText(), "6");
  EXPECT_EQ(TRdaParamList::FromText(reply.NextFieldText())->Items(0).AsString(), "1.0");

  EXPECT_EQ(SelectRows(c, 1, "Select T.\"Comp_Name\", T.\"Version Number\" From SY_MASTR T"),
            "Demo Company Ltd\x02" "6.251\x02\x04NULL\x04");
  EXPECT_EQ(SelectRows(c, 2, "Select * From VNXHOSTS\r\nWhere XCompanyCode = 'ACME'\r\n"),
            "ACME\x02" "127.0.0.1\x02" "9407\x02" "127.0.0.1\x02\x04NULL\x04");
  EXPECT_EQ(SelectRows(c, 3, "Select CompanyCode,CompanyName,VersionNumber From SYMASTER"),
            "DEMO\x02" "Demo Company Ltd\x02" "6.251\x02\x04NULL\x04");
}

TEST(ServerProcess, EchoServiceAnswersOnItsOwnPort) {
  ServerProcess server({"--port", "0", "--echo", "--quiet"});
  ASSERT_GT(server.EchoPort(), 0);
  EXPECT_NE(server.EchoPort(), server.DataPort());
  RawClient echo(server.EchoPort());
  echo.SendRaw("XServerLocal");
  EXPECT_EQ(echo.ReceiveRaw(12), "XServerLocal");
}

struct PushCase {
  const char* command;
  int token;
  const char* firstField;
};

TEST(ServerProcess, ControlPortPushesArriveAsTheirTokens) {
  ServerProcess server({"--port", "0", "--control-port", "0", "--quiet"});
  EXPECT_EQ(server.Control("chat * nobody"), "error no such client");
  RawClient c(server.DataPort());
  TRdaStringLine version = VersionRequest();
  c.Send(version);  // the session is there once it answers
  c.ReadLine();
  const std::vector<PushCase> cases = {
      {"chat * hello", 8, "hello"},
      {"message last Look", 9, "Look"},
      {"broadcast to all", 13, "to all"},
      {"coded * 77 text", 15, "77"},
      {"stream * 5 bytes", 16, "5"},
      {"params * 12 A=1", 28, "12"},
      {"settings * DateMaskForSQL=x", 48, "14"},
      {"ping *", 48, "19"},
      {"custom * 3 Obj A=1", 50, "3"},
      {"terminate * bye", 25, "bye"},
      {"reconnect *", 18, nullptr},
      {"reset *", 19, nullptr},
      {"exception * 0 failed", 64, nullptr},
      {"redirect * 127.0.0.1 9500", 47, nullptr},
      {"raw * 21 4 gone", 21, "gone"},
  };
  for (const auto& p : cases) {
    SCOPED_TRACE(p.command);
    EXPECT_EQ(server.Control(p.command), "ok");
    TRdaStringLine got = c.ReadLine();
    EXPECT_EQ(got.Token(), p.token);
    if (p.firstField) {
      EXPECT_EQ(got.NextFieldText(), p.firstField);
    }
  }
  // The client's answer to the ping is counted; the version request after
  // it makes sure the session has read it.
  TRdaStringLine pong;
  pong.SetToken(tkCodedMessage);
  pong.AddField(-99999999);
  pong.AddField("ping");
  c.Send(pong);
  TRdaStringLine again = VersionRequest();
  c.Send(again);
  EXPECT_EQ(c.ReadLine().Token(), tkServerUtility);
  const std::string clients = server.Control("clients");
  EXPECT_NE(clients.find("login=none requests=3 keepalives=0 pings=1"), std::string::npos) << clients;
  EXPECT_EQ(clients.substr(clients.size() - 2), "ok");
  EXPECT_EQ(server.Control("disconnect *"), "ok");
  EXPECT_TRUE(c.WaitClosed());
}

TEST(ServerProcess, HostileClientsDoNotDisturbOthers) {
  ServerProcess server({"--port", "0", "--init", kDemoScript, "--handshake-timeout", "1", "--quiet"});
  const std::string query = "Select XCompanyCode From VNXHOSTS Order By 1";
  const std::string expected = "ACME\x02\x04" "DEMO\x02\x04NULL\x04";

  RawClient good(server.DataPort());
  EXPECT_EQ(SelectRows(good, 1, query), expected);

  RawClient oversize(server.DataPort());
  oversize.SendRaw(std::string("\xff\xff\xff\x7f", 4));
  RawClient garbage(server.DataPort());
  garbage.SendRaw(RawClient::Frame("\x03 this is not a string line at all") +
                  RawClient::Frame(std::string(100, '\x99')));
  RawClient stalled(server.DataPort());
  stalled.SendRaw(std::string("\x00\x10\x00\x00partial", 11));
  RawClient silent(server.DataPort());

  // Two well-behaved clients at the same time, while the others misbehave.
  std::atomic<int> answered{0};
  auto work = [&] {
    RawClient c(server.DataPort());
    for (int i = 0; i < 50; ++i)
      if (SelectRows(c, i + 1, query) == expected) ++answered;
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(answered, 100);

  EXPECT_TRUE(oversize.WaitClosed(Millis(2000)));
  EXPECT_TRUE(stalled.WaitClosed(Millis(5000)));  // half a request, stalled
  EXPECT_TRUE(silent.WaitClosed(Millis(5000)));   // nothing at all
  EXPECT_EQ(SelectRows(garbage, 1, query), expected);  // a bad frame is only dropped
  EXPECT_EQ(SelectRows(good, 2, query), expected);
  EXPECT_TRUE(server.Running());
}

TEST(ServerProcess, IdleClientsAreClosedAfterTheIdleLimitBusyOnesStay) {
  ServerProcess server({"--port", "0", "--idle-limit", "1", "--quiet"});
  const std::string query = "select 1 as one";
  RawClient idle(server.DataPort());
  RawClient busy(server.DataPort());
  EXPECT_EQ(SelectRows(idle, 1, query), "1\x02\x04NULL\x04");
  // The busy client asks again every 0.3 s, well past the limit in all.
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(SelectRows(busy, i + 1, query), "1\x02\x04NULL\x04");
    EXPECT_FALSE(busy.WaitClosed(Millis(300)));
  }
  EXPECT_TRUE(idle.WaitClosed(Millis(5000)));
  EXPECT_EQ(SelectRows(busy, 99, query), "1\x02\x04NULL\x04");
}

TEST(ServerProcess, BlockingClientIsClosedAfterItsAnswers) {
  ServerProcess server({"--port", "0", "--quiet"});
  RawClient c(server.DataPort());
  TRdaStringLine request = Select(1, "select 1 as one");
  c.SendRaw(std::string("\xff\xff\xff\xff", 4) + RawClient::Frame(request.Compose()));
  EXPECT_EQ(c.ReadLine().Token(), tkFieldDescriptions);
  EXPECT_EQ(c.ReadLine().Token(), tkRowPacket);
  EXPECT_TRUE(c.WaitClosed(Millis(2000)));
}

TEST(ServerProcess, DatabaseFileOutlivesTheServerAndStopIsClean) {
  char dir[] = "/tmp/rdaserver-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/company.db";
  {
    ServerProcess server({"--port", "0", "--db", file, "--quiet"});
    RawClient c(server.DataPort());
    EXPECT_EQ(SelectRows(c, 1, "CREATE TABLE k (v TEXT); INSERT INTO k VALUES ('kept'); SELECT v FROM k"),
              "kept\x02\x04NULL\x04");
    server.Stop();
    EXPECT_TRUE(server.ExitedCleanly());  // with a client still connected
  }
  {
    ServerProcess server({"--port", "0", "--db", file, "--quiet"});
    RawClient c(server.DataPort());
    EXPECT_EQ(SelectRows(c, 1, "SELECT v FROM k"), "kept\x02\x04NULL\x04");
  }
  std::filesystem::remove_all(dir);
}

// PostgreSQL stopped under connected clients and started again: requests in
// between fail with the database's message (no hang, no crash), the server
// keeps answering what needs no database, and once PostgreSQL is back the
// same connections and new ones are served without restarting rdaserver,
// also a client that sent nothing while it was away.
TEST(ServerProcess, ClientsOutlivePostgresStoppedAndStartedAgain) {
  std::unique_ptr<test::PostgresCluster> pg;
  try {
    pg = std::make_unique<test::PostgresCluster>();
  } catch (const std::exception& e) {
    FAIL() << "PostgreSQL could not be started: " << e.what();
  }
  const std::string uri = pg->CreateDatabase();
  pg->Exec("CREATE TABLE items (id INTEGER PRIMARY KEY, n INTEGER); INSERT INTO items VALUES (1, 10)",
           uri.substr(uri.rfind('/') + 1));
  ServerProcess server({"--port", "0", "--db", uri, "--quiet"});
  const std::string kRead = "SELECT n FROM items WHERE id = 1";
  auto update = [](RawClient& c, int id, int n) {
    TRdaStringLine line;
    line.SetToken(tkExecuteSql);
    line.SetMsgId(id);
    line.AddField("UPDATE items SET n = " + std::to_string(n) + " WHERE id = 1\r\n");
    for (int i = 0; i < 3; ++i) line.AddField("");
    c.Send(line);
    TRdaStringLine first = c.ReadLine(Millis(15000));
    if (first.Token() == tkSqlError) return "error: " + first.NextFieldText();
    return std::string(first.Token() == tkCodedParamList && c.ReadLine().Token() == tkAcknowledge ? "ok" : "?");
  };
  // The connection's fault in the engine's words: libpq's or PostgreSQL's.
  auto isConnectionError = [](std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text.rfind("error: ", 0) == 0 && text.find("connection") != std::string::npos;
  };

  RawClient busy(server.DataPort());
  RawClient idle(server.DataPort());
  for (RawClient* c : {&busy, &idle}) ASSERT_EQ(SelectRows(*c, 1, kRead), "10\x02\x04NULL\x04");

  pg->Stop();
  const std::string selectError = SelectRows(busy, 2, kRead);
  EXPECT_TRUE(isConnectionError(selectError)) << selectError;
  const std::string updateError = update(busy, 3, 20);
  EXPECT_TRUE(isConnectionError(updateError)) << updateError;
  RawClient during(server.DataPort());
  const std::string newClientError = SelectRows(during, 1, kRead);
  EXPECT_TRUE(isConnectionError(newClientError)) << newClientError;
  ASSERT_TRUE(server.Running());
  TRdaStringLine ping;
  ping.SetToken(tkServerUtility);
  ping.AddField(int32_t{suPing});
  ping.AddField("");
  busy.Send(ping);
  TRdaStringLine pong = busy.ReadLine();
  EXPECT_EQ(pong.Token(), tkCodedMessage);
  EXPECT_EQ(pong.NextFieldInteger(), miPingAnswer);

  pg->Start();
  for (RawClient* c : {&idle, &busy, &during}) EXPECT_EQ(SelectRows(*c, 4, kRead), "10\x02\x04NULL\x04");
  EXPECT_EQ(update(idle, 5, 11), "ok");
  RawClient after(server.DataPort());
  EXPECT_EQ(SelectRows(after, 1, kRead), "11\x02\x04NULL\x04");
  EXPECT_TRUE(server.Running());
}

TEST(ServerProcess, StartFailuresAreReported) {
  EXPECT_THROW(ServerProcess({"--port", "0", "--init", "/nonexistent/script.sql"}), std::runtime_error);
  EXPECT_THROW(ServerProcess({"--encryption", "des"}), std::runtime_error);
  ServerProcess first({"--port", "0", "--quiet"});
  EXPECT_THROW(ServerProcess({"--port", std::to_string(first.DataPort())}), std::runtime_error);
}

TEST(ServerProcess, TlsPortAnswersAsPlainTcpAndRefusesWhatItCannotTrust) {
  const TestCertificates certs;
  const std::string query = "Select XCompanyCode From VNXHOSTS Order By 1";
  ServerProcess plain({"--port", "0", "--init", kDemoScript});
  RawClient tcp(plain.DataPort());
  const std::string expected = SelectRows(tcp, 1, query);
  ASSERT_EQ(expected.rfind("error:", 0), std::string::npos) << expected;
  const std::string bigQuery = "select '" + std::string(40000, 'x') + "' as big";
  const std::string bigExpected = SelectRows(tcp, 2, bigQuery);
  ASSERT_GT(bigExpected.size(), 40000u);

  ServerProcess server({"--port", "0", "--init", kDemoScript, "--handshake-timeout", "2",
                        "--tls-cert", certs.ServerCert(), "--tls-key", certs.ServerKey()});
  // Several requests on one TLS session, one of them larger than a record.
  TlsRawClient c(server.DataPort(), certs.Ca(), "localhost");
  EXPECT_EQ(SelectRows(c, 1, query), expected);
  EXPECT_EQ(SelectRows(c, 2, bigQuery), bigExpected);
  EXPECT_EQ(SelectRows(c, 3, query), expected);
  // Requests written together, several records in one segment (the socket
  // corked while they are written): each is answered, in order, without
  // waiting for more bytes from the client.
  TRdaStringLine one = Select(5, query);
  TRdaStringLine two = Select(6, bigQuery);
  TRdaStringLine three = Select(7, query);
  c.Cork(true);
  c.Send(one);
  c.Send(two);
  c.Send(three);
  c.Cork(false);
  for (int id : {5, 6, 7}) {
    EXPECT_EQ(c.ReadLine().Token(), tkFieldDescriptions);
    TRdaStringLine packet = c.ReadLine();
    EXPECT_EQ(packet.MsgId(), id);
    packet.NextFieldText();
    EXPECT_EQ(packet.NextFieldText(), id == 6 ? bigExpected : expected);
  }

  struct Refused {
    const char* name;
    std::string ca;
    std::string host;
    std::string error;
  };
  const std::vector<Refused> refused = {
      {"another CA", certs.OtherCa(), "localhost", "unable to get local issuer certificate"},
      {"wrong host name", certs.Ca(), "db.example.org", "hostname mismatch"},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.name);
    try {
      TlsRawClient untrusting(server.DataPort(), r.ca, r.host);
      ADD_FAILURE() << "the handshake succeeded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("certificate verify failed: " + r.error), std::string::npos)
          << e.what();
    }
  }

  // A plain client gets the connection closed, not a hang: at once when it
  // sends frames, within the handshake limit when it waits.
  RawClient talker(server.DataPort());
  TRdaStringLine request = Select(1, query);
  talker.Send(request);
  EXPECT_TRUE(talker.WaitClosed(Millis(1500)));
  RawClient silent(server.DataPort());
  EXPECT_TRUE(silent.WaitClosed(Millis(10000)));
  // The server still serves TLS clients afterwards.
  EXPECT_EQ(SelectRows(c, 4, query), expected);
  // By address too: the certificate names 127.0.0.1.
  TlsRawClient later(server.DataPort(), certs.Ca(), "127.0.0.1");
  EXPECT_EQ(SelectRows(later, 1, query), expected);
}

TEST(ServerProcess, TlsOptionsRefuseBadFiles) {
  const TestCertificates certs;
  struct Case {
    const char* name;
    std::string args;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"certificate alone", "--tls-cert " + certs.ServerCert(), 2,
       "--tls-cert and --tls-key go together"},
      {"missing certificate", "--tls-cert /nonexistent.pem --tls-key " + certs.ServerKey(), 1,
       "--tls-cert /nonexistent.pem is not a usable certificate"},
      {"key as certificate", "--tls-cert " + certs.ServerKey() + " --tls-key " + certs.ServerKey(), 1,
       "is not a usable certificate"},
      {"key of another certificate", "--tls-cert " + certs.ServerCert() + " --tls-key " + certs.Ca(), 1,
       "is not a usable private key"},
      {"mismatched key", "--tls-cert " + certs.ServerCert() + " --tls-key " + certs.OtherKey(), 1,
       "key values mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto f = test::RunRdaserver("--port 0 " + c.args);
    EXPECT_EQ(f.code, c.code) << f.output;
    EXPECT_NE(f.output.find(c.message), std::string::npos) << f.output;
  }
}

}  // namespace
}  // namespace rda
