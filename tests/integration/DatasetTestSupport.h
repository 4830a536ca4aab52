// Helpers for the client dataset's tests against a real rdaserver: a server with
// the demonstration tables, a connected connection, and a record of the messages
// the connection sends.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClientTestSupport.h"
#include "remotedata/RdaClientDataset.h"

namespace rda::test {

inline const std::string& DemoScript() {
  static const std::string path = std::string(RDA_TEST_DATA_DIR) + "/../../server/demo.sql";
  return path;
}

inline std::vector<std::string> DemoServerArgs(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--port", "0", "--control-port", "0", "--quiet", "--init", DemoScript()};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Every message the connection sends, decoded (before encryption).
struct SentMessages {
  explicit SentMessages(TRdaClientSocket& s) : socket(s) {
    s.OnBytesOutEvent = [this](const std::string& body, int64_t, int64_t) { all.push_back(Decode(body)); };
  }
  ~SentMessages() { socket.OnBytesOutEvent = nullptr; }
  SentMessages(const SentMessages&) = delete;
  SentMessages& operator=(const SentMessages&) = delete;
  std::vector<Msg> WithToken(int token) const {
    std::vector<Msg> out;
    for (const Msg& m : all)
      if (m.token == token) out.push_back(m);
    return out;
  }
  TRdaClientSocket& socket;
  std::vector<Msg> all;
};

// A server with the demonstration tables and a connection to it.
class DatasetTest : public ::testing::Test {
 protected:
  explicit DatasetTest(std::vector<std::string> extra = {}) : server(DemoServerArgs(std::move(extra))) {}
  void SetUp() override {
    s.SetPort(server.DataPort());
    s.SetUserInterface(&ui);
    s.OnDisconnect = [] {};
    s.OnException = [this](const std::exception& e) { errors.push_back(e.what()); };
    s.OpenAndWait();
    ASSERT_TRUE(s.Active());
  }
  // Runs statements that return nothing through a dataset of their own.
  void Execute(const std::string& sql) {
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&s);
    ds.SetSQLText(sql + "; SELECT 1");
    ds.Open();
  }

  ServerProcess server;
  TRdaClientSocket s;
  RecordingUI ui;
  std::vector<std::string> errors;  // raised while nobody waited
};

}  // namespace rda::test
