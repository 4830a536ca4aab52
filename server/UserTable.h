// The users table RdaUsers (UserName, Password): logins checked against it,
// and the entries rdaserver --add-user writes. Passwords are kept as hashes
// (PasswordHash.h); a password an older version kept in clear still logs in
// and is replaced by its hash at that login.
#pragma once

#include <functional>
#include <string>

namespace rda {

class SqlConnection;

inline constexpr char kUsersTable[] = "RdaUsers";

// Whether user (any case) logs in with password. A user that is not in the
// table costs the time of a hash all the same. log receives what is worth
// telling the owner (a rehashed password, a rehash that failed).
bool CheckUserTable(SqlConnection& db, const std::string& user, const std::string& password,
                    const std::function<void(const std::string&)>& log);

// Adds user with the hash of password, replacing any entry of that name (any
// case); makes the table when the database has none.
void WriteUser(SqlConnection& db, const std::string& user, const std::string& password);

}  // namespace rda
