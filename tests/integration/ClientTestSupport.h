// Helpers for the client's integration tests against a real rdaserver: ask the
// server's control port, build requests, keep results. The event loop helpers and
// the recording user interface are the unit tests' (ConnectionTestSupport.h).
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "connection/RdaClientSocket.h"
#include "connection/RdaComponent.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "tests/connection/ConnectionTestSupport.h"
#include "tests/support/ServerProcess.h"

namespace rda::test {

// The server's listing of its clients (one line each, then "ok").
inline std::string Clients(const ServerProcess& server) { return server.Control("clients"); }

inline int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A select as a client dataset sends it (token 3): SQL, rows to return, options,
// database and parameters.
inline TRdaStringLine Select(int componentId, const std::string& sql, int rows = -1,
                             int options = 0) {
  TRdaStringLine line;
  line.SetToken(tkSelect);
  line.SetMsgId(componentId);
  line.AddField(sql);
  line.AddField(int32_t{rows});
  line.AddField(int32_t{options});
  line.AddField("");
  return line;
}

// Keeps what the connection routes to it; a row packet is the end of a result.
class ResultComponent : public TRdaComponent {
 public:
  void ReceiveMessage(TRdaClientSocket&, const TRdaComponentMessage& m) override {
    messages.push_back(m);
  }
  // The rows text of the last row packet, or nullopt when none came.
  std::optional<std::string> LastRows() const {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
      if (it->Token == 5) return it->Fields[1];
    return std::nullopt;
  }
  std::vector<TRdaComponentMessage> messages;
};

// Sends a select for `component` (registered on `s` under `id`), waits for its reply
// and returns its rows, or "(no row packet)".
inline std::string SelectRows(TRdaClientSocket& s, ResultComponent& component, int id,
                              const std::string& sql, int options = 0) {
  TRdaStringLine select = Select(id, sql, -1, options);
  component.messages.clear();
  s.SendMessage(select, true);
  return component.LastRows().value_or("(no row packet)");
}

}  // namespace rda::test
