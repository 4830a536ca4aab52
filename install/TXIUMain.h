// TfrmTXIUMain: the install utility's main window.
//
// "Tamrix Install Utility", a fixed window of 419 x 331 (client area) at the centre of
// the desktop: the company name above two tabs, "Install" (instructions, the two
// buttons, the result of each transport, the version read) and "Configuration
// Options" (the data server and web server to test), and the connection status bar.
// The steps behind the buttons are TTamrixInstall's; the window is their view.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "install/TamrixInstall.h"
#include "widgets/RdaWidgetUserInterface.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QWidget;

namespace rda {

class TRDAStatusBar;

class TfrmTXIUMain : public QMainWindow, public TInstallView {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Tamrix Install Utility";

  // `commandLine` and `settings` must outlive the window. The configuration edits
  // start from the settings and the command line's --xserver, --xserver-port,
  // --web-server and --web-port. Runs FormCreate.
  TfrmTXIUMain(const TInstallCommandLine& commandLine, const TInstallSettings& settings);
  ~TfrmTXIUMain() override;

  TTamrixInstall& Steps() { return *steps_; }
  // True once a step asked the application to end (after an install, or a cancelled
  // company-code dialog).
  bool TerminateRequested() const { return terminateRequested_; }

  // The buttons' handlers (the buttons call them; so may tests).
  void btnTestConnectionClick();
  void btnInstallClientClick();

  // ---- Components ------------------------------------------------------------------------
  QFrame* Panel1 = nullptr;
  QLabel* lblCompanyName = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QWidget* tabInstall = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QPushButton* btnTestConnection = nullptr;
  QPushButton* btnInstallClient = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* lblTCPIPStatus = nullptr;
  QLabel* lblHTTPStatus = nullptr;
  QLabel* lblVerNum = nullptr;
  QWidget* tabConfigOptions = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* RdaServerEdit = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* RdaServerPort = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* WebServerEdit = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* WebServerPort = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* RdaHttpEdit = nullptr;
  TRDAStatusBar* RDAStatusBar1 = nullptr;

  // ---- TInstallView --------------------------------------------------------------------
  std::string ConfigText(TConfigField field) const override;
  void SetResultLabels(const std::string& tcpip, const std::string& http) override;
  void SetCompanyName(const std::string& text) override;
  void SetVersionText(const std::string& text) override;
  void SetTestButton(bool enabled, bool isDefault) override;
  void SetInstallButton(bool enabled, bool isDefault) override;
  TRdaStatusDisplay& StatusBar() override;
  void Repaint() override;
  void SetBusyCursor(bool busy) override;
  void ShowError(const std::exception& error) override;
  void TerminateApplication() override;
  TRdaUserInterface& ConnectionUserInterface() override { return ui_; }
  void MessageDlg(const std::string& text, TMsgDlgType type) override;
  std::optional<std::string> EnterCompanyCode(const std::string& caption) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildInstallTab();
  void BuildConfigTab(const TInstallCommandLine& commandLine, const TInstallSettings& settings);

  TRdaWidgetUserInterface ui_;
  int busy_ = 0;
  bool centred_ = false;
  bool terminateRequested_ = false;
  std::unique_ptr<TTamrixInstall> steps_;  // last: made once the components exist
};

}  // namespace rda
