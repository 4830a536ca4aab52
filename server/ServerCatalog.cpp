#include "server/ServerCatalog.h"

#include <algorithm>
#include <array>

#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/Text.h"
#include "messaging/RdaWire.h"
#include "server/RowPacket.h"
#include "server/ServerDatabase.h"

namespace rda {

namespace {

constexpr std::array<std::string_view, 7> kServerTables = {
    "RdaUsers", "RdaProcedures", "RdaMethods", "RdaProviders", "RdaParams", "RdaWaitingMail", "rda_events"};

std::vector<std::string> SplitKeys(const std::string& text) {
  std::vector<std::string> keys;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string key(TrimBlanks(std::string_view(text).substr(start, end - start)));
    if (!key.empty()) keys.push_back(std::move(key));
    start = end + 1;
  }
  return keys;
}

std::string Column(SqlStatement& stmt, int i) {
  const SqlRow row = stmt.Row();
  if (static_cast<size_t>(i) >= row.size()) return {};
  const SqlValue& v = row[static_cast<size_t>(i)];
  switch (v.storage) {
    case SqlValue::kNull: return {};
    case SqlValue::kInteger: return std::to_string(v.integer);
    case SqlValue::kReal: return std::to_string(v.real);
    default: return v.bytes;
  }
}

const char* KindText(DefinitionKind kind) {
  switch (kind) {
    case DefinitionKind::kProcedure: return "procedure";
    case DefinitionKind::kMethod: return "method";
    default: return "provider";
  }
}

const char* KindTable(DefinitionKind kind) {
  switch (kind) {
    case DefinitionKind::kProcedure: return "RdaProcedures";
    case DefinitionKind::kMethod: return "RdaMethods";
    default: return "RdaProviders";
  }
}

void LoadParams(SqlConnection& db, DefinitionKind kind, Definition& d) {
  TRdaParamList params;
  params.CreateParam(ftString, "Kind", ptInput).SetAsString(KindText(kind));
  params.CreateParam(ftString, "Owner", ptInput).SetAsString(d.name);
  SqlStatement stmt = db.Prepare(
      "SELECT Name, ParamType, DataType FROM RdaParams WHERE Kind = :Kind AND lower(Owner) = lower(:Owner) "
      "ORDER BY Position",
      &params);
  while (db.Step(stmt)) {
    DefinedParam p;
    p.name = Column(stmt, 0);
    p.paramType = StrToIntDef(Column(stmt, 1), ptInput);
    p.dataType = StrToIntDef(Column(stmt, 2), ftString);
    d.params.push_back(std::move(p));
  }
}

Definition ReadRow(DefinitionKind kind, SqlStatement& stmt) {
  Definition d;
  d.name = Column(stmt, 0);
  d.sql = Column(stmt, 1);
  if (kind != DefinitionKind::kProcedure) d.keyFields = SplitKeys(Column(stmt, 2));
  if (kind == DefinitionKind::kProvider) d.updateTable = Column(stmt, 3);
  return d;
}

std::string DefinitionSelect(DefinitionKind kind) {
  switch (kind) {
    case DefinitionKind::kProcedure: return "SELECT Name, SQL FROM RdaProcedures";
    case DefinitionKind::kMethod: return "SELECT Name, SQL, KeyFields FROM RdaMethods";
    default: return "SELECT Name, SQL, KeyFields, UpdateTable FROM RdaProviders";
  }
}

}  // namespace

bool IsServerTable(std::string_view name) {
  return std::any_of(kServerTables.begin(), kServerTables.end(),
                     [name](std::string_view t) { return SameTextAscii(t, name); });
}

bool Definition::HasOutputs() const {
  return std::any_of(params.begin(), params.end(), [](const DefinedParam& p) {
    return p.paramType == ptOutput || p.paramType == ptInputOutput || p.paramType == ptResult;
  });
}

std::optional<Definition> FindDefinition(SqlConnection& db, DefinitionKind kind, const std::string& name) {
  if (name.empty() || !db.TableExists(KindTable(kind))) return std::nullopt;
  // A method is also found by its name after the module's, a provider (a
  // server dataset name) also by the part of the name after the last '.';
  // a whole name that matches comes first. Names compare without regard to
  // case, the same way on every engine.
  TRdaParamList params;
  params.CreateParam(ftString, "Name", ptInput).SetAsString(name);
  std::string where = " WHERE lower(Name) = lower(:Name)";
  if (kind == DefinitionKind::kMethod) where += " OR lower(Name) LIKE '%.' || lower(:Name)";
  if (kind == DefinitionKind::kProvider) {
    const size_t dot = name.rfind('.');
    params.CreateParam(ftString, "Short", ptInput).SetAsString(dot == std::string::npos ? name : name.substr(dot + 1));
    where += " OR lower(Name) = lower(:Short)";
  }
  SqlStatement stmt = db.Prepare(DefinitionSelect(kind) + where + " ORDER BY Name", &params);
  std::optional<Definition> found;
  while (db.Step(stmt)) {
    Definition d = ReadRow(kind, stmt);
    const bool whole = SameTextAscii(d.name, CodePageToUtf8(name));
    // LIKE reads '_' and '%' in the name as wildcards: the method's name after
    // its module must really be the one asked for.
    const size_t dot = d.name.find('.');
    const bool shortMatch = kind != DefinitionKind::kMethod ||
                            (dot != std::string::npos && SameTextAscii(d.name.substr(dot + 1), CodePageToUtf8(name)));
    if (whole) {
      found = std::move(d);
      break;
    }
    if (!found && (kind != DefinitionKind::kMethod || shortMatch)) found = std::move(d);
  }
  if (found) LoadParams(db, kind, *found);
  return found;
}

std::vector<Definition> AllDefinitions(SqlConnection& db, DefinitionKind kind) {
  std::vector<Definition> all;
  if (!db.TableExists(KindTable(kind))) return all;
  SqlStatement stmt = db.Prepare(DefinitionSelect(kind) + " ORDER BY Name", nullptr);
  std::vector<Definition> read;
  while (db.Step(stmt)) read.push_back(ReadRow(kind, stmt));
  for (Definition& d : read) {
    LoadParams(db, kind, d);
    all.push_back(std::move(d));
  }
  return all;
}

}  // namespace rda
