// The dataset framework: a compact stand-in for the platform's generic
// dataset, which concrete datasets (the memory dataset of this engine)
// drive through the record-buffer protocol.
//
// What the framework owns: the state machine, the fields and field
// definitions, the record buffers, the cursor flags (Bof, Eof), the events
// and the data sources with their data links. What a concrete dataset
// supplies: the protected virtual "record-buffer protocol" below (how a
// record buffer is laid out, how records are fetched into one, how a buffer
// is posted, where the bookmark lives).
//
// Record buffers. There is one active buffer (the record the cursor is on,
// or the record being edited or inserted), one fetch buffer into which the
// next record is read before the two swap (so moving copies a record once),
// and one temporary buffer that searches and lookups may use. The
// calculated buffer is whichever buffer is having its calculated fields
// computed. There is no ring of visible records (no grid); data links see
// one record at a time.
//
// States. Inactive, Browse, Edit, Insert, SetKey; the temporary states
// CalcFields, Filter, NewValue, OldValue, CurValue, InternalCalc are set
// around a computation with SetTempState/RestoreState, during which data
// sources are not notified. BlockRead and Opening are named for
// completeness and not entered by this framework.
//
// Event order (each "Do..." wrapper runs the event of the same name):
//   Open     BeforeOpen, [first record fetched], AfterOpen, AfterScroll (unless empty)
//   Close    BeforeClose, AfterClose (a pending edit or insert is dropped)
//   First/Last/Next/Prior/MoveBy
//            BeforeScroll, [records fetched], AfterScroll
//            (a move towards an end the cursor is already at runs only
//            BeforeScroll)
//   Insert/Append
//            BeforeInsert, BeforeScroll, OnNewRecord, AfterInsert, AfterScroll
//   Edit     BeforeEdit, AfterEdit (Edit of an empty dataset inserts)
//   Post     BeforePost, AfterPost           (failure: OnPostError)
//   Cancel   BeforeCancel, AfterCancel
//   Delete   BeforeDelete, BeforeScroll, AfterDelete, AfterScroll
//            (failure: OnDeleteError; Delete in insert state cancels)
//   OnCalcFields runs whenever a record's calculated fields are computed;
//   OnFilterRecord whenever a filtered dataset tests a record.
//
// Data links: a TDataSource joins a dataset to any number of TDataLinks.
// The dataset reports every change as a TDataEvent to its sources, which
// pass it to their links (unless controls are disabled); a link turns the
// events into the virtual calls RecordChanged, DataSetChanged,
// DataSetScrolled, ActiveChanged, EditingChanged, LayoutChanged, UpdateData
// and CheckBrowseMode. A view (for example a table model) derives from
// TDataLink. Sources, links and datasets tell each other when they go away,
// so none is left pointing at a destroyed one.
//
// Errors are EDatabaseError whose text is prefixed by "<dataset name>: "
// when the dataset has a name. Not thread-safe: a dataset and its fields,
// sources and links belong to one thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/EnumSet.h"
#include "base/Exception.h"
#include "base/Variant.h"
#include "memdata/framework/Field.h"

namespace rda {

enum TDataSetState : uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

// The flag byte kept with a record buffer's bookmark.
enum TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };

enum TDataEvent : uint8_t {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
  deParentScroll,
  deConnectChange,
  deReconcileError,
  deDisabledStateChange,
};

// What an OnPostError/OnEditError/OnDeleteError handler decides.
enum TDataAction : uint8_t { daFail, daAbort, daRetry };

enum TLocateOption : uint8_t { loCaseInsensitive, loPartialKey };
enum TFilterOption : uint8_t { foCaseInsensitive, foNoPartialCompare };
enum TResyncModeItem : uint8_t { rmExact, rmCenter };
// What a dataset that logs its changes says of the current row.
enum TUpdateStatus : uint8_t { usUnmodified, usModified, usInserted, usDeleted };

using TLocateOptions = TSet<TLocateOption>;
using TFilterOptions = TSet<TFilterOption>;
using TResyncMode = TSet<TResyncModeItem>;

// A record buffer: bytes laid out by the concrete dataset.
using TRecordBuffer = char*;
// A bookmark: the bytes a dataset keeps to find a record again; empty
// means no bookmark.
using TBookmark = std::string;
using TVariantArray = std::vector<Variant>;

// Raised by an error handler that chose daAbort: a failure already dealt
// with, which callers pass on silently.
RDA_DECLARE_EXCEPTION(EAbort, Exception)

// The framework's message texts.
inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* SRecordNotFound = "Record not found";
inline constexpr const char* SOperationAborted = "Operation aborted";

// Raises EDatabaseError with message, prefixed by "<name>: " when the
// dataset is given and has a name.
[[noreturn]] void DatabaseError(const std::string& message, const TDataSet* dataSet = nullptr);

// The application's exception handler, which receives errors that must not
// reach the caller (for example from a stream written back when it is
// destroyed). The default writes the message to stderr.
using TExceptionHandler = std::function<void(std::exception_ptr)>;
void SetApplicationExceptionHandler(TExceptionHandler handler);
void HandleApplicationException(std::exception_ptr error);

class TDataSource;
class TDataLink;

// ---------------------------------------------------------------------------
// Record constraints (the framework's TCheckConstraints); a dataset that
// evaluates expressions compiles and checks them.

struct TCheckConstraint {
  std::string CustomConstraint;
  std::string ErrorMessage;
  bool FromDictionary = true;
  std::string ImportedConstraint;
};

class TCheckConstraints {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TCheckConstraint& Items(int index) { return items_.at(static_cast<size_t>(index)); }
  const TCheckConstraint& Items(int index) const { return items_.at(static_cast<size_t>(index)); }
  TCheckConstraint& Add() { return items_.emplace_back(); }
  void Clear() { items_.clear(); }

 private:
  std::vector<TCheckConstraint> items_;
};

// ---------------------------------------------------------------------------

class TDataSet {
 public:
  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // ---- Opening and state ----
  bool Active() const { return state_ != dsInactive; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return state_; }
  // Raises SDataSetClosed when inactive / SDataSetOpen when active.
  void CheckActive() const;
  void CheckInactive() const;
  // Active check; posts or cancels a pending edit (cancels when nothing was
  // modified), leaves set-key state.
  void CheckBrowseMode();
  bool CanModify() { return GetCanModify(); }
  // A data field was changed since the edit or insert began.
  bool Modified() const { return modified_; }
  // The current row's state as the dataset's change log has it; a dataset
  // without one reports usUnmodified.
  virtual TUpdateStatus UpdateStatus() { return usUnmodified; }

  // ---- Navigation ----
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves by up to distance records; returns how far it moved.
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  // No record is in the active buffer (every record filtered out, or none).
  bool IsEmpty() const { return recordCount_ == 0; }
  // 1-based number of the current record as the dataset counts it.
  int RecNo() { return GetRecNo(); }
  void SetRecNo(int value) { SetRecNoImpl(value); }
  int RecordCount() { return GetRecordCount(); }
  // Reads the current record again (CheckBrowseMode first).
  void Refresh();
  // Re-reads the buffers from the cursor (rmExact: the cursor's record
  // must exist, else SRecordNotFound).
  void Resync(TResyncMode mode);

  // ---- Editing ----
  void Insert();
  void Append();
  void Edit();
  virtual void Post();
  virtual void Cancel();
  void Delete();
  // Insert (Append), assign the values to the fields in order (a Null
  // clears; Empty leaves the field alone), then add the record in one step
  // through InternalAddRecord. Events as Insert followed by Post.
  void InsertRecord(const TVariantArray& values);
  void AppendRecord(const TVariantArray& values);
  void SetFields(const TVariantArray& values);
  // Raises SNotEditing unless in edit, insert or set-key state; tells the
  // data links to write their pending values.
  void UpdateRecord();

  // ---- Fields ----
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TFieldDefs& FieldDefs() { return fieldDefs_; }
  const TFieldDefs& FieldDefs() const { return fieldDefs_; }
  // Raises EDatabaseError "Field '<name>' not found" (with the dataset prefix).
  TField& FieldByName(std::string_view name) const;
  TField* FindField(std::string_view name) const { return fields_.FindField(name); }
  // The bound data field with that 1-based column number, or nullptr.
  TField* FindFieldByNumber(int fieldNo) const;
  // The fields named in a list separated by ";" (FieldByName each).
  std::vector<TField*> GetFieldList(std::string_view names) const;
  // The values of the named fields, in order.
  TVariantArray FieldValues(std::string_view names) const;
  // Creates a persistent field object of the class for `type` that the
  // dataset owns; only while the dataset is closed. For calculated and
  // lookup fields the object defines the field; data fields must have a
  // matching field definition at open.
  TField& CreateField(std::string fieldName, TFieldType type, int size = 0,
                      TFieldKind kind = fkData);
  // Destroys every field object (closed datasets only).
  void DestroyFields();
  // True when a field object of fields came from the definitions at open
  // and is destroyed at close.
  bool DefaultFields() const { return defaultFields_; }
  bool AutoCalcFields() const { return autoCalcFields_; }
  void SetAutoCalcFields(bool v) { autoCalcFields_ = v; }
  bool ObjectView() const { return objectView_; }
  void SetObjectView(bool v) { objectView_ = v; }
  TCheckConstraints& Constraints() { return constraints_; }

  // ---- Bookmarks ----
  // The current record's bookmark; empty when there is no current record.
  TBookmark Bookmark();
  // Moves to the bookmarked record (nothing for an empty bookmark).
  void GotoBookmark(const TBookmark& bookmark);
  void SetBookmark(const TBookmark& bookmark) { GotoBookmark(bookmark); }
  virtual bool BookmarkValid(const TBookmark& bookmark);
  // -1, 0 or 1; a missing bookmark orders before any other.
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b);

  // ---- Searching ----
  // Moves to the first record whose key fields (names separated by ";")
  // hold the key values (one value per field); false leaves the cursor.
  virtual bool Locate(std::string_view keyFields, const TVariantArray& keyValues,
                      TLocateOptions options) = 0;
  bool Locate(std::string_view keyFields, const Variant& keyValue, TLocateOptions options = {}) {
    return Locate(keyFields, TVariantArray{keyValue}, options);
  }
  // The values of resultFields of the first matching record, or an empty
  // array when none matches; the cursor does not move.
  virtual TVariantArray LookupValues(std::string_view keyFields, const TVariantArray& keyValues,
                                     std::string_view resultFields) = 0;
  // One result field: its value, or Null when no record matches.
  Variant Lookup(std::string_view keyFields, const TVariantArray& keyValues,
                 std::string_view resultField);
  Variant Lookup(std::string_view keyFields, const Variant& keyValue,
                 std::string_view resultField) {
    return Lookup(keyFields, TVariantArray{keyValue}, resultField);
  }
  // Moves to the first/last/next/prior record that the filter accepts.
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  bool Found() const { return found_; }

  // ---- Filtering ----
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool value) { SetFilteredImpl(value); }
  const std::string& Filter() const { return filterText_; }
  void SetFilter(std::string text) { SetFilterText(std::move(text)); }
  TFilterOptions FilterOptions() const { return filterOptions_; }
  void SetFilterOptions(TFilterOptions options) { SetFilterOptionsImpl(options); }
  // Assigns OnFilterRecord and lets the dataset react (assigning the member
  // directly skips that).
  void SetOnFilterRecord(std::function<void(TDataSet&, bool&)> handler);

  // ---- Controls and data sources ----
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ != 0; }
  // The sources attached to this dataset (observers).
  const std::vector<TDataSource*>& DataSources() const { return dataSources_; }

  // ---- Blob values (the record in use) ----
  // The bytes of a blob-like field; datasets without blob storage raise.
  virtual std::string ReadBlobData(TField& field);
  virtual void WriteBlobData(TField& field, std::string_view bytes);

  // ---- Events, in the framework's order ----
  using TDataSetNotifyEvent = std::function<void(TDataSet& dataSet)>;
  using TDataSetErrorEvent =
      std::function<void(TDataSet& dataSet, EDatabaseError& error, TDataAction& action)>;
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert,
      BeforeEdit, AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete,
      AfterDelete, BeforeScroll, AfterScroll, OnCalcFields;
  TDataSetErrorEvent OnDeleteError, OnEditError;
  std::function<void(TDataSet& dataSet, bool& accept)> OnFilterRecord;
  TDataSetNotifyEvent OnNewRecord;
  TDataSetErrorEvent OnPostError;

 protected:
  friend class TField;
  friend class TDataSource;

  // ---- The record-buffer protocol (what a concrete dataset answers) ----
  virtual TRecordBuffer AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(TRecordBuffer& buffer) = 0;
  virtual TBookmark GetBookmarkData(const char* buffer) const = 0;
  virtual void SetBookmarkData(char* buffer, const TBookmark& bookmark) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(const char* buffer) const = 0;
  virtual void SetBookmarkFlag(char* buffer, TBookmarkFlag flag) = 0;
  virtual TGetResult GetRecord(char* buffer, TGetMode mode, bool doCheck) = 0;
  virtual int GetRecordSize() const = 0;
  virtual void InternalAddRecord(const char* buffer, bool append) = 0;
  virtual void InternalClose() = 0;
  virtual void InternalDelete() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
  virtual void InternalHandleException();
  virtual void InternalInitFieldDefs() = 0;
  virtual void InternalInitRecord(char* buffer) = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalPost();  // checks required fields
  virtual void InternalSetToRecord(const char* buffer) = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalEdit() {}
  virtual void InternalCancel() {}
  virtual void InternalInsert() {}
  virtual void InternalRefresh() {}
  virtual void ClearCalcFields(char*) {}
  virtual bool GetCanModify() { return true; }
  virtual int GetRecordCount() { return -1; }
  virtual int GetRecNo() { return -1; }
  virtual void SetRecNoImpl(int) {}
  virtual bool IsSequenced() { return true; }
  virtual bool GetIsIndexField(const TField&) const { return false; }
  virtual bool FindRecord(bool restart, bool goForward) = 0;
  virtual void SetFilteredImpl(bool value) { filtered_ = value; }
  virtual void SetFilterText(std::string text) { filterText_ = std::move(text); }
  virtual void SetFilterOptionsImpl(TFilterOptions options) { filterOptions_ = options; }
  // Called after SetOnFilterRecord assigned the handler.
  virtual void FilterRecordEventChanged() {}

  // Field values: the stored form of field in the record in use (buffer
  // nullptr: a null test); false for null. SetFieldData with nullptr
  // writes null.
  virtual bool GetFieldData(const TField& field, void* buffer) = 0;
  virtual void SetFieldData(TField& field, const void* buffer) = 0;
  // Converts between a field's value form (double for ftDate, ftTime and
  // ftDateTime, Currency for ftBCD, std::u16string for ftWideString) and its
  // stored form; toNative = true turns the value form into the stored form.
  virtual void DataConvert(const TField& field, const void* source, void* dest, bool toNative);
  // Runs field validation for SetFieldData (inside TField::Validate): here
  // the field's OnValidate.
  virtual void DoFieldValidate(TField& field);

  // Notifies the dataset's sources (and through them the links) unless
  // controls are disabled; field is set for field events, info carries the
  // scroll distance.
  virtual void DataEvent(TDataEvent event, TField* field = nullptr, int info = 0);
  // How the framework raises its events: DataEvent, except that events
  // nobody can hear are dropped at once. Field changes, the browse-mode
  // check and layout changes (remembered while controls are disabled)
  // always reach DataEvent; the others only when a source is attached, or
  // when a dataset that wants every event sets observesAllDataEvents_.
  void Notify(TDataEvent event, TField* field = nullptr, int info = 0) {
    if (dataSources_.empty() && !observesAllDataEvents_ && event != deFieldChange &&
        event != deCheckBrowseMode && event != deLayoutChange) {
      return;
    }
    DataEvent(event, field, info);
  }
  bool observesAllDataEvents_ = false;

  // ---- Event wrappers ----
  virtual void DoBeforeOpen() { Run(BeforeOpen); }
  virtual void DoAfterOpen() { Run(AfterOpen); }
  virtual void DoBeforeClose() { Run(BeforeClose); }
  virtual void DoAfterClose() { Run(AfterClose); }
  virtual void DoBeforeInsert() { Run(BeforeInsert); }
  virtual void DoAfterInsert() { Run(AfterInsert); }
  virtual void DoBeforeEdit() { Run(BeforeEdit); }
  virtual void DoAfterEdit() { Run(AfterEdit); }
  virtual void DoBeforePost() { Run(BeforePost); }
  virtual void DoAfterPost() { Run(AfterPost); }
  virtual void DoBeforeCancel() { Run(BeforeCancel); }
  virtual void DoAfterCancel() { Run(AfterCancel); }
  virtual void DoBeforeDelete() { Run(BeforeDelete); }
  virtual void DoAfterDelete() { Run(AfterDelete); }
  virtual void DoBeforeScroll() { Run(BeforeScroll); }
  virtual void DoAfterScroll() { Run(AfterScroll); }
  virtual void DoOnCalcFields() { Run(OnCalcFields); }
  virtual void DoOnNewRecord() { Run(OnNewRecord); }
  void Run(const TDataSetNotifyEvent& event) {
    if (event) event(*this);
  }

  // ---- Helpers for concrete datasets ----
  TRecordBuffer ActiveBuffer() const { return buffers_[0]; }
  TRecordBuffer TempBuffer() const { return tempBuffer_; }
  TRecordBuffer CalcBuffer() const { return calcBuffer_; }
  // Bytes of the calculated area: for each calculated or lookup field one
  // has-value byte and its DataSize bytes.
  int CalcFieldsSize() const { return calcFieldsSize_; }
  void SetState(TDataSetState value);
  // Enter / leave a temporary state (sources are not notified meanwhile).
  TDataSetState SetTempState(TDataSetState value);
  void RestoreState(TDataSetState value);
  // Keeps a temporary state for the life of the object.
  class TempStateScope {
   public:
    TempStateScope(TDataSet& dataSet, TDataSetState state)
        : dataSet_(dataSet), saved_(dataSet.SetTempState(state)) {}
    ~TempStateScope() { dataSet_.RestoreState(saved_); }
    TempStateScope(const TempStateScope&) = delete;
    TempStateScope& operator=(const TempStateScope&) = delete;

   private:
    TDataSet& dataSet_;
    TDataSetState saved_;
  };
  void SetCalcBuffer(TRecordBuffer buffer) { calcBuffer_ = buffer; }
  void SetModified(bool value) { modified_ = value; }
  void SetFound(bool value) { found_ = value; }
  // Computes the calculated and lookup fields of buffer (dsCalcFields).
  void GetCalcFields(char* buffer);
  void CalculateFields(char* buffer);
  // Fields from the definitions (DefaultFields), binding them to columns
  // and the calculated area.
  void CreateFields();
  void BindFields(bool binding);
  // Moves the cursor to the record of the active buffer when it is
  // elsewhere; CursorPosChanged says the cursor moved behind the buffers.
  void UpdateCursorPos();
  void CursorPosChanged() { currentRecord_ = -1; }
  void ClearBuffers();
  // Destroys one field object (closed datasets only).
  void RemoveField(TField* field);
  // Closes without running BeforeClose/AfterClose; concrete datasets call
  // it from their destructor, while their InternalClose still exists.
  void CloseForDestruction();
  // Text of a field list without empty items; names separated by ";".
  static std::vector<std::string> SplitFieldNames(std::string_view names);

 private:
  void OpenCursor();
  void CloseCursor();
  void AllocateBuffers();
  void FreeBuffers();
  bool FetchRecord(TGetMode mode);
  void MoveToEnd(bool first);
  void SetCurrentRecord();
  void BeginInsertAppend();
  void EndInsertAppend();
  void InsertOrAppend(bool append);
  void PostRecord(bool add);
  void AddRecordFromValues(const TVariantArray& values, bool append);
  void CheckCanModify();
  void CalcLookupValue(TField& field);
  void FieldChangeEvent(TField& field, int info);
  void NotifySources(TDataEvent event, TField* field, int info);
  // Runs operation; on EDatabaseError asks the handler what to do.
  template <typename Operation>
  void CheckOperation(Operation&& operation, const TDataSetErrorEvent& onError);

  std::string name_;
  TDataSetState state_ = dsInactive;
  TFields fields_;
  TFieldDefs fieldDefs_;
  TCheckConstraints constraints_;
  std::vector<TDataSource*> dataSources_;

  // buffers_[0] is the active buffer, buffers_[1] the fetch buffer.
  TRecordBuffer buffers_[2] = {nullptr, nullptr};
  TRecordBuffer tempBuffer_ = nullptr;
  TRecordBuffer calcBuffer_ = nullptr;
  // 1 when the active buffer holds a record, else 0.
  int recordCount_ = 0;
  // 0 when the cursor is on the active buffer's record, -1 when it may be
  // elsewhere.
  int currentRecord_ = -1;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  bool found_ = false;
  bool defaultFields_ = false;
  bool autoCalcFields_ = true;
  bool objectView_ = false;
  bool filtered_ = false;
  bool appending_ = false;  // the pending insert was started by Append
  bool destroying_ = false;
  TFilterOptions filterOptions_;
  std::string filterText_;
  int calcFieldsSize_ = 0;
  int requiredFields_ = 0;  // bound fields that must have a value
  int disableCount_ = 0;
  TDataSetState disableState_ = dsInactive;
  TDataEvent enableEvent_ = deDataSetChange;
};

// ---------------------------------------------------------------------------

class TDataSource {
 public:
  TDataSource() = default;
  explicit TDataSource(TDataSet* dataSet) { SetDataSet(dataSet); }
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  // The dataset observed (not owned); it detaches itself when destroyed.
  TDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TDataSet* dataSet);
  // A disabled source passes no events but state changes.
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // Whether TDataLink::Edit may put the dataset into edit state.
  bool AutoEdit() const { return autoEdit_; }
  void SetAutoEdit(bool value) { autoEdit_ = value; }
  // The dataset's state, dsInactive without a dataset or when disabled.
  TDataSetState State() const { return state_; }

  std::function<void(TDataSource& sender)> OnStateChange;
  // field is set for a change of one field, nullptr for the whole record.
  std::function<void(TDataSource& sender, TField* field)> OnDataChange;
  std::function<void(TDataSource& sender)> OnUpdateData;

 private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent event, TField* field, int info);
  void UpdateState();
  void NotifyLinks(TDataEvent event, TField* field, int info);

  TDataSet* dataSet_ = nullptr;
  std::vector<TDataLink*> links_;
  TDataSetState state_ = dsInactive;
  bool enabled_ = true;
  bool autoEdit_ = true;
};

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  // The source observed (not owned); it detaches its links when destroyed.
  TDataSource* DataSource() const { return dataSource_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }
  // The source's dataset is open.
  bool Active() const { return active_; }
  // The dataset is in edit, insert or set-key state.
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  // Puts the dataset into edit state when the source allows it; true when
  // it is editing afterwards.
  bool Edit();
  // Asks the link to write its pending value (UpdateData) now.
  void UpdateRecord();
  // Records the link can see: 1 with a current record, else 0.
  int RecordCount() const;

 protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int /*distance*/) { DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void FocusControl(TField* /*field*/) {}
  virtual void LayoutChanged() { DataSetChanged(); }
  // field: the field that changed, or nullptr for the whole record.
  virtual void RecordChanged(TField* /*field*/) {}
  virtual void UpdateData() {}

 private:
  friend class TDataSource;
  void DataEvent(TDataEvent event, TField* field, int info);
  void UpdateState();

  TDataSource* dataSource_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
  bool readOnly_ = false;
  bool updating_ = false;
};

inline bool TField::GetData(void* buffer) const {
  if (validating_) return GetPendingData(buffer);
  if (!dataSet_) return false;
  return dataSet_->GetFieldData(*this, buffer);
}

inline void TField::SetData(const void* buffer) {
  if (!dataSet_) NoDataSetError();
  dataSet_->SetFieldData(*this, buffer);
}

}  // namespace rda
