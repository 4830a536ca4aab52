// What the client fuzz targets share: a transport without a network and the
// one application object a connection needs for its timers and waits.
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <string>
#include <string_view>

#include "connection/RdaClientSocketPrivate.h"

namespace rda::fuzz {

// Every open is refused a moment later, so nothing leaves the process.
class RefusingTransport : public TRdaTransport {
 public:
  void Open(const std::string&, uint16_t, int) override {
    opening_ = true;
    QTimer::singleShot(0, &context_, [this] {
      opening_ = false;
      if (events_ != nullptr) events_->TransportError(10061, eeConnect, false);
    });
  }
  void Close() override { opening_ = false; }
  void Abort() override { opening_ = false; }
  bool IsConnected() const override { return false; }
  bool IsIdle() const override { return !opening_; }
  int64_t Write(std::string_view) override { return 0; }
  void Flush() override {}
  int64_t BytesAvailable() const override { return 0; }
  size_t Read(char*, size_t) override { return 0; }
  bool WaitForConnected(int) override { return false; }
  bool WaitForBytesWritten(int) override { return false; }
  bool WaitForReadyRead(int) override { return false; }
  int64_t BytesToWrite() const override { return 0; }
  int LastErrorCode() const override { return 10061; }
  std::string LastErrorText() const override { return "Connection refused"; }

 private:
  QObject context_;
  bool opening_ = false;
};

inline QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "fuzz_client";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

}  // namespace rda::fuzz
