// A small lexer of PostgreSQL's SQL text: enough to cut a script into its
// statements, to find the named parameters a client writes and to tell
// whether a text leaves a literal or comment open. It knows what can hide a
// ';' or a parameter sign:
//
//   'text' with '' inside           E'text' with \' and \\ as well
//   "quoted name" with "" inside    -- comment to the end of the line
//   /* comment */, nested           $tag$ dollar-quoted text $tag$ (tag may be empty)
//
// Parameters are ":name", "@name" and "$name" (name: letters, digits, '_'
// and bytes of 0x80 and above), as the client's parameter lists name them;
// "::" (a cast) and ":=" are not parameters, and "$name$" opens a dollar
// quote. PostgreSQL takes $1..$n only, so every name gets a number, the same
// name the same number.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rda {

// The statements of a script, in order, without their ';' and the blanks
// around them; pieces that hold only blanks and comments are left out.
std::vector<std::string_view> SplitSqlStatements(std::string_view sql);

// True when nothing is left open at the end of sql: no literal, quoted name,
// dollar quote or block comment.
bool SqlTextComplete(std::string_view sql);

// A statement with its parameters numbered for PostgreSQL.
struct NumberedSql {
  std::string sql;                 // ":a = $1 OR :b" becomes "$1 = $2 OR $3"
  std::vector<std::string> names;  // names[i] is the name of $(i+1), without its sign
};
NumberedSql NumberSqlParameters(std::string_view statement);

}  // namespace rda
