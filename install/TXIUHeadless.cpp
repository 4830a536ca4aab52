#include "install/TXIUHeadless.h"

#include <cstdio>

#include "connection/RdaUserInterface.h"

namespace rda {

namespace {

void Out(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

// The connection's dialogs, answered as the library's headless interface answers
// them, and shown on standard output like ours.
class THeadlessInstall::ConnectionUi : public TRdaHeadlessUserInterface {
 public:
  ConnectionUi() : TRdaHeadlessUserInterface(/*quiet=*/true) {}
  void ShowMessage(const std::string& text) override {
    Out("Message: " + text);
    TRdaHeadlessUserInterface::ShowMessage(text);
  }
  bool AskYesNo(const std::string& text) override {
    const bool yes = TRdaHeadlessUserInterface::AskYesNo(text);
    Out("Confirmation: " + text + " -> " + (yes ? "Yes" : "No"));
    return yes;
  }
  void ShowException(const std::exception& error) override {
    Out(std::string("Error: ") + error.what());
    TRdaHeadlessUserInterface::ShowException(error);
  }
};

THeadlessInstall::THeadlessInstall(const TInstallCommandLine& commandLine,
                                   const TInstallSettings& settings)
    : connectionUi_(std::make_unique<ConnectionUi>()), dialogCode_(commandLine.CompanyCode) {
  config_[cfRdaServer] = commandLine.XServer.value_or(settings.DemoHost);
  config_[cfRdaServerPort] = std::to_string(commandLine.XServerPort.value_or(settings.DemoPort));
  config_[cfWebServer] = commandLine.WebServer.value_or(settings.DemoHost);
  config_[cfWebServerPort] =
      std::to_string(commandLine.WebServerPort.value_or(settings.WebServerPort));
  config_[cfRdaHttp] = "isapi/Rdahttp.dll";
  panels_[0] = "No Connection";
  steps_ = std::make_unique<TTamrixInstall>(*this, commandLine, settings);
  steps_->FormCreate();
}

THeadlessInstall::~THeadlessInstall() {
  steps_.reset();  // the connection goes before the status display it writes to
}

int THeadlessInstall::Run() {
  steps_->RunGuarded([this] { steps_->btnTestConnectionClick(); });
  if (failed_ || terminate_) return 1;
  if (steps_->TCPIPResult != TTamrixInstall::kSuccess &&
      steps_->HTTPResult != TTamrixInstall::kSuccess) {
    return 1;
  }
  steps_->RunGuarded([this] { steps_->btnInstallClientClick(); });
  return steps_->Installed() ? 0 : 1;
}

std::string THeadlessInstall::ConfigText(TConfigField field) const { return config_[field]; }

void THeadlessInstall::SetResultLabels(const std::string& tcpip, const std::string& http) {
  Out("TCP/IP: " + tcpip + "  HTTP: " + http);
}

void THeadlessInstall::SetCompanyName(const std::string& text) { Out("Company: " + text); }

void THeadlessInstall::SetVersionText(const std::string& text) { Out("Version: " + text); }

void THeadlessInstall::ShowError(const std::exception& error) {
  failed_ = true;
  Out(std::string("Error: ") + error.what());
}

TRdaUserInterface& THeadlessInstall::ConnectionUserInterface() { return *connectionUi_; }

void THeadlessInstall::Note(const std::string& text) {
  std::fprintf(stderr, "TamrixInstall: %s\n", text.c_str());
}

void THeadlessInstall::MessageDlg(const std::string& text, TMsgDlgType type) {
  Out(std::string(MsgDlgTypeName(type)) + ": " + text);
}

std::optional<std::string> THeadlessInstall::EnterCompanyCode(const std::string& caption) {
  std::optional<std::string> answer;
  if (!dialogShown_ && dialogCode_ && !dialogCode_->empty()) answer = dialogCode_;
  dialogShown_ = true;
  Out("Company code dialog: " + caption + " -> " + (answer ? *answer : std::string("Cancel")));
  return answer;
}

void THeadlessInstall::SetPanelText(int panel, const std::string& text) {
  if (panel < 0 || panel > 1 || panels_[panel] == text) return;
  panels_[panel] = text;
  if (!text.empty()) Out("Status " + std::to_string(panel) + ": " + text);
}

}  // namespace rda
