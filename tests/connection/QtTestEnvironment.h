// The Qt application of a test program and a private settings store, so that tests
// never touch the user's own settings. Each test program registers it once:
//
//   [[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(
//       new rda::test::QtTestEnvironment("test_connection"));
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace rda::test {

class QtTestEnvironment : public ::testing::Environment {
 public:
  explicit QtTestEnvironment(std::string name) : name_(std::move(name)) {}
  void SetUp() override {
    if (QCoreApplication::instance() == nullptr) {
      argv_[0] = name_.data();
      app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
  }
  void TearDown() override { app_.reset(); }

 private:
  std::string name_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  QTemporaryDir dir_;
  std::unique_ptr<QCoreApplication> app_;
};

}  // namespace rda::test
