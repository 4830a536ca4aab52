#include "memdata/store/RdaStoredValue.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/ByteIO.h"
#include "base/CodePage.h"
#include "base/Currency.h"
#include "base/SqlTimeStamp.h"

namespace rda {

namespace {

// Width of the fixed-size codes; -1 for the codes sized by the declaration.
constexpr int kFixedWidth[128] = {
    0,  -1, 2,  4,  2,  2,  8, 8,  8,  8,  4,  8,  -1, -1, 4,  4,   // 0-15
    4,  4,  4,  0,  0,  4,  0, -1, -1, 8,  0,  0,  0,  4,  4,  4,   // 16-31
    0,  0,  0,  -1, 16, 34,                                        // 32-37
};  // codes 38-127 are unknown: nothing stored

int Code(uint8_t dataType) { return dataType & 0x7F; }

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareNear(double a, double b, double tolerance) {
  if (std::fabs(a - b) <= tolerance) return 0;
  return a < b ? -1 : 1;
}

// The date-time value of a stored date, time or date-time for comparing:
// plain arithmetic, so that any stored bytes compare without raising.
double ComparableDateTime(int code, const char* p) {
  switch (code) {
    case ftDate:
      return static_cast<double>(LoadI32LE(p)) - kDateDelta;
    case ftTime:
      return static_cast<double>(LoadI32LE(p)) / kMSecsPerDay;
    case ftDateTime:
      return RdaLoadDouble(p) / kMSecsPerDay - kDateDelta;
    default:
      return RdaLoadDouble(p);
  }
}

// The locale's collators, made once: tertiary strength tells letter case
// apart, secondary strength does not (accents still count).
class Collators {
 public:
  static const Collators& Get() {
    static const Collators collators;
    return collators;
  }
  const UCollator* For(bool caseInsensitive) const {
    return caseInsensitive ? caseBlind_.get() : exact_.get();
  }

 private:
  struct Closer {
    void operator()(UCollator* c) const { ucol_close(c); }
  };
  using Ptr = std::unique_ptr<UCollator, Closer>;
  static Ptr Open(UColAttributeValue strength) {
    UErrorCode status = U_ZERO_ERROR;
    // The process's locale (from the environment). The C and POSIX locales
    // tailor collation to code unit order, which is no collation at all:
    // they get the root collation, as a desktop without a language would.
    const std::string_view locale = uloc_getDefault();
    const bool posix = locale.empty() || locale == "c" || locale.starts_with("en_US_POSIX");
    Ptr collator(ucol_open(posix ? "" : locale.data(), &status));
    if (U_FAILURE(status)) {
      status = U_ZERO_ERROR;
      collator.reset(ucol_open("", &status));  // the root collation
    }
    if (collator) ucol_setStrength(collator.get(), strength);
    return collator;
  }
  Collators() : exact_(Open(UCOL_TERTIARY)), caseBlind_(Open(UCOL_SECONDARY)) {}
  Ptr exact_;
  Ptr caseBlind_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Sizes and families

int64_t RdaFieldDataSize(uint8_t dataType, int64_t size) {
  const int code = Code(dataType);
  if (code == ftWideString) return size * 2;
  const int width = kFixedWidth[code];
  return width < 0 ? size : width;
}

int32_t RdaDeclaredSize(uint8_t dataType, int32_t dataSize) {
  switch (Code(dataType)) {
    case ftString: case ftBytes: case ftVarBytes: case ftFixedChar: case ftDataSet: case ftGuid:
      return dataSize;
    case ftWideString:
      return dataSize / 2;
    default:
      return 0;
  }
}

int RdaFixedFieldWidth(uint8_t dataType) {
  const int code = Code(dataType);
  return code == ftWideString ? -1 : kFixedWidth[code];
}

bool IsRdaFixedSizeFieldType(uint8_t dataType) { return RdaFixedFieldWidth(dataType) >= 0; }

int RdaFieldBufferSize(uint8_t dataType, int size) {
  const int64_t bytes = RdaFieldDataSize(dataType, size) + (IsRdaTextFieldType(dataType) ? 1 : 0);
  return static_cast<int>(std::clamp<int64_t>(bytes, 0, 0x7FFFFFFF));
}

bool IsRdaBlobFieldType(uint8_t dataType) {
  switch (Code(dataType)) {
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftTypedBinary:
    case ftDataSet: case ftOraBlob: case ftOraClob:
      return true;
    default:
      return false;
  }
}

bool IsRdaTextFieldType(uint8_t dataType) {
  const int code = Code(dataType);
  return code == ftString || code == ftFixedChar || code == ftGuid;
}

bool IsRdaIntegerFieldType(uint8_t dataType) {
  const int code = Code(dataType);
  return code == ftSmallint || code == ftInteger || code == ftWord || code == ftAutoInc ||
         code == ftLargeint;
}

bool IsRdaUnstoredFieldType(uint8_t dataType) { return RdaFieldDataSize(dataType, 1) == 0; }

bool IsRdaComparableFieldType(uint8_t dataType) {
  switch (Code(dataType)) {
    case ftString: case ftFixedChar: case ftGuid: case ftSmallint: case ftInteger:
    case ftAutoInc: case ftWord: case ftBoolean: case ftFloat: case ftCurrency: case ftDate:
    case ftTime: case ftDateTime: case ftBCD: case ftBytes: case ftVarBytes: case ftWideString:
    case ftLargeint: case ftTimeStamp: case ftFMTBcd:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Load and store

int64_t RdaLoadInteger(uint8_t dataType, const char* p) {
  switch (Code(dataType)) {
    case ftSmallint:
      return static_cast<int16_t>(LoadU16LE(p));
    case ftWord:
    case ftBoolean:
      return LoadU16LE(p);
    case ftLargeint:
    case ftBCD:
      return static_cast<int64_t>(LoadU64LE(p));
    default:
      return LoadI32LE(p);
  }
}

void RdaStoreInteger(uint8_t dataType, char* p, int64_t value) {
  switch (Code(dataType)) {
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      StoreU16LE(p, static_cast<uint16_t>(value));
      break;
    case ftLargeint:
    case ftBCD:
      StoreU64LE(p, static_cast<uint64_t>(value));
      break;
    default:
      StoreI32LE(p, static_cast<int32_t>(value));
      break;
  }
}

double RdaLoadDouble(const char* p) { return std::bit_cast<double>(LoadU64LE(p)); }

void RdaStoreDouble(char* p, double value) { StoreU64LE(p, std::bit_cast<uint64_t>(value)); }

TDateTime RdaLoadDateTime(uint8_t dataType, const char* p) {
  const int code = Code(dataType);
  if (code == ftDateTime) return TimeStampToDateTime(MSecsToTimeStamp(RdaLoadDouble(p)));
  const int32_t stored = LoadI32LE(p);
  // Whole days and times of day convert exactly; anything out of range
  // goes the checked way, which reports it.
  if (code == ftDate) {
    return stored >= 1 ? static_cast<double>(int64_t{stored} - kDateDelta)
                       : TimeStampToDateTime(TTimeStamp{0, stored});
  }
  return (stored >= 0 && stored < kMSecsPerDay) ? stored / double{kMSecsPerDay}
                                                : TimeStampToDateTime(TTimeStamp{stored, kDateDelta});
}

void RdaStoreDateTime(uint8_t dataType, TDateTime value, char* p) {
  const int code = Code(dataType);
  // A whole day needs no rounding of a time of day.
  if (code == ftDate && value == std::trunc(value) && std::fabs(value) < 1e9) {
    StoreI32LE(p, static_cast<int32_t>(value) + kDateDelta);
    StoreI32LE(p + 4, 0);
    return;
  }
  const TTimeStamp ts = DateTimeToTimeStamp(value);
  if (code == ftDate) {
    StoreI32LE(p, ts.Date);
    StoreI32LE(p + 4, 0);
  } else if (code == ftTime) {
    StoreI32LE(p, ts.Time);
  } else {
    RdaStoreDouble(p, TimeStampToMSecs(ts));
  }
}

std::string_view RdaLoadText(const char* p, size_t size) {
  const void* zero = std::memchr(p, 0, size);
  return {p, zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : size};
}

std::u16string RdaLoadWideText(const char* p, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(LoadU16LE(p + i));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

Variant RdaLoadValue(uint8_t dataType, const char* p, size_t size) {
  switch (Code(dataType)) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      return Variant(RdaLoadText(p, size));
    case ftWideString:
      return Variant(Utf16ToCp1252(RdaLoadWideText(p, size)));
    case ftSmallint:
      return Variant(static_cast<int16_t>(LoadU16LE(p)));
    case ftWord:
      return Variant(LoadU16LE(p));
    case ftBoolean:
      return Variant(LoadU16LE(p) != 0);
    case ftInteger:
    case ftAutoInc:
      return Variant(LoadI32LE(p));
    case ftLargeint:
      return Variant(static_cast<int64_t>(LoadU64LE(p)));
    case ftFloat:
      return Variant(RdaLoadDouble(p));
    case ftCurrency:
      return Variant(Currency::FromDouble(RdaLoadDouble(p)));
    case ftBCD:
      return Variant(Currency::FromScaled(static_cast<int64_t>(LoadU64LE(p))));
    case ftDate:
    case ftTime:
    case ftDateTime:
      return Variant::FromDate(RdaLoadDateTime(dataType, p));
    case ftBytes:
    case ftVarBytes:
      return Variant::FromBytes(std::string(p, size));
    case ftTimeStamp:
      return Variant(SqlTimeStamp::FromBytes(std::string_view(p, SqlTimeStamp::kSize)));
    case ftFMTBcd:
      return Variant(Bcd::FromBytes(std::string_view(p, Bcd::kSize)));
    default:
      return Variant::Null();
  }
}

// ---------------------------------------------------------------------------
// Compare

int RdaCompareText(std::string_view a, std::string_view b, bool caseInsensitive) {
  const size_t n = std::min(a.size(), b.size());
  if (!caseInsensitive) {
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c != 0 ? (c < 0 ? -1 : 1) : Sign(a.size(), b.size());
  }
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = RdaFoldAscii(static_cast<unsigned char>(a[i]));
    const unsigned char y = RdaFoldAscii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return Sign(a.size(), b.size());
}

int RdaCompareWideText(std::u16string_view a, std::u16string_view b, bool caseInsensitive) {
  const UCollator* collator = Collators::Get().For(caseInsensitive);
  if (collator == nullptr) {
    // No collation data at all: code units, which is at least a total order.
    return Sign(a, b);
  }
  const UCollationResult r =
      ucol_strcoll(collator, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                   reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

int RdaCompareStored(uint8_t dataType, const char* a, const char* b, size_t size,
                     bool caseInsensitive, bool partial) {
  const int code = Code(dataType);
  switch (code) {
    case ftString:
    case ftFixedChar:
    case ftGuid: {
      const std::string_view ta = RdaLoadText(a, size);
      std::string_view tb = RdaLoadText(b, size);
      if (partial) tb = tb.substr(0, ta.size());
      return RdaCompareText(ta, tb, caseInsensitive);
    }
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
    case ftWord:
    case ftLargeint:
    case ftBCD:
      return Sign(RdaLoadInteger(dataType, a), RdaLoadInteger(dataType, b));
    case ftBoolean:
      return Sign(LoadU16LE(a) != 0, LoadU16LE(b) != 0);
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
      return CompareNear(ComparableDateTime(code, a), ComparableDateTime(code, b),
                         kRdaDoubleTolerance);
    case ftBytes:
    case ftVarBytes: {
      const int c = size == 0 ? 0 : std::memcmp(a, b, size);
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case ftWideString: {
      const std::u16string wa = RdaLoadWideText(a, size);
      std::u16string wb = RdaLoadWideText(b, size);
      if (partial && wb.size() > wa.size()) wb.resize(wa.size());
      return RdaCompareWideText(wa, wb, caseInsensitive);
    }
    case ftTimeStamp:
      return CompareNear(
          SqlTimeStampToDateTime(SqlTimeStamp::FromBytes(std::string_view(a, SqlTimeStamp::kSize))),
          SqlTimeStampToDateTime(SqlTimeStamp::FromBytes(std::string_view(b, SqlTimeStamp::kSize))),
          kRdaTimeStampTolerance);
    case ftFMTBcd:
      return BcdCompare(Bcd::FromBytes(std::string_view(a, Bcd::kSize)),
                        Bcd::FromBytes(std::string_view(b, Bcd::kSize)));
    default:
      return 0;
  }
}

}  // namespace rda
