// Reads arbitrary bytes as a row store's stream (field section, then row
// section); a store that loads must hold its invariants and save and load
// back to the same fields and rows.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Exception.h"
#include "base/MemoryStream.h"
#include "memdata/store/RdaDBList.h"

namespace {

bool SameRows(const rda::TRdaDBList& a, const rda::TRdaDBList& b) {
  if (a.Count() != b.Count() || !(a.FieldList() == b.FieldList())) return false;
  for (int i = 0; i < a.Count(); ++i) {
    if (a.Items(i)->RecordID() != b.Items(i)->RecordID()) return false;
    if (a.Items(i)->Image() != b.Items(i)->Image()) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rda::TMemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
  rda::TRdaDBList store;
  try {
    store.LoadFromStream(in);
  } catch (const rda::Exception&) {
    if (!store.Verify().empty()) std::abort();
    return 0;
  }
  if (!store.Verify().empty()) std::abort();
  // Touch every field of the first row through the null flags.
  if (store.Count() > 0) {
    for (int f = 0; f < store.FieldList().Count(); ++f) {
      store.Items(0)->SetNull(f, !store.Items(0)->IsNull(f));
    }
  }
  rda::TMemoryStream out;
  store.SaveToStream(out);
  out.SetPosition(0);
  rda::TRdaDBList again;
  again.LoadFromStream(out);
  if (!SameRows(store, again) || out.Remaining() != 0) std::abort();
  return 0;
}
