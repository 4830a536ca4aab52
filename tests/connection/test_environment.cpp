// One QCoreApplication for the whole test program, and a private settings store so
// that tests never touch the user's own settings.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_connection";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QCoreApplication>(argc, argv);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
  }
  void TearDown() override { app_.reset(); }

 private:
  QTemporaryDir dir_;
  std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
