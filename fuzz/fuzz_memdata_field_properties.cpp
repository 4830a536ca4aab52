// Reads arbitrary bytes as a server's field properties (a sequence of
// streamed field components) and applies them to a dataset: a stream error
// or a clean apply, never a crash, and a failed apply changes no field.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Exception.h"
#include "memdata/RdaComponentStream.h"
#include "memdata/RdaCustomDataSet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  rda::TRdaDataSet ds;
  ds.AddField("Name", rda::ftString, 10);
  ds.AddField("Score", rda::ftFloat, 0);
  ds.Open();
  try {
    rda::ApplyFieldProperties(ds, bytes);
  } catch (const rda::EReadError&) {
    for (const auto& f : ds.Fields()) {
      if (f->DisplayLabel() != f->FieldName() || !f->Visible()) std::abort();
    }
  }
  return 0;
}
