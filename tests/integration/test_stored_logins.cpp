// The users table on the engine of the test run: rdaserver --add-user writes a
// hash a running server accepts, and a table of clear-text passwords from an
// older version keeps working and is rehashed at the next verified login.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/PasswordHash.h"
#include "tests/support/RawClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TestDatabase.h"

namespace rda {
namespace {

using test::RawClient;
using test::RunRdaserver;
using test::ServerProcess;
using test::TestDatabase;

TRdaStringLine LoginLine(const std::string& user, const std::string& password) {
  TRdaStringLine line;
  line.SetToken(tkLogin);
  line.AddField(1);
  line.AddField(user);
  line.AddField(password);
  line.AddField("app");
  line.AddField("1\x02");
  return line;
}

TRdaStringLine SelectLine() {
  TRdaStringLine line;
  line.SetToken(tkSelect);
  line.SetMsgId(1);
  line.AddField("SELECT 1 AS one");
  line.AddField(-1);
  line.AddField(0);
  line.AddField("");
  return line;
}

// The first field of the login's answer ("1" verified, "0" refused); a
// refused client's connection is closed.
std::string LogIn(int port, const std::string& user, const std::string& password) {
  RawClient client(port);
  TRdaStringLine login = LoginLine(user, password);
  client.Send(login);
  TRdaStringLine answer = client.ReadLine();
  EXPECT_EQ(answer.Token(), tkLogin);
  const std::string verdict = answer.NextFieldText();
  if (verdict == "0") {
    EXPECT_TRUE(client.WaitClosed());
  }
  return verdict;
}

std::vector<std::string> Passwords(const TestDatabase& db) {
  std::vector<std::string> passwords;
  for (const auto& row : db.Rows("SELECT UserName, Password FROM RdaUsers ORDER BY UserName"))
    passwords.push_back(row.at(0) + " " + row.at(1));
  return passwords;
}

TEST(StoredLogins, AddUserWritesAHashThatTheServerAcceptsBeforeAnyRequest) {
  TestDatabase db;
  const std::string target = "'" + db.Target() + "'";
  EXPECT_EQ(RunRdaserver("--add-user ann --quiet", "pw\\n").code, 2);        // no --db
  EXPECT_EQ(RunRdaserver("--db " + target + " --add-user ann --quiet").code, 2);  // no password line
  EXPECT_EQ(RunRdaserver("--db " + target + " --add-user Ann --quiet", "first\\n").code, 0);
  const test::FinishedServer f = RunRdaserver("--db " + target + " --add-user ann --quiet", "s3cret\\r\\n");
  ASSERT_EQ(f.code, 0) << f.output;
  const std::vector<std::string> stored = Passwords(db);
  ASSERT_EQ(stored.size(), 1u);  // Ann was replaced
  ASSERT_EQ(stored[0].rfind("ann $pbkdf2-sha256$", 0), 0u) << stored[0];
  EXPECT_TRUE(VerifyPassword("s3cret", stored[0].substr(4)));

  ServerProcess server(db.ServerArgs({"--port", "0", "--require-login", "--quiet"}));
  RawClient client(server.DataPort());
  TRdaStringLine select = SelectLine();
  client.Send(select);
  TRdaStringLine refused = client.ReadLine();
  EXPECT_EQ(refused.Token(), tkSqlError);
  EXPECT_EQ(refused.NextFieldText(), "Login required");
  // The connection stays usable for the login.
  TRdaStringLine login = LoginLine("ANN", "s3cret");
  client.Send(login);
  TRdaStringLine verified = client.ReadLine();
  EXPECT_EQ(verified.Token(), tkLogin);
  EXPECT_EQ(verified.NextFieldText(), "1");
  TRdaStringLine again = SelectLine();
  client.Send(again);
  TRdaStringLine result = client.ReadLine();
  EXPECT_EQ(result.Token(), tkFieldDescriptions) << result.NextFieldText();

  EXPECT_EQ(LogIn(server.DataPort(), "ann", "first"), "0");
}

TEST(StoredLogins, ClearTextPasswordsOfAnOlderTableWorkAndAreRehashed) {
  TestDatabase db;
  db.Script("CREATE TABLE RdaUsers (UserName VARCHAR(40), Password VARCHAR(200));"
            "INSERT INTO RdaUsers VALUES ('ann', 'apw');"
            "INSERT INTO RdaUsers VALUES ('bob', 'bpw');");
  ServerProcess server(db.ServerArgs({"--port", "0", "--quiet"}));
  EXPECT_EQ(LogIn(server.DataPort(), "ann", "wrong"), "0");
  EXPECT_EQ(Passwords(db), (std::vector<std::string>{"ann apw", "bob bpw"}));
  EXPECT_EQ(LogIn(server.DataPort(), "ann", "apw"), "1");
  const std::vector<std::string> after = Passwords(db);
  ASSERT_EQ(after.size(), 2u);
  ASSERT_EQ(after[0].rfind("ann $pbkdf2-sha256$", 0), 0u) << after[0];
  EXPECT_TRUE(VerifyPassword("apw", after[0].substr(4)));
  EXPECT_EQ(after[1], "bob bpw");  // untouched until bob logs in
  // The hash logs in from now on.
  EXPECT_EQ(LogIn(server.DataPort(), "ann", "apw"), "1");
  EXPECT_EQ(LogIn(server.DataPort(), "ann", "bpw"), "0");
}

}  // namespace
}  // namespace rda
