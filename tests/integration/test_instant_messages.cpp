// Instant messages and the user list between clients of one rdaserver: delivered
// between two connected clients, kept for one who is not logged in and announced
// as waiting mail at its login, and the user list following who comes and goes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

using ::testing::ElementsAre;
using test::RunUntil;

std::set<std::string> Column(TRdaDataSet* ds, const std::string& field) {
  std::set<std::string> values;
  if (ds == nullptr) return values;
  for (ds->First(); !ds->Eof(); ds->Next()) values.insert(ds->FieldByName(field).AsString());
  return values;
}

class InstantMessages : public ::testing::Test {
 protected:
  InstantMessages() : script(WriteScript()), server(test::DemoServerArgs({"--init", script})) {}
  ~InstantMessages() override { std::remove(script.c_str()); }

  // The demonstration tables and three users.
  static std::string WriteScript() {
    const std::string path = std::filesystem::temp_directory_path() /
                             ("rda-im-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".sql");
    std::ifstream demo(test::DemoScript());
    std::ofstream out(path);
    out << demo.rdbuf()
        << "\nCREATE TABLE RdaUsers (UserName TEXT, Password TEXT);\n"
           "INSERT INTO RdaUsers VALUES ('alice', 'a'), ('bob', 'b'), ('carol', 'c');\n";
    return path;
  }
  std::unique_ptr<TRdaClientSocket> LogIn(const std::string& user) {
    auto c = std::make_unique<TRdaClientSocket>();
    c->SetPort(server.DataPort());
    c->SetUserInterface(&ui);
    c->SetAutoLoginDlg(ltLoginNoDlg);
    c->SetUserName(user);
    c->SetPassword(user.substr(0, 1));
    c->OnDisconnect = [] {};
    return c;
  }
  // A request with a reply: the server has handled what the client sent before it.
  static void RoundTrip(TRdaClientSocket& c) {
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&c);
    ds.SetSQLText("SELECT 1");
    ds.Open();
  }

  static inline int counter = 0;
  std::string script;
  test::ServerProcess server;
  test::RecordingUI ui;
};

TEST_F(InstantMessages, BetweenClientsWaitingMailAndTheUserList) {
  std::unique_ptr<TRdaClientSocket> alice = LogIn("alice");
  std::vector<std::string> loginItems;
  alice->OnLoginParamsAttempt = [&](bool, TRdaParamList& p) {
    for (int i = 0; i < p.Count(); ++i) loginItems.push_back(p.Items(i).Name());
  };
  alice->OpenAndWait();
  ASSERT_TRUE(alice->Active());
  // The lists are the connection's: the login handler does not see them.
  EXPECT_THAT(loginItems, ElementsAre("UserName", "ServerVersion", "ClientId"));
  ASSERT_NE(alice->Contacts(), nullptr);
  EXPECT_EQ(Column(alice->Contacts(), "Contact"), (std::set<std::string>{"alice", "bob", "carol"}));
  EXPECT_EQ(alice->Contacts()->IndexName(), "Contact");
  // Alone: the list holds nobody but herself, who is left out.
  ASSERT_NE(alice->UserList(), nullptr);
  EXPECT_EQ(alice->UserList()->RecordCount(), 0);

  std::unique_ptr<TRdaClientSocket> bob = LogIn("bob");
  std::vector<std::pair<std::string, std::string>> bobGot;
  bob->OnInstantMessage = [&](int32_t, TRdaParamList& p) {
    EXPECT_EQ(p.FindParam("Msgid"), nullptr);
    bobGot.emplace_back(p.ParamByName("From").AsString(), p.ParamByName("Text").AsString());
  };
  bob->OpenAndWait();
  ASSERT_TRUE(bob->Active());
  EXPECT_EQ(Column(bob->UserList(), "UserName"), std::set<std::string>{"alice"});
  ASSERT_TRUE(RunUntil([&] { return Column(alice->UserList(), "UserName") == std::set<std::string>{"bob"}; }));

  TRdaParamList hello;
  hello.CreateParam(ftString, "To", ptInput).SetAsString("bob");
  hello.CreateParam(ftString, "Text", ptInput).SetAsString("Hello, Bob");
  alice->SendCodedParamList(miInstantMessage, &hello, false);
  ASSERT_TRUE(RunUntil([&] { return !bobGot.empty(); }));
  EXPECT_THAT(bobGot, ElementsAre(std::make_pair(std::string("alice"), std::string("Hello, Bob"))));

  // Carol is not logged in: the message waits for her.
  TRdaParamList later;
  later.CreateParam(ftString, "To", ptInput).SetAsString("carol");
  later.CreateParam(ftString, "Text", ptInput).SetAsString("See you");
  alice->SendCodedParamList(miInstantMessage, &later, false);
  RoundTrip(*alice);

  std::vector<std::pair<std::string, std::string>> waiting;
  auto logInCarol = [&](bool drop) {
    std::unique_ptr<TRdaClientSocket> carol = LogIn("carol");
    carol->OnInstantMessagingWaiting = [&waiting, drop](TRdaDataSet& mail, bool& deleteMessages) {
      for (mail.First(); !mail.Eof(); mail.Next())
        waiting.emplace_back(mail.FieldByName("From").AsString(), mail.FieldByName("Text").AsString());
      deleteMessages = drop;
    };
    carol->OpenAndWait();  // returns once the login reply is handled
    EXPECT_TRUE(carol->Active());
    RoundTrip(*carol);
    return carol;
  };
  std::unique_ptr<TRdaClientSocket> carol = logInCarol(false);
  EXPECT_THAT(waiting, ElementsAre(std::make_pair(std::string("alice"), std::string("See you"))));
  ASSERT_NE(carol->WaitingMail(), nullptr);
  EXPECT_EQ(Column(carol->UserList(), "UserName"), (std::set<std::string>{"alice", "bob"}));
  carol.reset();
  waiting.clear();
  // Kept, because she did not drop them; now she does.
  carol = logInCarol(true);
  EXPECT_EQ(waiting.size(), 1u);
  carol.reset();
  waiting.clear();
  carol = logInCarol(false);
  EXPECT_TRUE(waiting.empty());

  // Bob leaves: the others' lists follow.
  ASSERT_TRUE(RunUntil([&] { return Column(alice->UserList(), "UserName") == std::set<std::string>{"bob", "carol"}; }));
  bob->CloseAndWait();
  ASSERT_TRUE(RunUntil([&] { return Column(alice->UserList(), "UserName") == std::set<std::string>{"carol"}; }));
  ASSERT_TRUE(RunUntil([&] { return Column(carol->UserList(), "UserName") == std::set<std::string>{"alice"}; }));

  // The user list as a metadata request: who is logged in now.
  TRdaClientDataSet users;
  users.SetRdaClientSocket(alice.get());
  users.SetMetaDataRequest(mdUserList);
  users.Open();
  std::set<std::string> names;
  for (users.First(); !users.Eof(); users.Next()) names.insert(users.FieldByName("UserName").AsString());
  EXPECT_EQ(names, (std::set<std::string>{"alice", "carol"}));
}

}  // namespace
}  // namespace rda
