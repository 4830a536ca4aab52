// THeadlessInstall: the install utility without a window, for scripts and tests.
//
// It runs what a user would do: press "Test Internet Connection" and, when a transport
// succeeded, "Install Tamrix". What the window would show goes to standard output,
// one line each (a text's own line breaks stay in it):
//
//   <Kind>: <text>               a message box (Warning, Error, Information); OK is pressed
//   Company code dialog: <caption> -> <code> | Cancel
//   Status <panel>: <text>       a status bar panel that changed
//   TCP/IP: <result>  HTTP: <result>
//   Company: <name>  /  Version: <text>
//   Error: <text>                an error no step handled
// and why a step failed, where the window shows nothing, goes to standard error.
//
// The company-code dialog answers `dialogCode` the first time and Cancel after that,
// so an unknown code ends the program instead of asking forever. The connection's
// own dialogs are answered as TRdaHeadlessUserInterface answers them.
//
// Run() returns the exit status: 0 when the client was installed, 1 otherwise.
#pragma once

#include <optional>
#include <string>

#include "install/TamrixInstall.h"

namespace rda {

class THeadlessInstall : public TInstallView, private TRdaStatusDisplay {
 public:
  // The command line's --xserver, --xserver-port, --web-server and --web-port fill
  // the configuration edits (their defaults come from `settings`).
  THeadlessInstall(const TInstallCommandLine& commandLine, const TInstallSettings& settings);
  ~THeadlessInstall() override;

  int Run();
  TTamrixInstall& Steps() { return *steps_; }

  // TInstallView
  std::string ConfigText(TConfigField field) const override;
  void SetResultLabels(const std::string& tcpip, const std::string& http) override;
  void SetCompanyName(const std::string& text) override;
  void SetVersionText(const std::string& text) override;
  void SetTestButton(bool, bool) override {}
  void SetInstallButton(bool, bool) override {}
  TRdaStatusDisplay& StatusBar() override { return *this; }
  void Repaint() override {}
  void SetBusyCursor(bool) override {}
  void ShowError(const std::exception& error) override;
  void TerminateApplication() override { terminate_ = true; }
  TRdaUserInterface& ConnectionUserInterface() override;
  void Note(const std::string& text) override;
  void MessageDlg(const std::string& text, TMsgDlgType type) override;
  std::optional<std::string> EnterCompanyCode(const std::string& caption) override;

 private:
  // TRdaStatusDisplay
  bool SimplePanel() const override { return false; }
  void SetSimpleText(const std::string& text) override { SetPanelText(0, text); }
  void SetPanelText(int panel, const std::string& text) override;

  class ConnectionUi;
  std::unique_ptr<ConnectionUi> connectionUi_;
  std::string config_[5];
  std::string panels_[2];
  std::optional<std::string> dialogCode_;
  bool dialogShown_ = false;
  bool terminate_ = false;
  bool failed_ = false;
  std::unique_ptr<TTamrixInstall> steps_;
};

}  // namespace rda
