// TRdaClientSocket on its own: settings and defaults, the address rules of Loaded,
// state texts, components and copying a connection.
#include <gtest/gtest.h>

#include <QAbstractSocket>
#include <map>

#include "ConnectionTestSupport.h"
#include "base/Exception.h"
#include "connection/RdaSmartWait.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RecordingComponent;
using test::RecordingUI;

TEST(ClientSocket, PublishedDefaults) {
  TRdaClientSocket s;
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.Address(), "127.0.0.1");
  EXPECT_EQ(s.Host(), "");
  EXPECT_EQ(s.Port(), 9000);
  EXPECT_EQ(s.ClientType(), ctNonBlocking);
  EXPECT_EQ(s.ConnectAction(), caFastConnectCombo);
  EXPECT_EQ(s.AutoLoginDlg(), ltNoChallenge);
  EXPECT_EQ(s.LoginMaxAttempts(), 0);
  EXPECT_EQ(s.KeepAlivePing(), 0);
  EXPECT_EQ(s.Encryption(), etNoEncryption);
  EXPECT_EQ(s.Compression(), acNoCompression);
  EXPECT_EQ(s.StatusBar(), nullptr);
  EXPECT_EQ(s.AnchorStatus(), TACNoAnchor);
  EXPECT_FALSE(s.ProgressBar());
  EXPECT_EQ(s.CursorOnQueries(), cqNoChange);
  EXPECT_EQ(s.SQLErrorHandling(), TRdaSQLErrorSet{seAsExceptions});
  EXPECT_EQ(s.SQLDialect(), sqlNone);
  EXPECT_TRUE(s.SQLOptions().Empty());
  EXPECT_EQ(s.UpdateSQLSyntax(), usBDE);
  EXPECT_EQ(s.SQLTransactionStart(), "BEGIN TRANSACTION");
  EXPECT_EQ(s.SQLTransactionEnd(), "COMMIT");
  EXPECT_EQ(s.CacheMetaDataOptions(), smNoCache);
  EXPECT_EQ(s.BlockingTimeout(), 5000);
  EXPECT_EQ(s.WriteChunkSize(), 4096);
  EXPECT_EQ(s.ReplyTimeout(), 60000);
  EXPECT_EQ(s.TransportMode(), 0);
  EXPECT_TRUE(s.DirectTcp());
  EXPECT_EQ(s.ServerVersion(), 0.0);
  EXPECT_EQ(s.SessionId(), 0);
  EXPECT_EQ(s.State(), TRdaConnectionState::Inactive);
  EXPECT_EQ(s.AnchorStatusText(), "No Connection");
}

TEST(ClientSocket, LzhCompressionIsStoredThenRefused) {
  TRdaClientSocket s;
  EXPECT_TRUE(test::RaisesWith<Exception>([&] { s.SetCompression(acRdaCompress); },
                                          "Lzh compression only supported Rda Custom "
                                          "Compression\rUse RdaZLib!"));
  EXPECT_EQ(s.Compression(), acRdaCompress);
}

TEST(ClientSocket, DialectPresets) {
  TRdaClientSocket s;
  s.SetSQLOptions({ssBracketsInFieldNames});
  s.SetSQLDialect(sqlOracle);  // keeps the options, sets the masks
  EXPECT_EQ(s.SQLOptions(), TRdaServerSQLOptions{ssBracketsInFieldNames});
  EXPECT_EQ(s.DateMaskForSQL(), "DD-MMM-YYYY");
  EXPECT_EQ(s.DateTimeMaskForSQL(), "DD-MMM-YYYY HH:NN:SS");
  s.SetSQLDialect(sqlAdvantage);
  EXPECT_EQ(s.SQLOptions().Bits(), (1u << 0) | (1u << 8));
  EXPECT_EQ(s.DateMaskForSQL(), "YYYY-MM-DD");
  s.SetSQLDialect(sqlNone);
  EXPECT_TRUE(s.SQLOptions().Empty());
  EXPECT_EQ(s.DateMaskForSQL(), "YYYY-MM-DD");  // masks unchanged by sqlNone
}

struct AddressCase {
  std::string address;
  std::vector<std::string> commandLine;
  std::string wantAddress;
  std::string wantHost;
  int wantPort;
  uint8_t wantMode;
};

TEST(ClientSocket, AddressRulesAndCommandLineOverrides) {
  const AddressCase cases[] = {
      {"LOCAL", {}, "127.0.0.1", "", 9000, 0},
      {"mylocalhost", {}, "127.0.0.1", "", 9000, 0},  // "LOCAL" anywhere, any case
      {"myhost", {}, "myhost", "myhost", 9000, 0},
      {"10.1.2.3:9406", {}, "10.1.2.3", "", 9406, 0},
      {"1.2:99", {}, "1.2:99", "", 9000, 0},  // the colon comes too early
      {"10.1.2.3:abc", {}, "10.1.2.3", "", 0, 0},
      {"10.1.2.3", {"-http"}, "10.1.2.3", "", 9000, 1},
      {"10.1.2.3", {"Port=12"}, "10.1.2.3", "", 12, 0},
      {"10.1.2.3", {"xPort=12"}, "10.1.2.3", "", 9000, 0},  // read at fixed positions
      {"10.1.2.3", {"ipaddress=server7"}, "server7", "server7", 9000, 0},
      {"10.1.2.3", {"IPAddress=10.9.9.9", "IPAddress=10.8.8.8"}, "10.9.9.9", "", 9000, 0},
  };
  for (const AddressCase& c : cases) {
    TRdaClientSocket s;
    s.SetAddress(c.address);
    s.SetCommandLine(c.commandLine);
    EXPECT_TRUE(test::Core(s).ApplyAddressRules()) << c.address;
    EXPECT_EQ(s.Address(), c.wantAddress) << c.address;
    EXPECT_EQ(s.Host(), c.wantHost) << c.address;
    EXPECT_EQ(s.Port(), c.wantPort) << c.address;
    EXPECT_EQ(s.TransportMode(), c.wantMode) << c.address;
    EXPECT_EQ(test::Core(s).MessageStack().TransportMode(), c.wantMode) << c.address;
  }

  TRdaClientSocket s;
  s.SetCommandLine({"ServerProxiedAddress=10.0.0.5", "ServerProxiedPort=9406", "compression",
                    "-login"});
  ASSERT_TRUE(test::Core(s).ApplyAddressRules());
  EXPECT_EQ(s.ProxiedAddress(), "10.0.0.5");
  EXPECT_EQ(s.ProxiedPort(), 9406);
  EXPECT_EQ(s.Compression(), acRdaZLib);
  EXPECT_EQ(s.AutoLoginDlg(), ltLoginDlg);

  TRdaClientSocket empty;
  empty.SetAddress("");
  EXPECT_FALSE(test::Core(empty).ApplyAddressRules());
}

TEST(ClientSocket, CustomConnectWithoutAddressEndsTheApplication) {
  TRdaClientSocket s;
  RecordingUI ui;
  s.SetUserInterface(&ui);
  s.SetConnectAction(caCustomConnect);
  s.SetAddress("127.0.0.1");
  bool asked = false;
  s.OnCustomConnect = [&] {
    asked = true;
    EXPECT_EQ(s.Address(), "");  // cleared before the event
    s.SetAddress("127.0.0.1");   // but no port
  };
  s.Loaded();
  EXPECT_TRUE(asked);
  EXPECT_EQ(ui.messages, std::vector<std::string>{"The Server Address and Port have not been set properly."});
  EXPECT_EQ(ui.terminated, 1);
  EXPECT_EQ(s.State(), TRdaConnectionState::Inactive);
}

class Panels : public TRdaStatusDisplay {
 public:
  bool SimplePanel() const override { return simple; }
  void SetSimpleText(const std::string& text) override { simpleText = text; }
  void SetPanelText(int panel, const std::string& text) override { panels[panel] = text; }
  bool simple = false;
  std::string simpleText;
  std::map<int, std::string> panels;
};

TEST(ClientSocket, StateTextsGoToTheStatusDisplayAndTheEvent) {
  test::FakePeer peer;
  std::vector<std::string> texts;
  Panels panels;
  panels.panels[1] = "kept";
  {
    TRdaClientSocket s;
    s.SetPort(peer.Port());
    s.SetStatusBar(&panels);
    EXPECT_EQ(panels.panels[0], "No Connection");  // shown when assigned
    s.OnConnectStatusChange = [&](const std::string& t) { texts.push_back(t); };
    s.OnDisconnect = [] {};
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
    EXPECT_EQ(panels.panels[0], "Connected to Server");
    EXPECT_EQ(panels.panels[1], "kept");
    panels.simple = true;
    s.CloseAndWait();
    EXPECT_EQ(panels.simpleText, "Disconnected from Server");
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Connected to Server", "Disconnected from Server"}));

  // A display destroyed first is forgotten.
  TRdaClientSocket s;
  {
    Panels shortLived;
    s.SetStatusBar(&shortLived);
  }
  EXPECT_EQ(s.StatusBar(), nullptr);
}

TEST(ClientSocket, ComponentIdsCountUpAndAreNotReused) {
  TRdaClientSocket s;
  EXPECT_EQ(s.ComponentId(nullptr), -1);
  RecordingComponent a;
  const int idA = s.ComponentId(&a);
  int idB = 0;
  {
    RecordingComponent b;
    idB = s.ComponentId(&b);
    EXPECT_EQ(s.ComponentById(idB), &b);
  }
  EXPECT_EQ(idA, 1);
  EXPECT_EQ(idB, 2);
  EXPECT_EQ(s.ComponentId(&a), idA);
  EXPECT_EQ(s.ComponentById(idB), nullptr);  // b left the registry when it went
  RecordingComponent c;
  EXPECT_EQ(s.ComponentId(&c), 3);
  EXPECT_EQ(s.ComponentById(99), nullptr);
  // A connection that goes first is forgotten by its components.
  auto other = std::make_unique<TRdaClientSocket>();
  other->ComponentId(&c);
  other->BindDataset(&c);
  other.reset();
}

TEST(ClientSocket, CloneCopiesSettingsHandlersAndSessionRule) {
  TRdaClientSocket s;
  s.SetAddress("10.1.1.1");
  s.SetPort(9406);
  s.SetUserName("ann");
  s.SetPassword("pw");
  s.SetEncryption(etDESEncrypt);
  s.SetEncryptKeyIn("secret12");
  s.SetCompression(acRdaZLib);
  s.SetSQLErrorHandling({seAsExceptions, seToStatusBar});
  s.SetDateMaskForSQL("YYYY");
  s.SetApplicationName("kept-at-default");
  int sqlErrors = 0;
  s.OnSQLError = [&](const std::string&) { ++sqlErrors; };
  s.OnCustomSQLSyntax = [](TDataSet&, TDataSet&, const std::string&, std::string&, bool&) {};
  std::unique_ptr<TRdaClientSocket> c = s.CloneConnection();
  EXPECT_EQ(c->Address(), "10.1.1.1");
  EXPECT_EQ(c->Port(), 9406);
  EXPECT_EQ(c->UserName(), "ann");
  EXPECT_EQ(c->Password(), "pw");
  EXPECT_EQ(c->Encryption(), etDESEncrypt);
  EXPECT_EQ(c->EncryptKeyIn(), "secret12");
  EXPECT_TRUE(test::Core(*c).Transforms().HasDESKey());
  EXPECT_EQ(c->Compression(), acRdaZLib);
  EXPECT_EQ(c->SQLErrorHandling(), s.SQLErrorHandling());
  EXPECT_EQ(c->DateMaskForSQL(), "YYYY");
  EXPECT_EQ(c->ApplicationName(), "");
  ASSERT_TRUE(c->OnSQLError);
  c->OnSQLError("x");
  EXPECT_EQ(sqlErrors, 1);
  EXPECT_TRUE(c->OnCustomSQLSyntax);
  // The same body travels both ways between the two.
  const std::string packed = test::Core(s).Transforms().PackMessage("hello");
  EXPECT_EQ(test::Core(*c).Transforms().UnpackMessage(packed), "hello");

  // Session ids: a source without one takes the copy's; otherwise the copy takes it.
  c->SetSessionId(77);
  s.CopyConnectionTo(*c);
  EXPECT_EQ(s.SessionId(), 77);
  s.SetSessionId(5);
  s.CopyConnectionTo(*c);
  EXPECT_EQ(c->SessionId(), 5);
}

// A copy works for its source: it goes the same way (limits, proxies) and logs in as
// the same user; what each connection keeps for itself stays as the copy has it, also
// when the copying step runs again into an existing copy.
TEST(ClientSocket, ACopySharesTheRoadAndKeepsItsOwnSettings) {
  TRdaClientSocket s;
  s.SetReplyTimeout(5000);
  s.SetConnectTimeout(7000);
  s.SetSocksHost("10.0.0.7");
  s.SetSocksPort(1080);
  s.SetProxyUserName("pu");
  s.SetProxyPassword("pp");
  s.SetApplicationName("source app");
  s.SetApplicationVersion("6.251");
  s.SetAutoLoginDlg(ltLoginNoDlg);
  s.SetLoginMaxAttempts(3);
  s.SetConnectAction(caNone);
  s.SetSQLTransactionStart("BEGIN");
  s.SetBlockingTimeout(100);
  std::unique_ptr<TRdaClientSocket> c = s.CloneConnection();
  const TRdaConnectionSettings& copied = c->Settings();
  EXPECT_EQ(copied.ReplyTimeout, 5000);
  EXPECT_EQ(copied.ConnectTimeout, 7000);
  EXPECT_EQ(copied.SocksHost, "10.0.0.7");
  EXPECT_EQ(copied.SocksPort, 1080);
  EXPECT_EQ(copied.ProxyUserName, "pu");
  EXPECT_EQ(copied.ProxyPassword, "pp");
  const TRdaConnectionSettings defaults;
  EXPECT_EQ(copied.ApplicationName, defaults.ApplicationName);
  EXPECT_EQ(copied.ApplicationVersion, defaults.ApplicationVersion);
  EXPECT_EQ(copied.AutoLoginDlg, defaults.AutoLoginDlg);
  EXPECT_EQ(copied.LoginMaxAttempts, defaults.LoginMaxAttempts);
  EXPECT_EQ(copied.ConnectAction, defaults.ConnectAction);
  EXPECT_EQ(copied.SQLTransactionStart, defaults.SQLTransactionStart);
  EXPECT_EQ(copied.BlockingTimeout, defaults.BlockingTimeout);

  c->SetApplicationName("the copy's own");
  c->SetClientType(ctBlocking);
  s.SetUserName("bob");
  s.CopyConnectionTo(*c);
  EXPECT_EQ(c->UserName(), "bob");
  EXPECT_EQ(c->ApplicationName(), "the copy's own");
  EXPECT_EQ(c->ClientType(), ctBlocking);
}

TEST(ClientSocket, ErrorCodesOfQtSocketErrors) {
  struct Case {
    QAbstractSocket::SocketError qt;
    bool connected;
    int code;
  };
  const Case cases[] = {
      {QAbstractSocket::ConnectionRefusedError, false, 10061},
      {QAbstractSocket::RemoteHostClosedError, true, 10054},
      {QAbstractSocket::NetworkError, false, 10065},
      {QAbstractSocket::NetworkError, true, 10053},
      {QAbstractSocket::SocketTimeoutError, false, 10060},
      {QAbstractSocket::HostNotFoundError, false, 11001},
      {QAbstractSocket::AddressInUseError, false, 10048},
      {QAbstractSocket::UnknownSocketError, true, 10022},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WinsockCodeForSocketError(static_cast<int>(c.qt), c.connected), c.code) << c.qt;
  EXPECT_EQ(SocketErrorText(10061), "10061: Connection refused.  Verify that a server is available.");
  EXPECT_EQ(SocketErrorText(10053).substr(0, 47), "10053: Software caused connection abort.  The s");
  EXPECT_EQ(SocketErrorText(10054),
            "10054: Software caused connection abort.  The server terminated the connection. It "
            "is possible that the server has terminated.");
  EXPECT_EQ(SocketErrorText(10065),
            "10065: The client cannot reach the destination network. Verify that your target "
            "network is available and that a firewall is not blocking your protocol and port");
  EXPECT_EQ(SocketErrorText(10060), "");
}

}  // namespace
}  // namespace rda
