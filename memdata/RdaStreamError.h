// The errors of the dataset stream's readers.
//
// Every error of a stream that ends early or holds a wrong value keeps the
// text of the section readers ("Stream read error", "Invalid property
// value", "Invalid field layout: ...") and adds which section failed, the
// byte where the reader stood and the check:
//
//   Stream read error (row section, byte 1187: a value runs past the end of the stream)
//   Invalid property value (field section, byte 56: unexpected tag 7)
//   Invalid property value (indexes section, byte 410: 3 rows cannot be read from the 8 bytes left)
//
// The class is EReadError's, so callers that catch stream errors catch these.
#pragma once

#include <cstddef>
#include <string>

#include "base/Exception.h"
#include "base/MemoryStream.h"
#include "memdata/store/TaggedStream.h"

namespace rda {

// A stream error that already names its section.
RDA_DECLARE_EXCEPTION(EDataSetStreamError, EReadError)

// Raises EDataSetStreamError "<text> (<section> section, byte <position>: <check>)".
[[noreturn]] void ThrowStreamError(const std::string& text, const char* section, size_t position,
                                   const std::string& check);

// The plain error of a section reader, named by its section: the check is
// worked out from the text and the stream (a tag, a value past the end).
[[noreturn]] void RethrowInSection(const EReadError& error, const char* section,
                                   const TMemoryStream& stream);

// Runs read(); its plain stream errors come out named by the section.
template <typename Read>
void ReadSection(const char* section, TMemoryStream& stream, Read&& read) {
  try {
    read();
  } catch (const EDataSetStreamError&) {
    throw;
  } catch (const EReadError& error) {
    RethrowInSection(error, section, stream);
  }
}

// A 32-bit length followed by that many bytes (the texts of the raw
// sections), checked against the bytes left before anything is read.
std::string ReadRawText(TMemoryStream& stream, const char* section);
void WriteRawText(TMemoryStream& stream, std::string_view text);

}  // namespace rda
