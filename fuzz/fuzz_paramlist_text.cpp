// Parameter list text form from outside. Input: the text form itself.
// Malformed text raises rda::Exception (expected). Text that reads must
// write back to a text that reads to an equal list and writes back to the
// same bytes; every typed getter must answer or raise, never crash.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "messaging/RdaParamList.h"

namespace {

template <class F>
void Probe(F&& getter) {
  try {
    getter();
  } catch (const rda::Exception&) {
    // Values that have no conversion to the asked type raise; that is fine.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<rda::TRdaParamList> list;
  try {
    list = rda::TRdaParamList::FromText(input);
  } catch (const rda::Exception&) {
    return 0;
  }

  // From here on nothing may raise: what was read can always be written
  // and read again.
  const std::string text = list->ToText(false);
  const auto again = rda::TRdaParamList::FromText(text);
  if (!(*again == *list) || again->ToText(false) != text) std::abort();

  for (int i = 0; i < list->Count(); ++i) {
    const rda::TRdaParamItem& item = list->Items(i);
    Probe([&] { (void)item.AsString(); });
    Probe([&] { (void)item.AsLargeint(); });
    Probe([&] { (void)item.AsBoolean(); });
    Probe([&] { (void)item.AsFloat(); });
    Probe([&] { (void)item.AsCurrency(); });
    Probe([&] { (void)item.AsFMTBCD(); });
    Probe([&] { (void)item.AsSQLTimeStamp(); });
    Probe([&] { (void)item.Value(); });
  }
  return 0;
}
