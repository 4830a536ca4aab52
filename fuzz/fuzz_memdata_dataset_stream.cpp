// Reads arbitrary bytes as a whole dataset stream (LoadFromStream). Whatever
// happens, the dataset must hold its invariants; when the load fails, with a
// stream error only. A dataset that loads must read every value of every row
// without crashing, and save to bytes that load back and save the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Exception.h"
#include "base/MemoryStream.h"
#include "memdata/RdaCustomDataSet.h"

namespace {

void CheckInvariants(rda::TRdaCustomDataSet& ds) {
  if (!ds.VerifyIndexesAndAggregates().empty()) std::abort();
}

void ReadEveryValue(rda::TRdaCustomDataSet& ds) {
  for (ds.First(); !ds.Eof(); ds.Next()) {
    for (const auto& f : ds.Fields()) {
      try {
        (void)f->AsString();
      } catch (const rda::Exception&) {
        // A stored value may be out of its type's range (a date before year
        // 1): reading it fails cleanly.
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rda::TMemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
  rda::TRdaDataSet ds;
  try {
    ds.LoadFromStream(in);
  } catch (const rda::Exception&) {
    CheckInvariants(ds);
    return 0;
  }
  CheckInvariants(ds);
  ReadEveryValue(ds);
  const std::string once = ds.DataSetToText();
  std::unique_ptr<rda::TRdaDataSet> again;
  try {
    again = rda::TextToDataSet(once);
  } catch (const rda::Exception&) {
    std::abort();  // what was saved must load
  }
  if (again->DataSetToText() != once) std::abort();
  return 0;
}
