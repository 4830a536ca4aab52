// Reads arbitrary bytes as a blob section; what loads must save and load
// back to the same blobs, byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Exception.h"
#include "base/MemoryStream.h"
#include "memdata/store/RdaBlobList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rda::TMemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
  rda::TRdaBlobList blobs;
  try {
    blobs.LoadFromStream(in);
  } catch (const rda::Exception&) {
    return 0;
  }
  rda::TMemoryStream out;
  blobs.SaveToStream(out);
  out.SetPosition(0);
  rda::TRdaBlobList again;
  again.LoadFromStream(out);
  if (again.Count() != blobs.Count() || again.LastBlobID() != blobs.LastBlobID()) std::abort();
  for (int i = 0; i < blobs.Count(); ++i) {
    const rda::TRdaBlobListItem& a = blobs.Items(i);
    const rda::TRdaBlobListItem& b = again.Items(i);
    if (a.BlobID() != b.BlobID() || a.FieldNo() != b.FieldNo() ||
        a.Stream().Bytes() != b.Stream().Bytes()) {
      std::abort();
    }
  }
  (void)blobs.AddBlob(nullptr, 1);
  return 0;
}
