// Feeds arbitrary bytes, as a server would send them, to the receive path of a client
// connection: the message stack, the body transforms, the string line parser and the
// dispatch of every token, including the handlers that move the connection (redirect,
// reconnect, reset). No socket is involved: the connection's transport here refuses
// every open, so nothing leaves the process. Whatever comes in, the connection must
// report errors as exceptions and never crash or hang.
//
// Input: byte 0 = mode (bits 0-1: 0 none, 1 +4, 2 DES, 3 none; bit 2: zlib; bit 3:
// the application's handlers are set), byte 1 = piece size (0 = all at once), then
// the bytes the server sends.
#include <QCoreApplication>
#include <QTimer>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "connection/RdaClientSocket.h"
#include "connection/RdaClientSocketPrivate.h"
#include "fuzz/ClientFuzzSupport.h"
#include "connection/RdaComponent.h"
#include "connection/RdaUserInterface.h"

namespace {

class Sink : public rda::TRdaComponent {
 public:
  void ReceiveMessage(rda::TRdaClientSocket&, const rda::TRdaComponentMessage& m) override {
    if (m.FieldCount < 0 || m.FieldCount > 5) abort();
    bytes_ += m.Fields[0].size() + m.Fields[1].size();
  }
  bool AwaitsOutputParams() const override { return (bytes_ & 1) != 0; }

 private:
  size_t bytes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rda::fuzz::App();
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t piece = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  rda::TRdaHeadlessUserInterface ui(/*quiet=*/true);
  Sink first, second;
  {
    rda::TRdaClientSocket s;
    s.Private().SetTransport(std::make_unique<rda::fuzz::RefusingTransport>());
    s.SetUserInterface(&ui);
    s.SetReplyTimeout(50);
    s.SetConnectAction(rda::caNone);
    const int encryption = mode & 3;
    if (encryption == 1) s.SetEncryption(rda::etRdaEncrypt);
    if (encryption == 2) {
      s.SetEncryption(rda::etDESEncrypt);
      s.SetEncryptKeyIn("fuzzkey");
    }
    if (mode & 4) s.SetCompression(rda::acRdaZLib);
    if (mode & 8) {
      s.OnLoginParamsAttempt = [](bool, rda::TRdaParamList& p) { (void)p.Count(); };
      s.OnCustomSQLError = [](rda::TRdaParamList& p) { (void)p.ToText(true); };
      s.OnServerAsyncException = [](int32_t, rda::TRdaParamList&, bool& handled) { handled = true; };
      s.OnTerminateMessageFromServer = [](const std::string&, bool& handled) { handled = true; };
      s.OnInstantMessage = [](int32_t, rda::TRdaParamList&) {};
      s.SetSQLErrorHandling({rda::seAsExceptions, rda::seRouteCookieErrorsToLogin});
    }
    s.OnException = [](const std::exception&) {};
    s.ComponentId(&first);
    s.ComponentId(&second);

    size_t pos = 0;
    while (pos < bytes.size()) {
      const size_t n = piece == 0 ? bytes.size() - pos : std::min(piece, bytes.size() - pos);
      try {
        s.Private().ProcessReceivedBytes(bytes.substr(pos, n));
      } catch (const rda::ERdaProtocolError&) {
        // The receive path reports every failure as a protocol error.
      }
      pos += n;
    }
    // Run what the messages deferred (moving the connection), then let it settle.
    for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
    if (s.Active()) abort();  // nothing here can connect
  }
  QCoreApplication::processEvents();
  return 0;
}
