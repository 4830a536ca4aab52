// Parses arbitrary bytes as a received string line and reads its fields as
// text, integers and streams, more times than there are fields.
#include <cstdint>
#include <string>

#include "base/Exception.h"
#include "messaging/RdaStringLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rda::TRdaStringLine line;
  try {
    line.Parse(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const rda::Exception&) {
    return 0;
  }
  for (int i = 0; i < 7; ++i) {
    try {
      switch (i % 3) {
        case 0: (void)line.NextFieldText(); break;
        case 1: (void)line.NextFieldInteger(); break;
        default: (void)line.NextFieldStream(); break;
      }
    } catch (const rda::Exception&) {
    }
  }
  return 0;
}
