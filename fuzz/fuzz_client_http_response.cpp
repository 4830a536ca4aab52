// Feeds arbitrary bytes, as a web server or proxy would answer a hand-built tunnel
// request, to the HTTP response reader on its own and to a connection's HTTP receive
// path (reading the response, the error-page check, the message stack, the transforms
// with the session header, dispatch). The connection is the protocol core, without Qt
// and without a socket (fuzz/ClientFuzzSupport.h): nothing leaves the process.
// Whatever comes in, the reader must raise ERdaProtocolError or go on, keep its counts
// consistent, and never crash or hang.
//
// Input: byte 0 = mode (bit 0: proxy form, else the extension form; bit 1: stateless
// session header; bit 2: +4 encryption; bit 3: the connection ends after the bytes),
// byte 1 = piece size (0 = all at once), then the bytes of the answer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "connection/RdaClientCore.h"
#include "connection/RdaHttpTunnel.h"
#include "fuzz/ClientFuzzSupport.h"

namespace {

// The reader alone: its counts stay within what the head announced.
void ReadAlone(std::string_view bytes, size_t piece, bool close) {
  rda::TRdaHttpResponseReader reader;
  std::string answer;
  size_t answered = 0;
  try {
    for (size_t pos = 0; pos < bytes.size();) {
      const size_t n = piece == 0 ? bytes.size() - pos : std::min(piece, bytes.size() - pos);
      std::string_view in = bytes.substr(pos, n);
      pos += n;
      while (!in.empty()) {
        const size_t before = in.size();
        const auto result = reader.Feed(in, answer);
        const rda::TRdaHttpResponseInfo& info = reader.Response();
        if (info.ContentLength >= 0 && info.BodyReceived > info.ContentLength) abort();
        if (info.PageText.size() > rda::TRdaHttpResponseReader::kMaxPageText) abort();
        if (result == rda::TRdaHttpResponseReader::rrComplete) {
          answered += answer.size();
          answer.clear();
        } else if (in.size() == before) {
          abort();  // no progress without a complete response
        }
      }
    }
    if (close) reader.EndOfInput(answer);
  } catch (const rda::ERdaProtocolError&) {
    // Malformed input is reported as a protocol error.
  }
  if (answered + answer.size() > bytes.size()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t piece = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  const bool close = (mode & 8) != 0;
  ReadAlone(bytes, piece, close);

  {
    rda::fuzz::OfflineCore c;
    rda::TRdaClientCore& core = c.core;
    core.Settings().ConnectAction = rda::caNone;
    if (mode & 1) {
      c.driver.commandLine = {"HTTP", "ServerProxiedAddress=10.0.0.1", "ServerProxiedPort=9406"};
      core.ApplyAddressRules();
    } else {
      core.SetupWebTunnel("10.0.0.2", "10.0.0.1", "isapi/RdaHttp.dll", 80, 9406);
      core.WebServer().SetWinInet(false);
    }
    core.WebServer().SetAddCookie((mode & 2) != 0);
    if (mode & 4) core.Transforms().SetEncryption(rda::etRdaEncrypt);
    core.Settings().ReplyTimeout = 50;
    c.events.OnException = [](const std::exception&) {};
    c.events.OnTerminateMessageFromServer = [](const std::string&, bool& handled) { handled = true; };
    for (size_t pos = 0; pos < bytes.size();) {
      const size_t n = piece == 0 ? bytes.size() - pos : std::min(piece, bytes.size() - pos);
      try {
        core.Receive(bytes.substr(pos, n));
      } catch (const rda::Exception&) {
        // Protocol errors, and the error-page text as ERdaConnectException.
      }
      pos += n;
    }
    if (close) {
      try {
        core.ReceiveEnd();
      } catch (const rda::Exception&) {
      }
    }
    c.Settle();
    if (core.Active()) abort();  // nothing here can connect
  }
  return 0;
}
