// TTamrixInstall: the steps of the install utility, behind its main window.
//
// A user at a customer site presses "Test Internet Connection": the program tries the
// company's data server over TCP/IP and, only when that fails, over HTTP through a
// web server. The transport that worked decides how "Install Tamrix" installs the
// client: Tamrix.exe by FTP from the module server (TCP/IP), or WebTamrix.exe by an
// HTTP GET from the company's web server (HTTP), each with its settings file.
//
// The steps are the window's (btnTestConnectionClick, ConnectionCheck, SetupServer,
// btnInstallClientClick, InstallTCPIPClient, FTPDownloadXModule, FTPClientWork,
// InstallHTTPClient, HTTPDownloadXModule, HTTPShowDownloadProgress); what they show
// and read goes through TInstallView, so that the same steps run in the window
// (TfrmTXIUMain) and without one (THeadlessInstall).
//
// The window's states, shown by its two buttons:
//
//   state       btnTestConnection    btnInstallClient      entered by
//   Untested    enabled, default     disabled              start; a test in which
//                                                          neither transport succeeded
//   Tested      disabled             enabled, default      a test that succeeded
//   Installing  disabled             disabled              the install button; ends
//                                                          with the end of the program
//                                                          (success) or back to Tested
//                                                          without the default flag
//
// Files: "TamrixInstall.ini" (left by the company search when it is the program's
// own settings file), "Tamrix.ini", "WebTamrix.ini", "Tamrix.exe" and
// "WebTamrix.exe" are names in the current folder.
//
// Threads: everything runs on the thread of the Qt event loop; the connection's
// waits, the FTP transfer and the HTTP download keep the loop running, so the window
// stays responsive.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "connection/RdaClientSocket.h"
#include "install/FtpClient.h"
#include "install/InstallDialogs.h"
#include "install/InstallSettings.h"
#include "install/VNXDBSys.h"
#include "remotedata/RdaClientDataset.h"

namespace rda {

class TRdaStatusDisplay;
class TRdaUserInterface;

// What the install steps show and read: the main window, or the headless mode.
class TInstallView : public TInstallDialogs {
 public:
  enum TConfigField : uint8_t { cfRdaServer, cfRdaServerPort, cfWebServer, cfWebServerPort,
                                cfRdaHttp };
  // The texts of the configuration tab's edits.
  virtual std::string ConfigText(TConfigField field) const = 0;
  virtual void SetResultLabels(const std::string& tcpip, const std::string& http) = 0;
  virtual void SetCompanyName(const std::string& text) = 0;
  virtual void SetVersionText(const std::string& text) = 0;
  virtual void SetTestButton(bool enabled, bool isDefault) = 0;
  virtual void SetInstallButton(bool enabled, bool isDefault) = 0;
  // RDAStatusBar1; it lives as long as the view.
  virtual TRdaStatusDisplay& StatusBar() = 0;
  // Shows pending changes at once (before a long step).
  virtual void Repaint() = 0;
  virtual void SetBusyCursor(bool busy) = 0;
  // The application's standard display of an error that no step handled.
  virtual void ShowError(const std::exception& error) = 0;
  virtual void TerminateApplication() = 0;
  // What the connection shows (message boxes, login dialog); lives as long as the view.
  virtual TRdaUserInterface& ConnectionUserInterface() = 0;
};

class TTamrixInstall {
 public:
  static constexpr const char* kNotTested = "NotTested";
  static constexpr const char* kSuccess = "Success";
  static constexpr const char* kFailed = "Failed";
  static constexpr const char* kProgramPrefix = "TAMRIXINSTALL";
  static constexpr const char* kSearchIni = "TamrixInstall.ini";
  // CompanyVersion when none was read.
  static constexpr const char* kNoVersion = "ERROR";
  // The error shown when the company's server gives no version (no row in SY_MASTR,
  // or none or an empty one in SYMASTER).
  static constexpr const char* kVersionNotRead = "The company's version could not be read.";

  // Applies the window's stored settings to the components. `view`, `commandLine`
  // and `settings` must outlive this object.
  TTamrixInstall(TInstallView& view, const TInstallCommandLine& commandLine,
                 const TInstallSettings& settings);
  ~TTamrixInstall();

  // ---- Components (they live as long as the window) ----------------------------------
  TRdaClientSocket ClientSocket;
  TRdaClientDataSet DataSet;
  TRdaClientDataSet qryMisc;
  TFtpClient FTPClient;

  // ---- Run-time state ------------------------------------------------------------------
  std::string TCPIPResult;
  std::string HTTPResult;
  std::string CompanyVersion;
  std::string DownloadFileName;
  int64_t DownloadSize = 0;
  std::string WebHost;
  int WebPort = 0;
  std::string RemoteCompanyCode;

  // ---- Steps -----------------------------------------------------------------------------
  void FormCreate();
  void btnTestConnectionClick();
  // Tests one transport ("TCP/IP" or "HTTP"); true when it reached the server. Raises
  // nothing.
  bool ConnectionCheck(const std::string& transport);
  void SetupServer(const std::string& transport, const std::string& xserverAddress,
                   const std::string& webServerAddress, const std::string& isapiPath,
                   int xserverPort, int webServerPort);
  // Raises what an install step did not handle (the caller shows it with
  // TInstallView::ShowError; see RunGuarded).
  void btnInstallClientClick();
  bool InstallTCPIPClient();
  bool FTPDownloadXModule(const std::string& fileName);
  void FTPClientWork(int64_t workCount);
  bool InstallHTTPClient();
  bool HTTPDownloadXModule(const std::string& fileName);
  void HTTPShowDownloadProgress(int64_t contentLength, bool& cancel, int64_t received);
  void ClientSocketDisconnect() {}

  // A button handler with the application's standard error display around it.
  template <typename F>
  void RunGuarded(F&& handler) {
    try {
      handler();
    } catch (const std::exception& e) {
      view_.ShowError(e);
    }
  }

  // True once an install succeeded (the application is then told to end).
  bool Installed() const { return installed_; }
  const TInstallSettings& Settings() const { return settings_; }
  const TInstallCommandLine& CommandLine() const { return commandLine_; }

  // "/OrvaneModules/v" + the version without its second character + "/".
  static std::string ModuleFolder(const std::string& companyVersion);
  // Percent of done in total, rounded to the nearest integer with halves to the even
  // neighbour; 0 while total is 0.
  static int64_t Percent(int64_t done, int64_t total);
  // A port edit's text as a port; `fallback` when it is not a number from 1 to 65535.
  static int PortText(const std::string& text, int fallback);

 private:
  // The start of both installs: the connection closed and set up for `transport`, the
  // company's server located. False when the user cancelled (the application is then
  // told to end).
  bool LocateCompany(const std::string& transport, TXServerLocation& location);
  // Reads the company's version over the connection as set up; when none could be
  // read (CompanyVersion "ERROR") shows kVersionNotRead and returns false.
  bool ReadCompany(bool withCompanyCode);
  // Reads SY_MASTR and, unless the version starts with "5", SYMASTER (with the company
  // code for the HTTP install); sets CompanyVersion, the labels and RemoteCompanyCode,
  // or CompanyVersion "ERROR" alone when SYMASTER holds no version.
  void ReadCompanyVersion(bool withCompanyCode);
  void ShowProgress(int64_t done, int64_t total);
  TInstallContext Context();

  TInstallView& view_;
  const TInstallCommandLine& commandLine_;
  const TInstallSettings& settings_;
  bool installed_ = false;
};

}  // namespace rda
