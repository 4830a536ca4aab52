// One QCoreApplication for the integration tests (unless another file of this
// program made one), and a private settings store.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

namespace {

class ClientEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() == nullptr) {
      static int argc = 1;
      static char name[] = "test_integration";
      static char* argv[] = {name, nullptr};
      app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
  }
  void TearDown() override { app_.reset(); }

 private:
  QTemporaryDir dir_;
  std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kClientEnvironment =
    ::testing::AddGlobalTestEnvironment(new ClientEnvironment);

}  // namespace
