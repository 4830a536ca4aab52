// Parameter names found in SQL text. Input: the SQL text. Names run
// together raise rda::Exception (expected); otherwise the names found must
// be distinct, hold none of the bytes that are left out of a name, and be
// no more than the colons of the text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "messaging/RdaParamList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);
  rda::TRdaParamList list;
  int messages = 0;
  list.OnShowMessage = [&](const std::string&) { ++messages; };
  try {
    list.ParamsFromSQL(sql);
  } catch (const rda::Exception&) {
    return 0;
  }
  if (messages > 1) std::abort();
  const auto colons = static_cast<size_t>(std::count(sql.begin(), sql.end(), ':'));
  if (static_cast<size_t>(list.Count()) > colons) std::abort();
  std::set<std::string> seen;
  for (int i = 0; i < list.Count(); ++i) {
    const std::string& name = list.Items(i).Name();
    if (!seen.insert(name).second) std::abort();
    if (name.find_first_of(std::string_view("\n\r ')*+,-;:")) != std::string::npos) std::abort();
  }
  return 0;
}
