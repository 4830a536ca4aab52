// Company codes, settings files, the resolver and the LAN probe.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <deque>
#include <optional>

#include "base/Exception.h"
#include "install/IniFile.h"
#include "install/InstallSettings.h"
#include "install/VNXDBSys.h"
#include "tests/install/InstallTestSupport.h"

namespace rda {
namespace {

using test::TempDir;

TEST(SplitAt, RightPartStartsOneCharacterAfterTheSeparatorsStart) {
  struct Case {
    std::string text, sep;
    bool found;
    std::string left, right;
  } cases[] = {
      {"127.0.0.1:9406", ":", true, "127.0.0.1", "9406"},
      {"a:b:c", ":", true, "a", "b:c"},
      {":9406", ":", true, "", "9406"},
      {"a::b", "::", true, "a", ":b"},
      {"ACME", ":", false, "untouched", "untouched"},
  };
  for (const Case& c : cases) {
    std::string left = "untouched", right = "untouched";
    EXPECT_EQ(SplitAt(c.text, c.sep, left, right), c.found) << c.text;
    EXPECT_EQ(left, c.left) << c.text;
    EXPECT_EQ(right, c.right) << c.text;
  }
}

TEST(GetCompanyCode, FromFirstArgumentThenProgramName) {
  struct Case {
    std::string argument, program, code;
  } cases[] = {
      {"ACME", "/opt/TamrixInstall", "ACME"},
      {"acme.ini", "/opt/TamrixInstall", "ACME"},
      {"Acme.Ini.bak", "/opt/TamrixInstall", "ACME"},
      {"127.0.0.1:9406", "/opt/TamrixInstall", "127.0.0.1:9406"},
      {"tcp", "/opt/TamrixInstallAcme", "ACME"},
      {"TCP", "/opt/TamrixInstall", ""},
      {"", "/opt/TamrixInstall", ""},
      {"", "/opt/TamrixInstall.exe", ""},
      {"", "/opt/TamrixInstallAcme.exe", "ACME"},
      {"", "/opt/tamrixinstallacme", "ACME"},
      {"", "/opt/TamrixInstallAbcdefghijklmnopqrs.exe", "ABCDEFGHIJKLMNOP"},
      {"", "/opt/Tamrix", ""},
      {"", "/opt/Setup.TamrixInstallAcme", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    if (!c.argument.empty()) args.push_back(c.argument);
    const auto cmd = TInstallCommandLine::Parse(c.program, args);
    EXPECT_EQ(GetCompanyCode(cmd, "TAMRIXINSTALL"), c.code) << c.argument << " " << c.program;
  }
}

TEST(InstallCommandLine, OwnOptionsAreNeverTheFirstArgument) {
  const auto cmd = TInstallCommandLine::Parse(
      "/x/TamrixInstall", {"--headless", "--web-port", "8080", "acme", "--company-code", "DEMO"});
  EXPECT_EQ(cmd.FirstArgument, "acme");
  EXPECT_TRUE(cmd.Headless);
  EXPECT_EQ(cmd.WebServerPort, 8080);
  EXPECT_EQ(cmd.CompanyCode, "DEMO");
  EXPECT_EQ(cmd.OwnIniFile(), "/x/TamrixInstall.ini");
  EXPECT_EQ(TInstallCommandLine::Parse("/x/TamrixInstall.exe", {}).OwnIniFile(),
            "/x/TamrixInstall.ini");

  // Qt's own options and their values are left to the application.
  EXPECT_EQ(TInstallCommandLine::Parse("/x/TamrixInstall",
                                       {"-platform", "offscreen", "--style=fusion", "-reverse",
                                        "--stylesheet", "a.qss", "acme"})
                .FirstArgument,
            "acme");
  EXPECT_TRUE(TInstallCommandLine::Parse("/x/TamrixInstall", {"-h"}).Help);
  EXPECT_EQ(TInstallCommandLine::Parse("/x/TamrixInstall", {"-h"}).FirstArgument, "");

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--web-port"}, {"--web-port", "80x"}, {"--web-port", "0"},
        {"--xserver-port", "70000"}, {"--xserver-port", "-5"}, {"--frobnicate"}, {"-H"},
        {"-platform"}, {"--company-code", "ACME"}, {"--tls-ca"}, {"--tls-ca", ""}}) {
    EXPECT_THROW(TInstallCommandLine::Parse("/x/TamrixInstall", bad), Exception) << bad[0];
  }
}

TEST(InstallSettings, FileBesideTheProgramThenEnvironment) {
  TempDir dir;
  EXPECT_EQ(TInstallSettings::Load(dir.Path() + "/").DirectoryPort, 9399);
  dir.Write("tamrixdeploy.ini", "[Deployment]\r\nDirectoryPort=9500\r\nModuleFtpHost=ftp.local\r\n");
  setenv("TAMRIX_MODULE_FTP_PORT", "2121", 1);
  const auto s = TInstallSettings::Load(dir.Path() + "/");
  unsetenv("TAMRIX_MODULE_FTP_PORT");
  EXPECT_EQ(s.DirectoryPort, 9500);
  EXPECT_EQ(s.ModuleFtpHost, "ftp.local");
  EXPECT_EQ(s.ModuleFtpPort, 2121);
  EXPECT_EQ(s.DemoHost, "localhost");
  EXPECT_EQ(s.WebServerPort, 80);

  setenv("TAMRIX_WEB_PORT", "eighty", 1);
  EXPECT_THROW(TInstallSettings::Load(dir.Path() + "/"), Exception);
  unsetenv("TAMRIX_WEB_PORT");
  dir.Write("TamrixDeploy.ini", "[Deployment]\nDemoHost=two words\n");
  EXPECT_THROW(TInstallSettings::Load(dir.Path() + "/"), Exception);
}

// TLS of the direct connections: the file, the environment over it, the options over
// both; a Tls that is no yes or no is refused wherever it comes from.
TEST(InstallSettings, TlsFromTheFileTheEnvironmentAndTheOptions) {
  struct Case {
    std::string file;                // lines of [Deployment]
    std::optional<std::string> tls;  // TAMRIX_TLS
    std::optional<std::string> ca;   // TAMRIX_TLS_CA
    std::vector<std::string> args;
    bool useTls;
    std::string caFile;
    std::string error;  // what Load raises
  } cases[] = {
      {"", {}, {}, {}, false, "", ""},
      {"Tls=yes\nTlsCaFile=/site/ca.pem\n", {}, {}, {}, true, "/site/ca.pem", ""},
      {"Tls=TRUE\n", {}, {}, {}, true, "", ""},
      {"Tls=1\nTlsCaFile=/site/ca.pem\n", "No", "", {}, false, "", ""},
      {"Tls=no\n", "1", "/env/ca.pem", {}, true, "/env/ca.pem", ""},
      {"Tls=false\n", "0", {}, {"--tls"}, true, "", ""},
      {"TlsCaFile=/site/ca.pem\n", {}, {}, {"--tls"}, true, "/site/ca.pem", ""},
      {"Tls=0\nTlsCaFile=/site/ca.pem\n", {}, {}, {"--tls-ca", "/mine.pem"}, true, "/mine.pem", ""},
      {"Tls=on\n", {}, {}, {}, false, "", "Invalid deployment setting Tls: on"},
      {"Tls=\n", {}, {}, {}, false, "", "Invalid deployment setting Tls: "},
      {"Tls=1\n", "2", {}, {}, false, "", "Invalid deployment setting TAMRIX_TLS: 2"},
      {"", "yes please", {}, {"--tls"}, false, "", "Invalid deployment setting TAMRIX_TLS: yes please"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string name = c.file + " TAMRIX_TLS=" + c.tls.value_or("(none)") + " " +
                             (c.args.empty() ? std::string() : c.args[0]);
    dir.Write("TamrixDeploy.ini", "[Deployment]\n" + c.file);
    const auto set = [](const char* variable, const std::optional<std::string>& value) {
      if (value) {
        setenv(variable, value->c_str(), 1);
      } else {
        unsetenv(variable);
      }
    };
    set("TAMRIX_TLS", c.tls);
    set("TAMRIX_TLS_CA", c.ca);
    try {
      const TInstallSettings s = TInstallSettings::Load(dir.Path() + "/");
      const TInstallCommandLine cmd = TInstallCommandLine::Parse("/x/TamrixInstall", c.args);
      EXPECT_EQ(c.error, "") << name;
      EXPECT_EQ(cmd.UseTls(s), c.useTls) << name;
      EXPECT_EQ(cmd.TlsCaFileOf(s), c.caFile) << name;
      EXPECT_EQ(cmd.FirstArgument, "") << name;
    } catch (const Exception& e) {
      EXPECT_EQ(e.what(), c.error) << name;
    }
  }
  unsetenv("TAMRIX_TLS");
  unsetenv("TAMRIX_TLS_CA");
}

TEST(IniFile, ReadsAsWindowsDoes) {
  const TIniFile ini = TIniFile::FromText(
      "; a comment\r\n[xserver]\r\n  XServerHost = acme.example \r\nxserverport=9407\r\n"
      "XServerPort=1\r\nHex=$1F\r\nBad=12ab\r\nHuge=99999999999\r\n[Other]\r\nKey=v\r\n");
  EXPECT_EQ(ini.ReadString("XServer", "XSERVERHOST", ""), "acme.example");
  EXPECT_EQ(ini.ReadInteger("XServer", "XServerPort", 0), 9407);  // the first one counts
  EXPECT_EQ(ini.ReadInteger("XServer", "Hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("XServer", "Bad", 7), 7);
  EXPECT_EQ(ini.ReadInteger("XServer", "Huge", 7), 7);
  EXPECT_EQ(ini.ReadString("XServer", "Key", "none"), "none");  // another section's key
  EXPECT_EQ(ini.ReadString("Missing", "Key", "none"), "none");
}

TEST(IniFile, WritingKeepsOrderCommentsAndLineEnds) {
  TIniFile lf = TIniFile::FromText("# keep\n[A]\nx=1\n\n[B]\ny=2\n");
  lf.WriteString("a", "z", "3");      // after A's last key, before the blank line
  lf.WriteString("B", "Y", "20");     // replaced in place, the name as it was
  lf.WriteInteger("C", "n", -5);      // a new section at the end
  EXPECT_EQ(lf.Text(), "# keep\n[A]\nx=1\nz=3\n\n[B]\ny=20\n\n[C]\nn=-5\n");

  TIniFile fresh = TIniFile::FromText("");
  fresh.WriteString("XServer", "XServerPort", "9406");
  EXPECT_EQ(fresh.Text(), "[XServer]\r\nXServerPort=9406\r\n");

  // A value that would become a line of its own is refused, and nothing changes.
  EXPECT_THROW(fresh.WriteString("XServer", "XServerHost", "evil\r\nXServerPort=1"), Exception);
  EXPECT_EQ(fresh.Text(), "[XServer]\r\nXServerPort=9406\r\n");
}

TEST(IniFile, OversizedFileIsRefusedAndUnreadableFileRaises) {
  TempDir dir;
  const std::string big = dir.Write("big.ini", std::string(TIniFile::kMaxFileSize + 1, 'x'));
  EXPECT_THROW(TIniFile{big}, Exception);
  EXPECT_THROW(TIniFile{dir.Path()}, EFOpenError);  // a folder
  EXPECT_NO_THROW(TIniFile{dir.File("missing.ini")});
}

TEST(ServerIni, WritesTheSystemsKeysInOrderAndReadsThemBack) {
  TempDir dir;
  const std::string own = dir.Write("TamrixInstall.ini", "[Misc]\r\nKeep=me\r\n");
  WriteServerIni(own, TXServerLocation{"", "10.1.2.3", 9407});  // no host: left out
  WriteWebServerIni(own, "web.acme", "127.0.0.1", "isapi/Rdahttp.dll", 8080);
  EXPECT_EQ(test::ReadTextFile(own),
            "[Misc]\r\nKeep=me\r\n\r\n[XServer]\r\nXServerHostIP=10.1.2.3\r\nXServerPort=9407\r\n"
            "WebServerHost=web.acme\r\nWebServerPort=8080\r\nWebXServerLANIP=127.0.0.1\r\n"
            "WebISAPIDLL=isapi/Rdahttp.dll\r\n");

  TXServerLocation read{"old", "old", 1};
  ReadServerIni(own, read);
  EXPECT_EQ(read.Host, "");
  EXPECT_EQ(read.LanAddress, "10.1.2.3");
  EXPECT_EQ(read.Port, 9407);

  // A port that is not one makes the file count as not found, and says why.
  for (const char* port : {"70000", "-5", "65536"}) {
    const std::string bad =
        dir.Write("bad.ini", std::string("[XServer]\r\nXServerHostIP=10.1.2.3\r\nXServerPort=") +
                                 port + "\r\n");
    TXServerLocation refused{"old", "old", 1};
    EXPECT_EQ(ReadServerIni(bad, refused),
              bad + ": XServerPort " + port + " is not a port (1 to 65535)");
    EXPECT_EQ(refused.LanAddress, "") << port;
    EXPECT_EQ(refused.Port, 0) << port;
  }

  TXServerLocation missing{"old", "old", 1};
  EXPECT_EQ(ReadServerIni(dir.File("none.ini"), missing), "");  // every value replaced
  EXPECT_EQ(missing.Host, "");
  EXPECT_EQ(missing.LanAddress, "");
  EXPECT_EQ(missing.Port, 0);
}

// The dialog answers a script of replies (nullopt = Cancel).
class ScriptedDialogs : public TInstallDialogs {
 public:
  std::deque<std::optional<std::string>> replies;
  std::vector<std::string> shown;
  void MessageDlg(const std::string& text, TMsgDlgType type) override {
    shown.push_back(std::string(MsgDlgTypeName(type)) + ": " + text);
  }
  std::optional<std::string> EnterCompanyCode(const std::string& caption) override {
    shown.push_back("code dialog: " + caption);
    auto r = replies.empty() ? std::nullopt : replies.front();
    if (!replies.empty()) replies.pop_front();
    return r;
  }
};

TEST(AskCompanyCode, UpperCasedCutAtIniOrCancel) {
  ScriptedDialogs d;
  d.replies = {std::string("acme.ini"), std::string("demo"), std::nullopt};
  EXPECT_EQ(AskCompanyCode(d, "XTamrixInstall"), "ACME");
  EXPECT_EQ(AskCompanyCode(d, "XTamrixInstall"), "DEMO");
  EXPECT_EQ(AskCompanyCode(d, "XTamrixInstall"), "CANCEL");
  EXPECT_EQ(d.shown.front(), "code dialog: XTamrixInstall");
}

TEST(ResolveHostAddress, DottedAddressesPassNamesResolveFailuresCarryWinsockTexts) {
  EXPECT_EQ(ResolveHostAddress("10.20.30.40"), "10.20.30.40");
  EXPECT_EQ(ResolveHostAddress("localhost"), "127.0.0.1");
  // Names that fail inside the resolver itself, without asking a name server.
  for (const std::string& name : {std::string("bad..name"), std::string(64, 'a') + ".example",
                                 std::string(""), std::string("a\0b", 3)}) {
    try {
      ResolveHostAddress(name);
      ADD_FAILURE() << "resolved " << name;
    } catch (const EWinsockError& e) {
      EXPECT_EQ(e.Code(), 11001) << name;
      EXPECT_STREQ(e.what(), "[11001] Host not found");
    }
  }
}

TEST(WinsockErrorText, TableAndFallback) {
  EXPECT_EQ(WinsockErrorText(0), "[0] No Error");
  EXPECT_EQ(WinsockErrorText(10060), "[10060] Connection timed out");
  EXPECT_EQ(WinsockErrorText(10061), "[10061] Connection refused");
  EXPECT_EQ(WinsockErrorText(11002), "[11002] Non-Authoritative Host not found");
  EXPECT_EQ(WinsockErrorText(11003), "[11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP");
  EXPECT_EQ(WinsockErrorText(11004), "[11004] Valid name, no data record of requested type");
  int known = 0;
  for (int code = 0; code < 12000; ++code) {
    const std::string text = WinsockErrorText(code);
    if (text.rfind("Winsock error no ", 0) != 0) {
      ++known;
      EXPECT_EQ(text.rfind("[" + std::to_string(code) + "] ", 0), 0u) << text;
    }
  }
  EXPECT_EQ(known, 52);
  EXPECT_EQ(WinsockErrorText(10000), "Winsock error no 10000");
}

TEST(IsXServerLocal, TrueOnlyForTheEchoServiceAtPortPlus10000) {
  auto server = test::StartServerWithEcho({});
  EXPECT_TRUE(IsXServerLocal("127.0.0.1", server->DataPort()));
  EXPECT_FALSE(IsXServerLocal("127.0.0.1", server->DataPort() + 1));  // nothing there
  EXPECT_FALSE(IsXServerLocal("", server->DataPort()));
  EXPECT_FALSE(IsXServerLocal("127.0.0.1", 60000));  // no port + 10000
}

TEST(IsXServerLocal, SilentPeerEndsAtTheReadLimit) {
  // A listener that accepts and never answers: the probe must give up by itself.
  QTcpServer silent;
  int echoPort = 0;
  for (int i = 0; i < 20 && echoPort == 0; ++i) {
    const int p = test::FreeLoopbackPort();
    if (p > 10000 && silent.listen(QHostAddress::LocalHost, static_cast<quint16>(p))) echoPort = p;
  }
  ASSERT_GT(echoPort, 10000);
  // The probe's blocking calls leave no room for our event loop, so the connection is
  // accepted by the kernel's backlog alone; nothing is ever sent back.
  QElapsedTimer clock;
  clock.start();
  EXPECT_FALSE(IsXServerLocal("127.0.0.1", echoPort - 10000));
  EXPECT_LT(clock.elapsed(), 10000);
}

}  // namespace
}  // namespace rda
