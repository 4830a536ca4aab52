// Parameter lists: ordered lists of named, typed values with one byte form
// that travels inside message fields (SQL parameters, server method
// arguments and results, login parameters, server settings, user lists).
//
// An item holds a name, a field data type, a parameter direction, a null
// flag, a size and a value. The value is kept as a byte string in the
// stored form of its data type, which is also its form on the wire:
//
//   data type                                    stored bytes
//   ftString ftFixedChar ftWideString            the text
//   ftSmallint ftWord ftInteger ftAutoInc        decimal text of the number
//   ftLargeint
//   ftBoolean                                    "True" or "False"
//   ftFloat ftDate ftTime ftDateTime             05, 8-byte IEEE double (LE)   = 9 bytes
//   ftCurrency ftBCD                             08, int64 value x 10000 (LE)  = 9 bytes
//   ftBytes ftVarBytes ftBlob ftOraBlob          the raw bytes
//   ftMemo ftOraClob                             the raw text
//   ftGuid                                       the 38-character GUID text in braces
//   ftTimeStamp                                  09, 16-byte SQL time stamp    = 17 bytes
//   ftFMTBcd                                     07, 34-byte BCD record        = 35 bytes
//   ftIDispatch                                  decimal text of an interface reference
//
// Tagged forms are read back leniently: the tagged length with its tag, or
// the untagged record of exactly 8, 8, 16 or 34 bytes; any other length
// reads as zero.
//
// Invariants of an item:
//   - a null item has an empty stored value (setting IsNull clears it);
//   - Size is >= 0 and only changes for the sized types (see SetSize);
//   - names compare without regard to case; the list does not prevent two
//     items with the same name (only SetDisplayName refuses duplicates).
//
// Text form of a list: one record per item, in order,
//
//   record    := length:i32le item-text            (length = size of item-text)
//   item-text := name 06 datatype 06 paramtype 06 null 06 L 06 value
//
// where the numbers are plain decimal, null is 0 or 1, L is the size of
// value in bytes and value is the stored value byte for byte (it may hold
// 06 or any other byte). An empty list is the empty text.
//
// Lists know nothing of datasets: a value that is a dataset travels as its
// stream bytes. Values to and from dataset fields and query parameters, and
// a list built from a dataset, are memdata's (memdata/RdaParamBridge.h).
//
// Not thread-safe: a list and its items belong to one thread at a time.
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
#include "base/Guid.h"
#include "base/SqlTimeStamp.h"
#include "base/Variant.h"

namespace rda {

class TRdaParamList;

// The parameter direction; it travels in the text form: wire values, never renumber.
enum TRdaParamType : uint8_t { ptUnknown = 0, ptInput, ptOutput, ptInputOutput, ptResult };

class TRdaParamItem {
 public:
  // A free-standing item (no list): id 0, name "Param0". Items that belong
  // to a list are made by TRdaParamList::Add, which owns them.
  TRdaParamItem();
  virtual ~TRdaParamItem() = default;
  TRdaParamItem(const TRdaParamItem&) = delete;
  TRdaParamItem& operator=(const TRdaParamItem&) = delete;

  // The owning list, or nullptr for a free-standing item.
  TRdaParamList* Collection() const { return collection_; }
  // The id the list gave the item when it was added; unique within the list.
  int ID() const { return id_; }
  // Position in the owning list, -1 when free-standing.
  int Index() const;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  // The name as the collection editor shows and changes it. Setting it
  // raises Exception "Error: Duplicate Param Name" when another item of
  // the same list has that name (case-insensitive); SetName does not check.
  const std::string& DisplayName() const { return name_; }
  void SetDisplayName(std::string name);

  TRdaParamType ParamType() const { return paramType_; }
  void SetParamType(TRdaParamType type) { paramType_ = type; }
  TFieldType DataType() const { return dataType_; }
  // Changes only the type; the stored value is kept as it is.
  void SetDataType(TFieldType type) { dataType_ = type; }

  bool IsNull() const { return isNull_; }
  // True clears the stored value; false keeps it (possibly empty).
  void SetIsNull(bool null);

  int Size() const { return size_; }
  // Ignored for a negative size and for types other than ftString, ftBytes,
  // ftVarBytes, ftBlob, ftMemo, ftGraphic, ftFixedChar, ftWideString,
  // ftOraBlob, ftOraClob and ftGuid.
  void SetSize(int size);

  // The stored value, exactly as the text form carries it.
  const std::string& StoredValue() const { return value_; }

  // Typed access. Every setter also sets DataType to the type it names and
  // IsNull to false (except where an empty text makes the item null).
  // A getter reads the stored form when the item's type is one it knows;
  // for other types it converts the generic Value(), which raises
  // EVariantError when no conversion exists (text that is no number, ...).
  // Getters of a null item give "", 0, false, a zero record or an empty
  // byte string (AsString and AsGuid of a null ftGuid item give the
  // all-zero GUID text).

  // Stored bytes for ftString, ftBytes, ftVarBytes, ftBlob, ftMemo,
  // ftFixedChar, ftWideString, ftOraBlob, ftOraClob and ftGuid; otherwise
  // the generic value as text. Setting stores the text as ftString; an
  // empty text makes the item null.
  std::string AsString() const;
  void SetAsString(std::string_view text);
  std::string AsMemo() const { return AsString(); }
  void SetAsMemo(std::string_view text);  // ftMemo; empty makes the item null
  std::string AsBlob() const { return AsString(); }
  void SetAsBlob(std::string_view bytes);  // ftBlob; empty makes the item null

  // The integer kinds read their decimal text leniently (no number gives
  // 0) and cut it to the getter's width. Setters store the value cut to the
  // type's width (16-bit signed, 16-bit unsigned, 32-bit, 64-bit).
  int16_t AsSmallint() const;
  void SetAsSmallint(int32_t value);
  uint16_t AsWord() const;
  void SetAsWord(int32_t value);
  int32_t AsInteger() const;
  void SetAsInteger(int32_t value);
  int64_t AsLargeint() const;
  void SetAsLargeint(int64_t value);

  // ftBoolean: true when the stored text is "True" in any case.
  bool AsBoolean() const;
  void SetAsBoolean(bool value);

  // The tagged double for ftFloat and the date kinds; an ftTimeStamp item
  // converts its record (EConvertError for an invalid one).
  double AsFloat() const;
  void SetAsFloat(double value);
  TDateTime AsDate() const { return AsFloat(); }
  void SetAsDate(TDateTime value);
  TDateTime AsTime() const { return AsFloat(); }
  void SetAsTime(TDateTime value);
  TDateTime AsDateTime() const { return AsFloat(); }
  void SetAsDateTime(TDateTime value);

  // The scaled 64-bit integer for ftCurrency and ftBCD.
  Currency AsCurrency() const;
  void SetAsCurrency(Currency value);
  Currency AsBCD() const { return AsCurrency(); }
  void SetAsBCD(Currency value);

  Bcd AsFMTBCD() const;
  void SetAsFMTBCD(const Bcd& value);
  SqlTimeStamp AsSQLTimeStamp() const;
  void SetAsSQLTimeStamp(const SqlTimeStamp& value);

  // The GUID text. Setting a text whose length is not 38 leaves the item
  // ftGuid and null; the text is otherwise stored as given.
  std::string AsGuid() const;
  void SetAsGuid(std::string_view text);
  void SetAsGuid(const Guid& guid) { SetAsGuid(GuidToString(guid)); }

  // A copy of the stored bytes (empty for a null item).
  std::string AsStream() const { return value_; }

  // The generic value by DataType: Null for a null item and for ftUnknown;
  // SmallInt, Word, Integer (ftInteger, ftAutoInc) or Int64 for the integer
  // kinds; Boolean; Double for ftFloat; Date for the date kinds; Currency
  // for ftCurrency and ftBCD; Bcd for ftFMTBcd; SqlTimeStamp; Bytes for
  // ftBytes and ftVarBytes; Interface for ftIDispatch; String for every
  // other type (the stored bytes).
  Variant Value() const;
  // Chooses the setter by the variant's kind: Null -> null item (type
  // kept); ShortInt, SmallInt, Byte -> AsSmallint (AsInteger when the item
  // is ftInteger already); Integer -> AsInteger; Single, Double -> AsFloat;
  // Currency -> AsCurrency; Date -> AsDateTime; String -> AsString;
  // Boolean -> AsBoolean; Word -> AsWord; LongWord, Int64, UInt64 ->
  // AsLargeint (EVariantError for a UInt64 beyond the Int64 range); Bcd ->
  // AsFMTBCD; SqlTimeStamp -> AsSQLTimeStamp; Bytes -> the raw bytes as
  // ftBytes (ftVarBytes kept), not null; Interface -> ftIDispatch;
  // Empty -> ftUnknown and null.
  void SetValue(const Variant& value);

  // Gives the item a value from text by its current DataType (ftUnknown
  // becomes ftString). The item is made null first and stays null for an
  // empty text and for types without a text form. String kinds, bytes and
  // GUIDs go through SetAsString; the other kinds keep their type:
  // integers (strict; a value outside a 16-bit type's range fails),
  // booleans (trimmed text "TRUE" in any case), floats, currency and BCD,
  // dates and times in the default FormatSettings, 64-bit integers, memo
  // and blob kinds as they are, SQL time stamps and FMT BCD.
  // A conversion failure raises Exception "Unable to call SetAsText for "
  // followed by the item's name; the item is then null.
  void SetAsText(std::string_view text);

  // Copies name, value, parameter type, data type, null flag and size.
  void Assign(const TRdaParamItem& source);

  // Same name (exact), data type, parameter type, null flag, size and value.
  bool operator==(const TRdaParamItem& other) const;

 private:
  friend class TRdaParamList;

  // Sets type and stored bytes and clears the null flag.
  void Store(TFieldType type, std::string bytes);
  // As Store, but an empty text makes the item null.
  void StoreText(TFieldType type, std::string_view text);
  void ConvertText(std::string_view text);

  TRdaParamList* collection_ = nullptr;
  int id_ = 0;
  std::string name_;
  std::string value_;
  TRdaParamType paramType_ = ptUnknown;
  TFieldType dataType_ = ftUnknown;
  bool isNull_ = true;
  int size_ = 0;
};

class TRdaParamList {
 public:
  TRdaParamList() = default;
  virtual ~TRdaParamList();
  TRdaParamList(const TRdaParamList&) = delete;
  TRdaParamList& operator=(const TRdaParamList&) = delete;

  // Reads a list from its text form (see the top of this file). All or
  // nothing: raises ERdaParamException "Invalid parameter list text: ..."
  // when a record or value length is negative or runs past the end of its
  // record or of the text, and then no list is made. Data type and
  // parameter type are kept as read (0..255; beyond that is an error);
  // numbers that are not numbers read as 0. A value given for an item
  // marked null is dropped.
  static std::unique_ptr<TRdaParamList> FromText(std::string_view text);
  // The text form; with inputsOnly only items whose ParamType is ptInput or
  // ptInputOutput. Raises ERdaParamException when an item's name holds the
  // separator byte 06, which the text form cannot carry.
  std::string ToText(bool inputsOnly) const;

  int Count() const { return static_cast<int>(items_.size()); }
  // Checked access; raises ERdaParamException "Index <n> Out of bounds".
  // The reference stays valid until the item is deleted or the list
  // cleared or destroyed.
  virtual TRdaParamItem& Items(int index);
  virtual const TRdaParamItem& Items(int index) const;

  // A new item at the end with ParamType ptInput; the list owns it.
  TRdaParamItem& Add();
  TRdaParamItem& CreateParam(TFieldType dataType, std::string name, TRdaParamType paramType);
  // Sets the value of the item FindParam(name) finds, or adds one with
  // that name and value.
  TRdaParamItem& FastAdd(std::string_view name, const Variant& value);
  // Adds an item named "FastAdd" + its index, with the value.
  TRdaParamItem& FastAdd(const Variant& value);

  // The first item whose name, with blanks around it removed, equals name
  // without regard to case (name itself is not trimmed); nullptr if none.
  TRdaParamItem* FindParam(std::string_view name);
  const TRdaParamItem* FindParam(std::string_view name) const;
  // As FindParam; raises ERdaParamException "Parameter Not Found: <name>".
  TRdaParamItem& ParamByName(std::string_view name);
  const TRdaParamItem& ParamByName(std::string_view name) const;
  // Frees the item FindParam finds; true when there was one.
  bool DeleteParam(std::string_view name);
  // Frees the item at index (checked as Items).
  void Delete(int index);
  // Frees every item. The id counter behind default names keeps counting.
  void Clear();

  // Appends a copy of every item to target, after clearing it if asked.
  void CopyTo(TRdaParamList& target, bool clearFirst) const;
  // A new list holding copies of all items.
  virtual std::unique_ptr<TRdaParamList> Clone() const;
  // Every item of target whose name FindParam finds here is assigned from
  // the item found.
  void CopyValuesTo(TRdaParamList& target) const;
  // Items(index).Assign(source); the index is checked as in Items.
  virtual void AssignItem(int index, const TRdaParamItem& source);

  // Replaces the items with one per distinct parameter name (":name") of
  // the SQL text, in order of first appearance, each ptInput, ftUnknown,
  // not null, with an empty value. Text in single quotes is skipped; an
  // unclosed quote is reported through OnShowMessage ("There is an open
  // quote in your SQL String") and parsing goes on with the names found.
  // Two names run together (":a:b") raise Exception
  // "Please check Syntax :param:param must be :param:param" and leave the
  // list unchanged.
  void ParamsFromSQL(std::string_view sql);
  // The lines joined with CR LF.
  void ParamsFromSQL(const std::vector<std::string>& lines);

  // Replaces the items from design lines "name 06 paramtype 06 datatype"
  // (decimal numbers; a data type outside 1..37 means ftString), each
  // null, with Size 50 for ftString. Raises EDatabaseError "Nil list pass
  // to prepare from design list" for nullptr and "Problem created params
  // from " + the lines (each followed by CR LF) when a line does not read;
  // the list is unchanged then.
  void ParamsFromDesignList(const std::vector<std::string>* lines);

  // Same items in the same order (see TRdaParamItem::operator==).
  bool operator==(const TRdaParamList& other) const;

  // Shows a message to the user (the open-quote warning of ParamsFromSQL).
  // When unset the text goes to stderr.
  std::function<void(const std::string& text)> OnShowMessage;

 private:
  friend class TRdaParamItem;

  // Add without the default name, for callers that name the item at once.
  TRdaParamItem& Append();
  void ShowMessage(const std::string& text) const;
  void CheckIndex(int index) const;
  int IndexOf(const TRdaParamItem* item) const;

  std::vector<std::unique_ptr<TRdaParamItem>> items_;
  int nextId_ = 0;  // only grows, so default names stay unique
};

}  // namespace rda
