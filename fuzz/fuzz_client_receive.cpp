// Feeds arbitrary bytes, as a server would send them, to the receive path of a client
// connection: the message stack, the body transforms, the string line parser and the
// dispatch of every token, including the handlers that move the connection (redirect,
// reconnect, reset). Whatever comes in, the connection must report errors as
// exceptions and never crash or hang.
//
// Input: byte 0 = mode (bits 0-1: 0 none, 1 +4, 2 DES, 3 none; bit 2: zlib; bit 3:
// the application's handlers are set), byte 1 = piece size (0 = all at once), then
// the bytes the server sends.
//
// The core runs without Qt and without a socket (fuzz/ClientFuzzSupport.h): connects
// are refused, and the clock is moved on afterwards so that the reply limit,
// reconnects and deferred moves of the connection run too.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "connection/RdaClientCore.h"
#include "fuzz/ClientFuzzSupport.h"

namespace {

// A component of the connection: what the core hands it must be a well-formed message.
class Sink : public rda::TRdaComponent {
 public:
  void ReceiveMessage(rda::TRdaClientSocket&, const rda::TRdaComponentMessage&) override {}
  bool AwaitsOutputParams() const override { return (bytes_ & 1) != 0; }
  void Take(const rda::TRdaComponentMessage& m) {
    if (m.FieldCount < 0 || m.FieldCount > 5) abort();
    bytes_ += m.Fields[0].size() + m.Fields[1].size();
  }

 private:
  size_t bytes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t piece = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  Sink first, second;
  {
    rda::fuzz::OfflineCore c;
    rda::TRdaClientCore& core = c.core;
    rda::TRdaClientEvents& events = c.events;
    // Both registered components are Sinks.
    c.driver.onComponentMessage = [](rda::TRdaComponent& component, const rda::TRdaComponentMessage& m) {
      static_cast<Sink&>(component).Take(m);
    };
    core.Settings().ReplyTimeout = 50;
    core.Settings().ConnectAction = rda::caNone;
    const int encryption = mode & 3;
    if (encryption == 1) core.Transforms().SetEncryption(rda::etRdaEncrypt);
    if (encryption == 2) {
      core.Transforms().SetEncryption(rda::etDESEncrypt);
      core.Transforms().SetEncryptKeyIn("fuzzkey");
    }
    if (mode & 4) core.Transforms().SetCompression(rda::acRdaZLib);
    if (mode & 8) {
      events.OnLoginParamsAttempt = [](bool, rda::TRdaParamList& p) { (void)p.Count(); };
      events.OnCustomSQLError = [](rda::TRdaParamList& p) { (void)p.ToText(true); };
      events.OnServerAsyncException = [](int32_t, rda::TRdaParamList&, bool& handled) { handled = true; };
      events.OnTerminateMessageFromServer = [](const std::string&, bool& handled) { handled = true; };
      events.OnInstantMessage = [](int32_t, rda::TRdaParamList&) {};
      core.Settings().SQLErrorHandling = {rda::seAsExceptions, rda::seRouteCookieErrorsToLogin};
    }
    events.OnException = [](const std::exception&) {};
    core.ComponentId(&first);
    core.ComponentId(&second);

    size_t pos = 0;
    while (pos < bytes.size()) {
      const size_t n = piece == 0 ? bytes.size() - pos : std::min(piece, bytes.size() - pos);
      try {
        core.Receive(bytes.substr(pos, n));
      } catch (const rda::ERdaProtocolError&) {
        // The receive path reports every failure as a protocol error.
      }
      pos += n;
    }
    // Run what the messages set in motion (moving the connection, the timers).
    c.Settle();
    if (core.Active()) abort();  // nothing here can connect
  }
  return 0;
}
