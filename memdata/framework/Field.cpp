#include "memdata/framework/Field.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/ByteIO.h"
#include "base/CodePage.h"
#include "base/Convert.h"
#include "base/ScopeGuard.h"
#include "memdata/framework/DataSet.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }


// The value as a variant, or Null for a null field.
template <typename Get>
Variant NullOr(const TField& field, Get&& get) {
  return field.IsNull() ? Variant::Null() : Variant(get());
}

// Null and Empty clear the field; anything else goes to the setter.
template <typename Set>
void ClearOr(TField& field, bool clear, Set&& set) {
  if (clear) {
    field.Clear();
  } else {
    set();
  }
}

}  // namespace

size_t TextLength(const char* text, size_t limit) {
  // Eight bytes at a time: a word has a zero byte exactly when
  // (w - 0x01..01) & ~w & 0x80..80 is not zero.
  size_t i = 0;
  for (; i + 8 <= limit; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    if ((w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull) break;
  }
  while (i < limit && text[i] != '\0') ++i;
  return i;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TFieldDefs

TFieldDef& TFieldDefs::Add(std::string name, TFieldType dataType, int size, bool required,
                           int fieldNo) {
  if (fieldNo == 0) fieldNo = Count() + 1;
  items_.push_back(std::make_unique<TFieldDef>(std::move(name), dataType, size, required, fieldNo));
  return *items_.back();
}

int TFieldDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (SameName(items_[i]->Name(), name)) return static_cast<int>(i);
  }
  return -1;
}

TFieldDef* TFieldDefs::FindDef(std::string_view name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : items_[static_cast<size_t>(i)].get();
}

TFieldDef& TFieldDefs::Find(std::string_view name) const {
  TFieldDef* def = FindDef(name);
  if (!def) DatabaseError("Field '" + std::string(name) + "' not found");
  return *def;
}

// ---------------------------------------------------------------------------
// TField

TField::TField(TFieldType dataType, int size) : dataType_(dataType), size_(size) {
  dataSize_ = RdaFieldBufferSize(dataType, size);
}

TField::~TField() = default;

void TField::SetFieldName(std::string name) {
  if (dataSet_) dataSet_->CheckInactive();
  fieldName_ = std::move(name);
}

void TField::SetFieldKind(TFieldKind kind) {
  if (dataSet_) dataSet_->CheckInactive();
  fieldKind_ = kind;
}

void TField::SetSize(int size) {
  if (dataSet_) dataSet_->CheckInactive();
  size_ = std::max(size, 0);
  dataSize_ = RdaFieldBufferSize(dataType_, size_);
}

bool TField::IsBlob() const { return IsRdaBlobFieldType(dataType_); }

int TField::Index() const { return dataSet_ ? dataSet_->Fields().IndexOf(this) : -1; }

bool TField::GetPendingData(void* buffer) const {
  if (!pending_) return false;
  if (buffer) std::memcpy(buffer, pending_, static_cast<size_t>(dataSize_));
  return true;
}

void TField::NoDataSetError() const {
  DatabaseError("Field '" + DisplayName() + "' has no dataset");
}

bool TField::GetConvertedData(void* value) const {
  char small[16] = {};
  char* stored = small;
  if (static_cast<size_t>(dataSize_) >= sizeof small) {
    scratch_.assign(static_cast<size_t>(dataSize_) + 1, '\0');
    stored = scratch_.data();
  }
  if (!GetData(stored)) return false;
  dataSet_->DataConvert(*this, stored, value, false);
  return true;
}

void TField::SetConvertedData(const void* value) {
  if (!dataSet_) NoDataSetError();
  // Not scratch_: a validation handler may read this field while the
  // pending value is being written.
  char small[16] = {};
  std::string large;
  char* stored = small;
  if (static_cast<size_t>(dataSize_) >= sizeof small) {
    large.assign(static_cast<size_t>(dataSize_) + 1, '\0');
    stored = large.data();
  }
  dataSet_->DataConvert(*this, value, stored, true);
  SetData(stored);
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Validate(const void* buffer) {
  TScopeGuard done([this] {
    validating_ = false;
    pending_ = nullptr;
  });
  validating_ = true;
  pending_ = buffer;
  if (dataSet_) dataSet_->DoFieldValidate(*this);
}

void TField::AccessError(const char* typeName) const {
  DatabaseError("Cannot access field '" + DisplayName() + "' as type " + typeName);
}

void TField::RangeError(double value, double min, double max) const {
  DatabaseError(FloatToStr(value) + " is not a valid value for field '" + DisplayName() +
                "'. The allowed range is " + FloatToStr(min) + " to " + FloatToStr(max));
}

std::string TField::GetText(bool displayText) const {
  if (OnGetText) {
    std::string text;
    OnGetText(const_cast<TField&>(*this), text, displayText);
    return text;
  }
  return AsString();
}

void TField::SetText(std::string_view text) {
  if (OnSetText) {
    OnSetText(*this, text);
  } else {
    SetAsString(text);
  }
}

void TField::Assign(const TField& source) {
  if (source.IsNull()) {
    Clear();
  } else {
    SetValue(source.Value());
  }
}

// The generic accessors go through the variant value of the class.
std::string TField::AsString() const { return Value().ToString(); }
void TField::SetAsString(std::string_view text) { SetValue(Variant(text)); }
int32_t TField::AsInteger() const {
  Variant v = Value();
  return v.IsClear() ? 0 : v.ToInt32();
}
void TField::SetAsInteger(int32_t value) { SetValue(Variant(value)); }
int64_t TField::AsLargeInt() const {
  Variant v = Value();
  return v.IsClear() ? 0 : v.ToInt64();
}
void TField::SetAsLargeInt(int64_t value) { SetValue(Variant(value)); }
double TField::AsFloat() const {
  Variant v = Value();
  return v.IsClear() ? 0 : v.ToDouble();
}
void TField::SetAsFloat(double value) { SetValue(Variant(value)); }
Currency TField::AsCurrency() const {
  Variant v = Value();
  return v.IsClear() ? Currency{} : v.ToCurrency();
}
void TField::SetAsCurrency(Currency value) { SetValue(Variant(value)); }
Bcd TField::AsBCD() const {
  Variant v = Value();
  return v.IsClear() ? Bcd{} : v.ToBcd();
}
void TField::SetAsBCD(const Bcd& value) { SetValue(Variant(value)); }
TDateTime TField::AsDateTime() const {
  Variant v = Value();
  return v.IsClear() ? 0 : v.ToDateTime();
}
void TField::SetAsDateTime(TDateTime value) { SetValue(Variant::FromDate(value)); }
bool TField::AsBoolean() const {
  Variant v = Value();
  return v.IsClear() ? false : v.ToBoolean();
}
void TField::SetAsBoolean(bool value) { SetValue(Variant(value)); }
Variant TField::Value() const { return Variant::Null(); }
void TField::SetValue(const Variant& value) {
  if (value.IsClear()) {
    Clear();
    return;
  }
  AccessError("Variant");
}

// ---------------------------------------------------------------------------
// TStringField

TStringField::TStringField(int size, TFieldType type) : TField(type, size) {}

void TStringField::SetSize(int size) { TField::SetSize(size); }

std::string_view TStringField::AsStringView() const {
  buffer_.resize(static_cast<size_t>(DataSize()));
  if (!GetData(buffer_.data())) return {};
  return std::string_view(buffer_.data(), TextLength(buffer_.data(), static_cast<size_t>(Size())));
}

std::string TStringField::AsString() const { return std::string(AsStringView()); }

void TStringField::SetAsString(std::string_view text) {
  const size_t size = static_cast<size_t>(DataSize());
  const size_t n = std::min(text.size(), static_cast<size_t>(Size()));
  buffer_.resize(size);
  char* p = buffer_.data();
  std::memcpy(p, text.data(), n);
  // Usually only the terminator or a few bytes of padding remain.
  if (size - n <= 8) {
    for (size_t i = n; i < size; ++i) p[i] = '\0';
  } else {
    std::memset(p + n, 0, size - n);
  }
  SetData(p);
}

int32_t TStringField::AsInteger() const {
  std::string_view s = AsStringView();
  return s.empty() ? 0 : StrToInt(s);
}

double TStringField::AsFloat() const {
  std::string_view s = AsStringView();
  return s.empty() ? 0 : StrToFloat(s);
}

// The platform reads a text field as Boolean by its first letter.
bool TStringField::AsBoolean() const {
  std::string_view s = AsStringView();
  if (s.empty()) return false;
  char c = UpperAscii(s[0]);
  return c == 'T' || c == 'Y';
}

void TStringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }

Variant TStringField::Value() const {
  return NullOr(*this, [&] { return AsStringView(); });
}

void TStringField::SetValue(const Variant& value) {
  if (value.Type() == VarType::String) {
    SetAsString(value.ToBytes());  // the text itself, not a copy
    return;
  }
  ClearOr(*this, value.IsClear(), [&] { SetAsString(value.ToString()); });
}

// ---------------------------------------------------------------------------
// TWideStringField

TWideStringField::TWideStringField(int size) : TField(ftWideString, size) {}

void TWideStringField::SetSize(int size) { TField::SetSize(size); }

std::u16string TWideStringField::AsWideString() const {
  std::u16string text;
  GetConvertedData(&text);
  return text;
}

void TWideStringField::SetAsWideString(std::u16string_view text) {
  std::u16string value(text);
  SetConvertedData(&value);
}

std::string TWideStringField::AsString() const { return Utf16ToCp1252(AsWideString()); }

void TWideStringField::SetAsString(std::string_view text) { SetAsWideString(Cp1252ToUtf16(text)); }

Variant TWideStringField::Value() const {
  return NullOr(*this, [&] { return AsString(); });
}

void TWideStringField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsString(value.ToString()); });
}

// ---------------------------------------------------------------------------
// TIntegerField

TIntegerField::TIntegerField(TFieldType type) : TField(type, 0) {
  switch (type) {
    case ftSmallint:
      min_ = INT16_MIN;
      max_ = INT16_MAX;
      break;
    case ftWord:
      min_ = 0;
      max_ = UINT16_MAX;
      break;
    default:
      min_ = INT32_MIN;
      max_ = INT32_MAX;
      break;
  }
}

int32_t TIntegerField::AsInteger() const {
  char buf[4] = {};
  if (!GetData(buf)) return 0;
  switch (DataType()) {
    case ftSmallint:
      return static_cast<int16_t>(LoadU16LE(buf));
    case ftWord:
      return LoadU16LE(buf);
    default:
      return LoadI32LE(buf);
  }
}

void TIntegerField::SetAsInteger(int32_t value) {
  if (value < min_ || value > max_) RangeError(value, min_, max_);
  char buf[4] = {};
  if (DataSize() == 2) {
    StoreU16LE(buf, static_cast<uint16_t>(value));
  } else {
    StoreI32LE(buf, value);
  }
  SetData(buf);
}

std::string TIntegerField::AsString() const { return IsNull() ? std::string() : IntToStr(AsInteger()); }

void TIntegerField::SetAsString(std::string_view text) {
  if (text.empty()) {
    Clear();
    return;
  }
  int64_t v = StrToInt64(text);
  if (v < min_ || v > max_) RangeError(static_cast<double>(v), min_, max_);
  SetAsInteger(static_cast<int32_t>(v));
}

Variant TIntegerField::Value() const {
  if (IsNull()) return Variant::Null();
  int32_t v = AsInteger();
  switch (DataType()) {
    case ftSmallint:
      return Variant(static_cast<int16_t>(v));
    case ftWord:
      return Variant(static_cast<uint16_t>(v));
    default:
      return Variant(v);
  }
}

void TIntegerField::SetValue(const Variant& value) {
  if (value.IsClear()) {
    Clear();
    return;
  }
  int64_t v = value.ToInt64();
  if (v < min_ || v > max_) RangeError(static_cast<double>(v), min_, max_);
  SetAsInteger(static_cast<int32_t>(v));
}

// ---------------------------------------------------------------------------
// TLargeintField

TLargeintField::TLargeintField() : TField(ftLargeint, 0) {}

int64_t TLargeintField::AsLargeInt() const {
  char buf[8] = {};
  if (!GetData(buf)) return 0;
  return static_cast<int64_t>(LoadU64LE(buf));
}

void TLargeintField::SetAsLargeInt(int64_t value) {
  char buf[8];
  StoreU64LE(buf, static_cast<uint64_t>(value));
  SetData(buf);
}

std::string TLargeintField::AsString() const {
  return IsNull() ? std::string() : IntToStr(AsLargeInt());
}

void TLargeintField::SetAsString(std::string_view text) {
  ClearOr(*this, text.empty(), [&] { SetAsLargeInt(StrToInt64(text)); });
}

Variant TLargeintField::Value() const {
  return NullOr(*this, [&] { return AsLargeInt(); });
}

void TLargeintField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsLargeInt(value.ToInt64()); });
}

// ---------------------------------------------------------------------------
// TBooleanField

TBooleanField::TBooleanField() : TField(ftBoolean, 0) {}

bool TBooleanField::AsBoolean() const {
  char buf[2] = {};
  if (!GetData(buf)) return false;
  return LoadU16LE(buf) != 0;
}

// True is kept as all bits set, as the stored form asks.
void TBooleanField::SetAsBoolean(bool value) {
  char buf[2];
  StoreU16LE(buf, value ? 0xFFFF : 0);
  SetData(buf);
}

std::string TBooleanField::AsString() const {
  if (IsNull()) return std::string();
  return AsBoolean() ? "True" : "False";
}

void TBooleanField::SetAsString(std::string_view text) {
  if (text.empty()) {
    Clear();
  } else if (SameName(text, "True")) {
    SetAsBoolean(true);
  } else if (SameName(text, "False")) {
    SetAsBoolean(false);
  } else {
    throw EConvertError("'" + std::string(text) + "' is not a valid boolean value");
  }
}

Variant TBooleanField::Value() const {
  return NullOr(*this, [&] { return AsBoolean(); });
}

void TBooleanField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsBoolean(value.ToBoolean()); });
}

// ---------------------------------------------------------------------------
// TFloatField, TCurrencyField

TFloatField::TFloatField(TFieldType type) : TField(type, 0) {}

double TFloatField::AsFloat() const {
  char buf[8] = {};
  if (!GetData(buf)) return 0;
  return RdaLoadDouble(buf);
}

void TFloatField::SetAsFloat(double value) {
  char buf[8];
  RdaStoreDouble(buf, value);
  SetData(buf);
}

int32_t TFloatField::AsInteger() const { return Variant(AsFloat()).ToInt32(); }

std::string TFloatField::AsString() const { return IsNull() ? std::string() : FloatToStr(AsFloat()); }

void TFloatField::SetAsString(std::string_view text) {
  ClearOr(*this, text.empty(), [&] { SetAsFloat(StrToFloat(text)); });
}

Variant TFloatField::Value() const {
  return NullOr(*this, [&] { return AsFloat(); });
}

void TFloatField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsFloat(value.ToDouble()); });
}

// Rounding the scaled double to the nearest integer gives what rounding its
// shortest decimal text gives whenever the value lies well away from a half
// of the last place and is small enough that the product is exact to a few
// ulps (below 2^45); only the rest takes the exact decimal way.
Currency TCurrencyField::AsCurrency() const {
  const double value = AsFloat();
  const double scaled = value * Currency::kScale;
  if (std::fabs(scaled) < 0x1p45) {
    // Adding and taking away 1.5 * 2^52 rounds to the nearest integer.
    const double nearest = (scaled + 0x1.8p52) - 0x1.8p52;
    if (std::fabs(scaled - nearest) < 0.25) return Currency::FromScaled(static_cast<int64_t>(nearest));
  }
  return Currency::FromDouble(value);
}

void TCurrencyField::SetAsCurrency(Currency value) { SetAsFloat(value.ToDouble()); }

Variant TCurrencyField::Value() const {
  return NullOr(*this, [&] { return AsCurrency(); });
}

// ---------------------------------------------------------------------------
// TBCDField

TBCDField::TBCDField() : TField(ftBCD, 0) {}

Currency TBCDField::AsCurrency() const {
  Currency c;
  if (!GetConvertedData(&c)) return Currency{};
  return c;
}

void TBCDField::SetAsCurrency(Currency value) { SetConvertedData(&value); }

Bcd TBCDField::AsBCD() const { return IsNull() ? Bcd{} : CurrencyToBcd(AsCurrency()); }

void TBCDField::SetAsBCD(const Bcd& value) { SetAsCurrency(BcdToCurrency(value)); }

int32_t TBCDField::AsInteger() const { return Variant(AsCurrency()).ToInt32(); }

std::string TBCDField::AsString() const { return IsNull() ? std::string() : CurrToStr(AsCurrency()); }

void TBCDField::SetAsString(std::string_view text) {
  ClearOr(*this, text.empty(), [&] { SetAsCurrency(StrToCurr(text)); });
}

Variant TBCDField::Value() const {
  return NullOr(*this, [&] { return AsCurrency(); });
}

void TBCDField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsCurrency(value.ToCurrency()); });
}

// ---------------------------------------------------------------------------
// TFMTBCDField

TFMTBCDField::TFMTBCDField() : TField(ftFMTBcd, 0) {}

Bcd TFMTBCDField::AsBCD() const {
  char buf[Bcd::kSize] = {};
  if (!GetData(buf)) return Bcd{};
  return Bcd::FromBytes(std::string_view(buf, Bcd::kSize));
}

void TFMTBCDField::SetAsBCD(const Bcd& value) {
  std::string bytes = value.ToBytes();
  SetData(bytes.data());
}

Currency TFMTBCDField::AsCurrency() const { return IsNull() ? Currency{} : BcdToCurrency(AsBCD()); }

double TFMTBCDField::AsFloat() const { return IsNull() ? 0 : BcdToDouble(AsBCD()); }

std::string TFMTBCDField::AsString() const { return IsNull() ? std::string() : BcdToStr(AsBCD()); }

void TFMTBCDField::SetAsString(std::string_view text) {
  ClearOr(*this, text.empty(), [&] { SetAsBCD(StrToBcd(text)); });
}

Variant TFMTBCDField::Value() const {
  return NullOr(*this, [&] { return AsBCD(); });
}

void TFMTBCDField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsBCD(value.ToBcd()); });
}

// ---------------------------------------------------------------------------
// TDateTimeField

TDateTimeField::TDateTimeField(TFieldType type) : TField(type, 0) {}

TDateTime TDateTimeField::AsDateTime() const {
  TDateTime value = 0;
  if (!GetConvertedData(&value)) return 0;
  return value;
}

void TDateTimeField::SetAsDateTime(TDateTime value) { SetConvertedData(&value); }

std::string TDateTimeField::AsString() const {
  if (IsNull()) return std::string();
  TDateTime v = AsDateTime();
  switch (DataType()) {
    case ftDate:
      return DateToStr(v);
    case ftTime:
      return TimeToStr(v);
    default:
      return DateTimeToStr(v);
  }
}

void TDateTimeField::SetAsString(std::string_view text) {
  if (text.empty()) {
    Clear();
    return;
  }
  switch (DataType()) {
    case ftDate:
      SetAsDateTime(StrToDate(text));
      break;
    case ftTime:
      SetAsDateTime(StrToTime(text));
      break;
    default:
      SetAsDateTime(StrToDateTime(text));
      break;
  }
}

Variant TDateTimeField::Value() const {
  if (IsNull()) return Variant::Null();
  return Variant::FromDate(AsDateTime());
}

void TDateTimeField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsDateTime(value.ToDateTime()); });
}

// ---------------------------------------------------------------------------
// TSQLTimeStampField

TSQLTimeStampField::TSQLTimeStampField() : TField(ftTimeStamp, 0) {}

SqlTimeStamp TSQLTimeStampField::AsSQLTimeStamp() const {
  char buf[SqlTimeStamp::kSize] = {};
  if (!GetData(buf)) return SqlTimeStamp{};
  return SqlTimeStamp::FromBytes(std::string_view(buf, SqlTimeStamp::kSize));
}

void TSQLTimeStampField::SetAsSQLTimeStamp(const SqlTimeStamp& value) {
  std::string bytes = value.ToBytes();
  SetData(bytes.data());
}

TDateTime TSQLTimeStampField::AsDateTime() const {
  return IsNull() ? 0 : SqlTimeStampToDateTime(AsSQLTimeStamp());
}

void TSQLTimeStampField::SetAsDateTime(TDateTime value) {
  SetAsSQLTimeStamp(DateTimeToSqlTimeStamp(value));
}

std::string TSQLTimeStampField::AsString() const {
  return IsNull() ? std::string() : SqlTimeStampToStr(AsSQLTimeStamp());
}

void TSQLTimeStampField::SetAsString(std::string_view text) {
  ClearOr(*this, text.empty(), [&] { SetAsSQLTimeStamp(StrToSqlTimeStamp(text)); });
}

Variant TSQLTimeStampField::Value() const {
  return NullOr(*this, [&] { return AsSQLTimeStamp(); });
}

void TSQLTimeStampField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsSQLTimeStamp(value.ToSqlTimeStamp()); });
}

// ---------------------------------------------------------------------------
// TBytesField

TBytesField::TBytesField(int size, TFieldType type) : TField(type, size) {}

void TBytesField::SetSize(int size) { TField::SetSize(size); }

std::string TBytesField::AsString() const {
  std::string bytes(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(bytes.data())) return std::string();
  return bytes;
}

void TBytesField::SetAsString(std::string_view bytes) {
  std::string buf(static_cast<size_t>(DataSize()), '\0');
  std::memcpy(buf.data(), bytes.data(), std::min(bytes.size(), buf.size()));
  SetData(buf.data());
}

Variant TBytesField::Value() const {
  if (IsNull()) return Variant::Null();
  return Variant::FromBytes(AsString());
}

void TBytesField::SetValue(const Variant& value) {
  if (value.IsClear()) {
    Clear();
  } else if (value.Type() == VarType::Bytes || value.Type() == VarType::String) {
    SetAsString(value.ToBytes());
  } else {
    AccessError("Bytes");
  }
}

// ---------------------------------------------------------------------------
// Blob fields

TBlobField::TBlobField(TFieldType type) : TField(type, 0) {}

std::string TBlobField::AsString() const {
  if (IsNull()) return std::string();
  return DataSet()->ReadBlobData(const_cast<TBlobField&>(*this));
}

void TBlobField::SetAsString(std::string_view bytes) {
  if (!DataSet()) NoDataSetError();
  DataSet()->WriteBlobData(*this, bytes);
}

Variant TBlobField::Value() const {
  if (IsNull()) return Variant::Null();
  return Variant::FromBytes(AsString());
}

void TBlobField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { SetAsString(value.Type() == VarType::Bytes ? value.ToBytes() : value.ToString()); });
}

Variant TMemoField::Value() const {
  return NullOr(*this, [&] { return AsString(); });
}

void TUnstoredField::SetValue(const Variant& value) {
  ClearOr(*this, value.IsClear(), [&] { AccessError("Variant"); });
}

// ---------------------------------------------------------------------------

std::unique_ptr<TField> CreateFieldObject(TFieldType type, int size) {
  std::unique_ptr<TField> field;
  switch (type) {
    case ftString:
    case ftFixedChar:
      field = std::make_unique<TStringField>(size, type);
      break;
    case ftGuid:
      field = std::make_unique<TGuidField>();
      break;
    case ftWideString:
      field = std::make_unique<TWideStringField>(size);
      break;
    case ftSmallint:
      field = std::make_unique<TSmallintField>();
      break;
    case ftInteger:
      field = std::make_unique<TIntegerField>();
      break;
    case ftWord:
      field = std::make_unique<TWordField>();
      break;
    case ftAutoInc:
      field = std::make_unique<TAutoIncField>();
      break;
    case ftLargeint:
      field = std::make_unique<TLargeintField>();
      break;
    case ftBoolean:
      field = std::make_unique<TBooleanField>();
      break;
    case ftFloat:
      field = std::make_unique<TFloatField>();
      break;
    case ftCurrency:
      field = std::make_unique<TCurrencyField>();
      break;
    case ftBCD:
      field = std::make_unique<TBCDField>();
      break;
    case ftFMTBcd:
      field = std::make_unique<TFMTBCDField>();
      break;
    case ftDate:
      field = std::make_unique<TDateField>();
      break;
    case ftTime:
      field = std::make_unique<TTimeField>();
      break;
    case ftDateTime:
      field = std::make_unique<TDateTimeField>();
      break;
    case ftTimeStamp:
      field = std::make_unique<TSQLTimeStampField>();
      break;
    case ftBytes:
      field = std::make_unique<TBytesField>(size);
      break;
    case ftVarBytes:
      field = std::make_unique<TVarBytesField>(size);
      break;
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
      field = std::make_unique<TMemoField>(type);
      break;
    case ftGraphic:
      field = std::make_unique<TGraphicField>();
      break;
    case ftBlob:
    case ftTypedBinary:
    case ftOraBlob:
      field = std::make_unique<TBlobField>(type);
      break;
    case ftDataSet:
      field = std::make_unique<TDataSetField>();
      break;
    default:
      // The codes that keep nothing in a row.
      if (!IsKnownFieldType(type)) {
        DatabaseError("Unknown field type " + std::to_string(static_cast<int>(type)));
      }
      field = std::make_unique<TUnstoredField>(type);
      break;
  }
  return field;
}

// ---------------------------------------------------------------------------
// TFields

TField* TFields::FindField(std::string_view name) const {
  for (const auto& f : items_) {
    if (SameName(f->FieldName(), name)) return f.get();
  }
  return nullptr;
}

int TFields::IndexOf(const TField* field) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == field) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace rda
