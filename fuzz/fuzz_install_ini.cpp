// Settings files written by anyone. Input: the file's text. Reading must answer for
// any key; writing the install utility's keys and reading the text back must give the
// written values, with every other line kept.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "install/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    rda::TIniFile ini = rda::TIniFile::FromText(input);
    ini.ReadInteger("XServer", "XServerPort", 0);
    ini.ReadString("XServer", "XServerHost", "");
    ini.WriteString("XServer", "XServerHost", "acme.example");
    ini.WriteInteger("XServer", "XServerPort", 9407);
    const std::string text = ini.Text();
    const rda::TIniFile again = rda::TIniFile::FromText(text);
    if (again.ReadString("XServer", "XServerHost", "") != "acme.example") std::abort();
    if (again.ReadInteger("XServer", "XServerPort", 0) != 9407) std::abort();
    if (again.Text() != text) std::abort();
  } catch (const rda::Exception&) {
    // Files larger than the limit are refused.
  }
  return 0;
}
