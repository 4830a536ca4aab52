// The Qt driver of TRdaClientSocket. Internal to the library (no public header
// hands it out): it owns the protocol core (TRdaClientCore) and the platform pieces
// the core asks for, and moves bytes and time between them:
//
//   - the transport (QTcpSocket for direct TCP and the hand-built HTTP forms, libcurl
//     for the platform HTTP client); its events go into the core, with the bytes read;
//   - one QTimer for the core's next deadline;
//   - the nested event loops of the waits (TRdaSmartWait for a request, a QEventLoop
//     for OpenAndWait and CloseAndWait);
//   - the user interface (the headless one unless the application sets its own), the
//     program's name and command line;
//   - handing messages to components with the connection they belong to.
//
// Invariants: the core's State() follows the transport (Connected exactly while the
// transport is); loops_ holds the nested loops of the running RunUntil calls,
// innermost last.
#pragma once

#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection/RdaClientCore.h"
#include "connection/RdaClientSocket.h"
#include "connection/RdaClientUpdate.h"
#include "connection/RdaSmartWait.h"
#include "connection/RdaTransport.h"
#include "connection/RdaUserInterface.h"

class QEventLoop;

namespace rda {

class TRdaClientSocketPrivate final : public TRdaCoreDriver, public TRdaTransportEvents {
 public:
  explicit TRdaClientSocketPrivate(TRdaClientSocket& q);
  ~TRdaClientSocketPrivate();

  TRdaClientCore& Core() { return core_; }
  TRdaSmartWait& SmartWait() { return smartWait_; }
  TRdaUserInterface& UI() { return ui_ != nullptr ? *ui_ : headless_; }
  void SetUserInterface(TRdaUserInterface* ui);
  void SetCommandLine(std::vector<std::string> parameters) { commandLine_ = std::move(parameters); }
  void SetProgramFile(std::string path) { programFile_ = std::move(path); }
  void Loaded();

  // ---- TRdaCoreDriver ----------------------------------------------------------------

  TRdaTransport& Transport() override { return *transport_; }
  void SelectHttpClient(bool httpClient) override;
  TRdaHttpClientTransport* HttpClient() override { return httpClient_; }
  void RunRequestWait(TRdaWait& wait) override;
  void StopRequestWait() override { smartWait_.Stop(); }
  void RunUntil(const std::function<bool()>& done, int limitMs) override;
  void WakeWaits() override;
  void ProcessEvents() override;
  void DeadlinesChanged() override;
  TRdaUserInterface& UserInterface() override { return UI(); }
  std::string ProgramFileName() override;
  std::vector<std::string> CommandLine() override;
  void ToComponent(TRdaComponent& component, const TRdaComponentMessage& message) override;
  void OutputParamsToComponent(TRdaComponent& component, TRdaParamList& params) override;
  void RowsAffectedToComponent(TRdaComponent& component, int rowsAffected) override;
  void ReopenComponent(TRdaComponent& component) override;
  void ReconnectedComponent(TRdaComponent& component) override;
  TRdaClientFiles* ClientFiles() override { return &files_; }

  // ---- TRdaTransportEvents -----------------------------------------------------------

  void TransportLookup() override { core_.TransportLookup(); }
  void TransportConnecting() override { core_.TransportConnecting(); }
  void TransportConnected() override { core_.TransportConnected(); }
  void TransportDisconnected() override;
  void TransportReadyRead() override;
  void TransportBytesWritten() override { core_.TransportBytesWritten(); }
  void TransportError(int code, TErrorEvent kind, bool peerClosed) override;
  void TransportResponse(TRdaHttpResult& result) override { core_.HttpResponse(result); }
  void TransportProgress(int64_t expected, int64_t received) override {
    core_.HttpProgress(expected, received);
  }
  void TransportStatus(uint32_t status) override { core_.HttpStatus(status); }

 private:
  void ReplaceTransport(std::unique_ptr<TRdaTransport> transport);
  // The bytes the transport has received, in a buffer kept from read to read.
  std::string_view ReadAll();
  void ArmDeadlineTimer();

  TRdaClientSocket& q_;
  TRdaSteadyClock clock_;
  TRdaHeadlessUserInterface headless_;
  TRdaUserInterface* ui_ = nullptr;
  std::optional<std::vector<std::string>> commandLine_;
  std::optional<std::string> programFile_;
  // What a server sends to be written goes to the program's folder.
  TRdaProgramFiles files_;
  TRdaSmartWait smartWait_;
  std::unique_ptr<TRdaTransport> transport_;
  TRdaHttpClientTransport* httpClient_ = nullptr;  // transport_ when it is the HTTP client
  std::unique_ptr<char[]> readBuffer_;
  size_t readCapacity_ = 0;
  std::vector<QEventLoop*> loops_;  // the nested loops of RunUntil, innermost last
  QTimer deadlineTimer_;
  std::optional<TRdaClock::TimePoint> armedFor_;  // what deadlineTimer_ runs to
  TRdaClientCore core_;  // declared last: made when everything it asks for exists
};

}  // namespace rda
