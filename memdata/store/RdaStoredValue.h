// Stored values: for every field type code, what a value takes in a row
// image, how it is read and written there, and how two stored values
// compare. The field list sizes its descriptions with it, the field objects
// their stored forms, the dataset its reads, writes and searches, and the
// indexes, aggregates and filters their keys and contributions; nothing
// else in the engine switches on a type code for these questions.
//
// The high bit of a type byte is ignored (the code is taken modulo 128).
//
//   code                         row bytes  field buffer  stored form            compare
//   1 ftString 23 ftFixedChar    Size       Size + 1      8-bit text, zero-      ordinal bytes up to the
//   35 ftGuid                                             padded, no terminator  first zero; ASCII a-z
//                                                         when full              as A-Z when asked
//   24 ftWideString              Size * 2   Size * 2      UTF-16LE, zero-padded  the locale's collation
//                                                                                (ICU), case-blind when asked
//   12 ftBytes 13 ftVarBytes     Size       Size          raw bytes              ordinal, all bytes
//   2 ftSmallint                 2          2             i16                    signed
//   4 ftWord                     2          2             u16                    unsigned
//   5 ftBoolean                  2          2             u16, 0 false, true     false before true
//                                                         written as 0xFFFF
//   3 ftInteger 14 ftAutoInc     4          4             i32                    signed
//   10 ftTime                    4          4             i32 ms since midnight  as date-time values
//   9 ftDate                     8          8             i32 day (0001-01-01    as date-time values
//                                                         = 1), 4 zero bytes
//   6 ftFloat 7 ftCurrency       8          8             IEEE double            as doubles
//   11 ftDateTime                8          8             double: day * 86400000 as date-time values
//                                                         + ms since midnight
//   8 ftBCD                      8          8             i64 value * 10,000     exact (currency)
//   25 ftLargeint                8          8             i64                    signed
//   36 ftTimeStamp               16         16            SQL time stamp record  as date-time values,
//                                                                                1 ms apart or less: equal
//   37 ftFMTBcd                  34         34            packed decimal record  exact (decimal)
//   15-18, 21, 29-31 blob-like   4          4             i32 BlobID             none
//   0, 19, 20, 22, 26-28, 32-34  0          0             nothing                none
//   38-127 (unknown codes)       0          0             nothing                none
//
// "As doubles" and "as date-time values" count two values equal when they
// differ by at most 1e-13 (the date-time value is days since 1899-12-30).
// Equality within a tolerance is not transitive; sorted lists stay sorted
// pair by pair, and searches walk over equal neighbours, which is all the
// engine relies on.
//
// Null is not a stored value: the row's null flags say whether a field has
// one (RdaDBList.h), and every comparer puts null before any value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/DateTime.h"
#include "base/FieldType.h"
#include "base/Variant.h"

namespace rda {

// ---- Sizes ----
// Bytes a field of `dataType` declared with `size` takes in a row image
// (sizes are not checked here).
int64_t RdaFieldDataSize(uint8_t dataType, int64_t size);
// The declared Size for a field of `dataType` taking `dataSize` bytes: the
// byte count for codes 1, 12, 13, 23, 29 and 35, half of it for 24, and 0
// for every other code.
int32_t RdaDeclaredSize(uint8_t dataType, int32_t dataSize);
// The width of a fixed-size code; -1 for the codes sized by their
// declaration (1, 12, 13, 23, 24, 35).
int RdaFixedFieldWidth(uint8_t dataType);
// True for the codes whose width does not depend on the declared Size.
bool IsRdaFixedSizeFieldType(uint8_t dataType);
// Bytes of a field object's stored form: the row bytes, except that texts
// (1, 23, 35) carry a terminator.
int RdaFieldBufferSize(uint8_t dataType, int size);

// ---- Families ----
// The codes whose row bytes hold a BlobID (15-18, 21, 29-31).
bool IsRdaBlobFieldType(uint8_t dataType);
// 8-bit texts: 1, 23, 35.
bool IsRdaTextFieldType(uint8_t dataType);
// The integer family whose widths convert into each other: 2, 3, 4, 14, 25.
bool IsRdaIntegerFieldType(uint8_t dataType);
// The codes that keep no bytes in a row.
bool IsRdaUnstoredFieldType(uint8_t dataType);
// The codes the comparison table above orders.
bool IsRdaComparableFieldType(uint8_t dataType);

// ---- Load and store ----
// An integer of the integer family (and 5, 8, 10) read / written in the
// code's width; the value is cut to the width when written.
int64_t RdaLoadInteger(uint8_t dataType, const char* p);
void RdaStoreInteger(uint8_t dataType, char* p, int64_t value);
double RdaLoadDouble(const char* p);
void RdaStoreDouble(char* p, double value);
// Dates and times (9, 10, 11) between the date-time value and the stored
// form. Reading a day before 0001-01-01 or a time outside a day raises
// EConvertError (TimeStampToDateTime); writing rounds to the millisecond.
TDateTime RdaLoadDateTime(uint8_t dataType, const char* p);
void RdaStoreDateTime(uint8_t dataType, TDateTime value, char* p);
// The text of a zero-padded 8-bit field (up to the first zero) and of a
// wide one (up to the first zero unit), `size` being the row bytes.
std::string_view RdaLoadText(const char* p, size_t size);
std::u16string RdaLoadWideText(const char* p, size_t size);
// The value of a non-null stored value as the field classes give it:
// String (wide text converted to the 8-bit code page), SmallInt, Word,
// Integer, Int64, Boolean, Double (6), Currency (7 and 8), Date (9, 10, 11),
// Bytes, SqlTimeStamp, Bcd. Null for the codes without a value.
Variant RdaLoadValue(uint8_t dataType, const char* p, size_t size);

// ---- Compare ----
// Two non-null stored values of a comparable code, `size` being the row
// bytes: -1, 0 or 1 by the table above. With `partial`, a text b is first
// cut to the length of text a (the key). Codes without a comparison give 0;
// callers check IsRdaComparableFieldType first.
int RdaCompareStored(uint8_t dataType, const char* a, const char* b, size_t size,
                     bool caseInsensitive, bool partial);
// The text comparisons of the table, on their own.
int RdaCompareText(std::string_view a, std::string_view b, bool caseInsensitive);
int RdaCompareWideText(std::u16string_view a, std::u16string_view b, bool caseInsensitive);
// ASCII a-z as A-Z; every other byte unchanged.
inline unsigned char RdaFoldAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}
// The tolerances of the table.
inline constexpr double kRdaDoubleTolerance = 1e-13;
inline constexpr double kRdaTimeStampTolerance = 1.1574074074074074e-8;  // 1 ms in days

}  // namespace rda
