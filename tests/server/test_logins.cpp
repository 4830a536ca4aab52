// Logins where other machines may reach the server: passwords kept as hashes,
// the users table of an older version, failed logins slowed down per address,
// protected mode and rdaserver --add-user.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/LoginThrottle.h"
#include "server/PasswordHash.h"
#include "server/ServerOptions.h"
#include "server/ServerSession.h"
#include "server/UserTable.h"
#include "tests/support/ServerProcess.h"

namespace rda {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
using test::RunRdaserver;
using test::ServerProcess;

// Few iterations where a test makes many hashes; the server's own setting
// is tested once.
constexpr int kQuickIterations = 1000;

TEST(PasswordHash, MatchesOnlyThePasswordItWasMadeFrom) {
  const std::string stored = HashPassword("s3cret", kQuickIterations);
  EXPECT_EQ(stored.rfind("$pbkdf2-sha256$1000$", 0), 0u) << stored;
  EXPECT_EQ(stored.find("s3cret"), std::string::npos);
  EXPECT_TRUE(IsPasswordHash(stored));
  // A fresh salt each time.
  EXPECT_NE(HashPassword("s3cret", kQuickIterations), stored);

  std::string tampered = stored;
  tampered[tampered.size() - 3] = tampered[tampered.size() - 3] == 'A' ? 'B' : 'A';
  const std::string fewer = "$pbkdf2-sha256$999" + stored.substr(stored.find('$', 16));
  struct Case {
    const char* name;
    std::string password;
    std::string stored;
    bool match;
  };
  const std::vector<Case> cases = {
      {"right", "s3cret", stored, true},
      {"case differs", "S3cret", stored, false},
      {"one more character", "s3cret ", stored, false},
      {"empty", "", stored, false},
      {"hash altered", "s3cret", tampered, false},
      {"other iteration count", "s3cret", fewer, false},
      {"no parts", "s3cret", "$pbkdf2-sha256$", false},
      {"zero iterations", "s3cret", "$pbkdf2-sha256$0$AAAA$AAAA", false},
      {"not base64", "s3cret", "$pbkdf2-sha256$1000$!!!!$????", false},
      {"clear text, right", "pw", "pw", true},
      {"clear text, case differs", "pw", "pW", false},
      {"clear text, prefix", "pw", "pw2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VerifyPassword(c.password, c.stored), c.match);
  }
  const std::string slow = HashPassword("s3cret");
  EXPECT_EQ(slow.rfind("$pbkdf2-sha256$" + std::to_string(kPasswordHashIterations) + "$", 0), 0u);
  EXPECT_TRUE(VerifyPassword("s3cret", slow));
  EXPECT_FALSE(VerifyPassword("s3creT", slow));
}

TEST(ServerOptions, LoopbackAddresses) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"127.0.0.1", true},  {"127.200.3.4", true}, {"::1", true},      {"::ffff:127.0.0.1", true},
      {"0.0.0.0", false},   {"10.0.0.1", false},   {"128.0.0.1", false}, {"::", false},
      {"::ffff:10.0.0.1", false}, {"localhost", false}, {"", false},
  };
  for (const auto& [address, loopback] : cases) EXPECT_EQ(IsLoopbackAddress(address), loopback) << address;
}

TEST(LoginThrottle, DelaysGrowPerAddressUpToTheCapAndASuccessEndsThem) {
  LoginThrottle throttle;
  const std::vector<int> expected = {0, 250, 500, 1000, 2000, 4000, 8000, 8000};
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(throttle.Failed("192.0.2.7").count(), expected[i]) << "failure " << i + 1;
  // Another address is not held back by the first one's failures.
  EXPECT_EQ(throttle.Failed("192.0.2.8").count(), 0);
  EXPECT_EQ(throttle.Failed("192.0.2.8").count(), 250);
  throttle.Succeeded("192.0.2.7");
  EXPECT_EQ(throttle.Failed("192.0.2.7").count(), 0);
  EXPECT_EQ(throttle.Failed("192.0.2.8").count(), 500);

  EXPECT_EQ(LoginThrottle::Address("10.1.2.3:5555"), "10.1.2.3");
  EXPECT_EQ(LoginThrottle::Address("::1:40000"), "::1");
  EXPECT_EQ(LoginThrottle::Address("[::1]:40000"), "::1");
  // A stopped server's sessions do not wait.
  throttle.Stop();
  EXPECT_FALSE(throttle.Pause(LoginThrottle::kMaxDelay));
}

// Sessions without sockets, each from a peer address of its own choosing.
class LoginSessionTest : public ::testing::Test {
 protected:
  void OpenDatabaseWith(const std::string& script) {
    db_ = OpenDatabase("", limits_);
    if (!script.empty()) db_->RunScript(script);
  }

  std::unique_ptr<ServerSession> NewSession(const std::string& peer = "192.0.2.1:4000") {
    auto s = std::make_unique<ServerSession>(settings_, db_->Connect(), ++ids_, peer);
    s->OnLog = [this](const std::string& text) { log_.push_back(text); };
    return s;
  }

  std::vector<TRdaStringLine> Ask(ServerSession& s, int token, int id, const std::vector<std::string>& fields) {
    TRdaStringLine line;
    line.SetToken(token);
    line.SetMsgId(id);
    for (const std::string& f : fields) line.AddField(f);
    TRdaMessageStack stack;
    stack.Append(s.Receive(Framed(client_.PackMessage(line.Compose()))));
    std::vector<TRdaStringLine> replies;
    while (stack.HasMessages()) {
      replies.emplace_back();
      replies.back().Parse(client_.UnpackMessage(stack.PopMessage()));
    }
    return replies;
  }

  // "1" verified, "0" refused.
  std::string Login(ServerSession& s, const std::string& user, const std::string& password) {
    const auto r = Ask(s, tkLogin, 0, {"1", user, password, "app", "1\x02"});
    if (r.empty()) return "no answer";
    TRdaStringLine reply = r[0];
    EXPECT_EQ(reply.Token(), tkLogin);
    return reply.NextFieldText();
  }

  std::string LoginOnce(const std::string& user, const std::string& password,
                        const std::string& peer = "192.0.2.1:4000") {
    auto s = NewSession(peer);
    return Login(*s, user, password);
  }

  std::string StoredPassword(const std::string& user) {
    auto c = db_->Connect();
    TRdaParamList params;
    params.CreateParam(ftString, "u", ptInput).SetAsString(user);
    SqlStatement stmt = c->Prepare("SELECT Password FROM RdaUsers WHERE UserName = :u", &params);
    if (!c->Step(stmt)) return "(no row)";
    return stmt.Row()[0].bytes;
  }

  std::string FirstError(ServerSession& s, int token, const std::vector<std::string>& fields) {
    const auto r = Ask(s, token, 1, fields);
    if (r.empty()) return "no answer";
    TRdaStringLine reply = r[0];
    return reply.Token() == tkSqlError ? reply.NextFieldText() : "answered with " + std::to_string(reply.Token());
  }

  DatabaseLimits limits_;
  SessionSettings settings_;
  TRdaBodyTransforms client_;
  std::unique_ptr<Database> db_;
  std::vector<std::string> log_;
  int ids_ = 0;
};

TEST_F(LoginSessionTest, HashedAndClearTextPasswordsLogInAndClearTextIsRehashed) {
  OpenDatabaseWith("CREATE TABLE RdaUsers (UserName TEXT, Password TEXT);"
                   "INSERT INTO RdaUsers VALUES ('ann', '" + HashPassword("pw", kQuickIterations) + "');"
                   "INSERT INTO RdaUsers VALUES ('Bob', 'old pw');");
  EXPECT_EQ(LoginOnce("ann", "pw"), "1");
  EXPECT_EQ(LoginOnce("ANN", "pw"), "1");
  EXPECT_EQ(LoginOnce("ann", "PW"), "0");
  EXPECT_EQ(LoginOnce("nobody", "pw"), "0");

  // A wrong password leaves the clear text as it is; the right one replaces
  // it by its hash.
  EXPECT_EQ(LoginOnce("bob", "old"), "0");
  EXPECT_EQ(StoredPassword("Bob"), "old pw");
  EXPECT_EQ(LoginOnce("bob", "old pw"), "1");
  const std::string rehashed = StoredPassword("Bob");
  EXPECT_TRUE(IsPasswordHash(rehashed)) << rehashed;
  EXPECT_TRUE(VerifyPassword("old pw", rehashed));
  EXPECT_EQ(LoginOnce("Bob", "old pw"), "1");
  EXPECT_EQ(LoginOnce("Bob", "old"), "0");
  EXPECT_EQ(StoredPassword("Bob"), rehashed);
}

TEST_F(LoginSessionTest, WriteUserReplacesTheEntryOfAnyCaseAndMakesTheTable) {
  OpenDatabaseWith("");
  auto c = db_->Connect();
  WriteUser(*c, "Ann", "first");
  WriteUser(*c, "ann", "second");
  EXPECT_EQ(StoredPassword("Ann"), "(no row)");
  const std::string stored = StoredPassword("ann");
  EXPECT_TRUE(IsPasswordHash(stored)) << stored;
  EXPECT_EQ(LoginOnce("ANN", "second"), "1");
  EXPECT_EQ(LoginOnce("ann", "first"), "0");
}

TEST_F(LoginSessionTest, ProtectedModeRefusesEverythingButTheLoginUntilOneIsVerified) {
  settings_.requireLogin = true;
  settings_.anonymousLogins = false;
  // Without a users table nobody logs in.
  OpenDatabaseWith("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (7);");
  EXPECT_EQ(LoginOnce("anyone", ""), "0");

  OpenDatabaseWith("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (7);"
                   "CREATE TABLE RdaUsers (UserName TEXT, Password TEXT);"
                   "INSERT INTO RdaUsers VALUES ('ann', '" + HashPassword("pw", kQuickIterations) + "');");
  auto s = NewSession();
  EXPECT_EQ(FirstError(*s, tkSelect, {"SELECT a FROM t", "-1", "0", ""}), "Login required");
  EXPECT_EQ(FirstError(*s, tkServerUtility, {std::to_string(suMetaDataCache), ""}), "Login required");
  EXPECT_EQ(FirstError(*s, tkExecuteSql, {"DELETE FROM t", "", "", ""}), "Login required");
  // The connection stays usable for the login.
  EXPECT_EQ(s->CloseState(), ServerSession::Closing::kNo);
  EXPECT_EQ(Login(*s, "ann", "pw"), "1");
  EXPECT_EQ(FirstError(*s, tkSelect, {"SELECT a FROM t", "-1", "0", ""}),
            "answered with " + std::to_string(tkFieldDescriptions));
}

TEST_F(LoginSessionTest, RepeatedFailuresFromOneAddressAreAnsweredLaterAndLogged) {
  LoginThrottle throttle;
  settings_.throttle = &throttle;
  OpenDatabaseWith("CREATE TABLE RdaUsers (UserName TEXT, Password TEXT);"
                   "INSERT INTO RdaUsers VALUES ('ann', '" + HashPassword("pw", kQuickIterations) + "');");
  const std::string attacker = "192.0.2.66:5000";
  std::vector<Millis> took;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    EXPECT_EQ(LoginOnce("ann", "guess" + std::to_string(i), attacker), "0");
    took.push_back(std::chrono::duration_cast<Millis>(Clock::now() - start));
  }
  // Lower bounds only: the second refusal waits 250 ms, the third 500 ms.
  EXPECT_GE(took[1], LoginThrottle::DelayFor(2));
  EXPECT_GE(took[2], LoginThrottle::DelayFor(3));
  EXPECT_EQ(LoginThrottle::DelayFor(3), Millis(500));
  bool logged = false;
  for (const std::string& line : log_)
    logged = logged || (line.find("192.0.2.66") != std::string::npos && line.find("3 in a row") != std::string::npos);
  EXPECT_TRUE(logged);

  // Nobody is locked out: the right password gets in from another address and
  // from the failing one, and a success there starts its count afresh.
  EXPECT_EQ(LoginOnce("ann", "pw", "192.0.2.67:5000"), "1");
  EXPECT_EQ(LoginOnce("ann", "pw", attacker), "1");
  EXPECT_EQ(throttle.Failed("192.0.2.66").count(), 0);
}

TEST(LoginProcess, ANonLoopbackAddressWithoutLoginsIsRefusedWithWhatToDo) {
  // The server ends before it listens.
  for (const char* address : {"0.0.0.0", "::"}) {
    SCOPED_TRACE(address);
    const test::FinishedServer f = RunRdaserver(std::string("--bind ") + address + " --port 0 --quiet");
    EXPECT_EQ(f.code, 1);
    for (const char* hint : {"--user", "--password", "--add-user", "--allow-anonymous"})
      EXPECT_NE(f.output.find(hint), std::string::npos) << hint << " in: " << f.output;
  }
}

}  // namespace
}  // namespace rda
