// What the server answers to metadata, stored procedure, provider and server
// method requests (token 23 and 27): the definitions the server's owner fills
// in its definition tables. The queries that read the database's own
// catalogue are the engine's (SqlConnection::MetaDataQuery).
//
// Definition tables (docs/server.md has them with examples). Every name
// compares without regard to case:
//
//   RdaProcedures (Name, SQL, Description)             a stored procedure
//   RdaMethods    (Name, SQL, KeyFields, Description)  a server method;
//                                                       Name "Module.Method"
//   RdaProviders  (Name, SQL, UpdateTable, KeyFields, Description)
//                                                       a provider: a named select
//   RdaParams     (Kind, Owner, Position, Name, ParamType, DataType)
//                 the parameters of each: Kind 'procedure', 'method' or
//                 'provider'; ParamType 1 input, 2 output, 3 input/output,
//                 4 result; DataType a field type code
//   RdaWaitingMail (Msgid, ToUser, FromUser, Sent, Message)
//                 instant messages kept for users who were not logged in
//
// KeyFields lists field names separated by ';'. The SQL of a procedure or
// method may hold several statements; its parameters are bound by name, and
// its output parameters take the values of the columns of the same name in
// the first row of its result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/RdaParamList.h"

namespace rda {

class SqlConnection;
class SqlStatement;

// True for the tables the server itself reads (the definition tables and
// RdaUsers); the metadata lists them as system tables.
bool IsServerTable(std::string_view name);

// One parameter of a definition.
struct DefinedParam {
  std::string name;
  int paramType = ptInput;
  int dataType = ftString;
};

// A procedure, method or provider as its definition table holds it.
struct Definition {
  std::string name;  // as stored
  std::string sql;
  std::string updateTable;
  std::vector<std::string> keyFields;
  std::vector<DefinedParam> params;
  bool HasOutputs() const;
};

enum class DefinitionKind { kProcedure, kMethod, kProvider };

// The definition of that name (a method also by its name after the module
// prefix, a provider also by the part after the last '.'), or nothing.
std::optional<Definition> FindDefinition(SqlConnection& db, DefinitionKind kind, const std::string& name);
// Every definition of a kind, in name order (for the metadata cache).
std::vector<Definition> AllDefinitions(SqlConnection& db, DefinitionKind kind);

}  // namespace rda
