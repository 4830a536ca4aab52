#include "server/UserTable.h"

#include "base/Exception.h"
#include "messaging/RdaParamList.h"
#include "server/PasswordHash.h"
#include "server/ServerDatabase.h"

namespace rda {

namespace {

void Run(SqlConnection& db, const char* sql, const TRdaParamList& params) {
  SqlStatement stmt = db.Prepare(sql, &params);
  while (db.Step(stmt)) {
  }
}

}  // namespace

bool CheckUserTable(SqlConnection& db, const std::string& user, const std::string& password,
                    const std::function<void(const std::string&)>& log) {
  TRdaParamList params;
  params.CreateParam(ftString, "u", ptInput).SetAsString(user);
  std::string name;
  std::string stored;
  bool found = false;
  bool verified = false;
  {
    SqlStatement stmt =
        db.Prepare("SELECT UserName, Password FROM RdaUsers WHERE lower(UserName) = lower(:u)", &params);
    while (!verified && db.Step(stmt)) {
      const SqlRow row = stmt.Row();
      if (row.size() < 2 || row[1].storage == SqlValue::kNull) continue;
      found = true;
      name = row[0].bytes;
      stored = row[1].bytes;
      verified = VerifyPassword(password, stored);
    }
  }
  if (!found) VerifyNothing(password);
  // Not inside a transaction of the client's: the change would be undone with it.
  if (verified && !IsPasswordHash(stored) && !db.InTransaction()) {
    try {
      TRdaParamList update;
      update.CreateParam(ftString, "h", ptInput).SetAsString(HashPassword(password));
      update.CreateParam(ftString, "n", ptInput).SetAsString(name);
      update.CreateParam(ftString, "p", ptInput).SetAsString(stored);
      Run(db, "UPDATE RdaUsers SET Password = :h WHERE UserName = :n AND Password = :p", update);
      if (log) log("the password of \"" + name + "\" was kept in clear; it is now kept as a hash");
    } catch (const std::exception& e) {
      if (log) log("the password of \"" + name + "\" is still kept in clear: " + e.what());
    }
  }
  return verified;
}

void WriteUser(SqlConnection& db, const std::string& user, const std::string& password) {
  if (user.empty()) throw Exception("a user needs a name");
  db.BeginRequest();
  if (!db.TableExists(kUsersTable)) db.Execute("CREATE TABLE RdaUsers (UserName TEXT, Password TEXT)");
  TRdaParamList params;
  params.CreateParam(ftString, "u", ptInput).SetAsString(user);
  params.CreateParam(ftString, "h", ptInput).SetAsString(HashPassword(password));
  db.BeginWrite();
  try {
    Run(db, "DELETE FROM RdaUsers WHERE lower(UserName) = lower(:u)", params);
    Run(db, "INSERT INTO RdaUsers (UserName, Password) VALUES (:u, :h)", params);
    db.Execute("COMMIT");
  } catch (...) {
    if (db.InTransaction()) db.Execute("ROLLBACK");
    throw;
  }
}

}  // namespace rda
