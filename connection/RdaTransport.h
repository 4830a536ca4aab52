// The transport under a connection: how bytes reach the server and come back.
//
// A connection composes, packs and frames messages, and cuts received bytes into
// messages again, without knowing what carries them. It talks to one TRdaTransport,
// shaped like a stream socket: open, write, read, close, and events for each step.
// Direct TCP is TRdaTcpTransport over QTcpSocket. The HTTP carriages plug in behind
// the same interface:
//   - the hand-built request forms run on a TCP transport; the connection wraps each
//     frame in its request text, and the message stack strips the response headers;
//   - the platform HTTP client form becomes a second implementation whose Write
//     collects one request body, EndOfRequest posts it, and whose Read hands back the
//     response body; the codec above is the same.
//
// Error codes are the system's Winsock numbers (10061 connection refused, ...), so
// that the connection's error texts do not depend on the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rda {

// What a socket was doing when an error happened (passed to OnError).
enum TErrorEvent : uint8_t { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// The receiver of a transport's events (the connection). Events arrive on the
// thread that owns the transport, from its event loop, or synchronously from the
// blocking calls below.
class TRdaTransportEvents {
 public:
  virtual void TransportLookup() = 0;
  virtual void TransportConnecting() = 0;
  virtual void TransportConnected() = 0;
  // The connection is closed, by either side; follows an error that ended it.
  virtual void TransportDisconnected() = 0;
  virtual void TransportReadyRead() = 0;
  virtual void TransportBytesWritten() = 0;
  // A socket error: its Winsock code and what the socket was doing. `peerClosed` marks
  // the peer closing its end (whether orderly or by a reset cannot be told apart).
  virtual void TransportError(int code, TErrorEvent kind, bool peerClosed) = 0;

 protected:
  ~TRdaTransportEvents() = default;
};

class TRdaTransport {
 public:
  virtual ~TRdaTransport() = default;

  // Where events go; not owned. Set before Open.
  void SetEvents(TRdaTransportEvents* events) { events_ = events; }

  // Starts connecting to a host name or dotted address; the outcome arrives as
  // TransportConnected or TransportError. A connect that neither succeeds nor fails
  // within `connectTimeoutMs` (0 = the system's own limit) is reported as 10060.
  virtual void Open(const std::string& host, uint16_t port, int connectTimeoutMs) = 0;
  // Closes gracefully: bytes already written still go out; TransportDisconnected
  // follows (at once when nothing is pending).
  virtual void Close() = 0;
  // Closes at once, dropping pending bytes.
  virtual void Abort() = 0;
  virtual bool IsConnected() const = 0;
  // Neither connecting, connected nor closing.
  virtual bool IsIdle() const = 0;

  // Hands bytes to the transport; returns how many it took (0: not connected).
  virtual int64_t Write(std::string_view bytes) = 0;
  // Starts sending what Write took without waiting for the event loop.
  virtual void Flush() = 0;
  // Marks the end of one framed request (after its last Write). A stream transport
  // has nothing to do; a request-response transport sends the request now.
  virtual void EndOfRequest(bool /*waitsForReply*/) {}
  virtual int64_t BytesAvailable() const = 0;
  // Reads up to `max` bytes of what has arrived; never blocks.
  virtual size_t Read(char* buffer, size_t max) = 0;

  // Blocking use (the blocking client type): each waits at most `ms` milliseconds
  // and returns false on time-out or error.
  virtual bool WaitForConnected(int ms) = 0;
  virtual bool WaitForBytesWritten(int ms) = 0;
  virtual bool WaitForReadyRead(int ms) = 0;
  virtual int64_t BytesToWrite() const = 0;

  // The Winsock code and the platform's text of the last error.
  virtual int LastErrorCode() const = 0;
  virtual std::string LastErrorText() const = 0;

 protected:
  TRdaTransportEvents* events_ = nullptr;
};

// Direct TCP over QTcpSocket.
std::unique_ptr<TRdaTransport> MakeTcpTransport();

// The Winsock code for a QAbstractSocket::SocketError value (passed as an int so that
// this header needs no Qt). `connected` tells whether the connection had been up.
int WinsockCodeForSocketError(int qtSocketError, bool connected);

// The system's text for the socket errors it explains itself (10053, 10054, 10061,
// 10065); empty for every other code.
std::string SocketErrorText(int code);

}  // namespace rda
