// TamrixInstall --headless against real servers: the two roads, the company-code
// rules, the LAN probe, the settings files and the downloads that are not installed.
// Each test runs the program in a folder of its own, as a user would.
#include <gtest/gtest.h>

#include "tests/install/InstallTestSupport.h"
#include "tests/support/TestCertificates.h"

namespace rda {
namespace {

using test::ClientFolder;
using test::InstallSite;
using test::RunResult;
using test::SiteOptions;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

#define EXPECT_SHOWN(run, text) EXPECT_TRUE(Contains((run).out, text)) << (run).out << (run).err
#define EXPECT_NOT_SHOWN(run, text) \
  EXPECT_FALSE(Contains((run).out, text)) << (run).out << (run).err

constexpr char kInstalled[] = "Information: The Tamrix has been successfully installed.";
constexpr char kNotInstalled[] =
    "Warning: The Tamrix has NOT been installed.\r\n"
    "Please contact your Supplier for further assistance. Thank You.";
constexpr char kIncorrectCode[] =
    "Error: You have entered an incorrect Company Code. Try Again.\r\n"
    "(Type in DEMO if you want to run the Demo version).";

TEST(HeadlessInstall, TcpIpSucceedsAndInstallsByFtp) {
  InstallSite site;
  ClientFolder client;
  const RunResult run = client.Run(site, {"ACME"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_SHOWN(run, "TCP/IP: Success  HTTP: NotTested");
  EXPECT_SHOWN(run,
               "Information: An Internet Connection to the Server was Successful!\r\n"
               "Please press the 'Install' button to continue.");
  EXPECT_SHOWN(run, "Company: Acme Trading Ltd");
  EXPECT_SHOWN(run, "Version: v6.251");
  EXPECT_SHOWN(run, "Status 1: Downloading Tamrix.exe  100% Complete");
  EXPECT_SHOWN(run, kInstalled);
  EXPECT_EQ(client.Read("Tamrix.exe"), site.tamrixExe);
  // The directory's row, found for ACME, moved to the client's settings file.
  EXPECT_EQ(client.Read("Tamrix.ini"), "[XServer]\r\nXServerHost=127.0.0.1\r\nXServerHostIP=127.0.0.1\r\n"
                                       "XServerPort=" + std::to_string(site.CompanyPort()) + "\r\n");
  EXPECT_FALSE(client.Has("TamrixInstall.ini"));
  const std::string ftpLog = site.ftp->Log();
  EXPECT_TRUE(Contains(ftpLog, "RETR /OrvaneModules/v6251/Tamrix.exe")) << ftpLog;
}

TEST(HeadlessInstall, TcpIpFailsAndHttpInstallsByGet) {
  InstallSite site;
  ClientFolder client;
  // Nothing listens on 127.0.0.2: the TCP/IP test fails, the web server's tunnel works.
  const RunResult run = client.Run(site, {"ACME", "--xserver", "127.0.0.2"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_SHOWN(run, "TCP/IP: Failed  HTTP: NotTested");  // shown while HTTP is tested
  EXPECT_SHOWN(run, "TCP/IP: Failed  HTTP: Success");
  EXPECT_SHOWN(run, kInstalled);
  EXPECT_EQ(client.Read("WebTamrix.exe"), site.webTamrixExe);
  EXPECT_EQ(client.Read("WebTamrix.ini"),
            "[XServer]\r\nXServerHost=127.0.0.1\r\nXServerHostIP=127.0.0.1\r\nXServerPort=" +
                std::to_string(site.CompanyPort()) + "\r\nWebServerHost=127.0.0.1\r\nWebServerPort=" +
                std::to_string(site.web->Port()) +
                "\r\nWebXServerLANIP=127.0.0.1\r\nWebISAPIDLL=isapi/Rdahttp.dll\r\n");
  EXPECT_EQ(site.web->AwaitLogged("GET /ACME-XModules/WebTamrix.exe HTTP/1.1\" 200"), 1) << site.web->AccessLog();
  EXPECT_FALSE(client.Has("Tamrix.exe"));
}

TEST(HeadlessInstall, BothFailNothingIsInstalled) {
  InstallSite site;
  ClientFolder client;
  const RunResult run = client.Run(site, {"ACME", "--xserver", "127.0.0.2", "--web-port",
                                          std::to_string(test::FreeLoopbackPort())});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_SHOWN(run, "TCP/IP: Failed  HTTP: Failed");
  EXPECT_SHOWN(run,
               "Warning: An Internet Connection could NOT be made to the Server.\r\n"
               "Please contact your Supplier for further assistance. Thank You.");
  EXPECT_NOT_SHOWN(run, "Company code dialog");
}

// The directory and the company's server speak TLS on their data ports: the TLS
// setting (the options or the deployment settings) with the test CA finds the
// company and installs over TCP/IP; with an untrusted CA the TCP/IP test fails and
// says why.
TEST(HeadlessInstall, TlsOnTheDirectConnections) {
  test::TestCertificates certs;
  SiteOptions o;
  o.serverArgs = {"--tls-cert", certs.ServerCert(), "--tls-key", certs.ServerKey(), "--handshake-timeout", "3"};
  InstallSite site(o);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
  } cases[] = {
      {"the options", {"ACME", "--tls-ca", certs.Ca()}, {}},
      {"the settings", {"ACME"}, {"TAMRIX_TLS=yes", "TAMRIX_TLS_CA=" + certs.Ca()}},
      {"--tls with the setting's CA", {"ACME", "--tls"}, {"TAMRIX_TLS=0", "TAMRIX_TLS_CA=" + certs.Ca()}},
  };
  for (const Case& c : cases) {
    ClientFolder client;
    const RunResult run = client.Run(site, c.args, c.env);
    EXPECT_EQ(run.exitCode, 0) << c.name << "\n" << run.out << run.err;
    EXPECT_SHOWN(run, "TCP/IP: Success  HTTP: NotTested") << c.name;
    EXPECT_SHOWN(run, "Company: Acme Trading Ltd") << c.name;
    EXPECT_EQ(client.Read("Tamrix.exe"), site.tamrixExe) << c.name;
    // Found by the directory.
    EXPECT_TRUE(Contains(client.Read("Tamrix.ini"), "XServerPort=" + std::to_string(site.CompanyPort()))) << c.name;
  }

  // Another CA; the web server is not there either, so that no road is left.
  ClientFolder client;
  const RunResult run = client.Run(site, {"ACME", "--web-port", std::to_string(test::FreeLoopbackPort())},
                                   {"TAMRIX_TLS=1", "TAMRIX_TLS_CA=" + certs.OtherCa()});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_SHOWN(run, "TCP/IP: Failed  HTTP: Failed");
  EXPECT_TRUE(Contains(run.err, "TamrixInstall: TCP/IP test: The secure connection to 127.0.0.1 on Port:" +
                                    std::to_string(site.CompanyPort()) +
                                    " failed: The issuer certificate of a locally looked up certificate could "
                                    "not be found"))
      << run.err;
  EXPECT_FALSE(client.Has("Tamrix.exe"));
}

// Where the company code comes from; every case installs ACME's client over TCP/IP.
TEST(HeadlessInstall, CompanyCodeSources) {
  // The directory knows only ACME; other ways must not need it.
  InstallSite site;
  const std::string port = std::to_string(site.CompanyPort());
  const std::string ini = "[XServer]\r\nXServerHostIP=127.0.0.1\r\nXServerPort=" + port + "\r\n";
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> files;
    bool asksDirectory;
    bool showsDialog;
  } cases[] = {
      {"first argument", "TamrixInstall", {"ACME"}, {}, true, false},
      {"argument with .ini, file in any case", "TamrixInstall", {"acme.ini"}, {{"acme.INI", ini}},
       false, false},
      {"address and port", "TamrixInstall", {"127.0.0.1:" + port}, {}, false, false},
      {"tcp, then the program's name", "TamrixInstallAcme", {"tcp"}, {}, true, false},
      {"the program's name", "TamrixInstallAcme", {}, {}, true, false},
      {"xDefault.ini", "TamrixInstall", {}, {{"xDefault.ini", ini}}, false, false},
      {"the program's own settings file", "TamrixInstall", {}, {{"TamrixInstall.ini", ini}},
       false, false},
      {"the dialog", "TamrixInstall", {"--company-code", "acme"}, {}, true, true},
      {"a port that is no number goes on to the dialog",
       "TamrixInstall",
       {"127.0.0.1:x", "--company-code", "ACME"},
       {},
       true,
       true},
  };
  for (const Case& c : cases) {
    ClientFolder client(c.program);
    for (const auto& [name, text] : c.files) client.dir.Write(name, text);
    const RunResult run = client.Run(site, c.args);
    EXPECT_EQ(run.exitCode, 0) << c.name << "\n" << run.out << run.err;
    EXPECT_EQ(client.Read("Tamrix.exe"), site.tamrixExe) << c.name;
    EXPECT_EQ(Contains(run.out, "Company code dialog: XTamrixInstall -> "), c.showsDialog)
        << c.name << "\n" << run.out;
    // A directory row (which has a host) is saved to the program's own settings
    // file, which becomes Tamrix.ini when the program is TamrixInstall.
    const std::string saved =
        client.Read(c.program == "TamrixInstall" ? "Tamrix.ini" : c.program + ".ini");
    if (c.asksDirectory) {
      EXPECT_EQ(saved, "[XServer]\r\nXServerHost=127.0.0.1\r\nXServerHostIP=127.0.0.1\r\n"
                       "XServerPort=" + port + "\r\n")
          << c.name;
    } else {
      EXPECT_FALSE(Contains(saved, "XServerHost=")) << c.name << ": " << saved;
    }
  }
}

TEST(HeadlessInstall, AddressAndPortNeedNoFileNoDirectoryNoProbe) {
  // The directory does not know the company and the echo service is off: an address
  // and port pair goes straight to the server.
  SiteOptions o;
  o.rows.clear();
  o.echo = false;
  InstallSite site(o);
  ClientFolder client;
  client.dir.Write("127.0.0.1:" + std::to_string(site.CompanyPort()) + ".ini", "[XServer]\r\nXServerPort=1\r\n");
  const RunResult run = client.Run(site, {"127.0.0.1:" + std::to_string(site.CompanyPort())});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_FALSE(client.Has("Tamrix.ini"));  // nothing was looked up, nothing saved
}

// A port outside 1 to 65535 is refused on every road it comes by. Each number here
// names the company's port once cut to 16 bits, so a program that wrapped it would
// reach the company server and install.
TEST(HeadlessInstall, PortsOutsideTheRangeAreRefusedOnEveryRoad) {
  SiteOptions o;
  o.rows.clear();  // the directory knows no one: a refused port cannot be found there
  InstallSite site(o);
  const std::string above = std::to_string(site.CompanyPort() + 65536);
  const std::string below = std::to_string(site.CompanyPort() - 65536);
  struct Case {
    std::vector<std::string> args;
    std::string file;  // ACME.ini, when given
    std::string note;  // on standard error
  } cases[] = {
      {{"127.0.0.1:" + above}, "", "127.0.0.1:" + above + ": " + above + " is not a port (1 to 65535)"},
      {{"127.0.0.1:" + below}, "", "127.0.0.1:" + below + ": " + below + " is not a port (1 to 65535)"},
      {{"ACME"}, "XServerPort=" + above, "ACME.ini: XServerPort " + above + " is not a port"},
      {{"ACME"}, "XServerPort=" + below, "ACME.ini: XServerPort " + below + " is not a port"},
  };
  for (const Case& c : cases) {
    ClientFolder client;
    if (!c.file.empty()) {
      client.dir.Write("ACME.ini", "[XServer]\r\nXServerHostIP=127.0.0.1\r\n" + c.file + "\r\n");
    }
    const RunResult run = client.Run(site, c.args);
    EXPECT_EQ(run.exitCode, 1) << c.args[0] << " " << c.file << "\n" << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, c.note)) << c.note << "\n" << run.err;
    EXPECT_SHOWN(run, kIncorrectCode);  // then it is looked up like any other code
    EXPECT_FALSE(client.Has("Tamrix.exe"));
  }

  // A directory row cannot be mended by asking again: the install ends with the error.
  SiteOptions wide;
  wide.rows = {{"ACME", "127.0.0.1", -1, "127.0.0.1", 65536}};
  InstallSite directory(wide);
  ClientFolder client;
  const RunResult run = client.Run(directory, {"ACME"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_SHOWN(run, "Error: The directory's row for ACME has the port " +
                        std::to_string(directory.CompanyPort() + 65536) +
                        ", which is not a port (1 to 65535)");
  EXPECT_NOT_SHOWN(run, "Company code dialog");
  EXPECT_FALSE(client.Has("Tamrix.exe"));
  EXPECT_FALSE(client.Has("TamrixInstall.ini"));  // nothing saved from that row
}

// A directory host that cannot be resolved: the error stays the system's text, and
// a line says which name it was. Over TCP/IP the connection looks the name up, over
// HTTP our resolver does.
TEST(HeadlessInstall, UnresolvedDirectoryHostIsNamed) {
  InstallSite site;
  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"ACME"}, "Error: Asynchronous socket error 11001\n"},
      {{"ACME", "--xserver", "127.0.0.2"}, "Error: [11001] Host not found\n"},
  };
  for (const Case& c : cases) {
    ClientFolder client;
    const RunResult run = client.Run(site, c.args, {"TAMRIX_DIRECTORY_HOST=bad..name"});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_SHOWN(run, c.error);
    EXPECT_TRUE(Contains(run.err, "Could not resolve the host name bad..name (the directory data server)\n"))
        << run.err;
    EXPECT_FALSE(client.Has("Tamrix.exe") || client.Has("WebTamrix.exe"));
  }
}

TEST(HeadlessInstall, UnknownCodeIsAskedAgainAndCancelEndsTheProgram) {
  InstallSite site;
  {
    ClientFolder client;
    const RunResult run = client.Run(site, {"NOPE", "--company-code", "ACME"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_SHOWN(run, kIncorrectCode);
    EXPECT_SHOWN(run, "Company code dialog: XTamrixInstall -> ACME");
  }
  {
    ClientFolder client;
    const RunResult run = client.Run(site, {"NOPE"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_SHOWN(run, kIncorrectCode);
    EXPECT_SHOWN(run, "Company code dialog: XTamrixInstall -> Cancel");
    EXPECT_SHOWN(run, kNotInstalled);  // the install still reports its failure
    EXPECT_FALSE(client.Has("Tamrix.exe"));
  }
}

TEST(HeadlessInstall, DirectoryRowWithoutHostLeavesTheKeyOut) {
  SiteOptions o;
  o.rows = {{"ACME", "", -1, "127.0.0.1"}};
  InstallSite site(o);
  ClientFolder client;
  const RunResult run = client.Run(site, {"ACME"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(client.Read("Tamrix.ini"), "[XServer]\r\nXServerHostIP=127.0.0.1\r\nXServerPort=" +
                                           std::to_string(site.CompanyPort()) + "\r\n");
}

TEST(HeadlessInstall, LanProbeDecidesOverTcpIpAndIsSkippedOverHttp) {
  // The public host 127.0.0.2 cannot be reached; the LAN address can, and its echo
  // service answers. Over TCP/IP the probe makes the install use the LAN address.
  for (const bool echo : {true, false}) {
    SiteOptions o;
    o.echo = echo;
    o.rows = {{"ACME", "127.0.0.2", -1, "127.0.0.1"}};
    InstallSite site(o);
    ClientFolder client;
    const RunResult run = client.Run(site, {"ACME"});
    EXPECT_EQ(run.exitCode, echo ? 0 : 1) << run.out << run.err;
    EXPECT_EQ(client.Has("Tamrix.exe"), echo);
  }
  // Over HTTP the row's host is the web server. Were the probe run, it would succeed
  // and replace the host by the demonstration host (127.0.0.1).
  SiteOptions o;
  o.rows = {{"ACME", "localhost", -1, "127.0.0.1"}};
  InstallSite site(o);
  ClientFolder client;
  const RunResult run = client.Run(site, {"ACME", "--xserver", "127.0.0.2"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(client.Read("WebTamrix.ini"), "WebServerHost=localhost\r\n"))
      << client.Read("WebTamrix.ini");
}

TEST(HeadlessInstall, ExistingClientSettingsFileIsLeftAlone) {
  InstallSite site;
  ClientFolder client;
  client.dir.Write("Tamrix.ini", "[XServer]\r\nXServerPort=1234\r\n");
  const RunResult run = client.Run(site, {"ACME"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(client.Read("Tamrix.ini"), "[XServer]\r\nXServerPort=1234\r\n");
  EXPECT_TRUE(client.Has("TamrixInstall.ini"));
}

TEST(HeadlessInstall, VersionFivePaths) {
  SiteOptions o;
  o.version = "5.123";
  InstallSite site(o);
  {
    ClientFolder client;
    const RunResult run = client.Run(site, {"ACME"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_SHOWN(run, "Version: v5.123");
    EXPECT_EQ(client.Read("Tamrix.exe"), site.tamrixExe);
    EXPECT_TRUE(Contains(site.ftp->Log(), "RETR /OrvaneModules/v5123/Tamrix.exe"));
  }
  {
    ClientFolder client;
    const RunResult run = client.Run(site, {"ACME", "--xserver", "127.0.0.2"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(client.Read("WebTamrix.exe"), site.webTamrixExe);
    // nginx writes the backslash of the request line as \x5C.
    EXPECT_EQ(site.web->AwaitLogged("GET /Extranet\\x5CWebTamrix.exe HTTP/1.1\" 200"), 1)
        << site.web->AccessLog();
  }
}

// A company whose version table is empty: no module is looked for under "v", and
// the user is told that the version could not be read.
TEST(HeadlessInstall, EmptyVersionTableSaysTheVersionCouldNotBeRead) {
  SiteOptions o;
  o.versionRow = false;
  InstallSite site(o);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ACME"}, {"ACME", "--xserver", "127.0.0.2"}}) {
    ClientFolder client;
    const RunResult run = client.Run(site, args);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_SHOWN(run, "Error: The company's version could not be read.\n" + std::string(kNotInstalled));
    EXPECT_NOT_SHOWN(run, "not currently available");
    EXPECT_NOT_SHOWN(run, "Version: v");
    EXPECT_FALSE(client.Has("Tamrix.exe") || client.Has("WebTamrix.exe"));
  }
  EXPECT_FALSE(Contains(site.ftp->Log(), "/OrvaneModules/")) << site.ftp->Log();
  EXPECT_FALSE(Contains(site.web->AccessLog(), "WebTamrix.exe")) << site.web->AccessLog();
}

TEST(HeadlessInstall, DownloadsThatFailKeepTheOldClient) {
  struct Case {
    const char* name;
    SiteOptions options;
    std::vector<std::string> args;
    std::string file;
    std::string shown;
  };
  SiteOptions missingWeb;
  missingWeb.webFile = false;
  SiteOptions shortFtp;
  shortFtp.ftpSizeBonus = 1000;
  SiteOptions missingFtp;
  missingFtp.ftpFile = false;
  const Case cases[] = {
      {"404 from the web server", missingWeb, {"ACME", "--xserver", "127.0.0.2"}, "WebTamrix.exe",
       kNotInstalled},
      {"FTP transfer shorter than its size", shortFtp, {"ACME"}, "Tamrix.exe", kNotInstalled},
      {"module not on the FTP server", missingFtp, {"ACME"}, "Tamrix.exe",
       "Information: This Orvane Module is not currently available for Download."},
  };
  for (const Case& c : cases) {
    InstallSite site(c.options);
    ClientFolder client;
    client.dir.Write(c.file, "old client");
    const RunResult run = client.Run(site, c.args);
    EXPECT_EQ(run.exitCode, 1) << c.name << "\n" << run.out << run.err;
    EXPECT_SHOWN(run, c.shown) << c.name;
    EXPECT_EQ(client.Read(c.file), "old client") << c.name;
  }
}

// The command line is read before any window: help and a bad option answer on a
// machine without a display, and a window without one says so in one line.
TEST(TamrixInstallProgram, CommandLineIsReadBeforeTheWindow) {
  ClientFolder client;
  // No display by any name; Qt's default platform (xcb) then cannot start, nor can
  // it with a display that is not there.
  const std::vector<std::vector<std::string>> machines = {
      {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
      {"WAYLAND_DISPLAY", "DISPLAY=:987", "QT_QPA_PLATFORM=xcb"},
  };
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* out;  // what stdout starts with
    const char* err;  // what stderr holds
  } cases[] = {
      {{"--help"}, 0, "Usage: TamrixInstall ", ""},
      {{"-h"}, 0, "Usage: TamrixInstall ", ""},
      {{"ACME", "--bogus"}, 2, "", "TamrixInstall: Unknown option --bogus\nUsage: TamrixInstall "},
      {{"-H"}, 2, "", "TamrixInstall: Unknown option -H\n"},
      {{"ACME", "--company-code", "ACME"}, 2, "",
       "TamrixInstall: Option --company-code needs --headless\n"},
      {{"ACME"}, 2, "",
       "TamrixInstall: the window needs a display and none could be opened; run with "
       "--headless to install without a window\n"},
      {{"-platform", "xcb", "ACME"}, 2, "", "TamrixInstall: the window needs a display"},
  };
  for (const auto& env : machines) {
    for (const Case& c : cases) {
      std::vector<std::string> argv{"./TamrixInstall"};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      const RunResult run = test::RunProgram(argv, client.dir.Path(), env);
      const std::string name = argv[1] + " with " + env[1];
      EXPECT_EQ(run.exitCode, c.exitCode) << name << "\n" << run.out << run.err;
      EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << name << "\n" << run.out;
      EXPECT_TRUE(Contains(run.err, c.err)) << name << "\n" << run.err;
      if (c.exitCode == 0) {
        EXPECT_EQ(run.err, "") << name;
      }
    }
  }
  // The window's failure is one line, with nothing of Qt's before it.
  const RunResult run = test::RunProgram({"./TamrixInstall", "ACME"}, client.dir.Path(), machines[0]);
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  // The usage says which options need --headless.
  EXPECT_TRUE(Contains(test::RunProgram({"./TamrixInstall", "-h"}, client.dir.Path(), {}).out,
                       "--company-code CODE     needs --headless"));
}

TEST(HeadlessInstall, BadCommandLineAndSettingsAreRefused) {
  InstallSite site;
  ClientFolder client;
  RunResult run = client.Run(site, {"ACME", "--web-port", "eighty"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(Contains(run.err, "Option --web-port: invalid port eighty")) << run.err;
  client.dir.Write("TamrixDeploy.ini", "[Deployment]\nDirectoryPort=none\n");
  run = test::RunProgram({"./TamrixInstall", "ACME", "--headless"}, client.dir.Path(), {});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(Contains(run.err, "Invalid deployment setting DirectoryPort: none")) << run.err;
}

}  // namespace
}  // namespace rda
