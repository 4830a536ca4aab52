// The system's texts are bytes in its 8-bit code page (Windows-1252); Qt's are
// Unicode. Every text that goes into or comes out of a widget passes here.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "base/CodePage.h"

namespace rda {

inline QString ToQString(std::string_view cp1252) {
  return QString::fromStdU16String(Cp1252ToUtf16(cp1252));
}

inline std::string FromQString(const QString& text) {
  return Utf16ToCp1252(text.toStdU16String());
}

}  // namespace rda
