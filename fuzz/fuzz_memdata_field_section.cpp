// Reads arbitrary bytes as a field section; what loads must check its
// layout without harm, and save and load back to the same descriptions.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Exception.h"
#include "base/MemoryStream.h"
#include "memdata/store/RdaFList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rda::TMemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
  rda::TRdaFieldList fields;
  try {
    fields.LoadFromStream(in);
  } catch (const rda::Exception&) {
    return 0;
  }
  try {
    (void)fields.CheckLayout();
  } catch (const rda::EReadError&) {
  }
  rda::TMemoryStream out;
  fields.SaveToStream(out);
  out.SetPosition(0);
  rda::TRdaFieldList again;
  again.LoadFromStream(out);
  if (!(again == fields) || out.Remaining() != 0) std::abort();
  return 0;
}
