#include "install/TamrixInstall.h"

#include <cmath>
#include <cstdio>

#include "base/ScopeGuard.h"
#include "connection/RdaUserInterface.h"
#include "connection/RdaWebServer.h"
#include "install/FileUtil.h"
#include "install/VNXDBCli.h"
#include "install/VNXDBSys.h"

namespace rda {

namespace {

constexpr char kTransportTcp[] = "TCP/IP";
constexpr char kTransportHttp[] = "HTTP";

// The tunnel's log-in for the HTTP install and test.
constexpr char kHttpUserName[] = "VORNA";
constexpr char kHttpPassword[] = "MARBLEDO";

// What each host name that is resolved is, for the note when it cannot be.
constexpr char kXServerRole[] = "the XServer of the configuration tab";
constexpr char kWebRole[] = "the web server of the configuration tab";
constexpr char kCompanyRole[] = "the company's data server";
constexpr char kCompanyWebRole[] = "the company's web server";

constexpr char kModuleUser[] = "anonymous";
constexpr char kModulePassword[] = "visit@nowhere";

// A "Rename" that keeps an existing target: the moved settings file never replaces
// one that is already there.
void MoveIfTargetMissing(const std::string& from, const std::string& to) {
  if (FileExists(from) && !FileExists(to)) std::rename(from.c_str(), to.c_str());
}

}  // namespace

TTamrixInstall::TTamrixInstall(TInstallView& view, const TInstallCommandLine& commandLine,
                               const TInstallSettings& settings)
    : view_(view), commandLine_(commandLine), settings_(settings) {
  // The window's stored settings of ClientSocket.
  ClientSocket.SetUserInterface(&view_.ConnectionUserInterface());
  ClientSocket.SetActive(false);
  ClientSocket.SetAddress("127.0.0.1");
  ClientSocket.SetClientType(ctNonBlocking);
  ClientSocket.SetPort(9406);
  ClientSocket.OnDisconnect = [this] { ClientSocketDisconnect(); };
  ClientSocket.SetLoginMaxAttempts(0);
  ClientSocket.WebServer().SetWinInet(false);
  ClientSocket.WebServer().SetWinInetToStatusBar(true);
  ClientSocket.WebServer().SetUseSSL(false);
  ClientSocket.WebServer().SetSSLOptions({});
  ClientSocket.WebServer().SetRdaHttpDll("isapi/RdaHttp.dll");
  ClientSocket.WebServer().SetUseWebServer(true);
  ClientSocket.SetCacheMetaDataOptions(smNoCache);
  ClientSocket.SetSQLTransactionStart("BEGIN TRANSACTION");
  ClientSocket.SetSQLTransactionEnd("COMMIT");
  ClientSocket.SetConnectAction(caNone);
  ClientSocket.SetApplicationVersion("6.251");
  ClientSocket.SetApplicationName("XTamrixInstall");
  ClientSocket.SetStatusBar(&view_.StatusBar());
  ClientSocket.SetEncryption(etRdaEncrypt);
  ClientSocket.SetSQLOptions({ssNoTableNameInUpdateStatements});
  // Every direct connection (directory look-up, XServer test, install); the HTTP
  // carriage ignores it.
  ClientSocket.SetUseTls(commandLine_.UseTls(settings_));
  ClientSocket.SetTlsCaFile(commandLine_.TlsCaFileOf(settings_));
  ClientSocket.Loaded();

  DataSet.SetName("DataSet");
  DataSet.SetRdaClientSocket(&ClientSocket);
  DataSet.SetReadOnly(true);
  DataSet.SetEditMode("Read Only");
  DataSet.SetUpdateTableName("Customers");
  DataSet.SetPrimeFields({"CustomerID"});
  DataSet.SetFastFields({"CompanyName,1,35", "VersionNumber,1,8"});
  DataSet.SetSQL({"Select T.\"Comp_Name\", T.\"Version Number\" From SY_MASTR T"});

  qryMisc.SetName("qryMisc");
  qryMisc.SetRdaClientSocket(&ClientSocket);
  qryMisc.SetReadOnly(true);

  FTPClient.SetPassive(true);
  FTPClient.OnWork = [this](int64_t workCount) { FTPClientWork(workCount); };
}

TTamrixInstall::~TTamrixInstall() {
  // The status bar may go before the connection does.
  ClientSocket.SetStatusBar(nullptr);
}

TInstallContext TTamrixInstall::Context() {
  return TInstallContext{commandLine_, settings_, view_};
}

void TTamrixInstall::FormCreate() {
  view_.StatusBar().SetPanelText(1, "VORNA Extranet Software v" + ClientSocket.ApplicationVersion());
}

int TTamrixInstall::PortText(const std::string& text, int fallback) {
  return PortFromText(text).value_or(fallback);
}

void TTamrixInstall::btnTestConnectionClick() {
  TCPIPResult = kNotTested;
  HTTPResult = kNotTested;
  view_.SetBusyCursor(true);
  if (!ConnectionCheck(kTransportTcp)) ConnectionCheck(kTransportHttp);
  view_.SetBusyCursor(false);
  view_.StatusBar().SetPanelText(0, "");
  view_.StatusBar().SetPanelText(1, "");
  view_.SetResultLabels(TCPIPResult, HTTPResult);
  if (TCPIPResult != kSuccess && HTTPResult != kSuccess) {
    view_.SetTestButton(true, true);
    view_.SetInstallButton(false, false);
    view_.MessageDlg(
        "An Internet Connection could NOT be made to the Server.\r\n"
        "Please contact your Supplier for further assistance. Thank You.",
        mtWarning);
  } else {
    view_.SetTestButton(false, false);
    view_.SetInstallButton(true, true);
    view_.MessageDlg(
        "An Internet Connection to the Server was Successful!\r\n"
        "Please press the 'Install' button to continue.",
        mtInformation);
  }
}

bool TTamrixInstall::ConnectionCheck(const std::string& transport) {
  view_.StatusBar().SetPanelText(0, "");
  view_.StatusBar().SetPanelText(1, "Testing " + transport + " Connection");
  view_.Repaint();
  view_.SetResultLabels(TCPIPResult, HTTPResult);
  DataSet.Close();
  bool result = false;
  // Whatever fails here fails this transport; the test shows nothing for it.
  try {
    ClientSocket.CloseAndWait();
    const int xserverPort = PortText(view_.ConfigText(TInstallView::cfRdaServerPort), 9406);
    const int webPort = PortText(view_.ConfigText(TInstallView::cfWebServerPort), 80);
    const std::string isapi = view_.ConfigText(TInstallView::cfRdaHttp);
    if (transport == kTransportTcp) {
      try {
        const std::string xserver =
            ResolveHostAddress(view_.ConfigText(TInstallView::cfRdaServer), view_, kXServerRole);
        const std::string web =
            ResolveHostAddress(view_.ConfigText(TInstallView::cfWebServer), view_, kWebRole);
        SetupServer(kTransportTcp, xserver, web, isapi, xserverPort, webPort);
        ClientSocket.OpenAndWait();
        DataSet.Open();
        result = !DataSet.IsEmpty();
        TCPIPResult = result ? kSuccess : kFailed;
        ClientSocket.CloseAndWait();
      } catch (...) {
        TCPIPResult = kFailed;
        throw;
      }
    }
    if (transport == kTransportHttp) {
      try {
        const std::string web =
            ResolveHostAddress(view_.ConfigText(TInstallView::cfWebServer), view_, kWebRole);
        SetupServer(kTransportHttp, "127.0.0.1", web, isapi, xserverPort, webPort);
        ClientSocket.OpenAndWait();
        DataSet.Open();
        result = !DataSet.IsEmpty();
        HTTPResult = result ? kSuccess : kFailed;
        ClientSocket.CloseAndWait();
      } catch (...) {
        HTTPResult = kFailed;
        throw;
      }
    }
  } catch (const std::exception& e) {
    view_.Note(transport + " test: " + e.what());
    result = false;
  }
  return result;
}

void TTamrixInstall::SetupServer(const std::string& transport, const std::string& xserverAddress,
                                 const std::string& webServerAddress, const std::string& isapiPath,
                                 int xserverPort, int webServerPort) {
  ClientSocket.SetAutoLoginDlg(ltNoChallenge);
  ClientSocket.SetAddress(xserverAddress);
  ClientSocket.SetHost("");
  ClientSocket.SetPort(xserverPort);
  TRdaWebServer& web = ClientSocket.WebServer();
  web.SetRdaServerAddress(xserverAddress);
  web.SetRdaServerPort(static_cast<uint16_t>(xserverPort));
  web.SetWebServerAddress(webServerAddress);
  web.SetWebServerPort(static_cast<uint16_t>(webServerPort));
  web.SetRdaHttpDll(isapiPath);
  if (transport == kTransportHttp) {
    ClientSocket.SetUserName(kHttpUserName);
    ClientSocket.SetPassword(kHttpPassword);
    web.SetAddCookie(true);
    web.SetTimeout(20);
    web.SetWinInetToStatusBar(true);
    web.SetWinInet(true);
    web.SetUseWebServer(true);
  } else {
    ClientSocket.SetUserName("");
    ClientSocket.SetPassword("");
    web.SetAddCookie(false);
    web.SetWinInetToStatusBar(false);
    web.SetUseWebServer(false);
  }
}

void TTamrixInstall::btnInstallClientClick() {
  view_.SetInstallButton(false, false);
  bool ok = false;
  if (TCPIPResult == kSuccess) {
    ok = InstallTCPIPClient();
  } else if (HTTPResult == kSuccess) {
    ok = InstallHTTPClient();
  }
  if (ok) {
    installed_ = true;
    view_.MessageDlg("The Tamrix has been successfully installed.", mtInformation);
    view_.TerminateApplication();
  } else {
    view_.MessageDlg(
        "The Tamrix has NOT been installed.\r\n"
        "Please contact your Supplier for further assistance. Thank You.",
        mtWarning);
    view_.SetInstallButton(true, false);
  }
}

bool TTamrixInstall::LocateCompany(const std::string& transport, TXServerLocation& location) {
  DataSet.Close();
  ClientSocket.CloseAndWait();
  SetupServer(transport, "", "", "", 9406, 80);
  if (transport == kTransportHttp) {
    ClientSocket.SetSessionId(0);
    ClientSocket.WebServer().SetAddCookie(true);
  }
  const std::string code = GetCompanyCode(commandLine_, kProgramPrefix);
  LocateXServer(Context(), ClientSocket, code, location);
  if (location.Host == kTerminateHost) {
    ClientSocket.SetHost(kTerminateHost);
    view_.TerminateApplication();
    return false;
  }
  return true;
}

bool TTamrixInstall::ReadCompany(bool withCompanyCode) {
  ClientSocket.OpenAndWait();
  DataSet.Open();
  if (DataSet.IsEmpty()) {
    CompanyVersion = kNoVersion;
  } else {
    ReadCompanyVersion(withCompanyCode);
  }
  DataSet.Close();
  ClientSocket.CloseAndWait();
  if (CompanyVersion != kNoVersion) return true;
  // Without a version there is no module folder to download from: say so, rather
  // than look for a module under "v" and report it missing.
  view_.MessageDlg(kVersionNotRead, mtError);
  return false;
}

void TTamrixInstall::ReadCompanyVersion(bool withCompanyCode) {
  const std::string version = DataSet.FieldByName("Version Number").AsString();
  if (version.empty() || version[0] != '5') {
    qryMisc.Close();
    qryMisc.SetSQL({withCompanyCode ? "Select CompanyCode,CompanyName,VersionNumber From SYMASTER"
                                    : "Select CompanyName,VersionNumber From SYMASTER"});
    qryMisc.Open();
    if (qryMisc.IsEmpty() || qryMisc.FieldByName("VersionNumber").AsString().empty()) {
      CompanyVersion = kNoVersion;
      return;
    }
    CompanyVersion = qryMisc.FieldByName("VersionNumber").AsString();
    if (withCompanyCode) RemoteCompanyCode = qryMisc.FieldByName("CompanyCode").AsString();
    view_.SetCompanyName(qryMisc.FieldByName("CompanyName").AsString());
  } else {
    CompanyVersion = version;
    if (withCompanyCode) RemoteCompanyCode.clear();
    view_.SetCompanyName(DataSet.FieldByName("Comp_Name").AsString());
  }
  view_.SetVersionText("v" + CompanyVersion);
}

bool TTamrixInstall::InstallTCPIPClient() {
  TXServerLocation location;
  if (!LocateCompany(kTransportTcp, location)) return false;
  if (!location.Host.empty()) {
    location.LanAddress = ResolveHostAddress(location.Host, view_, kCompanyRole);
  }
  SetupServer(kTransportTcp, location.LanAddress, "", "", location.Port, 80);
  if (!ReadCompany(false)) return false;

  MoveIfTargetMissing(kSearchIni, "Tamrix.ini");
  view_.SetBusyCursor(true);
  FTPClient.SetHost(settings_.ModuleFtpHost);
  FTPClient.SetPort(settings_.ModuleFtpPort);
  FTPClient.SetPassive(true);
  FTPClient.SetUsername(kModuleUser);
  FTPClient.SetPassword(kModulePassword);
  bool result = false;
  try {
    result = FTPDownloadXModule("Tamrix.exe");
  } catch (const std::exception& e) {
    view_.Note(std::string("FTP download: ") + e.what());
    result = false;
  }
  view_.SetBusyCursor(false);
  return result;
}

std::string TTamrixInstall::ModuleFolder(const std::string& companyVersion) {
  std::string folder = "/OrvaneModules/v";
  if (!companyVersion.empty()) folder += companyVersion[0];
  if (companyVersion.size() > 2) folder += companyVersion.substr(2);
  return folder + "/";
}

int64_t TTamrixInstall::Percent(int64_t done, int64_t total) {
  if (total <= 0) return 0;
  // nearbyint rounds halves to the even neighbour; an exact half is exact in a double.
  return static_cast<int64_t>(
      std::nearbyint(static_cast<double>(done) * 100.0 / static_cast<double>(total)));
}

void TTamrixInstall::ShowProgress(int64_t done, int64_t total) {
  view_.StatusBar().SetPanelText(1, "Downloading " + DownloadFileName + "  " +
                                        std::to_string(Percent(done, total)) + "% Complete");
  view_.Repaint();
}

bool TTamrixInstall::FTPDownloadXModule(const std::string& fileName) {
  view_.StatusBar().SetPanelText(0, "");
  view_.StatusBar().SetPanelText(1, "Downloading " + fileName);
  view_.Repaint();
  const std::string remote = ModuleFolder(CompanyVersion) + fileName;
  FTPClient.Connect();
  // The connection goes down on every path, the error or not.
  TScopeGuard disconnect([this]() noexcept {
    try {
      FTPClient.Disconnect();
    } catch (...) {
    }
  });
  DownloadFileName = fileName;
  DownloadSize = 0;
  DownloadSize = FTPClient.Size(remote);
  bool result = false;
  if (DownloadSize > 0) {
    try {
      FTPClient.Get(remote, fileName, DownloadSize);
      result = true;
    } catch (const EFCreateError& e) {
      view_.Note(e.what());
      view_.MessageDlg(
          "This Orvane Module is currently in use!\r\nExit the Orvane Module and try again.",
          mtWarning);
      result = false;
    }
  } else {
    view_.MessageDlg("This Orvane Module is not currently available for Download.",
                     mtInformation);
    result = false;
  }
  view_.StatusBar().SetPanelText(1, "");
  return result;
}

void TTamrixInstall::FTPClientWork(int64_t workCount) { ShowProgress(workCount, DownloadSize); }

bool TTamrixInstall::InstallHTTPClient() {
  // The LAN probe is skipped: AddCookie is set.
  TXServerLocation location;
  if (!LocateCompany(kTransportHttp, location)) return false;
  if (location.Host.empty()) location.Host = settings_.DemoHost;
  WebHost = location.Host;
  WebPort = PortText(view_.ConfigText(TInstallView::cfWebServerPort), 80);
  SetupServer(kTransportHttp, "127.0.0.1", ResolveHostAddress(WebHost, view_, kCompanyWebRole),
              view_.ConfigText(TInstallView::cfRdaHttp), location.Port, WebPort);
  if (!ReadCompany(true)) return false;
  if (FileExists(kSearchIni)) {
    WriteWebServerIni(commandLine_.OwnIniFile(), WebHost, "127.0.0.1",
                      view_.ConfigText(TInstallView::cfRdaHttp), WebPort);
  }
  MoveIfTargetMissing(kSearchIni, "WebTamrix.ini");
  return HTTPDownloadXModule("WebTamrix.exe");
}

bool TTamrixInstall::HTTPDownloadXModule(const std::string& fileName) {
  view_.StatusBar().SetPanelText(0, "");
  view_.StatusBar().SetPanelText(1, "Downloading " + fileName);
  view_.Repaint();
  DownloadFileName = fileName;
  const std::string folder = !CompanyVersion.empty() && CompanyVersion[0] == '5'
                                 ? std::string("Extranet\\")
                                 : RemoteCompanyCode + "-XModules/";
  THttpGetResult result;
  const int64_t n = HTTPGetFile(
      WebHost, folder + fileName, fileName,
      [this](int64_t length, bool& cancel, int64_t received) {
        HTTPShowDownloadProgress(length, cancel, received);
      },
      WebPort, &result);
  if (!result.Installed) view_.Note("HTTP download: " + result.Failure);
  view_.StatusBar().SetPanelText(1, "");
  view_.Repaint();
  return n > 0;
}

void TTamrixInstall::HTTPShowDownloadProgress(int64_t contentLength, bool& /*cancel*/,
                                              int64_t received) {
  ShowProgress(received, contentLength);
}

}  // namespace rda
