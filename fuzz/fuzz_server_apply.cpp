// Feeds arbitrary statement lists, parameter lists and read-back descriptors to
// the server's apply (server/ServerApply.h) over a fresh in-memory database.
// Whatever comes in, the request either goes in or fails with an Exception, and
// the connection is never left inside a transaction: all or nothing.
//
// Input: byte 0 = form (bit 0: a transaction over datasets, token 31; bit 1: its
// commit-what-succeeds name), then three fields, the first two each preceded
// by its length (16 bits, little-endian), the last taking the rest: the
// statements text (or the statement parameters), the parameters (or the
// read-back list), the read-back descriptor.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "server/ServerApply.h"
#include "server/ServerDatabase.h"

namespace {

constexpr char kScript[] =
    "CREATE TABLE T (Id INTEGER PRIMARY KEY, Name VARCHAR(20) UNIQUE, Qty INTEGER CHECK (Qty >= 0));"
    "INSERT INTO T VALUES (1, 'one', 1), (2, 'two', 2);";

std::string_view Field(std::string_view& in) {
  if (in.size() < 2) {
    in = {};
    return {};
  }
  const size_t n = static_cast<uint8_t>(in[0]) | (static_cast<size_t>(static_cast<uint8_t>(in[1])) << 8);
  in.remove_prefix(2);
  const std::string_view f = in.substr(0, n);
  in.remove_prefix(f.size());
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t form = data[0];
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string a(Field(in));
  const std::string b(Field(in));
  const std::string c(in);

  rda::DatabaseLimits limits;
  limits.queryTimeout = std::chrono::milliseconds(100);
  limits.maxValueBytes = 1 << 20;
  const std::unique_ptr<rda::Database> db = rda::OpenDatabase("", limits);
  db->RunScript(kScript);
  std::unique_ptr<rda::SqlConnection> connection = db->Connect();
  try {
    if (form & 1) {
      rda::RunTransaction(*connection, (form & 2) ? std::string("t\x02") : std::string("t"), a, b);
    } else {
      rda::RunStatementList(*connection, a, b, c);
    }
  } catch (const rda::Exception&) {
    // A refused request; what matters is what it left behind.
  }
  if (connection->InTransaction()) abort();
  return 0;
}
