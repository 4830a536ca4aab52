// Feeds arbitrary bytes to a server session over a fresh in-memory
// database, in pieces whose size the input chooses, under the transforms the
// input chooses. Whatever comes in, every answer must be a well-formed frame
// that the client's codec unpacks and parses.
//
// Input: byte 0 = mode (bits 0-1: 0 none, 1 +4, 2 DES, 3 none; bit 2: zlib),
// byte 1 = piece size (0 = all at once), then the bytes a client sends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/ServerFuzzModes.h"
#include "messaging/RdaBodyTransforms.h"
#include "messaging/RdaStringLine.h"
#include "server/ServerDatabase.h"
#include "server/ServerSession.h"

namespace {

constexpr char kScript[] =
    "CREATE TABLE t (i INTEGER, f REAL, s VARCHAR(10), b BLOB, d DECIMAL(10,2), m MONEY,"
    "                w DATETIME, n TEXT);"
    "INSERT INTO t VALUES (42, 1.5, 'ab', x'0100', 12.34, 2.5, '2024-01-31 12:00:00', NULL);"
    "INSERT INTO t VALUES (-7, 0, 'x', x'', 0.01, -1, 45000.5, 'text');"
    "INSERT INTO t VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);"
    "CREATE TABLE RdaUsers (UserName TEXT, Password TEXT);"
    "INSERT INTO RdaUsers VALUES ('ann', 'pw');";

// Every answer must come out of the client's side of the codec whole.
void CheckAnswers(const std::string& out, rda::TRdaBodyTransforms& client) {
  if (out.empty()) return;
  rda::TRdaMessageStack stack;
  stack.Append(out);
  if (stack.Used() != 0) abort();  // a partial frame
  while (stack.HasMessages()) {
    rda::TRdaStringLine line;
    line.Parse(client.UnpackMessage(stack.PopMessage()));
    if (line.Token() > rda::TRdaStringLine::MaxToken) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t piece = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  rda::DatabaseLimits limits;
  limits.queryTimeout = std::chrono::milliseconds(100);
  limits.maxValueBytes = 1 << 20;
  const std::unique_ptr<rda::Database> db = rda::OpenDatabase("", limits);
  db->RunScript(kScript);
  rda::SessionSettings settings = rda::fuzz::SettingsForMode(mode);
  settings.maxRequestBytes = 1 << 20;
  settings.maxResultBytes = 1 << 20;
  rda::ServerSession session(settings, db->Connect(), 1, "fuzz");
  rda::TRdaBodyTransforms client;
  rda::fuzz::ConfigureLike(client, settings, true);

  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t n = piece == 0 ? bytes.size() - pos : std::min(piece, bytes.size() - pos);
    CheckAnswers(session.Receive(bytes.substr(pos, n)), client);
    pos += n;
  }
  // Server-initiated messages go through the same packing.
  CheckAnswers(session.Frame(std::string(rda::TRdaStringLine::kHeaderSize, '\x08')), client);
  return 0;
}
