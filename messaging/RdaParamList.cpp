#include "messaging/RdaParamList.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include "base/ByteIO.h"
#include "base/Convert.h"
#include "base/Text.h"

namespace rda {

namespace {

constexpr char kSeparator = '\x06';
constexpr size_t kRecordLengthSize = 4;

// Tags in front of the binary stored forms, and the record sizes after them.
constexpr char kFloatTag = '\x05';
constexpr char kCurrencyTag = '\x08';
constexpr char kTimeStampTag = '\x09';
constexpr char kBcdTag = '\x07';
constexpr size_t kDoubleSize = 8;
constexpr size_t kCurrencySize = 8;

constexpr const char* kDuplicateName = "Error: Duplicate Param Name";
constexpr const char* kOpenQuote = "There is an open quote in your SQL String";
constexpr const char* kRunTogether = "Please check Syntax :param:param must be :param:param";

bool IsSized(TFieldType t) {
  switch (t) {
    case ftString: case ftBytes: case ftVarBytes: case ftBlob: case ftMemo: case ftGraphic:
    case ftFixedChar: case ftWideString: case ftOraBlob: case ftOraClob: case ftGuid:
      return true;
    default:
      return false;
  }
}

// Types whose stored bytes are the text AsString gives.
bool HoldsRawText(TFieldType t) {
  switch (t) {
    case ftString: case ftBytes: case ftVarBytes: case ftBlob: case ftMemo: case ftFixedChar:
    case ftWideString: case ftOraBlob: case ftOraClob: case ftGuid:
      return true;
    default:
      return false;
  }
}

bool IsIntegerKind(TFieldType t) {
  return t == ftSmallint || t == ftWord || t == ftInteger || t == ftAutoInc || t == ftLargeint;
}

bool IsFloatKind(TFieldType t) {
  return t == ftFloat || t == ftDate || t == ftTime || t == ftDateTime;
}

// The record of a tagged stored form: size+1 bytes starting with the tag,
// or exactly size bytes without it. Empty when the length is neither.
std::string_view Untag(std::string_view stored, char tag, size_t size) {
  if (stored.size() == size + 1 && stored[0] == tag) return stored.substr(1);
  if (stored.size() == size) return stored;
  return {};
}

// A fixed-size record (Bcd, SqlTimeStamp) from its tagged stored form; the
// zero record for any other length.
template <class Record>
Record ReadRecord(std::string_view stored, char tag) {
  std::string_view r = Untag(stored, tag, Record::kSize);
  return r.empty() ? Record{} : Record::FromBytes(r);
}

std::string Tagged(char tag, std::string_view record) {
  std::string out;
  out.reserve(record.size() + 1);
  out.push_back(tag);
  out.append(record);
  return out;
}

double ReadDouble(std::string_view stored) {
  std::string_view r = Untag(stored, kFloatTag, kDoubleSize);
  return r.empty() ? 0.0 : ByteReader(r).GetDouble();
}

std::string TaggedDouble(double value) {
  std::string out;
  ByteWriter w(out);
  w.PutU8(static_cast<uint8_t>(kFloatTag));
  w.PutDouble(value);
  return out;
}

Currency ReadCurrency(std::string_view stored) {
  std::string_view r = Untag(stored, kCurrencyTag, kCurrencySize);
  return r.empty() ? Currency{} : Currency::FromScaled(ByteReader(r).GetI64());
}

std::string TaggedCurrency(Currency value) {
  std::string out;
  ByteWriter w(out);
  w.PutU8(static_cast<uint8_t>(kCurrencyTag));
  w.PutI64(value.Scaled);
  return out;
}

[[noreturn]] void BadText(const std::string& why) {
  throw ERdaParamException("Invalid parameter list text: " + why);
}

std::string Num(int64_t v) { return IntToStr(v); }

// A number of the text form's header, read leniently; an ordinal that does
// not fit its byte is refused rather than cut.
uint8_t ReadOrdinal(std::string_view part, const char* what, size_t offset) {
  int64_t v = StrToInt64Def(part, 0);
  if (v < 0 || v > 255)
    BadText(std::string(what) + " " + Num(v) + " out of range in the record at offset " +
            Num(static_cast<int64_t>(offset)));
  return static_cast<uint8_t>(v);
}

void AppendDecimal(std::string& out, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

// ---- TRdaParamItem -------------------------------------------------------

TRdaParamItem::TRdaParamItem() : name_("Param0") {}

int TRdaParamItem::Index() const { return collection_ ? collection_->IndexOf(this) : -1; }

void TRdaParamItem::SetDisplayName(std::string name) {
  if (collection_) {
    for (const auto& other : collection_->items_)
      if (other.get() != this && SameTextCp1252(other->name_, name)) throw Exception(kDuplicateName);
  }
  name_ = std::move(name);
}

void TRdaParamItem::SetIsNull(bool null) {
  isNull_ = null;
  if (null) value_.clear();
}

void TRdaParamItem::SetSize(int size) {
  if (size >= 0 && IsSized(dataType_)) size_ = size;
}

void TRdaParamItem::Store(TFieldType type, std::string bytes) {
  dataType_ = type;
  value_ = std::move(bytes);
  isNull_ = false;
}

void TRdaParamItem::StoreText(TFieldType type, std::string_view text) {
  dataType_ = type;
  if (text.empty()) {
    SetIsNull(true);
  } else {
    value_.assign(text);
    isNull_ = false;
  }
}

std::string TRdaParamItem::AsString() const {
  if (isNull_) return dataType_ == ftGuid ? kNullGuidText : "";
  if (HoldsRawText(dataType_)) return value_;
  return Value().ToString();
}

void TRdaParamItem::SetAsString(std::string_view text) { StoreText(ftString, text); }
void TRdaParamItem::SetAsMemo(std::string_view text) { StoreText(ftMemo, text); }
void TRdaParamItem::SetAsBlob(std::string_view bytes) { StoreText(ftBlob, bytes); }

int16_t TRdaParamItem::AsSmallint() const { return static_cast<int16_t>(AsLargeint()); }
uint16_t TRdaParamItem::AsWord() const { return static_cast<uint16_t>(AsLargeint()); }
int32_t TRdaParamItem::AsInteger() const { return static_cast<int32_t>(AsLargeint()); }

int64_t TRdaParamItem::AsLargeint() const {
  if (isNull_) return 0;
  if (IsIntegerKind(dataType_)) return StrToInt64Def(value_, 0);
  return Value().ToInt64();
}

void TRdaParamItem::SetAsSmallint(int32_t value) {
  Store(ftSmallint, Num(static_cast<int16_t>(value)));
}
void TRdaParamItem::SetAsWord(int32_t value) { Store(ftWord, Num(static_cast<uint16_t>(value))); }
void TRdaParamItem::SetAsInteger(int32_t value) { Store(ftInteger, Num(value)); }
void TRdaParamItem::SetAsLargeint(int64_t value) { Store(ftLargeint, Num(value)); }

bool TRdaParamItem::AsBoolean() const {
  if (isNull_) return false;
  if (dataType_ == ftBoolean) return SameTextAscii(value_, "True");
  return Value().ToBoolean();
}

void TRdaParamItem::SetAsBoolean(bool value) { Store(ftBoolean, value ? "True" : "False"); }

double TRdaParamItem::AsFloat() const {
  if (isNull_) return 0.0;
  if (IsFloatKind(dataType_)) return ReadDouble(value_);
  if (dataType_ == ftTimeStamp) return SqlTimeStampToDateTime(AsSQLTimeStamp());
  return Value().ToDouble();
}

void TRdaParamItem::SetAsFloat(double value) { Store(ftFloat, TaggedDouble(value)); }
void TRdaParamItem::SetAsDate(TDateTime value) { Store(ftDate, TaggedDouble(value)); }
void TRdaParamItem::SetAsTime(TDateTime value) { Store(ftTime, TaggedDouble(value)); }
void TRdaParamItem::SetAsDateTime(TDateTime value) { Store(ftDateTime, TaggedDouble(value)); }

Currency TRdaParamItem::AsCurrency() const {
  if (isNull_) return Currency{};
  if (dataType_ == ftCurrency || dataType_ == ftBCD) return ReadCurrency(value_);
  return Value().ToCurrency();
}

void TRdaParamItem::SetAsCurrency(Currency value) { Store(ftCurrency, TaggedCurrency(value)); }
void TRdaParamItem::SetAsBCD(Currency value) { Store(ftBCD, TaggedCurrency(value)); }

Bcd TRdaParamItem::AsFMTBCD() const {
  if (isNull_) return Bcd{};
  if (dataType_ == ftFMTBcd) return ReadRecord<Bcd>(value_, kBcdTag);
  return Value().ToBcd();
}

void TRdaParamItem::SetAsFMTBCD(const Bcd& value) {
  Store(ftFMTBcd, Tagged(kBcdTag, value.ToBytes()));
}

SqlTimeStamp TRdaParamItem::AsSQLTimeStamp() const {
  if (isNull_) return SqlTimeStamp{};
  if (dataType_ == ftTimeStamp) return ReadRecord<SqlTimeStamp>(value_, kTimeStampTag);
  return Value().ToSqlTimeStamp();
}

void TRdaParamItem::SetAsSQLTimeStamp(const SqlTimeStamp& value) {
  Store(ftTimeStamp, Tagged(kTimeStampTag, value.ToBytes()));
}

std::string TRdaParamItem::AsGuid() const {
  if (isNull_) return dataType_ == ftGuid ? kNullGuidText : "";
  if (dataType_ == ftGuid) return value_;
  return Value().ToString();
}

void TRdaParamItem::SetAsGuid(std::string_view text) {
  if (text.size() == Guid::kTextLength) {
    Store(ftGuid, std::string(text));
  } else {
    dataType_ = ftGuid;
    SetIsNull(true);
  }
}

Variant TRdaParamItem::Value() const {
  if (isNull_) return Variant::Null();
  switch (dataType_) {
    case ftUnknown: return Variant::Null();
    case ftSmallint: return Variant(AsSmallint());
    case ftWord: return Variant(AsWord());
    case ftInteger: case ftAutoInc: return Variant(AsInteger());
    case ftLargeint: return Variant(AsLargeint());
    case ftBoolean: return Variant(AsBoolean());
    case ftFloat: return Variant(ReadDouble(value_));
    case ftDate: case ftTime: case ftDateTime: return Variant::FromDate(ReadDouble(value_));
    case ftCurrency: case ftBCD: return Variant(ReadCurrency(value_));
    case ftFMTBcd: return Variant(AsFMTBCD());
    case ftTimeStamp: return Variant(AsSQLTimeStamp());
    case ftBytes: case ftVarBytes: return Variant::FromBytes(value_);
    case ftIDispatch: return Variant::FromInterface(StrToInt64Def(value_, 0));
    default: return Variant(value_);
  }
}

void TRdaParamItem::SetValue(const Variant& value) {
  switch (value.Type()) {
    case VarType::Null:
      SetIsNull(true);
      break;
    case VarType::ShortInt: case VarType::SmallInt: case VarType::Byte:
      if (dataType_ == ftInteger)
        SetAsInteger(value.ToInt32());
      else
        SetAsSmallint(value.ToInt32());
      break;
    case VarType::Integer: SetAsInteger(value.ToInt32()); break;
    case VarType::Single: case VarType::Double: SetAsFloat(value.ToDouble()); break;
    case VarType::Currency: SetAsCurrency(value.ToCurrency()); break;
    case VarType::Date: SetAsDateTime(value.ToDateTime()); break;
    case VarType::String: SetAsString(value.ToBytes()); break;
    case VarType::Boolean: SetAsBoolean(value.ToBoolean()); break;
    case VarType::Word: SetAsWord(value.ToInt32()); break;
    case VarType::LongWord: case VarType::Int64: case VarType::UInt64:
      SetAsLargeint(value.ToInt64());
      break;
    case VarType::Bcd: SetAsFMTBCD(value.ToBcd()); break;
    case VarType::SqlTimeStamp: SetAsSQLTimeStamp(value.ToSqlTimeStamp()); break;
    case VarType::Bytes: Store(dataType_ == ftVarBytes ? ftVarBytes : ftBytes, value.ToBytes()); break;
    case VarType::Interface: Store(ftIDispatch, Num(value.ToInt64())); break;
    case VarType::Empty:
      dataType_ = ftUnknown;
      SetIsNull(true);
      break;
  }
}

void TRdaParamItem::SetAsText(std::string_view text) {
  if (dataType_ == ftUnknown) dataType_ = ftString;
  SetIsNull(true);
  if (text.empty()) return;
  try {
    ConvertText(text);
  } catch (const Exception&) {
    SetIsNull(true);
    throw Exception("Unable to call SetAsText for " + name_);
  }
}

void TRdaParamItem::ConvertText(std::string_view text) {
  // A 16-bit type takes only what fits: cutting a typed-in number to its
  // width would store a different value than the one given.
  auto int16Range = [&](int32_t lo, int32_t hi) {
    int32_t v = StrToInt(text);
    if (v < lo || v > hi)
      throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return v;
  };
  switch (dataType_) {
    case ftString: case ftFixedChar: case ftWideString: case ftBytes: case ftVarBytes:
    case ftGuid:
      SetAsString(text);
      break;
    case ftSmallint: SetAsSmallint(int16Range(INT16_MIN, INT16_MAX)); break;
    case ftWord: SetAsWord(int16Range(0, UINT16_MAX)); break;
    case ftInteger: SetAsInteger(StrToInt(text)); break;
    case ftAutoInc: Store(ftAutoInc, Num(StrToInt(text))); break;
    case ftBoolean: {
      SetAsBoolean(SameTextAscii(TrimControls(text), "TRUE"));
      break;
    }
    case ftFloat: SetAsFloat(StrToFloat(text)); break;
    case ftCurrency: SetAsCurrency(StrToCurr(text)); break;
    case ftBCD: SetAsBCD(StrToCurr(text)); break;
    case ftDate: SetAsDate(StrToDate(text)); break;
    case ftTime: SetAsTime(StrToTime(text)); break;
    case ftDateTime: SetAsDateTime(StrToDateTime(text)); break;
    case ftBlob: SetAsBlob(text); break;
    case ftMemo: SetAsMemo(text); break;
    case ftLargeint: SetAsLargeint(StrToInt64(text)); break;
    case ftOraBlob: case ftOraClob: StoreText(dataType_, text); break;
    case ftTimeStamp: SetAsSQLTimeStamp(StrToSqlTimeStamp(text)); break;
    case ftFMTBcd: SetAsFMTBCD(StrToBcd(text)); break;
    default: break;  // no text form: the item stays null
  }
}

void TRdaParamItem::Assign(const TRdaParamItem& source) {
  if (&source == this) return;
  name_ = source.name_;
  value_ = source.value_;
  paramType_ = source.paramType_;
  dataType_ = source.dataType_;
  isNull_ = source.isNull_;
  size_ = source.size_;
}

bool TRdaParamItem::operator==(const TRdaParamItem& other) const {
  return name_ == other.name_ && dataType_ == other.dataType_ &&
         paramType_ == other.paramType_ && isNull_ == other.isNull_ && size_ == other.size_ &&
         value_ == other.value_;
}

// ---- TRdaParamList -------------------------------------------------------

TRdaParamList::~TRdaParamList() = default;

int TRdaParamList::IndexOf(const TRdaParamItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return static_cast<int>(i);
  return -1;
}

void TRdaParamList::CheckIndex(int index) const {
  if (index < 0 || index >= Count())
    throw ERdaParamException("Index " + Num(index) + " Out of bounds");
}

TRdaParamItem& TRdaParamList::Items(int index) {
  CheckIndex(index);
  return *items_[static_cast<size_t>(index)];
}

const TRdaParamItem& TRdaParamList::Items(int index) const {
  CheckIndex(index);
  return *items_[static_cast<size_t>(index)];
}

TRdaParamItem& TRdaParamList::Add() {
  TRdaParamItem& item = Append();
  item.name_ = "Param" + Num(item.id_);
  return item;
}

TRdaParamItem& TRdaParamList::Append() {
  auto item = std::make_unique<TRdaParamItem>();
  item->collection_ = this;
  item->id_ = nextId_++;
  item->paramType_ = ptInput;
  items_.push_back(std::move(item));
  return *items_.back();
}

TRdaParamItem& TRdaParamList::CreateParam(TFieldType dataType, std::string name,
                                          TRdaParamType paramType) {
  TRdaParamItem& item = Add();
  item.SetDataType(dataType);
  item.SetName(std::move(name));
  item.SetParamType(paramType);
  return item;
}

TRdaParamItem& TRdaParamList::FastAdd(std::string_view name, const Variant& value) {
  TRdaParamItem* item = FindParam(name);
  if (!item) {
    item = &Add();
    item->SetName(std::string(name));
  }
  item->SetValue(value);
  return *item;
}

TRdaParamItem& TRdaParamList::FastAdd(const Variant& value) {
  TRdaParamItem& item = Add();
  item.SetName("FastAdd" + Num(Count() - 1));
  item.SetValue(value);
  return item;
}

TRdaParamItem* TRdaParamList::FindParam(std::string_view name) {
  for (auto& item : items_)
    if (SameTextCp1252(TrimControls(item->name_), name)) return item.get();
  return nullptr;
}

const TRdaParamItem* TRdaParamList::FindParam(std::string_view name) const {
  return const_cast<TRdaParamList*>(this)->FindParam(name);
}

TRdaParamItem& TRdaParamList::ParamByName(std::string_view name) {
  if (TRdaParamItem* item = FindParam(name)) return *item;
  throw ERdaParamException("Parameter Not Found: " + std::string(name));
}

const TRdaParamItem& TRdaParamList::ParamByName(std::string_view name) const {
  return const_cast<TRdaParamList*>(this)->ParamByName(name);
}

bool TRdaParamList::DeleteParam(std::string_view name) {
  TRdaParamItem* item = FindParam(name);
  if (!item) return false;
  Delete(IndexOf(item));
  return true;
}

void TRdaParamList::Delete(int index) {
  CheckIndex(index);
  items_.erase(items_.begin() + index);
}

void TRdaParamList::Clear() { items_.clear(); }

void TRdaParamList::CopyTo(TRdaParamList& target, bool clearFirst) const {
  if (clearFirst) target.Clear();
  // Counted up front so that copying a list into itself ends.
  const size_t n = items_.size();
  for (size_t i = 0; i < n; ++i) target.Add().Assign(*items_[i]);
}

std::unique_ptr<TRdaParamList> TRdaParamList::Clone() const {
  auto copy = std::make_unique<TRdaParamList>();
  CopyTo(*copy, false);
  return copy;
}

void TRdaParamList::CopyValuesTo(TRdaParamList& target) const {
  for (auto& item : target.items_)
    if (const TRdaParamItem* source = FindParam(item->name_)) item->Assign(*source);
}

void TRdaParamList::AssignItem(int index, const TRdaParamItem& source) {
  Items(index).Assign(source);
}

bool TRdaParamList::operator==(const TRdaParamList& other) const {
  return std::equal(items_.begin(), items_.end(), other.items_.begin(), other.items_.end(),
                    [](const auto& a, const auto& b) { return *a == *b; });
}

void TRdaParamList::ShowMessage(const std::string& text) const {
  if (OnShowMessage) {
    OnShowMessage(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
  }
}

// ---- Text form -----------------------------------------------------------

std::string TRdaParamList::ToText(bool inputsOnly) const {
  auto included = [inputsOnly](const TRdaParamItem& item) {
    return !inputsOnly || item.paramType_ == ptInput || item.paramType_ == ptInputOutput;
  };
  // Numbers take at most 3 + 3 + 1 + 10 digits; reserving once keeps a
  // large list from being copied while it grows.
  constexpr size_t kFixedPart = kRecordLengthSize + 5 + 3 + 3 + 1 + 10;
  size_t total = 0;
  for (const auto& item : items_)
    if (included(*item)) total += kFixedPart + item->name_.size() + item->value_.size();

  std::string out;
  out.reserve(total);
  for (const auto& p : items_) {
    const TRdaParamItem& item = *p;
    if (!included(item)) continue;
    if (item.name_.find(kSeparator) != std::string::npos)
      throw ERdaParamException("Parameter name holds the separator byte 06: " + item.name_);
    const size_t start = out.size();
    out.append(kRecordLengthSize, '\0');
    out += item.name_;
    out += kSeparator;
    AppendDecimal(out, item.dataType_);
    out += kSeparator;
    AppendDecimal(out, item.paramType_);
    out += kSeparator;
    out += item.isNull_ ? '1' : '0';
    out += kSeparator;
    AppendDecimal(out, static_cast<int64_t>(item.value_.size()));
    out += kSeparator;
    out += item.value_;
    const size_t length = out.size() - start - kRecordLengthSize;
    if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      throw ERdaParamException("Parameter too large for the text form: " + item.name_);
    StoreI32LE(&out[start], static_cast<int32_t>(length));
  }
  return out;
}

std::unique_ptr<TRdaParamList> TRdaParamList::FromText(std::string_view text) {
  auto list = std::make_unique<TRdaParamList>();
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t recordAt = pos;
    if (text.size() - pos < kRecordLengthSize)
      BadText("record length cut short at offset " + Num(static_cast<int64_t>(pos)));
    const int32_t length = LoadI32LE(text.data() + pos);
    pos += kRecordLengthSize;
    if (length < 0)
      BadText("negative record length " + Num(length) + " at offset " +
              Num(static_cast<int64_t>(recordAt)));
    if (static_cast<size_t>(length) > text.size() - pos)
      BadText("record at offset " + Num(static_cast<int64_t>(recordAt)) + " claims " +
              Num(length) + " bytes, " + Num(static_cast<int64_t>(text.size() - pos)) +
              " remain");
    const std::string_view record = text.substr(pos, static_cast<size_t>(length));
    pos += static_cast<size_t>(length);

    // name 06 datatype 06 paramtype 06 null 06 L 06 value: each header
    // part ends at the next separator or at the end of the record.
    std::string_view parts[5];
    size_t at = 0;
    bool ended = false;
    for (auto& part : parts) {
      if (ended) break;
      const size_t sep = record.find(kSeparator, at);
      if (sep == std::string_view::npos) {
        part = record.substr(at);
        at = record.size();
        ended = true;
      } else {
        part = record.substr(at, sep - at);
        at = sep + 1;
      }
    }
    const std::string_view rest = ended ? std::string_view{} : record.substr(at);
    const int64_t valueLength = StrToInt64Def(parts[4], 0);
    if (valueLength < 0)
      BadText("negative value length " + Num(valueLength) + " in the record at offset " +
              Num(static_cast<int64_t>(recordAt)));
    if (static_cast<uint64_t>(valueLength) > rest.size())
      BadText("value length " + Num(valueLength) + " runs past the record at offset " +
              Num(static_cast<int64_t>(recordAt)));

    TRdaParamItem& item = list->Append();
    item.name_.assign(parts[0]);
    item.dataType_ = static_cast<TFieldType>(ReadOrdinal(parts[1], "data type", recordAt));
    item.paramType_ = static_cast<TRdaParamType>(ReadOrdinal(parts[2], "parameter type", recordAt));
    item.isNull_ = StrToInt64Def(parts[3], 0) != 0;
    // A null item has no value, whatever the sender put behind it.
    if (!item.isNull_) item.value_.assign(rest.substr(0, static_cast<size_t>(valueLength)));
  }
  return list;
}

// ---- Parameters found in SQL text ----------------------------------------

void TRdaParamList::ParamsFromSQL(std::string_view sql) {
  // Bytes left out of a name, and those of them that also end it.
  auto skipped = [](char c) {
    switch (c) {
      case '\n': case '\r': case ' ': case '\'': case ')': case '*': case '+': case ',':
      case '-': case ';':
        return true;
      default:
        return false;
    }
  };
  auto ends = [](char c) {
    return c == '\r' || c == ' ' || c == '*' || c == '+' || c == ',' || c == '-';
  };

  std::vector<std::string> names;
  if (sql.find(':') != std::string_view::npos) {
    const size_t n = sql.size();
    for (size_t p = 0; p < n; ++p) {
      if (sql[p] == '\'') {
        const size_t close = sql.find('\'', p + 1);
        if (close == std::string_view::npos) {
          ShowMessage(kOpenQuote);
          break;
        }
        p = close;
        continue;
      }
      if (sql[p] != ':') continue;
      std::string name;
      size_t q = p + 1;
      while (q < n) {
        const char c = sql[q++];
        if (c == ':') throw Exception(kRunTogether);
        if (!skipped(c)) name += c;
        if (ends(c)) break;
      }
      if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(std::move(name));
      p = q - 1;
    }
  }

  Clear();
  for (auto& name : names) {
    TRdaParamItem& item = Add();
    item.SetName(std::move(name));
    item.SetIsNull(false);
  }
}

void TRdaParamList::ParamsFromSQL(const std::vector<std::string>& lines) {
  std::string sql;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) sql += "\r\n";
    sql += lines[i];
  }
  ParamsFromSQL(sql);
}

void TRdaParamList::ParamsFromDesignList(const std::vector<std::string>* lines) {
  if (!lines) throw EDatabaseError("Nil list pass to prepare from design list");
  struct Design {
    std::string name;
    TRdaParamType paramType;
    TFieldType dataType;
  };
  std::vector<Design> designs;
  try {
    for (const std::string& line : *lines) {
      std::vector<std::string_view> fields;
      size_t at = 0;
      for (;;) {
        const size_t sep = line.find(kSeparator, at);
        fields.push_back(std::string_view(line).substr(at, sep - at));
        if (sep == std::string::npos) break;
        at = sep + 1;
      }
      if (fields.size() < 3) throw Exception("missing fields");
      const int32_t paramType = StrToInt(fields[1]);
      if (paramType < ptUnknown || paramType > ptResult) throw Exception("bad parameter type");
      const int32_t dataType = StrToInt(fields[2]);
      designs.push_back({std::string(fields[0]), static_cast<TRdaParamType>(paramType),
                         dataType > 0 && dataType <= kMaxFieldType
                             ? static_cast<TFieldType>(dataType)
                             : ftString});
    }
  } catch (const Exception&) {
    std::string text;
    for (const std::string& line : *lines) text += line + "\r\n";
    throw EDatabaseError("Problem created params from " + text);
  }

  Clear();
  for (Design& d : designs) {
    TRdaParamItem& item = Add();
    item.SetName(std::move(d.name));
    item.SetParamType(d.paramType);
    item.SetDataType(d.dataType);
    item.SetIsNull(true);
    if (d.dataType == ftString) item.SetSize(50);
  }
}

}  // namespace rda
