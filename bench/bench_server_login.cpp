// What a login costs now that RdaUsers keeps salted, slow hashes: one
// session's login (token 17 in, the answer out) against a users table with
// the server's hash setting, beside the same login against --user/--password
// (a constant-time compare of the texts, no hash), in the same run. Reports
// the hashed login's time in milliseconds and the ratio. And a refusal's
// time beside it, for a wrong password and for a user that does not exist:
// both should cost what a right login costs, so that the time of the answer
// tells nothing (the ratios near 1). Every answer is checked, so an
// unexpected verdict fails the run.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "base/ByteIO.h"
#include "bench/BenchReport.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/PasswordHash.h"
#include "server/ServerDatabase.h"
#include "server/ServerSession.h"

namespace {

std::string LoginRequest(const std::string& user, const std::string& password) {
  rda::TRdaStringLine line;
  line.SetToken(rda::tkLogin);
  line.AddField(1);
  line.AddField(user);
  line.AddField(password);
  line.AddField("app");
  line.AddField("1\x02");
  rda::TRdaBodyTransforms none;
  return rda::Framed(none.PackMessage(line.Compose()));
}

std::string UsersScript() {
  return "CREATE TABLE RdaUsers (UserName TEXT, Password TEXT);"
         "INSERT INTO RdaUsers VALUES ('ann', '" + rda::HashPassword("correct horse") + "');";
}

// Logs in on a fresh session each iteration, as a client does per connection;
// verdict is the answer expected ("1" verified, "0" refused).
void LogIn(benchmark::State& state, const rda::SessionSettings& settings, const std::string& script,
           const std::string& user = "ann", const std::string& password = "correct horse",
           const std::string& verdict = "1") {
  rda::DatabaseLimits limits;
  const auto db = rda::OpenDatabase("", limits);
  if (!script.empty()) db->RunScript(script);
  const std::string request = LoginRequest(user, password);
  rda::TRdaBodyTransforms none;
  int id = 0;
  for (auto _ : state) {
    rda::ServerSession session(settings, db->Connect(), ++id, "127.0.0.1:1");
    const std::string answer = session.Receive(request);
    rda::TRdaMessageStack stack;
    stack.Append(answer);
    rda::TRdaStringLine reply;
    reply.Parse(none.UnpackMessage(stack.PopMessage()));
    if (reply.Token() != rda::tkLogin || reply.NextFieldText() != verdict) {
      state.SkipWithError("unexpected verdict");
      return;
    }
  }
}

void BM_LoginHashedUsersTable(benchmark::State& state) {
  rda::SessionSettings settings;
  LogIn(state, settings, UsersScript());
}
BENCHMARK(BM_LoginHashedUsersTable)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// No throttle in these sessions: the refusals are answered at once.
void BM_LoginWrongPassword(benchmark::State& state) {
  rda::SessionSettings settings;
  LogIn(state, settings, UsersScript(), "ann", "correct horse!", "0");
}
BENCHMARK(BM_LoginWrongPassword)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_LoginUnknownUser(benchmark::State& state) {
  rda::SessionSettings settings;
  LogIn(state, settings, UsersScript(), "nobody", "correct horse", "0");
}
BENCHMARK(BM_LoginUnknownUser)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_LoginFixedCredentials(benchmark::State& state) {
  rda::SessionSettings settings;
  settings.user = "ann";
  settings.password = "correct horse";
  LogIn(state, settings, "");
}
BENCHMARK(BM_LoginFixedCredentials)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  return rda::bench::Run(argc, argv, rda::bench::Clock::kCpu, [](const rda::bench::Results& r) {
    std::printf("login with the slow hash (PBKDF2-SHA-256, %d iterations): %.1f ms CPU\n",
                rda::kPasswordHashIterations, r.Time("BM_LoginHashedUsersTable"));
    std::printf("hashed login / fixed-credential login = %.0f\n",
                r.Ratio("BM_LoginHashedUsersTable", "BM_LoginFixedCredentials"));
    std::printf("wrong password / right password = %.2f (goal: 1 within noise)\n",
                r.Ratio("BM_LoginWrongPassword", "BM_LoginHashedUsersTable"));
    std::printf("unknown user / right password = %.2f (goal: 1 within noise)\n",
                r.Ratio("BM_LoginUnknownUser", "BM_LoginHashedUsersTable"));
  });
}
