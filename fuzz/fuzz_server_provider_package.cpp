// Feeds arbitrary bytes to a server session as the change package of a
// provider update (token 36) and as a provider transaction's packages (token
// 45), over an in-memory database with a provider. Whatever the package
// holds, the session answers each request once (acknowledged or an error),
// the table keeps its constraints, and the session goes on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"
#include "server/ServerCatalog.h"
#include "server/ServerDatabase.h"
#include "server/ServerProviderUpdates.h"
#include "server/ServerSession.h"

namespace {

constexpr char kScript[] =
    "CREATE TABLE Items (Id INTEGER PRIMARY KEY, Name TEXT NOT NULL, Qty INTEGER, Data BLOB);"
    "INSERT INTO Items VALUES (1, 'one', 10, x'00'), (2, 'two', 20, NULL);"
    "INSERT INTO RdaProviders VALUES ('Items', 'SELECT * FROM Items', 'Items', 'Id', '');";

// The number of answers in out; aborts on a frame the client cannot read.
int Answers(const std::string& out, rda::TRdaBodyTransforms& client) {
  rda::TRdaMessageStack stack;
  stack.Append(out);
  if (stack.Used() != 0) abort();
  int n = 0;
  while (stack.HasMessages()) {
    rda::TRdaStringLine line;
    line.Parse(client.UnpackMessage(stack.PopMessage()));
    if (line.Token() != rda::tkAcknowledge && line.Token() != rda::tkSqlError) abort();
    ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  rda::DatabaseLimits limits;
  limits.queryTimeout = std::chrono::milliseconds(100);
  limits.maxValueBytes = 1 << 20;
  const std::unique_ptr<rda::Database> db = rda::OpenDatabase("", limits);
  db->RunScript(rda::DefinitionTablesScript(db->Engine()));
  db->RunScript(kScript);
  rda::SessionSettings settings;
  rda::ProviderBroadcasts broadcasts;
  settings.broadcasts = &broadcasts;
  rda::ServerSession session(settings, db->Connect(), 1, "fuzz");
  rda::TRdaBodyTransforms client;

  rda::TRdaStringLine update;
  update.SetToken(rda::tkApplyUpdates);
  update.SetMsgId(1);
  update.AddField(std::string("Items"));
  update.AddField(bytes);
  update.AddField(std::string());
  update.AddField(std::string());
  update.AddField(int32_t{0});
  if (Answers(session.Receive(rda::Framed(client.PackMessage(update.Compose()))), client) != 1) abort();

  rda::TRdaStringLine transaction;
  transaction.SetToken(rda::tkProviderTransaction);
  transaction.SetMsgId(1);
  transaction.AddField(std::string("Provider transaction\x02") + bytes);
  transaction.AddField(bytes);
  if (Answers(session.Receive(rda::Framed(client.PackMessage(transaction.Compose()))), client) != 1) abort();
  return 0;
}
