// The binary component stream of the platform's form files, as far as
// streamed field objects need it: the field properties a server sends for a
// dataset (token 26) are a sequence of streamed TField components.
//
//   stream     := component*                  (until the bytes end)
//   component  := "TPF0" [prefix] shortstr ClassName shortstr Name
//                 property* 00 child* 00
//   prefix     := a byte F0..FF (bit 1: a child position value follows)
//   property   := shortstr Name value
//   shortstr   := u8 length, bytes
//   value      := tag, then by tag:
//      0 null, 13 nil, 8 false, 9 true     nothing
//      2 / 3 / 4 / 19  integer             1 / 2 / 4 / 8 bytes, signed
//      5 extended                          10 bytes (80-bit float)
//      15 single, 21 double, 16 currency,  4 / 8 / 8 / 8 bytes
//      17 date
//      6 string, 7 identifier              shortstr
//      12 long string, 20 UTF-8 string     u32 length, bytes
//      18 wide string                      u32 length in code units, UTF-16LE
//      10 binary                           u32 length, bytes
//      11 set                              shortstr* ending with an empty one
//      1 list                              value* 00
//      14 collection                       ([integer] 01 property* 00)* 00
//                                          (per item an optional index, then
//                                          its properties as a list)
//
// Every length is checked against the bytes left, nesting is limited, and a
// stream that breaks off or holds an unknown tag raises EReadError ("Stream
// read error", "Invalid property value"); applying properties never changes a
// field before the whole stream has been read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Variant.h"
#include "memdata/framework/DataSet.h"

namespace rda {

struct TRdaStreamedProperty {
  std::string Name;
  // Integers as Int64, floats as Double, texts and identifiers as String
  // (wide and UTF-8 texts in the system's code page), booleans as Boolean,
  // binary data as Bytes, sets as the identifiers joined by ","; null, nil,
  // lists and collections as Null.
  Variant Value;
};

struct TRdaStreamedComponent {
  std::string ClassName;
  std::string Name;
  std::vector<TRdaStreamedProperty> Properties;

  const TRdaStreamedProperty* Find(std::string_view name) const;
};

// The components of a stream, in order (their children are read and left out).
std::vector<TRdaStreamedComponent> ReadComponentStream(std::string_view bytes);

// One streamed field: its class name, its component name and the
// properties that differ from a new field's (FieldName, DisplayLabel,
// DisplayWidth, Visible, Alignment, DisplayFormat, EditFormat, EditMask).
std::string WriteFieldComponent(const TField& field, std::string_view className,
                                std::string_view componentName);

// Reads the whole stream first, then copies the display properties of each
// streamed field whose FieldName names a field of the dataset onto it
// (DisplayLabel, DisplayWidth, Visible, Alignment, DisplayFormat, EditFormat,
// EditMask). Returns the number of fields changed.
int ApplyFieldProperties(TDataSet& dataSet, std::string_view bytes);

}  // namespace rda
