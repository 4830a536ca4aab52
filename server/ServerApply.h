// Applying a client's changes: the update statements a client dataset generates
// (token 29: one statement list; token 31: the statements of one or several
// datasets, each with its own parameters) run on the session's database.
//
// What the server guarantees:
//   - a request is one SQLite transaction (BEGIN IMMEDIATE … COMMIT): it is in
//     the database file completely or not at all, also when the server dies
//     in the middle (SQLite's journal undoes an unfinished transaction at the
//     next open). The transaction lines of a statement list (a first line that
//     starts a transaction, a last one that commits) are taken as that frame;
//     a list without them runs as one unit too, since the client reverts its
//     whole log when any statement fails. Transaction control anywhere else in
//     a list is refused;
//   - a statement that fails rolls back everything before it, and the error
//     names it: SQLite's message, CR LF, "Statement <n> of <count>: " and the
//     statement text;
//   - an UPDATE or DELETE that changes no row is a conflict, not a success:
//     the row it was written for is no longer as the client read it (another
//     client changed or deleted it). It fails the request like any error, with
//     the text kUpdateConflictText (messaging/RdaWire.h) in front;
//   - the "commit what succeeds" form of token 31 (a name ending in #2) runs each
//     statement under its own save point: the statements that fail are undone
//     alone, the rest is committed, and the reply lists each failed row (its
//     message and the client's RecordID of the row);
//   - parameters: each ":name" of a statement takes the first value of that name
//     that no earlier statement of the request took, so that many statements
//     with the same parameter names carry their own values; a name without a
//     value left is an error.
//
// Rows read back after an insert (the read-back descriptor, Part of the request):
// with an auto-increment key the row whose key is the new row id, else the row
// that the client's locator (" Where key = value …") finds; its fields go back
// as a dataset in stream form with the client's RecordID of the row (token 35).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/ServerDatabase.h"

namespace rda {

struct ApplyResult {
  int64_t rowsAffected = 0;
  // Per inserted row read back: the row as a dataset in stream form, the client's
  // RecordID.
  std::vector<std::pair<std::string, int32_t>> readBack;
  // "Commit what succeeds": per failed statement its message and the client's
  // RecordID of the row.
  std::vector<std::pair<std::string, int32_t>> failed;
};

// Token 29: the statements text (one statement per line, a statement with a line
// break inside a literal kept whole), the parameters of all statements (text
// form, may be empty) and the read-back descriptor (may be empty). Raises
// Exception with the failing statement; the database is then as before.
ApplyResult RunStatementList(SqlConnection& db, const std::string& text, const std::string& params,
                             const std::string& readBack);

// Token 31: the transaction name (ending in #2: commit what succeeds), the
// statement parameters of all datasets (one item per statement: its text, its
// own parameters as the value) and the read-back list (one item per dataset,
// named "<id>.<number of its statements>", the descriptor as the value).
ApplyResult RunTransaction(SqlConnection& db, const std::string& name, const std::string& statements,
                           const std::string& readBackList);

// The error text that carries the failed rows of a partial success: #4 and a
// parameter list (one item per failed row, named by its message, the RecordID as
// an integer), written so that it holds no byte 02 (the mark of an error list).
std::string PartialSuccessText(const std::vector<std::pair<std::string, int32_t>>& failed);

}  // namespace rda
