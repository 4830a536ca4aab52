// TRdaCustomDataSet: the in-memory dataset, and TRdaDataSet, the plain
// free-standing one.
//
// The dataset keeps its rows in a row store (TRdaDBList) and the values of
// blob-like fields in a blob store (TRdaBlobList), and answers the dataset
// framework's record-buffer protocol (DataSet.h) on them.
//
// Structure. FastFields is the dataset's own definition of its columns: one
// line per field, "name,type,size" (the decimal type code and declared
// size; 0 where the type has a fixed width). A line is split at its last
// comma (size) and at the comma before it (type), so names may hold commas.
// At open the lines become the row store's field descriptions and the
// framework's field definitions. Persistent field objects made with
// CreateField serve the same purpose when FastFields is empty.
//
// Record buffer (one per framework buffer):
//
//   offset                    size          meaning
//   0                         RecordSize    the row image (RdaDBList.h)
//   RecordSize                4*(n/32+1)    reserve, zero (n = number of fields)
//   ImageSize                 4             bookmark: the row's RecordID, LE
//   ImageSize + 4             1             bookmark flag (TBookmarkFlag)
//   ImageSize + 5             CalcFieldsSize calculated and lookup fields, each a
//                                           has-value byte and its stored form
//
//   ImageSize = RecordSize + 4*(n/32+1); buffer size = ImageSize + 5 + CalcFieldsSize.
//
// Invariants while open:
//   - RecordIDs are unique in the store: the next identity only grows while
//     rows are added and deleted, and at open it starts above every identity
//     present. A bookmark is the 4-byte RecordID and stays valid for the
//     row's life, across inserts and deletes of other rows. ClearRows (a
//     client dataset's fresh result goes through it) removes every row and
//     starts the identities at 1 again: bookmarks taken before it may then
//     name a new row, as the identities of a new result do;
//   - the cursor is a 0-based position in the current view: -1 before the
//     first row, the view's count after the last;
//   - the active buffer's image is a copy of its row; a post copies the
//     image back (RecordSize bytes), nothing else of the buffer.
//
// Closing keeps the rows (a reopen shows them again) unless the
// discard-on-close flag is set, in which case the stores are discarded.
//
// Indexes give sorted views and unique keys, aggregates running totals
// (RdaIndexes.h, RdaAggregates.h); the current view is the selected index's
// order when an index is selected, else the row store's. The dataset
// stream (SaveToStream/LoadFromStream, files, DataSetToText and
// TextToDataSet) is in RdaDataSetStream.cpp, blob streams in
// RdaBlobStream.h, bulk filling and copying in RdaDataSetCopy.cpp. The
// filter text, the constraints and the default expressions are compiled by
// memdata/expr/ (RdaExpression.h, RdaDataSetExpressions.h). Master/detail
// is in RdaMasterDetail.cpp; the change log is TRda2CustomAuditDataSet
// (RdaAuditDataSet.h), which plugs in through the protected seams below.
//
// Not thread-safe: one dataset belongs to one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/MemoryStream.h"
#include "memdata/RdaAggregates.h"
#include "memdata/RdaIndexes.h"
#include "memdata/framework/DataSet.h"
#include "memdata/store/RdaBlobList.h"
#include "memdata/store/RdaDBList.h"

namespace rda {

// ---------------------------------------------------------------------------
// Automatic calculated fields

enum TAutoCreateCalcFieldType : uint8_t {
  cfString,
  cfInteger,
  cfSmallInt,
  cfWord,
  cfFloat,
  cfCurrency,
  cfBCD,
  cfFMTBCD,
  cfBoolean,
  cfDateTime,
  cfDate,
  cfTime,
  cfLargeInt,
  cfWideString,
};

TFieldType AutoCalcFieldTypeToFieldType(TAutoCreateCalcFieldType type);

class TAutoCreateCalcField {
 public:
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(std::string name) { fieldName_ = std::move(name); }
  bool Active() const { return active_; }
  // Raises EDatabaseError "FieldName is required" for true while FieldName
  // is empty or blank (Active is then unchanged).
  void SetActive(bool value);
  TAutoCreateCalcFieldType DataType() const { return dataType_; }
  // Switching to cfString or cfWideString from another type sets Size 20.
  void SetDataType(TAutoCreateCalcFieldType type);
  bool Visible() const { return visible_; }
  void SetVisible(bool value) { visible_ = value; }
  int32_t Size() const { return size_; }
  void SetSize(int32_t value) { size_ = value; }

 private:
  friend class TAutoCreateCalcFields;
  std::string fieldName_;
  bool active_ = false;
  TAutoCreateCalcFieldType dataType_ = cfInteger;
  bool visible_ = true;
  int32_t size_ = 0;
};

class TAutoCreateCalcFields {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TAutoCreateCalcField& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  // A new item named "AutoCalc<n>" (n counts the items ever added: 1, 2,
  // ...), visible, cfInteger, inactive.
  TAutoCreateCalcField& Add();
  void Delete(int index) { items_.erase(items_.begin() + index); }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TAutoCreateCalcField>> items_;
  int added_ = 0;
};

// ---------------------------------------------------------------------------

// An expression compiled against a dataset, evaluated on its record in use
// (the filter, a constraint or a default expression; memdata/expr/).
class TRdaCompiledExpression {
 public:
  virtual ~TRdaCompiledExpression() = default;
  virtual Variant Evaluate() = 0;
  // A filter's answer: the value is neither null nor empty and reads as true.
  virtual bool Accepts() {
    const Variant v = Evaluate();
    return !v.IsClear() && v.ToBoolean();
  }
  // The same for record, the record buffer under test (the record in use),
  // which the expression may read directly.
  virtual bool AcceptsRecord(const char* /*record*/) { return Accepts(); }
  // A filter's hint for navigation: the first view position from position
  // on (step 1) or back from it (step -1) whose row it may accept; rows
  // passed over are ones it rejects. Past the end: the view's count; before
  // the start: -1. The default passes over nothing.
  virtual int SkipRejected(int position, int /*step*/) { return position; }
};

class TRdaDataSetExpressions;

// What the expression kinds are called when compiled.
enum TRdaExpressionKind : uint8_t {
  ekFilter = 0,
  ekFieldConstraint = 1,
  ekRecordConstraint = 2,
  ekDefaultExpression = 3,
};

// What a dataset stream carries beside the fields, rows and blobs
// (RdaDataSetStream.cpp; the layout in docs/formats/dataset-stream.md).
// Stored values: bit n of the header's option word is value n, never renumber.
enum TRdaStreamSaveOption : uint8_t {
  ssRdaLegacy = 0,                // read without a header
  ssZlibCompression = 1,          // carried only (an OnStreamEvent handler may act on it)
  ssEncrypted = 2,                // carried only
  ssIndexes = 3,                  // the indexes section is written and read
  ssCachedUpdates = 4,            // a client dataset does not append its change log
  ssExtendedFieldProperties = 5,  // carried only
  ssBlobOnlyStreamEvent = 6,      // OnStreamEvent runs on each blob value instead
  ssAggregates = 7,               // the aggregates section is written and read
  ssCustom = 8,                   // carried only
};
using TRdaStreamSaveOptions = TSet<TRdaStreamSaveOption>;

// How a blob stream is opened (TRdaBlobStream, RdaBlobStream.h).
enum TBlobStreamMode : uint8_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };

class TRdaBlobStream;
class TRdaDataSet;
class TRdaCustomDataSet;
class TRdaNestedDataSet;

// The link from a detail dataset to its master's data source. It keeps the
// master's field objects named by MasterFields (read again whenever the
// link becomes active or the master's layout changes) and makes the detail
// follow the master: a move to another master record refreshes the detail,
// and a master that checks its browse mode makes the detail post first.
class TRdaDataLink : public TDataLink {
 public:
  explicit TRdaDataLink(TRdaCustomDataSet& detail) : detail_(detail) {}
  // Master field names separated by ";".
  const std::string& MasterFields() const { return masterFields_; }
  void SetMasterFields(std::string names);
  // The master's fields of those names (names the master lacks are left
  // out); empty while the master is closed.
  const std::vector<TField*>& Fields() const { return fields_; }

 protected:
  void ActiveChanged() override;
  void LayoutChanged() override;
  void RecordChanged(TField* field) override;
  void CheckBrowseMode() override;

 private:
  void ReadFields();
  // Whether the detail takes the master's notices now.
  bool Follows() const;
  TRdaCustomDataSet& detail_;
  std::string masterFields_;
  std::vector<TField*> fields_;
};

// One FastFields line, parsed.
struct TRdaFastField {
  std::string Name;
  int Type = 0;
  int Size = 0;
};

class TRdaCustomDataSet : public TDataSet {
 public:
  TRdaCustomDataSet();
  ~TRdaCustomDataSet() override;

  // ---- Structure ----
  const std::vector<std::string>& FastFields() const { return fastFields_; }
  void SetFastFields(std::vector<std::string> lines) { fastFields_ = std::move(lines); }
  // Appends the line "name,type,size"; an ftGuid field always gets size 38.
  void AddField(std::string_view name, TFieldType dataType, int size);
  // Splits a line at its last comma and the one before it. Raises
  // EDatabaseError "Invalid FastFields line '<line>'" when the line lacks
  // them or type or size is not a decimal number in range (type 0..255,
  // size 0..2147483647).
  static TRdaFastField ParseFastField(std::string_view line);

  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }
  const std::string& About() const { return about_; }
  void SetAbout(std::string text) { about_ = std::move(text); }
  TAutoCreateCalcFields& AutoCreateCalcFields() { return autoCalcFields_; }

  // When set, closing discards the row and blob stores (and every row).
  bool DiscardOnClose() const { return discardOnClose_; }
  void SetDiscardOnClose(bool value) { discardOnClose_ = value; }
  // Destroys the row store with its rows, empties the blob store and clears
  // the discard-on-close flag. Only while closed.
  void DiscardStore();
  // The stores; nullptr before the first open (or after DiscardStore).
  TRdaDBList* Store() const { return store_.get(); }
  TRdaBlobList& BlobStore() { return blobs_; }
  // Set by every post, add and delete.
  bool ModifiedSinceSaved() const { return modifiedSinceSaved_; }
  void SetModifiedSinceSaved(bool value) { modifiedSinceSaved_ = value; }

  // ---- Operations ----
  // When active: browse-mode check and BeforeScroll, then every row, blob
  // and saved old value goes, the indexes are rebuilt empty, the buffers
  // resynchronised; AfterScroll.
  virtual void EmptyDataSet();
  // Every row and blob goes, the next RecordID starts at 1 again, the
  // buffers are read again; no scroll events and no browse-mode check.
  virtual void ClearRows();
  // The bookmark of the row with RecordID id (4 bytes, least significant first).
  static TBookmark BookmarkOfRecordID(int32_t id);
  // The current record's RecordID; -1 when there is no current record.
  int32_t CurrentRecordID();
  // The RecordID the last added row received (while open); the next row
  // gets one more.
  int32_t LastRecordID() const { return nextRecordId_; }
  // False for a text shorter than a bookmark, else BookmarkValid of its
  // first four bytes.
  bool BookmarkTextValid(std::string_view text);
  // Searches the selected index for the key values (in index field order).
  // Raises EDatabaseError "No index currently active" without one.
  virtual bool FindKey(const TVariantArray& keyValues);
  // Set-key state: SetKey clears key buffer 0 (EditKey keeps it) and lets
  // the selected index's fields be assigned there; GotoKey / GotoNearest
  // then search with the fields up to the last one assigned. Both raise
  // "No index currently active" without a selected index.
  void SetKey();
  void EditKey();
  bool GotoKey();
  bool GotoNearest();
  // The master's current record changed: shows the matching rows, from the
  // first.
  virtual void MasterChanged();
  // Whether rows are filtered by a master's current record: a master source
  // with a dataset, MasterFields and DetailFilter all set.
  virtual bool DetailFilterActive() const;
  // Whether a closed detail still hears the master's moves (a client dataset
  // whose open waits for its connection); false here.
  virtual bool FollowsMasterWhileClosed() const { return false; }

  // ---- Master/detail (RdaMasterDetail.cpp) ----
  // The master's data source (an observer: it tells the link when it goes).
  // Raises EDatabaseError "Circular Reference to DataSource" when its dataset
  // is this dataset or is linked to it through its own masters.
  TDataSource* MasterSource() const { return masterLink_.DataSource(); }
  void SetMasterSource(TDataSource* source);
  // The master's field names, ";" between them; setting them re-reads the
  // link's field list.
  const std::string& MasterFields() const { return masterLink_.MasterFields(); }
  void SetMasterFields(std::string names) { masterLink_.SetMasterFields(std::move(names)); }
  // This dataset's field names, position by position matching MasterFields:
  // a row shows when each of them has the text value of its master field
  // (letter case ignored).
  const std::string& DetailFilter() const { return detailFilter_; }
  void SetDetailFilter(std::string names);
  TRdaDataLink& MasterLink() { return masterLink_; }

  // ---- Nested datasets (RdaNestedDataSet.h) ----
  // The nested dataset of an ftDataSet field of this dataset: the one
  // attached to it, else a new one that this dataset owns.
  TRdaNestedDataSet& NestedDataSetOf(TField& field);
  // True while the dataset is being loaded from a form; this engine has no
  // form loading, so never.
  virtual bool IsLoadingOrDesigning() const { return false; }
  // Whether a row outside the cursor passes the filter (and the detail
  // filter): its image (RecordSize bytes, or a whole record buffer) is put
  // into the temporary buffer, its calculated fields computed, and the
  // tests run. Raises EDatabaseError "Direct read buffer length mismatch"
  // for an image of another length.
  bool RowAccepted(std::string_view image);
  // Compares field of two images (rows or record buffers of this dataset):
  // -1, 0, 1; null first. Text compares by bytes (ASCII letters folded
  // when caseInsensitive; with partial, b is cut to the length of a), numbers
  // by value, floats and dates equal within 1e-13. Calculated fields need
  // whole record buffers. Raises EDatabaseError "Comparison is not supported
  // for field '<name>'" for blob-like and unstored types.
  int CompareField(const char* a, const char* b, const TField& field, bool caseInsensitive,
                   bool partial);

  // ---- Indexes and aggregates (RdaIndexes.h, RdaAggregates.h) ----
  TRdaIndexes& Indexes() { return indexes_; }
  const TRdaIndexes& Indexes() const { return indexes_; }
  TRdaAggregates& Aggregates() { return aggregates_; }
  const TRdaAggregates& Aggregates() const { return aggregates_; }
  // Closes the dataset and copies the definitions (Name, Fields, Options).
  void SetIndexes(const TRdaIndexes& other);
  // Copies the definitions and recomputes.
  void SetAggregates(const TRdaAggregates& other);
  // The selected index's name; empty when none is selected or the selected
  // one is "__RDA__DEFAULT" (which IndexFieldNames makes). Setting a name
  // selects that index (found ignoring case) keeping the cursor on its row,
  // or fails with "Index with name '<name>' does not found"; an empty name
  // deselects.
  std::string IndexName() const;
  void SetIndexName(std::string_view name);
  // The fields of "__RDA__DEFAULT" while it is selected, else empty.
  // Setting field names (";" between them) selects the first index whose
  // fields begin with them, active or not; without one, "__RDA__DEFAULT" is
  // made (or changed) over them, ascending and case-sensitive, and selected.
  // An empty value deselects. A failure leaves the selection as it was.
  std::string IndexFieldNames() const;
  void SetIndexFieldNames(std::string_view fields);
  // Sorts by one field, texts without regard to case: selects the index
  // named after the field, made [ioCaseInsensitive] (and ioDescending when
  // asked) when there is none. A failure (an unknown field, a type without
  // a comparison) leaves the dataset as it was.
  void SortByField(std::string_view fieldName, bool descending = false);
  // "" when every index and aggregate holds its invariants, else the first
  // fault. For tests: with VerifyEachChange on, every post, add, delete and
  // cancel runs it and raises EDatabaseError "Index or aggregate check
  // failed: <fault>".
  std::string VerifyIndexesAndAggregates() const;
  void SetVerifyEachChange(bool value) { verifyEachChange_ = value; }

  // ---- Blob values (blob-like fields of the record in use) ----
  // The blob store's stream of the field's value (positioned at 0), or
  // nullptr: inactive; an empty dataset; no blob. In insert state a missing
  // blob is created empty and its identity written into the field.
  TMemoryStream* ReadBlob(TField& field);
  // Stores bytes as the field's value: a new blob when the field holds no
  // identity yet or in insert state (an empty value then stores nothing),
  // else the existing blob's bytes are replaced. The field is null exactly
  // when the bytes are empty.
  void WriteBlob(TField& field, std::string_view bytes);
  std::string ReadBlobData(TField& field) override;
  void WriteBlobData(TField& field, std::string_view bytes) override;
  // A stream over the field's value in the record in use (RdaBlobStream.h);
  // it writes itself back when destroyed. Raises EDatabaseError "Field
  // '<name>' is not a blob field" for other fields.
  std::unique_ptr<TRdaBlobStream> CreateBlobStream(TField& field, TBlobStreamMode mode);

  // ---- The dataset stream (RdaDataSetStream.cpp) ----
  // [ssIndexes, ssAggregates] What SaveToStream writes and how a load reads.
  // A load replaces them by the options of the stream it read (a stream
  // without a header reads as [ssRdaLegacy]); only ssRdaLegacy set here by
  // the caller makes the next load read without a header.
  TRdaStreamSaveOptions StreamOptions() const { return streamOptions_; }
  void SetStreamOptions(TRdaStreamSaveOptions options);
  // The hook through which an application transforms the stored bytes
  // (compresses, encrypts): on save it runs once everything is written,
  // with the stream at its end; on load before the header is read, and the
  // load goes on from position 0. With ssBlobOnlyStreamEvent it runs on each
  // blob value read (ReadBlob, loading) or written (WriteBlob) instead.
  std::function<void(TRdaCustomDataSet& sender, TMemoryStream& stream, bool isLoading)>
      OnStreamEvent;
  // The 8-byte header: the magic number and the option bits.
  virtual void WriteStreamHeader(TMemoryStream& stream);
  // Reads 4 bytes: the magic number, then the options replace StreamOptions;
  // anything else makes StreamOptions [ssRdaLegacy] and moves back 4 bytes.
  virtual void ReadStreamHeader(TMemoryStream& stream);
  virtual void DoStreamEvent(TMemoryStream& stream, bool isLoading);
  // Writes the header and, when the dataset has a row store, the field, row
  // and blob sections (blobs no row refers to are left out) and the indexes
  // and aggregates sections as StreamOptions ask.
  virtual void SaveToStream(TMemoryStream& stream);
  // Replaces the rows (and blobs, and as the stream says the index and
  // aggregate definitions) by the stream's, keeping the structure: the
  // stream's fields must have the layout of the dataset's own (EReadError
  // "Invalid field layout: ..." before any row is touched). An open dataset
  // stays open on its first row. A stream that breaks off or holds a wrong
  // value fails with "Stream read error" or "Invalid property value",
  // followed by the section and the check; the rows read so far stay.
  virtual void LoadRowsFromStream(TMemoryStream& stream);
  // Closes, takes fields, rows, blobs and definitions from the stream and
  // opens again. After an error the dataset is closed and holds what was
  // read so far.
  virtual void LoadFromStream(TMemoryStream& stream);
  // Writes SaveToStream's bytes to a temporary file beside fileName, flushes
  // it to the disk and renames it over fileName: a failure (EFCreateError,
  // EWriteError) leaves the old file as it was and no temporary file.
  virtual void SaveToFile(const std::string& fileName);
  // Read the whole file, then LoadFromStream and a refresh, or
  // LoadRowsFromStream. A file that cannot be read fails with EDatabaseError
  // "Unable to load from <fileName>" and leaves the dataset unchanged.
  virtual void LoadFromFile(const std::string& fileName);
  virtual void LoadRowsFromFile(const std::string& fileName);
  // SaveToStream's bytes.
  std::string DataSetToText();

  // ---- Bulk filling and copying (RdaDataSetCopy.cpp) ----
  // A nestable bracket: Begin disables the controls, opens a closed dataset
  // and switches constraint checking, index and aggregate maintenance off
  // (indexes without fields stay active); the outermost End rebuilds the
  // indexes and recomputes the aggregates once, and each End restores what
  // its Begin found and enables the controls.
  void BeginBulk();
  void EndBulk();
  int BulkDepth() const { return static_cast<int>(bulkStack_.size()); }
  // Constraint checking is off while the counter is above 0.
  void DisableConstraints() { ++constraintsDisabled_; }
  void EnableConstraints() {
    if (constraintsDisabled_ > 0) --constraintsDisabled_;
  }
  bool ConstraintsDisabled() const { return constraintsDisabled_ > 0; }
  // Unless both already have the same fields (names ignoring case, type codes
  // and sizes, in order), appends one FastFields line per field of source
  // (the code modulo 128; a wide text becomes ftString of the same size).
  // With rebuild, the lines are first cleared when they matched, or the whole
  // structure when they did not.
  void CopyStructure(TDataSet& source, bool rebuild);
  // Drops the indexes, aggregates and constraints, closes, destroys the field
  // objects and definitions, clears FastFields and discards the row store.
  void ClearStructure();
  // Takes source's structure (all fields, or those in includeFields and not
  // in excludeFields, names ignoring case), opens, takes the index,
  // aggregate and constraint definitions of a TRdaCustomDataSet source when
  // no field list is given, and with copyRows appends the rows (AppendFrom
  // with every field).
  void CloneFrom(TDataSet& source, int rowLimit = -1, const std::vector<std::string>& excludeFields = {},
                 const std::vector<std::string>& includeFields = {}, bool fromFirst = true,
                 bool copyRows = true, bool keepBookmarks = false);
  // Appends source's rows from its first row (fromFirst) or its current one,
  // inside a bulk bracket, copying the fields both have by name; without
  // allFields the large values (codes 12, 13, 15-22, 26-31) stay null. Stops
  // once this dataset holds rowLimit rows (rowLimit >= 0). keepBookmarks gives
  // each new row the RecordID of the source row's bookmark (EDatabaseError
  // "Bookmark <n> is already in use" when a row here has it). Afterwards, also
  // after an error, this dataset is on its first row, the bracket is closed
  // and source is back on its row with its controls enabled.
  void AppendFrom(TDataSet& source, bool allFields = true, int rowLimit = -1, bool fromFirst = true,
                  bool keepBookmarks = false);

  // ---- Framework operations answered here ----
  bool BookmarkValid(const TBookmark& bookmark) override;
  // Orders by RecordID (not by the view's order); an absent first bookmark
  // orders after a present second one and vice versa (-1 when only the
  // second is absent).
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
  bool Locate(std::string_view keyFields, const TVariantArray& keyValues,
              TLocateOptions options) override;
  using TDataSet::Locate;
  TVariantArray LookupValues(std::string_view keyFields, const TVariantArray& keyValues,
                             std::string_view resultFields) override;
  void Post() override;
  void Cancel() override;

 protected:
  // ---- Record-buffer protocol ----
  TRecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(TRecordBuffer& buffer) override;
  TBookmark GetBookmarkData(const char* buffer) const override;
  void SetBookmarkData(char* buffer, const TBookmark& bookmark) override;
  TBookmarkFlag GetBookmarkFlag(const char* buffer) const override;
  void SetBookmarkFlag(char* buffer, TBookmarkFlag flag) override;
  TGetResult GetRecord(char* buffer, TGetMode mode, bool doCheck) override;
  int GetRecordSize() const override { return imageSize_; }
  void InternalAddRecord(const char* buffer, bool append) override;
  void InternalClose() override;
  void InternalDelete() override;
  // Before the first row and after the last; for a detail ordered by its
  // master's field, before and after the master's rows.
  void InternalFirst() override;
  void InternalLast() override;
  void InternalGotoBookmark(const TBookmark& bookmark) override;
  void InternalInitFieldDefs() override;
  void InternalInitRecord(char* buffer) override;
  void InternalOpen() override;
  void InternalPost() override;
  void InternalSetToRecord(const char* buffer) override;
  bool IsCursorOpen() const override { return cursorOpen_; }
  void InternalEdit() override;
  void InternalCancel() override;
  void InternalInsert() override;
  void ClearCalcFields(char* buffer) override;
  bool GetCanModify() override { return !readOnly_; }
  int GetRecordCount() override;
  int GetRecNo() override;
  // Moves to the record at 1-based position value of the view (clamped),
  // with scroll events; when that row is filtered out, to the next accepted
  // one (or the prior).
  void SetRecNoImpl(int value) override;
  bool GetIsIndexField(const TField& field) const override;
  bool FindRecord(bool restart, bool goForward) override;
  void SetFilteredImpl(bool value) override;
  void SetFilterText(std::string text) override;
  void SetFilterOptionsImpl(TFilterOptions options) override;
  void FilterRecordEventChanged() override { AggregatesRecompute(); }
  bool GetFieldData(const TField& field, void* buffer) override;
  void SetFieldData(TField& field, const void* buffer) override;
  void DataConvert(const TField& field, const void* source, void* dest, bool toNative) override;
  void DoFieldValidate(TField& field) override;
  void DataEvent(TDataEvent event, TField* field = nullptr, int info = 0) override;

  // ---- Event wrappers ----
  void DoBeforeOpen() override;
  void DoAfterOpen() override;
  void DoBeforeClose() override;
  void DoAfterClose() override;
  void DoBeforeInsert() override;
  void DoAfterInsert() override;
  void DoBeforeEdit() override;
  void DoAfterEdit() override;
  void DoBeforePost() override;
  void DoAfterPost() override;
  void DoBeforeCancel() override;
  void DoAfterCancel() override;
  void DoBeforeDelete() override;
  void DoAfterDelete() override;
  void DoBeforeScroll() override;
  void DoAfterScroll() override;
  void DoOnCalcFields() override;
  void DoOnNewRecord() override;

  // ---- The view ----
  // The rows in view order: the selected index's list, or the store's.
  int ViewCount() const { return indexes_.ViewCount(); }
  TRdaDBListItem* ViewRow(int position) const { return indexes_.ViewRow(position); }
  // Position in the view of the row with id; -1 when absent.
  int ViewPositionOfID(int32_t id) const { return indexes_.ViewPositionOfID(id); }
  int Cursor() const { return cursor_; }
  // Clamps: below 0 gives -1, at or past the count gives the count.
  void SetCursor(int position);
  // The row under the cursor, or nullptr.
  TRdaDBListItem* CursorRow() const;

  // ---- Rows filled from outside (datasets whose rows come from a server) ----
  // Makes sure the row store exists and describes the fields (from
  // FastFields, or from the field objects when FastFields is empty), as an
  // open would. Only while the dataset is closed (SDataSetOpen otherwise);
  // errors of a bad FastFields line pass through.
  TRdaDBList& PrepareStore();
  // Appends a member row with the next RecordID (above every identity in
  // the store, also when rows survived a close), every field null. The
  // caller fills it through the typed setters and then hands it on with
  // LoadedRowFilled. Requires a store (PrepareStore).
  TRdaDBListItem& AppendLoadedRow();
  // Inserts a filled row into the indexes and aggregates; when they refuse
  // it the row is destroyed and the error goes on.
  void LoadedRowFilled(TRdaDBListItem& row);

  // ---- Index and aggregate upkeep ----
  // The dataset's steps tell the indexes and aggregates (RdaIndexes.h,
  // RdaAggregates.h) what happens to a row. IndexRowAdded and IndexRowPosted
  // may raise (a unique key). IndexRowAdded then leaves every index and
  // aggregate as it was and the dataset destroys the new row; after a
  // failed IndexRowPosted the dataset puts the row's old image back and
  // calls IndexRowPostUndone, which puts the indexes and totals back.
  bool IndexSelected() const { return indexes_.Selected() != nullptr; }
  // The selected index's bound fields (empty without one); valid until the
  // selection or the index's fields change.
  const std::vector<TField*>& SelectedIndexFields() const;
  void IndexRowAdded(TRdaDBListItem& row);
  void IndexRowEditStarting(TRdaDBListItem& row);
  void IndexRowEditCancelled();
  void IndexRowInsertStarting() { indexes_.RowInsertStarting(); }
  // oldImage: the row's image before the post.
  void IndexRowPosted(TRdaDBListItem& row, const char* oldImage);
  // After a failed post, once the row has its old image back.
  void IndexRowPostUndone(TRdaDBListItem& row);
  void IndexRowRemoving(TRdaDBListItem& row);
  void IndexFieldChanged(TField& field);
  // After rows were emptied: rebuild the indexes; recompute the totals.
  void IndexesRebuild() { indexes_.RebuildAll(); }
  void AggregatesRecompute() { aggregates_.RecomputeAll(); }
  void AggregatesRecomputeForIndex(std::string_view indexName);
  // After open: bind the aggregate fields and compute the totals (the
  // indexes were bound and built by InternalOpen, before the first record).
  // After close: drop the index and aggregate bindings.
  void IndexesBindFields();
  void IndexesUnbindFields();
  // The row store was created (store) or is about to be discarded (nullptr).
  void IndexesStoreChanged(TRdaDBList* store);
  // Clients may fetch rows that are still outstanding before an index is built.
  virtual void BeforeIndexBuild() {}
  // At open, once the fields exist and before the indexes take theirs
  // (client datasets add their primary key index there).
  virtual void BeforeIndexesBind() {}
  // Finds the first row of the view matching keyRow's key fields through an
  // index; false when no index can serve (the dataset then scans the view).
  bool LocateByIndex(const TRdaDBListItem& keyRow, const std::vector<TField*>& keyFields,
                     TLocateOptions options, int& position);
  // Searches the selected index with the first keyCount fields of keyRow
  // (all when 0): the view position found (nearest when asked), exact set
  // when the key matched exactly.
  int SearchSelectedIndex(const TRdaDBListItem& keyRow, int keyCount, bool nearest, bool& exact);
  // A row's image with its calculated fields computed, in a record buffer
  // (the indexes and aggregates read calculated keys and values so).
  void MaterializeRow(const TRdaDBListItem& row, char* buffer);
  // The row of the current record for reading aggregates; nullptr while
  // inserting or without a current record.
  TRdaDBListItem* AggregateRow();

  // ---- Expressions (memdata/expr/) ----
  // Compiles an expression text of kind against this dataset (the filter
  // with FilterOptions); targetField names the field of a default
  // expression. A text that does not parse raises the parser's
  // EDatabaseError ("Syntax error at position ...").
  virtual std::unique_ptr<TRdaCompiledExpression> CompileExpression(const std::string& text,
                                                                    TRdaExpressionKind kind,
                                                                    const std::string& targetField);

  // ---- Constraints, defaults and the master/detail seam ----
  // At open the record and field constraints and default expressions are
  // compiled (RdaDataSetExpressions.h); checked before a post and on field
  // writes, applied to new records and calculated fields.
  virtual void CompileExpressions();
  virtual void FreeCompiledExpressions();
  virtual void CheckFieldConstraints(TField& field);
  virtual void CheckRecordConstraints();
  virtual void ApplyDefaults(bool calculatedFields);
  // With detail filtering active: whether the record in use matches the
  // master's current record.
  virtual bool DetailRowMatches();
  // New detail records take the master's values.
  virtual void CopyMasterFields();
  // Nested datasets write themselves back to their parent field.
  virtual void WriteBackNested();

  // While above 0 the detail filter lets every row through (a dataset that
  // undoes its changes must reach rows of any master).
  int detailFilterSuspended_ = 0;

  // While set, the user's events of the dataset's own steps do not run.
  int internalOperation_ = 0;
  // While a copy utility fills the dataset: no AfterInsert, no defaults.
  bool copying_ = false;
  // While clear, BeforeScroll and AfterScroll do not run.
  bool scrollEvents_ = true;
  // Set while compiled field constraints exist: writes then validate even
  // fields without an OnValidate handler.
  bool fieldConstraintsActive_ = false;

 private:
  // Where a column's value sits in a row image, worked out at open.
  enum SlotKind : uint8_t { skCopy, skText, skUnstored };
  struct FieldSlot {
    int32_t offset = 0;
    int32_t dataSize = 0;
    uint8_t type = 0;  // code modulo 128
    SlotKind kind = skCopy;
    uint8_t nullMask = 0;
    int32_t nullByte = 0;
  };
  class Scope;

  void Prepare(bool clearDefinitions);
  void CheckPersistentFields();
  void CreateAutoCalcFields();
  void DestroyAutoCalcFields();
  void CompileFilter();
  char* RecordInUse() const;
  const FieldSlot& SlotOf(const TField& field) const;
  bool IsNullIn(const char* image, const FieldSlot& slot) const {
    return (image[slot.nullByte] & slot.nullMask) == 0;
  }
  void SetNullIn(char* image, const FieldSlot& slot, bool isNull) const;
  // The filter tests of a record buffer; RecordAccepted is the cheap check
  // in front of TestRecord.
  bool RecordAccepted(char* buffer);
  bool TestRecord(char* buffer);
  bool WriteField(TField& field, const void* buffer, char* record);
  void FillScratchRow(const std::vector<TField*>& fields, const TVariantArray& values);
  int LocatePosition(const std::vector<TField*>& fields, TLocateOptions options);
  bool GotoKeyImpl(bool nearest);
  void KeyFieldAssigned(const TField& field);
  int32_t BlobIdOf(TField& field);
  void SaveOldValues();
  void RestoreOldValues();
  bool UserEvents() const { return internalOperation_ == 0; }
  bool ScrollEventsOn() const { return scrollEvents_ && Active() && internalOperation_ == 0; }
  [[noreturn, gnu::cold]] void ThrowFieldOffsetError(const TField& field) const;
  [[noreturn, gnu::cold]] void ThrowNotEditing() const;
  [[noreturn, gnu::cold]] void ThrowNotIndexed(const TField& field) const;
  // EDatabaseError "Comparison is not supported for field '<name>'".
  [[noreturn, gnu::cold]] void ThrowNotComparable(const TField& field) const;

  friend class TRdaIndex;
  friend class TRdaIndexes;
  friend class TRdaDataSetExpressions;
  friend class TRdaAggregate;
  friend class TRdaAggregates;
  void CheckVerified();

  // The detail's pairs of fields: this dataset's field and the master's, for
  // each position where both names are set (rebuilt when either side's
  // fields change).
  const std::vector<std::pair<TField*, TField*>>& DetailPairs();
  void DetailFieldsChanged() { detailPairsValid_ = false; }
  const TRdaIndex* DetailOrderIndex(std::string& masterText);
  int DetailStartByIndex();
  const TRdaIndex* DetailOrder();
  bool PastDetailRows(const TRdaIndex& order, const TRdaDBListItem& row, TGetMode mode);
  // The view position of the master's first row (last: the one after its
  // last row); -1 when the search cannot tell.
  int DetailBound(const TRdaIndex& order, bool last);
  friend class TRdaDataLink;

  // The nested datasets over this dataset's fields (observers) and those it
  // made itself.
  friend class TRdaNestedDataSet;
  void AttachNested(TRdaNestedDataSet* nested);
  void DetachNested(TRdaNestedDataSet* nested);
  void NestedEvent(TDataEvent event);
  void OpenWaitingNested();
  void CloseNested();
  std::vector<TRdaNestedDataSet*> nested_;
  std::vector<std::unique_ptr<TRdaNestedDataSet>> ownedNested_;

  TRdaDataLink masterLink_{*this};
  std::string detailFilter_;
  std::vector<std::pair<TField*, TField*>> detailPairs_;
  bool detailPairsValid_ = false;

  std::unique_ptr<TRdaDBList> store_;
  // Declared after the store, so they go before it: the aggregates' upkeep
  // reaches into the rows when they are destroyed.
  TRdaIndexes indexes_{*this};
  TRdaAggregates aggregates_{*this, indexes_};
  // The cursor lives with the indexes (the current view's position).
  int& cursor_ = indexes_.PositionRef();
  bool verifyEachChange_ = false;
  bool tearingDown_ = false;
  // While set, an index build does not recompute its aggregates (the open
  // recomputes them all once).
  bool aggregatesDeferred_ = false;
  // Set once a post has reached the aggregates.
  bool aggregatesPosting_ = false;
  TRdaBlobList blobs_;
  std::vector<std::string> fastFields_;
  TAutoCreateCalcFields autoCalcFields_;
  std::vector<TField*> autoCalcFieldObjects_;
  std::string about_;
  bool readOnly_ = false;

  int32_t nextRecordId_ = 0;
  std::vector<FieldSlot> slots_;
  int32_t imageSize_ = 0;
  int32_t bookmarkOffset_ = 0;
  int32_t calcAreaOffset_ = 0;
  int32_t bufferSize_ = 0;

  bool cursorOpen_ = false;
  bool discardOnClose_ = false;
  bool findMode_ = false;
  bool scratchMode_ = false;
  bool directRead_ = false;
  bool modifiedSinceSaved_ = false;
  char* filterBuffer_ = nullptr;
  std::unique_ptr<TRdaScratchRow> scratchRow_;
  // The master's value of the first detail field as of its last move, in
  // the row layout, with the index that orders by it and the value's text.
  std::unique_ptr<TRdaScratchRow> detailKey_;
  const TRdaIndex* detailKeyIndex_ = nullptr;
  std::string detailKeyText_;
  std::unique_ptr<TRdaCompiledExpression> filter_;
  // The compiled constraints and defaults (made at the first open).
  std::unique_ptr<TRdaDataSetExpressions> expressions_;
  // Large values saved when an edit starts, written back by a cancel.
  std::vector<std::pair<std::string, TField*>> oldValues_;
  // Key buffers: 6 of (buffer size + 6) bytes; byte 0 modified, bytes 2-3
  // the key field count, the record buffer from byte 6. Buffer 0 is FindKey's.
  static constexpr int kKeyBufferCount = 6;
  static constexpr int kKeyHeader = 6;
  std::vector<std::string> keyBuffers_;
  // While closed: whether nextRecordId_ is known to be above every identity
  // of the store (AppendLoadedRow checks once per close).
  bool loadIdsSynced_ = false;
  // The image of a row being edited, kept until its post is through.
  std::string savedImage_;

  // ---- Blobs, the stream, copying ----
  friend class TRdaBlobStream;
  // Blobs added while the current edit or insert runs (BlobID, FieldNo): at
  // its post those the row does not refer to go, at its cancel all of them,
  // so that no blob outlives the edit that orphaned it.
  void NoteEditBlob(int32_t blobId, int32_t fieldNo) { editBlobs_.emplace_back(blobId, fieldNo); }
  void DropEditBlobs(const char* keptImage);
  // The blob streams open on this dataset; they are cut loose at close and
  // destruction so that none writes back into a dataset that is gone.
  void DetachBlobStreams();
  // The dataset stream's pieces.
  void WriteBlobSection(TMemoryStream& stream) const;
  void CheckStreamLayout(const TRdaFieldList& loaded) const;
  bool ExpectedLayout(TRdaFieldList& out) const;
  void LoadStoreSections(TMemoryStream& stream);
  void ReadBlobSection(TMemoryStream& stream);
  void SettleLoadedRows(bool loaded);
  void RunBlobStreamEvent(TMemoryStream& blob, bool isLoading);
  void GiveRecordID(TRdaDBListItem& row, int32_t id);

  TRdaStreamSaveOptions streamOptions_{ssIndexes, ssAggregates};
  // The caller asked for streams without a header.
  bool headerless_ = false;
  // Set while LoadFromStream takes the stream's structure.
  bool takingStructure_ = false;
  // The largest RecordID of the rows a load has just read whole, so that
  // settling them needs no second walk over a million rows; -1 otherwise.
  int32_t loadedMaxId_ = -1;
  // Set while LoadFromStream opens the dataset it has just settled: the next
  // identity is already above the rows'.
  bool openingLoaded_ = false;
  std::vector<std::pair<int32_t, int32_t>> editBlobs_;
  std::vector<TRdaBlobStream*> blobStreams_;
  // ReadBlob's value as OnStreamEvent gave it back (ssBlobOnlyStreamEvent):
  // the stored bytes stay as they are.
  TMemoryStream blobEventCopy_;
  // One entry per open BeginBulk: bit 2 index maintenance, bit 1 field-less
  // indexes kept active, bit 0 aggregate maintenance, as Begin found them.
  std::vector<int> bulkStack_;
  int constraintsDisabled_ = 0;
};

// A free-standing in-memory table.
class TRdaDataSet : public TRdaCustomDataSet {
 public:
  ~TRdaDataSet() override;
  // Stored with the form; no other effect.
  const std::string& FieldsDefine() const { return fieldsDefine_; }
  void SetFieldsDefine(std::string text) { fieldsDefine_ = std::move(text); }

 private:
  std::string fieldsDefine_;
};

// A new free-standing dataset loaded from dataset stream bytes
// (LoadFromStream); nullptr for an empty text. How datasets travel inside
// parameters and messages.
std::unique_ptr<TRdaDataSet> TextToDataSet(std::string_view text);

}  // namespace rda
