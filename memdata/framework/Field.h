// Field objects and field definitions of the dataset framework.
//
// A field definition (TFieldDef) describes one column of a dataset's
// cursor: name, type code, declared size, 1-based field number. A field
// object (TField and one subclass per family of type codes) is the typed
// window on the value of that column in the dataset's record in use: it
// reads and writes through its dataset's record-buffer protocol
// (TDataSet::GetFieldData / SetFieldData), never holding a value itself.
//
// Stored forms. Every field class exchanges one fixed "stored form" of
// DataSize() bytes with its dataset; it is the form the memory dataset
// keeps in its row images:
//
//   class                       codes          DataSize  stored form
//   TStringField, TGuidField    1 23 35        Size + 1  8-bit text, zero padded, terminated
//   TWideStringField            24             Size * 2  UTF-16 LE code units, zero padded
//   TSmallintField TWordField   2 4            2         16-bit LE (signed / unsigned)
//   TBooleanField               5              2         16-bit LE, 0 false, else true
//   TIntegerField TAutoIncField 3 14           4         32-bit LE signed
//   TTimeField                  10             4         32-bit LE ms since midnight
//   TFloatField TCurrencyField  6 7            8         IEEE double LE
//   TBCDField                   8              8         64-bit LE value x 10,000
//   TDateField                  9              8         32-bit LE day (0001-01-01 = 1), 4 zero
//   TDateTimeField              11             8         IEEE double LE: day x 86,400,000 + ms
//   TLargeintField              25             8         64-bit LE signed
//   TBytesField TVarBytesField  12 13          Size      raw bytes
//   blob and memo classes       15-21 29-31    4         32-bit LE blob identity
//   TSQLTimeStampField          36             16        SQL time stamp record
//   TFMTBCDField                37             34        packed decimal record
//   the others                  0 22 26-28 32-34  0      nothing; always null
//
// Fields whose value form differs from the stored form (dates, times, BCD,
// wide text) convert through TDataSet::DataConvert, so a dataset can adjust
// the conversion.
//
// Typed access: every class offers the As... accessors of its own type
// without going through a Variant; the others go through Value() and the
// Variant conversion rules (base/Variant.h), and raise EVariantError when
// no conversion exists. A null field reads as "", 0, false or a zero
// record, and as a Null variant. Reading by a resolved field object does
// not allocate, except where the result type itself allocates (a
// std::string longer than its small buffer); AsStringView avoids even that.
//
// Lifetime: a field object belongs to its dataset's TFields and lives until
// the dataset destroys it (default fields at close, persistent fields with
// the dataset). Not thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bcd.h"
#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/FieldType.h"
#include "base/SqlTimeStamp.h"
#include "base/Variant.h"

namespace rda {

class TDataSet;

enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };
// How a view aligns a field's text (the platform's numbering).
enum TAlignment : uint8_t { taLeftJustify, taRightJustify, taCenter };

// ---------------------------------------------------------------------------
// Field definitions

class TFieldDef {
 public:
  TFieldDef(std::string name, TFieldType dataType, int size, bool required, int fieldNo)
      : name_(std::move(name)), dataType_(dataType), size_(size), required_(required),
        fieldNo_(fieldNo) {}

  const std::string& Name() const { return name_; }
  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  bool Required() const { return required_; }
  // 1-based position of the column in the cursor.
  int FieldNo() const { return fieldNo_; }
  int Precision() const { return precision_; }
  void SetPrecision(int precision) { precision_ = precision; }

 private:
  std::string name_;
  TFieldType dataType_;
  int size_;
  bool required_;
  int fieldNo_;
  int precision_ = 0;
};

class TFieldDefs {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TFieldDef& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  // Appends a definition; its FieldNo is given by the caller (the cursor's
  // column number), or the new count when fieldNo is 0.
  TFieldDef& Add(std::string name, TFieldType dataType, int size = 0, bool required = false,
                 int fieldNo = 0);
  void Clear() { items_.clear(); }
  // Name comparison ignores ASCII letter case. Find raises EDatabaseError
  // "Field '<name>' not found".
  int IndexOf(std::string_view name) const;
  TFieldDef* FindDef(std::string_view name) const;
  TFieldDef& Find(std::string_view name) const;

 private:
  std::vector<std::unique_ptr<TFieldDef>> items_;
};

// ---------------------------------------------------------------------------
// Field objects

class TField {
 public:
  explicit TField(TFieldType dataType = ftUnknown, int size = 0);
  virtual ~TField();
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  // ---- Definition (change only while the dataset is closed) ----
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(std::string name);
  // The component name; empty unless set (the automatic calculated fields
  // use their field name).
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& DisplayLabel() const { return displayLabel_.empty() ? fieldName_ : displayLabel_; }
  void SetDisplayLabel(std::string label) { displayLabel_ = std::move(label); }
  // The label, or the field name when no label is set; used in messages.
  const std::string& DisplayName() const { return DisplayLabel(); }
  TFieldKind FieldKind() const { return fieldKind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return fieldKind_ == fkCalculated; }
  bool Lookup() const { return fieldKind_ == fkLookup; }
  // Calculated and lookup fields live in the calculated area of a record
  // buffer; all other kinds in the row image.
  bool InCalcArea() const { return fieldKind_ == fkCalculated || fieldKind_ == fkLookup; }
  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  virtual void SetSize(int size);
  // Bytes of the stored form (table above).
  int DataSize() const { return dataSize_; }
  bool IsBlob() const;

  // ---- Binding (set by the dataset) ----
  TDataSet* DataSet() const { return dataSet_; }
  // 1-based column of a bound data field; 0 for fields outside the cursor.
  int FieldNo() const { return fieldNo_; }
  // Position in the dataset's field list.
  int Index() const;
  // Byte offset of a calculated or lookup field within the calculated area.
  int Offset() const { return offset_; }

  bool Visible() const { return visible_; }
  void SetVisible(bool v) { visible_ = v; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }
  bool Required() const { return required_; }
  void SetRequired(bool v) { required_ = v; }

  // ---- Display properties (kept for views; a field-properties stream from
  // the server may set them, memdata/RdaComponentStream.h) ----
  // [0] Characters a view gives the field; 0 lets the view decide.
  int DisplayWidth() const { return displayWidth_; }
  void SetDisplayWidth(int v) { displayWidth_ = v; }
  // [taLeftJustify]
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v) { alignment_ = v; }
  // [""] Formats and input mask as the platform writes them; stored only.
  std::string DisplayFormat, EditFormat, EditMask;

  // ---- Constraints and defaults (expressions, evaluated by the dataset) ----
  std::string CustomConstraint, ImportedConstraint, ConstraintErrorMessage, DefaultExpression;

  // ---- Lookup definition (fkLookup): the value of LookupResultField of the
  // row of LookupDataSet whose LookupKeyFields equal this dataset's KeyFields.
  TDataSet* LookupDataSet = nullptr;  // observer; must outlive the lookups
  std::string KeyFields, LookupKeyFields, LookupResultField;

  // ---- Values of the record in use ----
  bool IsNull() const;
  // Makes the value null (needs a writable state, as every setter).
  void Clear() { SetData(nullptr); }

  virtual std::string AsString() const;
  virtual void SetAsString(std::string_view text);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t value);
  virtual int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(int64_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  virtual Currency AsCurrency() const;
  virtual void SetAsCurrency(Currency value);
  virtual Bcd AsBCD() const;
  virtual void SetAsBCD(const Bcd& value);
  virtual TDateTime AsDateTime() const;
  virtual void SetAsDateTime(TDateTime value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  // Null for a null field; otherwise the value in the kind that fits the
  // class (String, SmallInt, Integer, Int64, Word, Boolean, Double,
  // Currency, Bcd, Date, SqlTimeStamp, Bytes).
  virtual Variant Value() const;
  // Null or Empty clears; otherwise converts to the field's type.
  virtual void SetValue(const Variant& value);
  Variant AsVariant() const { return Value(); }
  void SetAsVariant(const Variant& value) { SetValue(value); }

  // Text for editing and for display: OnGetText when set, else AsString.
  std::string Text() const { return GetText(false); }
  std::string DisplayText() const { return GetText(true); }
  // OnSetText when set, else SetAsString.
  void SetText(std::string_view text);

  // Copies the value of another field (null stays null).
  void Assign(const TField& source);

  // Runs the validation of a pending value (stored form, nullptr = null)
  // while the dataset writes it: during the call IsNull and the getters
  // show the pending value. Called by datasets from SetFieldData.
  void Validate(const void* buffer);
  // Runs OnChange; the dataset calls it after a value changed.
  void Change() {
    if (OnChange) OnChange(*this);
  }

  // ---- Events ----
  std::function<void(TField& sender)> OnChange;
  std::function<void(TField& sender)> OnValidate;
  std::function<void(TField& sender, std::string& text, bool displayText)> OnGetText;
  std::function<void(TField& sender, std::string_view text)> OnSetText;

 protected:
  // The stored form of the record in use into buffer (DataSize bytes);
  // false when null. buffer may be nullptr for a null test only. Both are
  // on every field access, so they are inline (end of DataSet.h).
  inline bool GetData(void* buffer) const;
  // Writes the stored form; nullptr writes null.
  inline void SetData(const void* buffer);
  // As GetData/SetData, converting between the stored form and the value
  // form (double for dates, Currency for BCD, std::u16string for wide text)
  // through the dataset's DataConvert.
  bool GetConvertedData(void* value) const;
  void SetConvertedData(const void* value);

  // Raises EDatabaseError "Cannot access field '<name>' as type <type>".
  [[noreturn]] void AccessError(const char* typeName) const;
  // Raises EDatabaseError "<value> is not a valid value for field '<name>'.
  // The allowed range is <min> to <max>".
  [[noreturn]] void RangeError(double value, double min, double max) const;
  void SetDataSize(int bytes) { dataSize_ = bytes; }
  virtual std::string GetText(bool displayText) const;
  // Raises EDatabaseError "Field '<name>' has no dataset".
  [[noreturn]] void NoDataSetError() const;

 private:
  bool GetPendingData(void* buffer) const;

  friend class TDataSet;

  TDataSet* dataSet_ = nullptr;
  std::string fieldName_, name_, displayLabel_;
  TFieldKind fieldKind_ = fkData;
  TFieldType dataType_;
  int size_;
  int dataSize_ = 0;
  int fieldNo_ = 0;
  int offset_ = 0;
  bool visible_ = true;
  bool readOnly_ = false;
  bool required_ = false;
  int displayWidth_ = 0;
  TAlignment alignment_ = taLeftJustify;
  // While Validate runs: the pending value (nullptr = null).
  bool validating_ = false;
  const void* pending_ = nullptr;
  // Scratch for conversions of the stored form (dates, wide text, BCD).
  mutable std::string scratch_;
};

class TStringField : public TField {
 public:
  explicit TStringField(int size = 20, TFieldType type = ftString);
  void SetSize(int size) override;
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  // The text without copying: valid until the field is read again or the
  // record in use changes.
  std::string_view AsStringView() const;
  int32_t AsInteger() const override;
  double AsFloat() const override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;

 private:
  mutable std::string buffer_;
};

class TGuidField : public TStringField {
 public:
  TGuidField() : TStringField(38, ftGuid) {}
  void SetSize(int) override { TStringField::SetSize(38); }
};

class TWideStringField : public TField {
 public:
  explicit TWideStringField(int size = 20);
  void SetSize(int size) override;
  std::u16string AsWideString() const;
  void SetAsWideString(std::u16string_view text);
  // The text in the system's 8-bit code page.
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

// Integer kinds share one class; the type code picks width and range.
class TIntegerField : public TField {
 public:
  explicit TIntegerField(TFieldType type = ftInteger);
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  int64_t AsLargeInt() const override { return AsInteger(); }
  double AsFloat() const override { return AsInteger(); }
  Variant Value() const override;
  void SetValue(const Variant& value) override;

 private:
  int32_t min_, max_;
};

class TSmallintField : public TIntegerField {
 public:
  TSmallintField() : TIntegerField(ftSmallint) {}
};
class TWordField : public TIntegerField {
 public:
  TWordField() : TIntegerField(ftWord) {}
};
class TAutoIncField : public TIntegerField {
 public:
  TAutoIncField() : TIntegerField(ftAutoInc) {}
};

class TLargeintField : public TField {
 public:
  TLargeintField();
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  int32_t AsInteger() const override { return static_cast<int32_t>(AsLargeInt()); }
  void SetAsInteger(int32_t value) override { SetAsLargeInt(value); }
  double AsFloat() const override { return static_cast<double>(AsLargeInt()); }
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

class TBooleanField : public TField {
 public:
  TBooleanField();
  // "True" / "False"; setting accepts them in any letter case, "" clears.
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

class TFloatField : public TField {
 public:
  explicit TFloatField(TFieldType type = ftFloat);
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  int32_t AsInteger() const override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

// ftCurrency keeps a double; Value() gives a Currency.
class TCurrencyField : public TFloatField {
 public:
  TCurrencyField() : TFloatField(ftCurrency) {}
  Currency AsCurrency() const override;
  void SetAsCurrency(Currency value) override;
  Variant Value() const override;
};

// ftBCD: the value is a Currency (the stored 64-bit value x 10,000).
class TBCDField : public TField {
 public:
  TBCDField();
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  Currency AsCurrency() const override;
  void SetAsCurrency(Currency value) override;
  Bcd AsBCD() const override;
  void SetAsBCD(const Bcd& value) override;
  double AsFloat() const override { return AsCurrency().ToDouble(); }
  void SetAsFloat(double value) override { SetAsCurrency(Currency::FromDouble(value)); }
  int32_t AsInteger() const override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

class TFMTBCDField : public TField {
 public:
  TFMTBCDField();
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  Bcd AsBCD() const override;
  void SetAsBCD(const Bcd& value) override;
  Currency AsCurrency() const override;
  void SetAsCurrency(Currency value) override { SetAsBCD(CurrencyToBcd(value)); }
  double AsFloat() const override;
  void SetAsFloat(double value) override { SetAsBCD(DoubleToBcd(value)); }
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

// Date, time and date-time; the value is a TDateTime.
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TFieldType type = ftDateTime);
  // Short date (ftDate), long time (ftTime) or both (ftDateTime).
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  double AsFloat() const override { return AsDateTime(); }
  void SetAsFloat(double value) override { SetAsDateTime(value); }
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

class TDateField : public TDateTimeField {
 public:
  TDateField() : TDateTimeField(ftDate) {}
};
class TTimeField : public TDateTimeField {
 public:
  TTimeField() : TDateTimeField(ftTime) {}
};

class TSQLTimeStampField : public TField {
 public:
  TSQLTimeStampField();
  SqlTimeStamp AsSQLTimeStamp() const;
  void SetAsSQLTimeStamp(const SqlTimeStamp& value);
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

// ftBytes and ftVarBytes: Size raw bytes; Value() is a Bytes variant.
class TBytesField : public TField {
 public:
  explicit TBytesField(int size = 16, TFieldType type = ftBytes);
  void SetSize(int size) override;
  // The stored bytes (all Size of them).
  std::string AsString() const override;
  // Copies at most Size bytes, zero padded.
  void SetAsString(std::string_view bytes) override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

class TVarBytesField : public TBytesField {
 public:
  explicit TVarBytesField(int size = 16) : TBytesField(size, ftVarBytes) {}
};

// Blob-like codes: the row holds a blob identity, the bytes live with the
// dataset (TDataSet::ReadBlobData / WriteBlobData).
class TBlobField : public TField {
 public:
  explicit TBlobField(TFieldType type = ftBlob);
  std::string AsString() const override;
  void SetAsString(std::string_view bytes) override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
};

class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TFieldType type = ftMemo) : TBlobField(type) {}
  Variant Value() const override;
};

class TGraphicField : public TBlobField {
 public:
  TGraphicField() : TBlobField(ftGraphic) {}
};

// A nested dataset's stream bytes; the nested dataset itself is built by
// the dataset engine.
class TDataSetField : public TBlobField {
 public:
  TDataSetField() : TBlobField(ftDataSet) {}
};

// Codes that keep nothing in a row (ftUnknown, ftCursor, ftADT, ftArray,
// ftReference, ftVariant, ftInterface, ftIDispatch and the OLE types): the
// value is always null and cannot be set.
class TUnstoredField : public TField {
 public:
  explicit TUnstoredField(TFieldType type) : TField(type, 0) {}
  void SetValue(const Variant& value) override;
};

// The field class for a type code (the framework's default field classes).
// Raises EDatabaseError "Unknown field type <code>" for a code above 37.
std::unique_ptr<TField> CreateFieldObject(TFieldType type, int size);

// ---------------------------------------------------------------------------

class TFields {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TField& operator[](int index) const { return *items_.at(static_cast<size_t>(index)); }
  TField& Items(int index) const { return (*this)[index]; }
  // Name comparison ignores ASCII letter case; nullptr when absent.
  TField* FindField(std::string_view name) const;
  int IndexOf(const TField* field) const;

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  friend class TDataSet;
  std::vector<std::unique_ptr<TField>> items_;
};

// ASCII letter case ignored; the field and index names of the engine.
bool SameName(std::string_view a, std::string_view b);
// Bytes of a zero-padded text before its first zero, at most limit.
size_t TextLength(const char* text, size_t limit);

}  // namespace rda

// TField::GetData and SetData need the whole TDataSet.
#include "memdata/framework/DataSet.h"
