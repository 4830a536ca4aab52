#include "install/VNXDBCli.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <exception>
#include <memory>

#include "base/Exception.h"
#include "connection/RdaClientSocket.h"
#include "connection/RdaTransport.h"
#include "install/FileUtil.h"
#include "install/HttpResponseReader.h"

namespace rda {

namespace {

constexpr qint64 kReadBlock = 64 * 1024;

std::string EscapePath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void CheckHost(const std::string& host) {
  bool ok = !host.empty() && host.size() <= 255;
  for (unsigned char c : host) {
    if (c <= 0x20 || c == 0x7F) ok = false;
  }
  if (!ok) throw Exception("Invalid host name");
}

[[noreturn]] void RaiseSocketError(const QTcpSocket& socket, const std::string& host, int port) {
  const int code = socket.error() == QAbstractSocket::UnknownSocketError
                       ? 10060
                       : WinsockCodeForSocketError(static_cast<int>(socket.error()), false);
  std::string text = SocketErrorText(code);
  if (text.empty()) {
    text = "Windows socket error: " + socket.errorString().toStdString() + " (" +
           std::to_string(code) + "), on API 'connect'";
  }
  throw ESocketError(text + " (" + host + ":" + std::to_string(port) + ")", code);
}

}  // namespace

std::string HttpGetRequest(const std::string& host, const std::string& path) {
  return "GET /" + EscapePath(path) + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

int64_t HTTPGetFile(const std::string& host, const std::string& path,
                    const std::string& localFile, const THttpProgress& progress, int port,
                    THttpGetResult* resultOut) {
  CheckHost(host);
  THttpGetResult result;
  QTcpSocket socket;

  // Connect, with the event loop running.
  {
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    socket.connectToHost(QString::fromStdString(host), static_cast<quint16>(port));
    limit.start(kHttpConnectLimitMs);
    if (socket.state() != QAbstractSocket::ConnectedState &&
        socket.state() != QAbstractSocket::UnconnectedState) {
      loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (socket.state() != QAbstractSocket::ConnectedState) {
      socket.abort();
      RaiseSocketError(socket, host, port);
    }
  }

  const std::string request = HttpGetRequest(host, path);
  socket.write(request.data(), static_cast<qint64>(request.size()));

  THttpResponseReader reader;
  std::unique_ptr<TReplacingFile> file;
  std::exception_ptr error;
  bool cancel = false;
  bool silent = false;
  bool closed = false;
  std::string body;

  QEventLoop loop;
  QTimer silence;
  silence.setSingleShot(true);
  const auto finished = [&] {
    return cancel || error || reader.Complete() || reader.Failed() ||
           (reader.HeadDone() && !reader.Success());
  };
  const auto onData = [&] {
    // No exception may leave a slot into the event loop: it is kept and raised after.
    try {
      while (socket.bytesAvailable() > 0 && !finished()) {
        const QByteArray block = socket.read(kReadBlock);
        if (block.isEmpty()) break;
        result.Received += block.size();
        body.clear();
        reader.Feed(std::string_view(block.constData(), static_cast<size_t>(block.size())), body);
        if (reader.HeadDone() && reader.Success() && !file) {
          file = std::make_unique<TReplacingFile>(localFile);
        }
        if (file && !body.empty()) file->Write(body);
        if (progress) {
          progress(std::max<int64_t>(reader.ContentLength(), 0), cancel, result.Received);
        }
      }
    } catch (...) {
      error = std::current_exception();
    }
    if (finished()) {
      loop.quit();
    } else {
      silence.start(kSilenceLimitMs);
    }
  };
  QObject::connect(&socket, &QTcpSocket::readyRead, &loop, onData);
  QObject::connect(&socket, &QTcpSocket::disconnected, &loop, [&] {
    closed = true;
    loop.quit();
  });
  QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop, [&] {
    closed = true;
    loop.quit();
  });
  QObject::connect(&silence, &QTimer::timeout, &loop, [&] {
    silent = true;
    loop.quit();
  });
  silence.start(kSilenceLimitMs);
  onData();  // bytes that came with the connect
  if (!finished() && !closed) loop.exec();
  silence.stop();
  // Bytes that arrived together with the close are still ours.
  if (!finished()) onData();
  socket.abort();
  if (closed) reader.CloseEndsBody();

  result.Status = reader.Status();
  result.ContentLength = reader.ContentLength();
  result.Cancelled = cancel;
  result.TimedOut = silent && !finished();
  if (error) {
    if (file) file->Discard();
    std::rethrow_exception(error);
  }
  if (cancel) {
    result.Failure = "cancelled";
  } else if (reader.Failed()) {
    result.Failure = "the response does not read: " + reader.Failure();
  } else if (!reader.HeadDone()) {
    result.Failure = silent ? "no response within " + std::to_string(kSilenceLimitMs) + " ms"
                            : "the server closed the connection without a response";
  } else if (!reader.Success()) {
    result.Failure = "the server answered with status " + std::to_string(reader.Status());
  } else if (!reader.Complete()) {
    result.Failure = "the download ended early after " + std::to_string(reader.BodyBytes()) +
                     " bytes" +
                     (reader.ContentLength() >= 0
                          ? " of " + std::to_string(reader.ContentLength())
                          : std::string());
  }
  if (result.Failure.empty()) {
    if (!file) file = std::make_unique<TReplacingFile>(localFile);  // an empty body
    file->Commit();
    result.Installed = true;
  } else if (file) {
    file->Discard();
  }
  if (resultOut != nullptr) *resultOut = result;
  return result.Installed ? result.Received : 0;
}

}  // namespace rda
