// The two texts a select is answered with, read without any I/O: the field
// descriptions (tokens 1 and 10) and the row data of a row packet (tokens 5
// and 11). TRdaBaseClientDataSet feeds them from its connection; the fuzz
// target and the benchmark feed them bytes directly.
//
// In the grammars below #n is the single byte n; numbers inside the texts
// are plain decimal, binary numbers little-endian.
//
// Field descriptions:
//
//   descriptions := item*
//   item         := name #2 type #2 size #2 #4
//
//   type is the field type code (base/FieldType.h), size the declared size.
//   A type below 1 or not a number reads as 1 (ftString), a size below 1 or
//   not a number as 25; a missing part reads as not a number. Each item
//   becomes one FastFields line "name,type,size".
//
// Row data:
//
//   rows   := row* [ "NULL" #4 anything ]
//   row    := value* [ text ] #4          (text after the last #2 is no value)
//   value  := piece* #2
//   piece  := text-byte                    (any byte but #2 #4 #5 #6 #7 #8)
//           | #5 double:8                  -> the number as text, pattern
//                                             "###############.###############"
//           | #6 length:i32 bytes:length   -> the decimal index of the bytes in
//                                             the row's side list; length <= 0
//                                             adds nothing, not even text
//           | #7 bcd:34                    -> the decimal text of the BCD number
//           | #8 currency:i64              -> the decimal text of value / 10000
//
//   A row whose bytes are exactly "NULL" ends the packet. Value i of a row
//   belongs to field i of the row store; a value that is exactly #3 is NULL;
//   a field without a terminated value reads the empty text. The side list
//   starts empty with every row.
//
// Conversion of a value by the field's type (the stored forms are those of
// memdata/store/RdaFList.h):
//
//   ftString ftFixedChar ftGuid   the text, cut to the field's size
//   ftWideString                  the text (system code page) as UTF-16
//   ftSmallint ftWord             the decimal integer; 0 when the text is not
//   ftInteger ftAutoInc           one that fits the type (16 bits signed,
//   ftLargeint                    16 bits unsigned, 32 bits, 64 bits)
//   ftBoolean                     true exactly for "1"
//   ftFloat ftCurrency            the text as a number with the client's
//                                 decimal separator; 0 when unreadable
//   ftBCD                         the text as a currency value; 0 when unreadable
//   ftDate ftTime ftDateTime      the text as a date-time number (days since
//   ftTimeStamp                   1899-12-30); 0 for empty, unreadable, zero or
//                                 outside the calendar; ftTimeStamp 0 is the
//                                 null time stamp
//   ftFMTBcd                      the text as a BCD number; 0 when unreadable
//   ftBytes ftVarBytes            the text is an index into the side list; the
//                                 entry's bytes, cut to the size; empty text,
//                                 or an index with no entry, is NULL
//   blob-like types               as bytes, but the entry goes to the blob
//                                 store (under the field's 1-based position)
//                                 and the field holds its blob identity
//   other types                   nothing is stored (the field stays NULL)
//
// A value that is one binary piece and nothing else goes to a field of a
// matching numeric kind without the detour through text (a double to a
// float or date field, a currency to a currency or BCD field, a BCD number
// to a BCD field), so that no digit is lost on the way; the text of the
// pattern above keeps at most 15 significant digits and 15 decimals.
//
// Bad input. A piece whose bytes run past the end of the text, a row that
// the text ends inside, and a row with more values than the store has
// fields raise ERdaProtocolError; rows before the bad one stay loaded, the
// bad one is not added. A field description with a type code the system
// does not know, or a size whose bytes a row could not hold, raises
// ERdaProtocolError. Nothing is ever read outside the given text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/FormatSettings.h"

namespace rda {

class TRdaBlobList;
class TRdaDBList;
class TRdaDBListItem;

// The largest value bytes a described field may take in a row (1 MiB): far
// above any text column (longer texts travel as memos, whose rows hold a
// blob identity only) and low enough that a hostile size cannot make every
// row of a result a gigabyte.
inline constexpr int64_t kRdaMaxFieldBytes = int64_t{1} << 20;

// The FastFields lines of a field description text (see the top of this
// file). Names that repeat (compared without regard to case, as fields are
// found) get "_1", "_2", ... appended, so that every column of a join keeps
// a field of its own. Raises ERdaProtocolError for a type code above the
// known ones or a size too large for a row.
std::vector<std::string> ParseFieldDescriptions(std::string_view text);

// The text a double piece stands for: the pattern
// "###############.###############" with the decimal separator given: no
// thousands separator, at most 15 significant digits and 15 decimals,
// trailing zeros and a zero integer part dropped (0.5 -> ".5"), zero ->
// the empty text. Numbers of more than 18 integer digits, infinities and
// NaN take the general form ("1E20", "INF", "NAN").
std::string FormatRowDouble(double value, char decimalSeparator);

// Where loaded rows go. The loader asks for a new row once the row's text
// has been read completely, fills it, and hands it back.
class TRdaRowSink {
 public:
  virtual ~TRdaRowSink() = default;
  // A new member row of the loader's store with the next RecordID, its image
  // all zero (every field empty and null), as the store makes new rows.
  virtual TRdaDBListItem& NewRow() = 0;
  // The row is filled.
  virtual void RowFilled(TRdaDBListItem& row) = 0;
};

// Reads the row data of row packets into a row store. The store's field
// descriptions must be laid out (TRdaDBList::CalcLayout) before the loader
// is made, and must not change while it is used; the store, the blob store
// and the sink must outlive it. The layout is checked once, when the loader
// is made (EDatabaseError for a field outside the row image): the common
// kinds (texts, integers, floats, dates, currency, bytes, blob identities)
// are then written straight into each new row in their stored forms, the
// rare ones (wide texts, FMT BCD, time stamps) through the row's typed
// setters.
class TRdaRowLoader {
 public:
  TRdaRowLoader(const TRdaDBList& store, TRdaBlobList& blobs,
                const FormatSettings& format = DefaultFormatSettings());
  ~TRdaRowLoader();
  TRdaRowLoader(const TRdaRowLoader&) = delete;
  TRdaRowLoader& operator=(const TRdaRowLoader&) = delete;

  struct Result {
    int RowsAdded = 0;
    bool EndRowSeen = false;  // the packet ended with the "NULL" row
  };

  // Loads every row of `text` (see the top of this file) through `sink`.
  // Raises ERdaProtocolError for bad input; the rows before it stay.
  Result Load(std::string_view text, TRdaRowSink& sink);

  // Called after each row with (length of the text, offset after the row),
  // when set.
  std::function<void(size_t total, size_t position)> OnProgress;

 private:
  enum class Store : uint8_t;
  static Store StoreOf(uint8_t dataType);
  static bool IsDateStore(Store store);
  struct Column;
  struct Value;
  Value& AddValue();
  [[noreturn]] void EndsInsideRow() const;
  const char* Take(const char* at, const char* end, size_t n) const;
  // Reads a value that holds binary pieces, from `start` (its first byte)
  // with p on its first marker; true when the row ended before the value
  // was terminated.
  bool ReadPieceValue(const char* start, const char*& p, const char* end);
  std::string PieceText(const Value& piece) const;
  // The row being filled and its image.
  struct Target {
    TRdaDBListItem& row;
    char* image;
  };
  void FillRow(TRdaDBListItem& row);
  void StoreValue(const Target& t, int field, const Column& column, const Value& value);
  void StoreText(const Target& t, int field, const Column& column, std::string_view text);
  void StoreDate(const Target& t, int field, const Column& column, double dateTime);
  void StoreBytes(const Target& t, int field, const Column& column, std::string_view bytes);
  static void SetFlag(const Target& t, const Column& column);
  static void PutBytes(const Target& t, const Column& column, std::string_view bytes);
  static void PutU16(const Target& t, const Column& column, uint16_t value);
  static void PutU32(const Target& t, const Column& column, uint32_t value);
  static void PutU64(const Target& t, const Column& column, uint64_t value);

  TRdaBlobList& blobs_;
  FormatSettings format_;
  char separator_;
  std::vector<Column> columns_;
  std::vector<Value> values_;          // the values of the row being read
  std::vector<std::string_view> side_;  // the row's side list
  std::string scratch_;                 // text of values with binary pieces
  size_t recordSize_ = 0;
  int valueCount_ = 0;
  int row_ = 0;  // 1-based number of the row being read, for messages
};

}  // namespace rda
