// What the client fuzz targets share: the connection's protocol core, run by a driver
// that reaches nothing. No Qt and no socket: every open is refused as a server that is
// not there refuses it, waits return at once, nothing is shown, and time moves only
// when the target moves it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/RdaClientCore.h"

namespace rda::fuzz {

// Opens are started and then refused (OfflineCore::Settle); nothing is ever written.
class RefusingTransport : public TRdaHttpClientTransport {
 public:
  void Open(const std::string&, uint16_t, int, const TRdaTlsSettings&) override { opening = true; }
  void Close() override { opening = false; }
  void Abort() override { opening = false; }
  bool IsConnected() const override { return false; }
  bool IsIdle() const override { return !opening; }
  int64_t Write(std::string_view) override { return 0; }
  void Flush() override {}
  int64_t BytesAvailable() const override { return 0; }
  size_t Read(char*, size_t) override { return 0; }
  int LastErrorCode() const override { return kWSAECONNREFUSED; }
  std::string LastErrorText() const override { return "Connection refused"; }
  void SetRequestSettings(TRdaHttpRequestSettings) override {}
  int Outstanding() const override { return 0; }

  bool opening = false;
};

// A user interface that shows nothing and answers every question with a no.
class SilentUI : public TRdaUserInterface {
 public:
  void ShowMessage(const std::string&) override {}
  bool AskYesNo(const std::string&) override { return false; }
  std::optional<TRdaLoginEntry> LoginDialog() override { return std::nullopt; }
  std::optional<std::string> InputAddress(const std::string&, const std::string&,
                                          const std::string&) override {
    return std::nullopt;
  }
  TRdaAddressChoice ChooseAddress(const std::vector<std::string>&, const std::string&) override {
    return {};
  }
  void TerminateApplication() override {}
  void ShowException(const std::exception&) override {}
};

class OfflineDriver final : public TRdaCoreDriver {
 public:
  TRdaTransport& Transport() override { return transport; }
  void SelectHttpClient(bool value) override {
    transport.opening = false;
    httpClient = value;
  }
  TRdaHttpClientTransport* HttpClient() override { return httpClient ? &transport : nullptr; }
  void RunRequestWait(TRdaWait&) override { Refuse(); }
  void StopRequestWait() override {}
  void RunUntil(const std::function<bool()>& done, int) override {
    if (!done()) Refuse();
  }
  void WakeWaits() override {}
  void ProcessEvents() override {}
  void DeadlinesChanged() override {}
  TRdaUserInterface& UserInterface() override { return ui; }
  std::string ProgramFileName() override { return "fuzz_client"; }
  std::vector<std::string> CommandLine() override { return commandLine; }
  void ToComponent(TRdaComponent& component, const TRdaComponentMessage& message) override {
    if (onComponentMessage) onComponentMessage(component, message);
  }
  void OutputParamsToComponent(TRdaComponent&, TRdaParamList&) override {}
  void RowsAffectedToComponent(TRdaComponent&, int) override {}
  void ReopenComponent(TRdaComponent&) override {}

  // A connect that was started is refused.
  void Refuse() {
    if (!transport.opening || core == nullptr) return;
    transport.opening = false;
    core->TransportError(kWSAECONNREFUSED, eeConnect, false, {});
  }

  RefusingTransport transport;
  bool httpClient = false;
  SilentUI ui;
  std::vector<std::string> commandLine;
  TRdaClientCore* core = nullptr;
  std::function<void(TRdaComponent&, const TRdaComponentMessage&)> onComponentMessage;
};

// A core with its offline driver and a clock that stands still until Settle.
struct OfflineCore {
  OfflineCore() { driver.core = &core; }

  // Lets what the received messages set in motion run its course: connects are refused,
  // and the clock moves on a second at a time so that the reply limit, reconnects and
  // what the messages deferred all come due.
  void Settle() {
    for (int i = 0; i < 4; ++i) {
      driver.Refuse();
      clock.Advance(std::chrono::seconds(1));
      core.ProcessDeadlines();
    }
    driver.Refuse();
  }

  OfflineDriver driver;
  TRdaClientEvents events;
  TRdaManualClock clock;
  TRdaClientCore core{driver, events, clock};
};

}  // namespace rda::fuzz
