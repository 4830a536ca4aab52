// The Qt application of a test program and a private settings store, so that tests
// never touch the user's own settings. Each test program registers it once:
//
//   [[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(
//       new rda::test::QtTestEnvironment("test_connection"));
//
// GuiTestEnvironment.h has the same for programs that need Qt Widgets.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace rda::test {

// Application is QCoreApplication or one of its subclasses; `platform`, when
// given, is the Qt platform plug-in to run on (QT_QPA_PLATFORM).
template <class Application>
class QtApplicationEnvironment : public ::testing::Environment {
 public:
  explicit QtApplicationEnvironment(std::string name, const char* platform = nullptr)
      : name_(std::move(name)), platform_(platform) {}
  void SetUp() override {
    if (platform_ != nullptr) qputenv("QT_QPA_PLATFORM", platform_);
    if (QCoreApplication::instance() == nullptr) {
      argv_[0] = name_.data();
      app_ = std::make_unique<Application>(argc_, argv_);
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
  }
  void TearDown() override { app_.reset(); }

 private:
  std::string name_;
  const char* platform_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  QTemporaryDir dir_;
  std::unique_ptr<Application> app_;
};

using QtTestEnvironment = QtApplicationEnvironment<QCoreApplication>;

}  // namespace rda::test
