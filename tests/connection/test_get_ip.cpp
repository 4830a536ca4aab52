// The remembered server addresses and the two ways of asking for one.
#include <gtest/gtest.h>

#include <QSettings>

#include "ConnectionTestSupport.h"
#include "connection/RdaGetIP.h"

namespace rda {
namespace {

class GetIP : public ::testing::Test {
 protected:
  GetIP() { Misc().clear(); }
  ~GetIP() override { Misc().clear(); }
  static QSettings& Misc() {
    static QSettings settings(QStringLiteral("Rda"));
    return settings;
  }
  static void Store(const char* key, const QVariant& value) {
    Misc().setValue(QString("Misc/") + key, value);
    Misc().sync();
  }
  static QString Stored(const QString& key) {
    QSettings fresh(QStringLiteral("Rda"));
    return fresh.value("Misc/" + key).toString();
  }
  test::RecordingUI ui;
};

TEST_F(GetIP, ListShowsTheStoredAddressesAndStoresTheChoice) {
  Store("IP Address Count", 4);
  Store("IPAddress 0", "  10.0.0.2 ");
  Store("IPAddress 1", "");
  Store("IPAddress 2", "SERVER1");
  Store("IPAddress 3", "server1x");
  Store("IPForTesting", "server1");
  ui.choice = {true, " 10.0.0.9 ", {"10.0.0.2", "server1x", "server1"}};
  EXPECT_EQ(ChooseIPAddress(ui, true), "10.0.0.9");
  // Trimmed, empty and the last choice (any case) left out, the last choice added.
  EXPECT_EQ(ui.shownList, (std::vector<std::string>{"10.0.0.2", "server1x", "server1"}));
  EXPECT_EQ(ui.shownAddress, "server1");
  EXPECT_EQ(Stored("IPForTesting"), "10.0.0.9");
  EXPECT_EQ(Stored("IP Address Count"), "4");
  EXPECT_EQ(Stored("IPAddress 1"), "10.0.0.9");  // sorted
  EXPECT_EQ(ui.terminated, 0);
}

TEST_F(GetIP, CancelledListStillStoresAndEndsTheApplication) {
  ui.choice = {false, "typed", {""}};
  EXPECT_EQ(ChooseIPAddress(ui, true), "");
  EXPECT_EQ(ui.shownList, std::vector<std::string>{""});  // no values: one empty entry
  EXPECT_EQ(Stored("IPForTesting"), "typed");
  EXPECT_EQ(ui.terminated, 1);
}

TEST_F(GetIP, PromptStartsFromTheLastChoice) {
  ui.inputAnswer = "192.168.1.5";
  EXPECT_EQ(AskServerAddress(ui), std::optional<std::string>("192.168.1.5"));
  EXPECT_EQ(ui.shownAddress, "Put.YourAddress.Here");
  EXPECT_EQ(ReadIPForTesting(), "192.168.1.5");
  ui.inputAnswer.reset();
  EXPECT_EQ(AskServerAddress(ui), std::nullopt);
  EXPECT_EQ(ui.shownAddress, "192.168.1.5");
  EXPECT_EQ(ui.terminated, 1);
}

}  // namespace
}  // namespace rda
