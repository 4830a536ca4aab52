// The INSERT, UPDATE and DELETE statements for a client dataset's logged changes.
//
// A change-log entry (memdata/RdaAuditDataSet.h) holds a row's values before the
// change (the old values) and its kind (ldModified, ldDeleted, ldInserted); the
// dataset's row holds the new values.
// TRdaUpdateSqlWriter turns one entry into one statement for UpdateTableName and
// collects the values that travel as parameters in one parameter list:
//
//   inserted  Insert Into T (a,b)\r Values ( :a, :b)   the fields that take part and
//             hold a value (a NULL, or an empty text, is left out)
//   edited    UPDATE T SET T.a = :a,T.b = :b  Where …   the fields that take part and
//             changed; no statement when none did
//   deleted   DELETE FROM T  Where …
//
// The WHERE part, by UpdateMode, from the old values:
//   upWhereKeyOnly  T.k = :Key_k AND …, one per PrimeFields line; an old NULL key
//                   with ssUseISInNuLLcompares is written "T.k IS NULL"
//   upWhereAll      T.a = :Key_a AND T.b = :Key_b  (every field that is not
//                   blob-like or read-only; an old NULL as under upWhereKeyOnly)
//   upWhereChanged  T.k = 7 AND T.a = 'old'  (the keys and the changed fields, not
//                   blob-like or read-only, as literals: RdaSqlUtils.h; no parameters)
//
// Which fields take part: data fields that are not ReadOnly, not AutoIncrementField
// (unless OracleSequence is set: then it is written as "<sequence>.NextVal"), not in
// NoSQLFields, of type ftAutoInc only with soIgnoreAutoIncrement; bytes, blobs and
// memos only with soFetchBytes, soFetchBlobs and soFetchMemos, and only when
// LargeValues is set. Names are quoted ("…" or […]) and qualified by the table as
// the connection's SQLOptions say.
//
// Decisions where the older rules could hit the wrong rows:
// - the NULL test of a key under upWhereKeyOnly looks at the key's old value (the
//   value it is compared with), not at the current row; upWhereAll writes an old
//   NULL the same way (a "= NULL" would never let such a row be changed);
// - a deleted row has no current values, so under upWhereChanged every comparable
//   field counts as changed (the row must still be as it was loaded to be deleted);
// - every parameter name is unique in one list: a name already taken gets the
//   next free number (Company2, Key_k3). The older rule numbered only key
//   names under upWhereKeyOnly, appending each number to the name before it
//   (Key_k23, Key_k234, …: names, statements and the time to make them grew with
//   the square of the number of statements), and left value names and the keys
//   of upWhereAll alone, so that two statements of one list sent together
//   (an edit and an insert both writing :Company) bound the same value;
// - a WHERE part without any condition is refused (EDatabaseError) rather than sent:
//   it would be malformed or, for a DELETE, reach every row.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "connection/RdaConnectionSettings.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaWire.h"
#include "remotedata/RdaClientDataset.h"
#include "remotedata/RdaSqlUtils.h"

namespace rda {

class TDataSet;
class TField;
class TRda2CustomAuditDataSet;

// The dataset's settings that steer the statements.
struct TRdaUpdateSqlSettings {
  std::string UpdateTableName;           // written as it stands, never quoted
  std::vector<std::string> PrimeFields;  // key fields, in order
  std::vector<std::string> NoSQLFields;  // never written
  std::string AutoIncrementField;        // never written, except with OracleSequence
  std::string OracleSequence;            // the sequence whose next value an INSERT takes
  TRdaUpdateMode UpdateMode = upWhereKeyOnly;
  TRdaSelectSQLOptionSet SQLOptions;     // the dataset's: soFetch…, soIgnoreAutoIncrement, soForceChange
  // Blob-like fields may take part (false for umManual, except while a statement
  // parameter list is built).
  bool LargeValues = true;
};

class TRdaUpdateSqlWriter {
 public:
  TRdaUpdateSqlWriter(TRdaUpdateSqlSettings settings, const TRdaConnectionSettings& connection,
                      TRdaSQLCustomFormatEvent onCustomSQLSyntax = {});

  // The statement for a log entry of kind `delta`: `log` stands on the entry (its
  // fields, named as the data fields, are the old values) and `data` on the row with
  // the new values. Adds the statement's parameters to Params(). nullopt when the
  // entry yields no statement (an edit that changed nothing that takes part, an
  // unknown kind); an empty text for an insert with no value to write.
  std::optional<std::string> Statement(int32_t delta, TDataSet& data, TDataSet& log);

  // The statements for every entry of `ds`'s change log, in its "BookMark" order,
  // between the connection's SQLTransactionStart (or "BEGIN TRANSACTION") and
  // SQLTransactionEnd (or "COMMIT"); an insert with nothing to write stands as an
  // empty line. Their parameters collect in Params(). Edited and inserted rows are
  // visited for their values (the filter is off meanwhile, the controls disabled);
  // the dataset's current row and filter are put back after. A pending edit is
  // posted first.
  std::vector<std::string> StatementList(TRda2CustomAuditDataSet& ds);
  // The same statements without the transaction lines, each as one ftString input
  // parameter named by its text whose value is the statement's own parameters
  // encoded (input parameters only; empty when it has none). Blob-like fields take
  // part whatever LargeValues says.
  std::unique_ptr<TRdaParamList> StatementParams(TRda2CustomAuditDataSet& ds);

  // Per log entry that yields a statement, in StatementParams' order: its kind,
  // its "BookMark" and, for an edited or inserted row, the row locator: " Where "
  // and one condition per PrimeFields line on the key's current value.
  struct StatementRow {
    int32_t Delta = 0;
    int32_t BookMark = 0;
    std::string Locator;
  };
  std::vector<StatementRow> StatementRows(TRda2CustomAuditDataSet& ds);

  // Whether `field` is written in INSERT and UPDATE statements.
  bool TakesPart(const TField& field) const;
  // Whether `field` differs from `old` (the log's copy), or soForceChange is set.
  bool Changed(const TField& field, const TField& old) const;

  // The parameters collected so far; null before the first.
  TRdaParamList* Params() const { return params_.get(); }
  // Hands the collected parameters over and starts a fresh list.
  std::unique_ptr<TRdaParamList> TakeParams();

  const TRdaUpdateSqlSettings& Settings() const { return settings_; }
  void SetSettings(TRdaUpdateSqlSettings settings) { settings_ = std::move(settings); }

 private:
  std::string ColumnName(const TField& field, bool inInsert) const;
  std::string Where(TDataSet& data, TDataSet& log, bool deleted);
  std::string Insert(TDataSet& data);
  std::optional<std::string> Update(TDataSet& data, TDataSet& log);
  // Calls `each` with the statement of every log entry, in order (nullopt for an
  // entry that yields none).
  void WalkLog(TRda2CustomAuditDataSet& ds, const std::function<void(std::optional<std::string>)>& each);
  // `field`'s copy in the log (nullptr when the log has none); OldValue raises then.
  const TField* OldOf(const TField& field, TDataSet& log) const;
  const TField& OldValue(const TField& field, TDataSet& log) const;
  // base, or base with the next free number behind it when Params() already has
  // a parameter of that name (every statement of one list binds its own
  // values); the name is noted as taken.
  std::string FreeParamName(const std::string& base);
  // A new input parameter in Params() (started when there is none), named by
  // FreeParamName.
  TRdaParamItem& NewParam(TFieldType type, const std::string& name);
  void AddValueParam(const std::string& name, const TField& field);
  bool Terminated() const;

  TRdaUpdateSqlSettings settings_;
  const TRdaConnectionSettings& connection_;
  TRdaSQLCustomFormatEvent onCustomSQLSyntax_;
  std::unique_ptr<TRdaParamList> params_;
  // The names in params_, folded as the list compares them, and per parameter
  // name the next number to try, so that a list of many statements is made in
  // linear time.
  std::unordered_set<std::string> paramNames_;
  std::unordered_map<std::string, int> nextSuffix_;
  // While the log is walked: each data field's copy in the log.
  std::unordered_map<const TField*, const TField*> oldFields_;
};

}  // namespace rda
