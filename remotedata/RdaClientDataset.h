// The client datasets: in-memory datasets whose rows come from the data server.
//
//   TRdaBaseClientDataSet     the request, the reply handling, packets
//   TRdaUpdateClientDataSet   the settings of change handling and update SQL
//   TRdaClientDataSet         the component an application uses
//
// Opening a client dataset sends one request over its connection
// (RdaClientSocket), waits for the reply while the event loop keeps running,
// and loads what comes back: the field descriptions become FastFields, the
// row packets become rows of the row store (RdaRowPacket.h has both formats).
// A large result can come in packets of RowsToReturn rows; the next packet is
// fetched when the cursor moves past the last row loaded, on Last (with
// AutoFetchPackets) and by FetchNextPacket.
//
//   TRdaClientSocket s;  s.SetPort(9406);  s.OpenAndWait();
//   TRdaClientDataSet ds;
//   ds.SetRdaClientSocket(&s);
//   ds.SetSQL({"Select * From VNXHOSTS", "Where XCompanyCode = :Code"});
//   ds.Params().ParamByName("Code").SetAsString("DEMO");
//   ds.Open();
//   for (ds.First(); !ds.Eof(); ds.Next()) use(ds.FieldByName("XHost").AsString());
//
// The open, step by step (each step names what it needs of the connection):
//   1. before open: the open-in-progress flag; the delayed flag (soDelayed);
//   2. the request, unless working from a file: none without a usable
//      connection; else one SQL select (token 3: SQL text, RowsToReturn, the
//      options, DataBase #5 and the input parameters' text form), or the
//      alternative select (token 46) with soCyclopsSQL, and the wait for its
//      reply; a server error is kept as "[RDA SERVER ERROR]" + its text;
//   3. the in-memory open builds the fields from FastFields;
//   4. a kept server error closes the dataset again and raises EDatabaseError
//      with that text;
//   5. after open: AfterPopulate (unless delayed); a dataset whose connection
//      is not usable closes itself again and waits in the connection's bound
//      datasets (BindDataset) until the connection connects and reopens it.
//
// A connection is usable when it is connected, or blocking (the dataset runs
// the blocking exchange for its own requests), or tunnelling over HTTP, where
// the dataset works through a private copy of the connection named after the
// dataset (Name() + "Socket"), made at the first request and freed at close.
//
// Closing drops the server's open result (token 34) when one is open, releases
// the dataset's component id at the connection, and discards the rows.
//
// A streamed result: a server may answer a select with token 42 first. The
// wait ends there and the open completes at once; the field descriptions and
// rows follow (row packets that come while the open is still running are
// queued and applied after it), and once the first row packet is parsed the
// dataset saves itself into a stream and loads itself back from it
// (LoadFromStream), is open with the rows, and AfterPopulate runs. rdaserver
// does so for selects with soDelayed (docs/server.md).
//
// Field properties (token 26) are a stream of streamed field components
// (memdata/RdaComponentStream.h), applied to the fields after the open; a
// stream that cannot be read goes to the application's exception handler and
// the open stands.
//
// Working from a file: with SuitCaseData active no request is sent; with a file
// name the open loads the file's rows (LoadRowsFromFile of the in-memory
// dataset). LoadFromFile and LoadRowsFromFile of a client dataset work that way
// (see them below); SaveToFile is the in-memory dataset's.
//
// The change log: TRdaBaseClientDataSet derives from the audited dataset, so
// with an UpdateMethod other than umManual its edits are logged (for the
// update SQL and ApplyUpdates). A new result from the server replaces the rows
// and empties the log with them, as a close does.
//
// Detail datasets: with MasterSource and MasterFields the parameters named by
// DetailFilter take the master's values, and the dataset asks again when the
// master moves to other values (see MasterChanged); an open put off for want of
// a working connection starts at the master's move once the connection works.
//
// Besides SQL a dataset asks for metadata (MetaDataRequest), runs a stored
// procedure, opens a provider's dataset or calls a server method
// (RdaClientDatasetMeta.cpp); the reply is loaded as a select's.
//
// Threads and waits: everything runs on the thread of the connection's event
// loop. While a request waits, replies for other datasets and server messages
// are handled. Handlers of this dataset's events may run inside its own open
// and fetch; they must not destroy the dataset or its connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/DateTime.h"
#include "connection/RdaClientSocket.h"
#include "connection/RdaComponent.h"
#include "memdata/RdaAuditDataSet.h"
#include "memdata/RdaCustomDataSet.h"
#include "messaging/RdaParamList.h"
#include "remotedata/RdaBroadcast.h"
#include "messaging/RdaWire.h"

namespace rda {

// Request options: TRdaSelectSQLOptionSet (messaging/RdaWire.h); bit n of the
// 16-bit value sent is value n.

// What a request asks for instead of SQL (request code = value + 99).
enum TRdaMetaData : uint8_t {
  mdNormalQuery = 0,
  mdTables,
  mdIndexes,
  mdFields,
  mdViews,
  mdStoredProcs,
  mdForeignKeys,
  mdSystemTables,
  mdDBMSName,
  mdPrimeKeys,
  mdStoredProcColumns,
  mdServerDataSets,
  mdCustomDataSets,
  mdBusinessObjects,
  mdProviders,
  mdBusObjectParams,
  mdProviderParams,
  mdVCLFields,
  mdOtherMetaData,
  mdBusinessObjectNames,
  mdUserList,
  mdAliasedBizObjectMethods,
  mdProviderPrimeFields,
  mdProviderUpdateTables,
  mdProviderPrimeFieldsFromBizObject,
  mdTriggers,
  mdTableFields,
  mdStatelessUserList,
};

// How loading rows is shown: OnQueryProgress fires for sqShowOnly and
// sqShowAllowCancel (a progress window hooks in there).
enum TShowQueryProgressType : uint8_t { sqDontShow, sqShowOnly, sqShowAllowCancel, sqDebugShowBenchMark };

// Update SQL settings (kept; generating update SQL comes with the change log).
enum TRdaUpdateMode : uint8_t { upWhereAll = 0, upWhereChanged = 1, upWhereKeyOnly = 2 };
enum TGenerateSQLLocation : uint8_t { gsClient = 0, gsServer = 1 };

// Settings for working from a local file instead of the server.
class TSuitCaseData {
 public:
  // [false] Work from FileName: no request is sent at open.
  bool Active() const { return active_; }
  void SetActive(bool value) { active_ = value; }
  // [""]
  const std::string& FileName() const { return fileName_; }
  void SetFileName(std::string value) { fileName_ = std::move(value); }
  // [false] Saving and loading also carry the change log.
  bool SaveCachedUpdates() const { return saveCachedUpdates_; }
  void SetSaveCachedUpdates(bool value) { saveCachedUpdates_ = value; }
  // The date kept with the settings, in the short date format; "" while zero
  // (nothing in the library sets it).
  std::string LastUpdate() const;

 private:
  bool active_ = false;
  std::string fileName_;
  bool saveCachedUpdates_ = false;
  TDateTime lastUpdate_ = 0;
};

// The change-logging base (RdaAuditDataSet.h) lies under the client
// datasets: with an update method other than umManual (the client datasets'
// default is umManual) their edits are logged for the update SQL.
class TRdaBaseClientDataSet : public TRda2CustomAuditDataSet, public TRdaComponent {
 public:
  TRdaBaseClientDataSet();
  // Closes (dropping the server's result) and frees the private connection.
  ~TRdaBaseClientDataSet() override;

  // ---- Published settings (default in brackets) -------------------------------------

  // [none] The connection; not owned. It tells the dataset when it is destroyed,
  // and the property is then cleared.
  TRdaClientSocket* RdaClientSocket() const { return connection_; }
  void SetRdaClientSocket(TRdaClientSocket* connection);
  // [empty] The statement, one line per entry; sent as the lines each followed
  // by CR LF. Setting it resets MetaDataRequest; a text equal to the current
  // non-empty one changes nothing; otherwise the dataset is closed, TableName
  // cleared and Params rebuilt from the ":name" markers (old values kept by
  // name). Raises what the parameter scan raises (":a:b").
  const std::vector<std::string>& SQL() const { return sql_; }
  void SetSQL(std::vector<std::string> lines);
  // The lines split at CR LF or LF, then as SetSQL.
  void SetSQLText(std::string_view text);
  // The lines joined, each followed by CR LF.
  std::string SQLText() const;
  // Changes of single lines (the dataset stays open); Params follow the text.
  void AddSQL(std::string line);
  void ClearSQL();
  // [empty] Statement parameters; only input parameters are sent.
  TRdaParamList& Params() { return params_; }
  const TRdaParamList& Params() const { return params_; }
  void SetParams(const TRdaParamList& params);  // a copy
  // [""] Database or alias name sent with every request.
  const std::string& DataBase() const { return dataBase_; }
  void SetDataBase(std::string value) { dataBase_ = std::move(value); }
  // [-1] -1: every row in one reply; n > 0: packets of n rows; 0: field
  // descriptions only (the dataset opens empty).
  int RowsToReturn() const { return rowsToReturn_; }
  void SetRowsToReturn(int value) { rowsToReturn_ = value; }
  // [{}] Sent as a 16-bit value; soCompress is left out when the connection
  // compresses whole messages.
  TRdaSelectSQLOptionSet SQLOptions() const { return sqlOptions_; }
  void SetSQLOptions(TRdaSelectSQLOptionSet value) { sqlOptions_ = value; }
  // [""] Appended as " ORDER BY " + value + " ASC" or " DESC"; blanks around it
  // are dropped.
  const std::string& OrderBy() const { return orderBy_; }
  void SetOrderBy(std::string_view value);
  // [true]
  bool Ascending() const { return ascending_; }
  void SetAscending(bool value) { ascending_ = value; }
  // [true] Whether Last fetches another packet first.
  bool AutoFetchPackets() const { return autoFetchPackets_; }
  void SetAutoFetchPackets(bool value) { autoFetchPackets_ = value; }
  // [true] Kept for design tools; no effect here.
  bool ResetFieldsOnSQLChanges() const { return resetFieldsOnSQLChanges_; }
  void SetResetFieldsOnSQLChanges(bool value) { resetFieldsOnSQLChanges_ = value; }
  // [mdNormalQuery] Anything else is a metadata request (token 23, request code
  // value + 99, RdaClientDatasetMeta.cpp). Setting it closes the dataset and
  // makes SQL a single empty line.
  TRdaMetaData MetaDataRequest() const { return metaDataRequest_; }
  void SetMetaDataRequest(TRdaMetaData value);
  // [""] Setting a different name clears StoredProcedure and Params and, for a
  // normal query, makes SQL the line "SELECT * FROM " + name.
  const std::string& TableName() const { return tableName_; }
  void SetTableName(std::string value);
  // [""] A stored procedure (token 27). A name clears SQL, TableName,
  // ServerDataSet, ServerMethod and Params, and fetches the procedure's
  // parameters when the connection is usable.
  const std::string& StoredProcedure() const { return storedProcedure_; }
  void SetStoredProcedure(std::string value);
  // [""] A server method: makes the request mdBusinessObjects and takes the
  // method's parameters from the metadata cache or the server (Exception name
  // + " not found" for a method neither knows; the name is then cleared). Only
  // stored on a blocking connection, with mdBusObjectParams, or for an empty
  // or unchanged name.
  const std::string& ServerMethod() const { return serverMethod_; }
  void SetServerMethod(std::string value);
  // [""] The provider's dataset on the server (request 111 at open).
  const std::string& ServerDataSet() const { return serverDataSet_; }
  void SetServerDataSet(std::string value);
  // [""] A provider: with a connection and no SQL, TableName or ServerMethod,
  // finds the provider's server dataset and parameters (and key fields) in the
  // metadata cache or on the server; Exception name + " not found" when the
  // cache lacks it. An empty name goes back to a normal query.
  const std::string& ProviderName() const { return providerName_; }
  void SetProviderName(std::string value);
  // [sqDontShow]
  TShowQueryProgressType ShowQueryProgress() const { return showQueryProgress_; }
  void SetShowQueryProgress(TShowQueryProgressType value) { showQueryProgress_ = value; }
  TSuitCaseData& SuitCaseData() { return suitCaseData_; }

  // ---- Events ------------------------------------------------------------------------

  // After each packet fetch, with the rows it added.
  std::function<void(TRdaBaseClientDataSet& sender, int rowsFetched)> OnAfterPacketFetch;
  // Once the rows of an open have arrived (not while Filtered).
  TDataSetNotifyEvent OnAfterPopulate;
  // Asked before a provider's dataset is opened: the value sent as
  // "ServerActionInt" (0 without a handler).
  std::function<void(TRdaBaseClientDataSet& sender, int& actionInt)> OnCustomServerAction;
  // After output parameters arrived (token 30) and were put into Params.
  TDataSetNotifyEvent OnReceiveParams;
  // A blob the server sent for this dataset (token 22): the connection, TableName,
  // the field's name and the bytes.
  std::function<void(TRdaClientSocket& sender, const std::string& tableName,
                     const std::string& fieldName, TMemoryStream& stream)>
      OnReceiveBlobStream;
  // While a row packet is loaded with ShowQueryProgress sqShowOnly or
  // sqShowAllowCancel: the length of the rows text and the offset after each row.
  std::function<void(size_t total, size_t position)> OnQueryProgress;

  // ---- Operations --------------------------------------------------------------------

  // Fetches the next packet of the open result: when the cursor handle and
  // RowsToReturn are positive and the dataset is open, sends token 33 and waits
  // for its row packet, then fires OnAfterPacketFetch. Returns the rows added
  // (0 when there was nothing to fetch). Raises EDatabaseError "[RDA SERVER
  // ERROR]..." for a server error and what the connection raises.
  int FetchNextPacket();
  // Closes and opens again with Filtered off during the open (restored after),
  // controls disabled meanwhile. Does nothing while the connection waits for a
  // reply. Raises EDatabaseError "No Socket! or Socket Not Active" when the
  // connection is not usable.
  void Requery();
  // ---- Detail datasets (MasterSource, MasterFields, DetailFilter) ----
  // The i-th DetailFilter name names a parameter that takes the value of the
  // master field the i-th MasterFields name names (an integer, a date or a
  // date-time as such, anything else as text). The parameters differ from
  // the master when there is one, the master is open and either has no
  // record or a master field's non-empty text is not its parameter's.
  void TakeParamsFromMaster();
  bool ParamsDifferFromMaster();
  // No local filter: the rows come from the server for the parameters.
  bool DetailFilterActive() const override;
  bool FollowsMasterWhileClosed() const override { return deferredOpen_; }
  // The master moved: a new master record drops the rows and the log; another
  // record whose values differ from the parameters runs the statement again
  // with them (an empty master empties the dataset).
  void MasterChanged() override;
  // Drops the server's open result (token 34, no wait) when there is one and
  // the connection is usable, and releases the component id.
  void CloseServerCursor();
  // Rows from a dataset file: the dataset is closed and opened again with
  // SuitCaseData active and naming the file, so that no request goes out and
  // the open loads the file's rows; both settings are restored afterwards.
  void LoadRowsFromFile(const std::string& fileName) override;
  // Fields and rows from a dataset file: opened with SuitCaseData active and
  // no file name (no request, nothing loaded), then the in-memory
  // LoadFromFile, then LoadRowsFromFile above; the settings are restored.
  void LoadFromFile(const std::string& fileName) override;

  // ---- State -------------------------------------------------------------------------

  // The server's handle of the open result: 0 none, > 0 more rows to fetch,
  // -1 the last packet has come.
  int32_t CursorHandle() const { return cursorHandle_; }
  // Rows added by the last packet fetch.
  int RowsFetched() const { return rowsFetched_; }
  bool OpenInProgress() const { return openInProgress_; }
  // The dataset waits for its connection to connect before it opens.
  bool DeferredOpen() const { return deferredOpen_; }
  // A streamed result was announced (token 42) and its rows have not come.
  bool AwaitingStreamedResult() const { return receiveStream_ != nullptr; }
  // The connection requests go through: RdaClientSocket, or over HTTP the
  // private copy (made here when missing, its settings copied again otherwise).
  // Null without a connection.
  virtual TRdaClientSocket* GetConnection();
  // The private copy of an HTTP connection, or null; and its name.
  TRdaClientSocket* PrivateConnection() const { return private_.get(); }
  const std::string& PrivateConnectionName() const { return privateName_; }
  // DataBase, for the requests.
  virtual std::string GetDataBase() const { return dataBase_; }

  // ---- TRdaComponent -------------------------------------------------------------------

  void ReceiveMessage(TRdaClientSocket& connection, const TRdaComponentMessage& message) override;
  // While this dataset's server method request waits for its output parameters.
  bool AwaitsOutputParams() const override { return awaitingOutputs_; }
  // Each parameter replaces the one of its name in Params (or is appended);
  // then OnReceiveParams.
  void ReceiveOutputParams(TRdaClientSocket& connection, TRdaParamList& params) override;
  bool TakeDeferredOpen() override;
  void Reopen(TRdaClientSocket& connection) override;
  void ConnectionDestroyed(TRdaClientSocket& connection) override;

 protected:
  // Key fields found for a provider or server method (the update dataset keeps
  // them as PrimeFields).
  virtual void TakePrimeFields(std::vector<std::string> /*fields*/) {}
  // A temporary dataset on the same connection that runs the metadata request
  // `request` for `name` (TableName, ProviderName or ServerMethod as the request
  // reads it) and is open on its answer.
  std::unique_ptr<TRdaBaseClientDataSet> OpenMetaData(TRdaMetaData request, const std::string& name);
  // Whether the metadata cache holds entries (of the connection).
  bool HasCache() const;
  // Parameters (and key fields) of a provider or method from the cache's
  // "FServerparamsDataSet" row; false when there is no such row.
  bool ParamsFromCache(const std::string& name, bool methodPrefix);

  // Once the rows of an open have arrived: the indexes are rebuilt and
  // OnAfterPopulate fires (unless Filtered).
  virtual void AfterPopulate();
  // A provider broadcast for this dataset (token 44): a dataset in stream form.
  virtual void ReceiveProviderBroadcast(const std::string& /*text*/) {}
  // Whether the connection can carry a request now.
  static bool Usable(const TRdaClientSocket* connection);
  // Sends a request that waits for its reply and returns the server's error
  // text ("" for none): the flags, the wait (or the blocking exchange).
  std::string Exchange(TRdaClientSocket& connection, TRdaStringLine& line, bool wait);

  void DoBeforeOpen() override;
  void InternalOpen() override;
  void DoAfterOpen() override;
  void InternalClose() override;
  // Moving past the last row loaded fetches a packet and tries again.
  TGetResult GetRecord(char* buffer, TGetMode mode, bool doCheck) override;
  // With AutoFetchPackets, fetches a packet before going to the end.
  void InternalLast() override;

 private:
  class Loading;

  static bool TunnelsOverHttp(const TRdaClientSocket& connection);
  // The connection of the current result: the private copy when there is one.
  TRdaClientSocket* CurrentConnection() const;
  // Sends the open's request and returns the error text kept ("" for none).
  std::string RequestStep();
  std::string Select(TRdaClientSocket& connection);
  // The requests of RdaClientDatasetMeta.cpp; each returns the error text kept.
  std::string MetaDataRequestStep(TRdaClientSocket& connection);
  std::string StoredProcedureStep(TRdaClientSocket& connection);
  // Token 23 with its flags: the caller takes the errors of 111 and 112 only.
  std::string MetaExchange(TRdaClientSocket& connection, TRdaStringLine& line, bool callerTakes);
  bool ExpectsOutputParams() const;
  // Replaces Params by the parameter rows of a temporary dataset's answer.
  void ParamsFromAnswer(TRdaBaseClientDataSet& answer);
  // SQL holds nothing but blank lines.
  bool SqlEmpty() const;
  uint32_t OptionsValue(const TRdaClientSocket& connection, TRdaSelectSQLOptionSet extra) const;
  // The SQL text of a select: the lines, then ORDER BY.
  std::string SelectText() const;
  bool CanFetchMore() const;
  // Token 33 and its reply; returns the rows added.
  int FetchPacket();
  void SQLChanged();
  void RebuildParams();
  std::vector<std::pair<TRdaParamItem*, TField*>> MasterParams();
  void ReceiveFieldDescriptions(const std::string& text);
  void ReceiveRows(int32_t indicator, const std::string& rows);
  // A row packet parsed while a receive stream exists: save, load back,
  // open, AfterPopulate.
  void FinishStreamedResult();
  // The packets queued while the open ran, in one bulk bracket.
  void ApplyQueuedPackets();
  void ApplyFieldPropertiesReceived();

  TRdaClientSocket* connection_ = nullptr;
  std::unique_ptr<TRdaClientSocket> private_;
  std::string privateName_;
  std::vector<std::string> sql_;
  TRdaParamList params_;
  std::string dataBase_;
  int rowsToReturn_ = -1;
  TRdaSelectSQLOptionSet sqlOptions_;
  std::string orderBy_;
  bool ascending_ = true;
  bool autoFetchPackets_ = true;
  bool resetFieldsOnSQLChanges_ = true;
  TRdaMetaData metaDataRequest_ = mdNormalQuery;
  std::string tableName_;
  std::string storedProcedure_;
  std::string serverMethod_;
  std::string serverDataSet_;
  std::string providerName_;
  TShowQueryProgressType showQueryProgress_ = sqDontShow;
  TSuitCaseData suitCaseData_;

  int32_t cursorHandle_ = 0;
  int rowsFetched_ = 0;
  bool openInProgress_ = false;
  bool delayed_ = false;
  bool deferredOpen_ = false;
  // Set while AfterPopulate has the master read again.
  bool refreshingMaster_ = false;
  bool descriptionsOnly_ = false;  // the request asked for field descriptions only
  bool fetching_ = false;          // a packet fetch waits for its reply
  int receiving_ = 0;              // a reply for this dataset is being handled
  std::string fieldProperties_;    // token 26, kept until after open
  bool awaitingOutputs_ = false;   // the open of a server method waits for token 30
  // After token 42, until the first row packet is parsed.
  std::unique_ptr<TMemoryStream> receiveStream_;
  // Row packets (rows text, indicator) that came while the open ran.
  std::vector<std::pair<std::string, int32_t>> queuedPackets_;
  // Set while a streamed result loads itself back: the close and open that
  // involves leave the server's result, the private connection and the
  // open's own steps alone.
  bool reloading_ = false;
};

// One row an apply could not write because the server's row is no longer what
// the client read (RdaApplyUpdates.cpp): the values the client started from
// (the log's), the values it wants (none for a deleted row) and the values the
// server holds now (none when the row is gone), per field of the log.
struct TRdaUpdateConflict {
  int32_t RecordID = 0;  // the client's row
  int32_t Delta = 0;     // the log entry's kind: ldModified or ldDeleted
  std::vector<std::string> Fields;
  std::vector<Variant> Original;
  std::vector<Variant> Local;   // empty for a deleted row
  std::vector<Variant> Server;  // empty when the server has no such row
  bool ServerRowExists() const { return !Server.empty(); }
};

// A failed apply that met conflicts: the server's error text, and the rows.
class ERdaUpdateConflict : public EDatabaseError {
 public:
  ERdaUpdateConflict(const std::string& message, std::vector<TRdaUpdateConflict> conflicts)
      : EDatabaseError(message), conflicts_(std::move(conflicts)) {}
  const std::vector<TRdaUpdateConflict>& Conflicts() const { return conflicts_; }

 private:
  std::vector<TRdaUpdateConflict> conflicts_;
};

class TRdaUpdateClientDataSet;

// Applies the logs of several datasets in one server transaction (token 31;
// RdaApplyUpdates.cpp): all of them or none. The connection's operation: a
// free function here, since the connection knows nothing of datasets. Returns
// the server's error text ("" when all went in, and then every log is
// emptied); with raiseErrors an error raises Exception with that text.
// EDatabaseError "No Socket! or Socket Not Active" without a usable connection.
std::string ApplyDataSetsInTransaction(TRdaClientSocket& connection, const std::string& name,
                                       const std::vector<TRdaUpdateClientDataSet*>& datasets,
                                       bool raiseErrors);

// Change handling and update SQL; the settings are kept, generating and applying
// the SQL comes with the change log.
class TRdaUpdateClientDataSet : public TRdaBaseClientDataSet {
 public:
  // [umManual] Whether edits are logged: umCached and umAfterPost log them
  // (ChangeLog), umManual does not.
  TRdaUpdateMethod UpdateMethod() const { return UpdateMethodValue(); }
  void SetUpdateMethod(TRdaUpdateMethod value) { SetUpdateMethodValue(value); }
  // [""] The table named in generated SQL.
  const std::string& UpdateTableName() const { return updateTableName_; }
  void SetUpdateTableName(std::string value) { updateTableName_ = std::move(value); }
  // [empty] Key fields of UpdateTableName; fields read back after an insert;
  // fields left out of generated SQL. Each setter takes a copy.
  // Prime fields also make the index "__RDA__PrimaryKey" over them ([ioPrimary],
  // active), so that posting a second row with the same key fails, unless the
  // dataset has an ioPrimary index of its own. It is made at the open (and at
  // once while open) when the dataset has every prime field and none of them is
  // the AutoIncrementField (new rows have no key until the server gives one);
  // new prime fields move it, none or a missing field remove it.
  const std::vector<std::string>& PrimeFields() const { return primeFields_; }
  void SetPrimeFields(std::vector<std::string> lines);
  // The key fields of ProviderName (or ServerMethod) into PrimeFields: from the
  // metadata cache when there is one, else asked of the server. Raises
  // Exception "Provider Name required!" without either.
  void RetrievePrimeKeyFields();
  const std::vector<std::string>& RefetchOnInsert() const { return refetchOnInsert_; }
  void SetRefetchOnInsert(std::vector<std::string> lines) { refetchOnInsert_ = std::move(lines); }
  const std::vector<std::string>& NoSQLFields() const { return noSQLFields_; }
  void SetNoSQLFields(std::vector<std::string> lines) { noSQLFields_ = std::move(lines); }
  // [""]
  const std::string& AutoIncrementField() const { return autoIncrementField_; }
  void SetAutoIncrementField(std::string value);
  // [upWhereKeyOnly]
  TRdaUpdateMode UpdateMode() const { return updateMode_; }
  void SetUpdateMode(TRdaUpdateMode value) { updateMode_ = value; }
  // [""] With AutoIncrementField: the sequence whose next value an INSERT writes
  // into that field.
  const std::string& OracleSequence() const { return oracleSequence_; }
  void SetOracleSequence(std::string value) { oracleSequence_ = std::move(value); }
  // [gsClient] Where update SQL is made: here (gsClient) or by the server from the
  // sent log (gsServer; setting it also sets UpdateMethod to umCached).
  TGenerateSQLLocation SQLGenerateLocation() const { return sqlGenerateLocation_; }
  void SetSQLGenerateLocation(TGenerateSQLLocation value);

  // The update SQL for the change log as it stands, without sending anything
  // (remotedata/RdaUpdateSql.h): the statement list between the connection's
  // transaction lines, its parameters into `params` when given.
  std::vector<std::string> GeneratedSQL(std::unique_ptr<TRdaParamList>* params = nullptr);
  // One ftString parameter per statement, named by its text, carrying that
  // statement's own parameters encoded (what a transaction sends).
  std::unique_ptr<TRdaParamList> GeneratedStatementParams();
  // ---- Applying updates (RdaApplyUpdates.cpp) ----
  // Sends the logged changes to the server: mode 0 the statements alone, 1 (and
  // above 3) with the transaction lines (token 29), 2 as a transaction (token
  // 31), 3 as a transaction that commits what succeeds. The server's error text
  // goes to `error`; what follows an error depends on the mode (see the file).
  virtual void ApplyUpdates(int mode, std::string& error);
  void ApplyUpdates(int mode = 1) {
    std::string error;
    ApplyUpdates(mode, error);
  }
  // The rows the last statement list changed, as the server counted them.
  int RowsAffected() const { return rowsAffected_; }
  // The conflicts the last failed apply met (empty when it met none).
  const std::vector<TRdaUpdateConflict>& Conflicts() const { return conflicts_; }
  // The read-back descriptor of the log as it stands ("" when there is nothing
  // to read back and `always` is false).
  std::string RefetchDescriptor(bool always);
  // After rows read back from the server were put into the dataset: their
  // RecordIDs as 4-byte bookmarks.
  std::function<void(TDataSet& sender, const std::vector<std::string>& bookmarks)> AfterRefetchOnInsert;
  void ReceiveMessage(TRdaClientSocket& connection, const TRdaComponentMessage& message) override;
  void ReceiveRowsAffected(TRdaClientSocket& connection, int rowsAffected) override;
  // With SuitCaseData's SaveCachedUpdates (and ssCachedUpdates not in
  // StreamOptions) the change log follows the data in a saved stream, and is
  // read back after it: changes made offline can be applied later.
  void SaveToStream(TMemoryStream& stream) override;
  void LoadFromStream(TMemoryStream& stream) override;

  // ["Read Only"] Descriptive text of the editing mode; nothing reads it.
  const std::string& EditMode() const { return editMode_; }
  void SetEditMode(std::string value) { editMode_ = std::move(value); }
  // [""] Stored for design tools only.
  const std::string& SQLWorkBench() const { return sqlWorkBench_; }
  void SetSQLWorkBench(std::string value) { sqlWorkBench_ = std::move(value); }

  // ---- Provider updates and broadcasts (RdaBroadcast.cpp) ----------------------------

  TRdaUpdateClientDataSet();
  ~TRdaUpdateClientDataSet() override;
  // The provider key requests name: ProviderName, or ProviderName #2 ServerMethod.
  std::string ProviderKey() const;
  // ApplyUpdates with gsServer, modes 2 and 3: the change log as a
  // TRdaConflictList through the provider (mode 2: token 36, all or nothing;
  // mode 3: a provider transaction of this dataset alone that keeps the rows
  // that went through). Nothing happens without a pending change; an edit in
  // progress is posted first. Success empties the log. Raises EDatabaseError
  // "No RdaclientSocket or it is not connected!" without a usable connection;
  // mode 2: EDatabaseError "[RDA] Transaction Failed! " CR + the server's error,
  // the log kept; mode 3: Exception with the failed rows' messages, each + CR,
  // the rows that went through leaving the log.
  void ApplyProviderUpdates(int mode);
  TProviderBroadCastOptions& ProviderBroadCast() { return broadcastOptions_; }
  // Token 44 (1, 0, ProviderKey, ProviderFilter), no wait. EDatabaseError "No
  // Socket! or Socket Not Active" without a usable connection; Exception
  // "Provider required!" without a provider.
  void RegisterProviderBroadcast();
  // Token 44 (0, 0, ProviderKey, "") when a usable connection is assigned.
  void UnregisterProviderBroadcast();
  bool BroadcastRegistered() const { return broadcast_->registered; }
  // The rows of the last provider update that another client had changed
  // meanwhile (TRdaConflictList::ConflictRows: per field the original, local
  // and server value); null when it reported none.
  TRdaDataSet* ProviderConflicts() const { return broadcast_->conflicts.get(); }
  // Rows kept by baCache or while editing, not yet applied (0 without).
  int CachedBroadcastRows() const;
  // Applies the cached broadcasts now (as after a post).
  void ApplyCachedBroadcasts();

  // A broadcast arrived, before its rows are applied (they are applied as well
  // when AutoUpdate is true). A handler that keeps the dataset copies the pointer.
  std::function<void(TRdaUpdateClientDataSet& sender, const std::shared_ptr<TRdaDataSet>& d)> OnProviderBroadCast;
  // A broadcast for the row being edited, as a change list ("Field", "OldValue",
  // "NewValue", "EditChanged", "Apply"); a handler may change Apply or mark it
  // handled (then nothing is written).
  std::function<void(TRdaUpdateClientDataSet& sender, const std::shared_ptr<TRdaDataSet>& changes, bool& handled)>
      OnProviderBroadCastEditRow;
  // The row being edited was deleted by another client; handled: it stays.
  std::function<void(TRdaUpdateClientDataSet& sender, TRdaDataSet& d, bool& handled)> OnProviderBroadCastDeleteEditRow;
  // Before and after each broadcast row is applied; d stands on that row.
  std::function<void(TRdaUpdateClientDataSet& sender, TRdaDataSet& d, bool& handled)> OnProviderBroadCastBeforeApplyRow;
  std::function<void(TRdaUpdateClientDataSet& sender, TRdaDataSet& d)> OnProviderBroadCastAfterApplyRow;

 protected:
  void TakePrimeFields(std::vector<std::string> fields) override { SetPrimeFields(std::move(fields)); }
  void BeforeIndexesBind() override { SyncPrimaryKeyIndex(); }
  // With umAfterPost each post and each delete is applied at once (mode 0);
  // after a post or a cancel the broadcasts cached meanwhile are applied.
  void DoAfterPost() override;
  void DoAfterDelete() override;
  void DoAfterCancel() override;
  void ReceiveProviderBroadcast(const std::string& text) override;
  // A new server session: the registration is made again.
  void Reconnected(TRdaClientSocket& connection) override;
  void AfterPopulate() override;
  void InternalClose() override;
  // Run before and after a broadcast is applied; nothing here.
  virtual void BeforeBroadcast() {}
  virtual void AfterBroadcast() {}

 private:
  // "__RDA__PrimaryKey" after the prime fields and the dataset's fields.
  void SyncPrimaryKeyIndex();
  // The broadcasts cached while the dataset edited are applied (unless baCache).
  void BroadcastsAfterEdit();

  std::string updateTableName_;
  std::vector<std::string> primeFields_;
  std::vector<std::string> refetchOnInsert_;
  std::vector<std::string> noSQLFields_;
  std::string autoIncrementField_;
  std::string oracleSequence_;
  TRdaUpdateMode updateMode_ = upWhereKeyOnly;
  TGenerateSQLLocation sqlGenerateLocation_ = gsClient;
  std::string editMode_ = "Read Only";
  std::string sqlWorkBench_;
  int rowsAffected_ = 0;
  std::vector<TRdaUpdateConflict> conflicts_;
  int applying_ = 0;  // an apply runs: its own posts apply nothing

  friend std::string ApplyDataSetsInTransaction(TRdaClientSocket&, const std::string&,
                                                const std::vector<TRdaUpdateClientDataSet*>&, bool);
  void ApplyStatementList(TRdaClientSocket& connection, int mode, std::string& error);
  void ApplyPartialSuccess(TRdaClientSocket& connection, const std::string& name, std::string& error);
  void PostErrorStep(const std::string& error);
  std::vector<TRdaUpdateConflict> FindConflicts();
  void ApplyRefetchedRows(const std::string& pairs);

  friend class TProviderBroadCastOptions;
  void HandleBroadcast(std::unique_ptr<TRdaDataSet> d);
  void CacheBroadcast(std::unique_ptr<TRdaDataSet> d);
  void ApplyBroadcast(std::shared_ptr<TRdaDataSet> d);
  void ApplyBroadcastRow(TRdaDataSet& d);
  void MergeIntoEditRow(TRdaDataSet& d);
  bool LocateByPrimeFields(TRdaDataSet& d);
  bool MatchesEditRow(TRdaDataSet& d);
  void MergeLoggedRow(TRdaDataSet& d, const std::vector<std::string>* onlyFields);
  friend void ApplyProvidersInTransaction(TRdaClientSocket&, const std::vector<TRdaUpdateClientDataSet*>&, bool);
  TProviderBroadCastOptions broadcastOptions_{*this};
  std::unique_ptr<TRdaBroadcastState> broadcast_;
};

// Token 45: the change logs of the datasets (gsServer) as provider packages in
// one server transaction; datasets without a change send nothing. An edit in
// progress is posted first. All or nothing: an error raises Exception with the
// server's text and every log is kept. With commitAnySuccess every dataset's
// Params carry "~ProviderCommitAnySuccess" = True while the request is sent,
// and the rows that went through are committed and leave their logs; the
// failed ones stay and their messages, each followed by CR, are raised
// together as Exception. Success empties every log. EDatabaseError "No Socket!
// or Socket Not Active" without a usable connection.
void ApplyProvidersInTransaction(TRdaClientSocket& connection, const std::vector<TRdaUpdateClientDataSet*>& datasets,
                                 bool commitAnySuccess);

// The component.
class TRdaClientDataSet : public TRdaUpdateClientDataSet {
 public:
  ~TRdaClientDataSet() override;
};

}  // namespace rda
