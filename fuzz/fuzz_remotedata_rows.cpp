// The reply parser of the client datasets: arbitrary bytes as a field
// description text and the row data of a packet.
//
// Input: descriptions #0 rows (everything before the first zero byte is the
// field description text; the rest is the row data; without a zero byte, the
// whole input is row data for two text fields). The descriptions become a row
// store as a client dataset's open makes it; the rows are loaded into it. A
// refusal must be ERdaProtocolError (or EDatabaseError for a layout the store
// refuses); either way the store keeps its invariants and holds only whole
// rows. The row data is copied into a buffer of exactly its size, so the
// sanitizer sees any read past its end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"
#include "memdata/store/RdaBlobList.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/store/RdaDBList.h"
#include "remotedata/RdaRowPacket.h"

namespace {

struct Sink : rda::TRdaRowSink {
  explicit Sink(rda::TRdaDBList& s) : store(s) {}
  rda::TRdaDBListItem& NewRow() override { return *store.AddWithID(++next); }
  void RowFilled(rda::TRdaDBListItem&) override { ++filled; }
  rda::TRdaDBList& store;
  int32_t next = 0;
  int filled = 0;
};

// Rows of large layouts cost memory, not coverage.
constexpr int32_t kMaxRecordSize = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t zero = input.find('\0');
  std::vector<std::string> lines = {"A,1,10", "B,3,0"};
  std::string_view rows = input;
  rda::TRdaDBList store;
  rda::TRdaBlobList blobs;
  try {
    if (zero != std::string_view::npos) {
      lines = rda::ParseFieldDescriptions(input.substr(0, zero));
      rows = input.substr(zero + 1);
    }
    for (const std::string& line : lines) {
      const rda::TRdaFastField f = rda::TRdaCustomDataSet::ParseFastField(line);
      store.AddField(f.Name, static_cast<uint8_t>(f.Type), f.Size);
    }
    store.CalcLayout();
  } catch (const rda::ERdaProtocolError&) {
    return 0;
  } catch (const rda::EDatabaseError&) {
    return 0;
  }
  if (store.RecordSize() > kMaxRecordSize) return 0;

  const std::unique_ptr<char[]> exact(new char[rows.size() + 1]);
  std::memcpy(exact.get(), rows.data(), rows.size());
  rda::TRdaRowLoader loader(store, blobs);
  Sink sink(store);
  int added = -1;
  try {
    added = loader.Load(std::string_view(exact.get(), rows.size()), sink).RowsAdded;
  } catch (const rda::ERdaProtocolError&) {
  }
  if (!store.Verify().empty()) std::abort();
  if (store.Count() != sink.filled) std::abort();  // no half row is kept
  if (added >= 0 && added != store.Count()) std::abort();
  return 0;
}
