// rdaquery run as a process against a real rdaserver: tables, CSV, parameters,
// packets, timings, a server error, a bad command line and TLS.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DatasetTestSupport.h"
#include "tests/support/TestCertificates.h"

namespace rda {
namespace {

using test::Outcome;
using test::RunQuery;

class RdaQuery : public ::testing::Test {
 protected:
  RdaQuery() : server(test::DemoServerArgs({"--encryption", "rda"})) {}
  std::vector<std::string> Args(std::vector<std::string> more) { return ArgsFor(server, std::move(more)); }
  static std::vector<std::string> ArgsFor(const test::ServerProcess& to, std::vector<std::string> more) {
    std::vector<std::string> args = {"--port", std::to_string(to.DataPort()), "--encryption", "rda"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  // A server like the fixture's whose data port speaks TLS with this certificate.
  static test::ServerProcess TlsServer(const std::string& cert, const std::string& key) {
    return test::ServerProcess(
        test::DemoServerArgs({"--encryption", "rda", "--tls-cert", cert, "--tls-key", key, "--handshake-timeout", "3"}));
  }
  test::ServerProcess server;
};

TEST_F(RdaQuery, PrintsAnAlignedTable) {
  const Outcome o = RunQuery(Args({"SELECT", "XCompanyCode,", "XPort,", "NULL AS Missing", "FROM", "VNXHOSTS",
                                   "ORDER BY XPort"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "XCompanyCode | XPort | Missing\n"
            "-------------+-------+--------\n"
            "DEMO         |  9406 | (null)\n"
            "ACME         |  9407 | (null)\n"
            "(2 rows)\n");
}

TEST_F(RdaQuery, PrintsCsvWithParametersAndPackets) {
  const Outcome o = RunQuery(Args({"--csv", "--packet", "1", "--param", "code=ACME", "--param", "low:int=9000",
                                   "SELECT XHost, 'say \"hi\", ok' AS Quote, '' AS Empty, NULL AS Missing "
                                   "FROM VNXHOSTS WHERE XCompanyCode <> :code AND XPort > :low"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "XHost,Quote,Empty,Missing\r\n127.0.0.1,\"say \"\"hi\"\", ok\",\"\",\r\n");
}

TEST_F(RdaQuery, TimesTheFirstAndTheLastRow) {
  const Outcome o = RunQuery(Args({"--time", "--packet", "1", "SELECT * FROM VNXHOSTS"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("(2 rows)\nconnect: "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\nfirst row: "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find(" ms\nlast row: "), std::string::npos) << o.out;
}

TEST_F(RdaQuery, ErrorsGoToStandardErrorWithAnExitStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {Args({"SELECT * FROM Nowhere"}), 1, "rdaquery: [RDA SERVER ERROR]no such table: Nowhere\n"},
      {Args({"--param", "x=1", "SELECT 1"}), 2, "rdaquery: the statement has no parameter :x\n"},
      {Args({"--packet", "0", "SELECT 1"}), 2,
       "rdaquery: --packet needs a number of at least 1, not '0'\nTry rdaquery --help.\n"},
      {Args({}), 2, "rdaquery: no SQL given\nTry rdaquery --help.\n"},
      {Args({"--tls", "--http", "127.0.0.1:80", "SELECT 1"}), 2,
       "rdaquery: --tls and --tls-ca are for the direct connection, not --http (the tunnel is plain HTTP)\n"
       "Try rdaquery --help.\n"},
      {Args({"--http", "127.0.0.1:80", "--tls-ca", "ca.pem", "SELECT 1"}), 2,
       "rdaquery: --tls and --tls-ca are for the direct connection, not --http (the tunnel is plain HTTP)\n"
       "Try rdaquery --help.\n"},
      {Args({"--tls-ca", "", "SELECT 1"}), 2, "rdaquery: --tls-ca needs a file name\nTry rdaquery --help.\n"},
      {Args({"SELECT 1", "--tls-ca"}), 2, "rdaquery: --tls-ca needs a value\nTry rdaquery --help.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunQuery(c.args);
    EXPECT_EQ(o.status, c.status) << c.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
  }
  // No server on the port: a connection error.
  const Outcome refused = RunQuery({"--port", "1", "SELECT 1"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err.rfind("rdaquery: ", 0), 0u) << refused.err;
}

TEST_F(RdaQuery, SortsTheFetchedRowsOnTheClient) {
  const std::string sql =
      "SELECT 'b' AS Name, 2 AS N UNION ALL SELECT 'A', 1 UNION ALL SELECT NULL, 3 "
      "UNION ALL SELECT 'a', 4 UNION ALL SELECT 'C', 5";
  struct Case {
    std::vector<std::string> options;
    std::string out;
  } cases[] = {
      // Ordinal: nulls first, upper case before lower case.
      {{"--sort", "Name"}, "Name,N\r\n,3\r\nA,1\r\nC,5\r\na,4\r\nb,2\r\n"},
      // Folded, then reversed whole: equal keys too, nulls last.
      {{"--packet", "2", "--sort", "Name", "--sort-options", "descending,case-insensitive"},
       "Name,N\r\nC,5\r\nb,2\r\na,4\r\nA,1\r\n,3\r\n"},
      {{"--sort", "N", "--sort-options", "descending"},
       "Name,N\r\nC,5\r\na,4\r\n,3\r\nb,2\r\nA,1\r\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    args.push_back("--csv");
    args.push_back(sql);
    const Outcome o = RunQuery(Args(args));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, c.out) << c.options.back();
  }
  // The aligned table shows the same order.
  const Outcome table = RunQuery(Args({"--sort", "name;n", sql}));
  EXPECT_EQ(table.out,
            "Name   | N\n"
            "-------+--\n"
            "(null) | 3\n"
            "A      | 1\n"
            "C      | 5\n"
            "a      | 4\n"
            "b      | 2\n"
            "(5 rows)\n");
}

TEST_F(RdaQuery, RefusesSortsItCannotDo) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {Args({"--sort", "Nope", "SELECT 1 AS One"}), "rdaquery: --sort: Field 'Nope' not found\n"},
      {Args({"--sort", "One", "--sort-options", "upward", "SELECT 1 AS One"}),
       "rdaquery: --sort-options takes descending and case-insensitive, not 'upward'\nTry rdaquery --help.\n"},
      {Args({"--sort-options", "descending", "SELECT 1 AS One"}),
       "rdaquery: --sort-options needs --sort\nTry rdaquery --help.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunQuery(c.args);
    EXPECT_EQ(o.status, 2) << c.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
  }
}

TEST_F(RdaQuery, SavesAResultAndPrintsTheFileWithoutAServer) {
  char pattern[] = "/tmp/rdaquery-save-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string file = dir + "/hosts.rds";
  const std::string sql =
      "SELECT 'b' AS Name, 2 AS N UNION ALL SELECT 'A', 1 UNION ALL SELECT NULL, 3";
  const Outcome saved = RunQuery(Args({"--packet", "1", "--sort", "N", "--sort-options", "descending", "--save", file, sql}));
  EXPECT_EQ(saved.status, 0) << saved.err;
  EXPECT_EQ(saved.out, "(3 rows saved to " + file + ")\n");
  server.Stop();
  // The file keeps every row and the selected index.
  const Outcome csv = RunQuery({"--load", file, "--csv"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "Name,N\r\n,3\r\nb,2\r\nA,1\r\n");
  const Outcome table = RunQuery({"--load", file, "--sort", "Name"});
  EXPECT_EQ(table.out,
            "Name   | N\n"
            "-------+--\n"
            "(null) | 3\n"
            "A      | 1\n"
            "b      | 2\n"
            "(3 rows)\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"--load", dir + "/none.rds"}, 1, "rdaquery: Unable to load from " + dir + "/none.rds\n"},
      {{"--load", "/etc/hostname"}, 1, ""},
      {{"--load", file, "SELECT 1"}, 2, "rdaquery: --load takes no statement\nTry rdaquery --help.\n"},
      {{"--load", file, "--save", file}, 2, "rdaquery: --load and --save do not go together\nTry rdaquery --help.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunQuery(c.args);
    EXPECT_EQ(o.status, c.status) << c.args[1];
    if (!c.err.empty()) {
      EXPECT_EQ(o.err, c.err);
    }
    EXPECT_EQ(o.out, "");
  }
  std::filesystem::remove_all(dir);
}

TEST_F(RdaQuery, SelectsOverTlsAsOverPlainTcp) {
  const std::vector<std::string> select = {"SELECT XCompanyCode, XPort, NULL AS Missing FROM VNXHOSTS ORDER BY XPort"};
  const Outcome plain = RunQuery(Args(select));
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_NE(plain.out.find("(2 rows)"), std::string::npos) << plain.out;
  test::TestCertificates certs;
  const test::ServerProcess tls = TlsServer(certs.ServerCert(), certs.ServerKey());
  // The certificate names both; the host connected to is the one checked.
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    std::vector<std::string> args = {"--host", host, "--tls-ca", certs.Ca()};
    args.insert(args.end(), select.begin(), select.end());
    const Outcome o = RunQuery(ArgsFor(tls, args));
    EXPECT_EQ(o.status, 0) << host << ": " << o.err;
    EXPECT_EQ(o.out, plain.out) << host;
    EXPECT_EQ(o.err, "") << host;
  }
}

// What cannot be trusted ends the run with status 1 and the reason, before any
// statement; a plain client on a TLS port ends with an error, not a hang.
TEST_F(RdaQuery, RefusesWhatTlsCannotTrust) {
  test::TestCertificates certs;
  const test::ServerProcess tls = TlsServer(certs.ServerCert(), certs.ServerKey());
  const test::ServerProcess elsewhere = TlsServer(certs.ElsewhereCert(), certs.ServerKey());
  const auto secureFailure = [](const test::ServerProcess& to, const std::string& reason) {
    return "rdaquery: The secure connection to 127.0.0.1 on Port:" + std::to_string(to.DataPort()) +
           " failed: " + reason;
  };
  const std::string untrusted = "The issuer certificate of a locally looked up certificate could not be found";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string err;  // what standard error starts with
    std::string reason;  // and holds
  } cases[] = {
      {"another CA", ArgsFor(tls, {"--tls-ca", certs.OtherCa()}), secureFailure(tls, untrusted), untrusted},
      // The test CA is in no system store.
      {"the system's store", ArgsFor(tls, {"--tls"}), secureFailure(tls, untrusted), untrusted},
      {"a certificate for another host", ArgsFor(elsewhere, {"--tls-ca", certs.Ca()}),
       secureFailure(elsewhere, "The host name did not match any of the valid hosts for this certificate"), "\n"},
      {"a plain client on a TLS port", ArgsFor(tls, {}), "rdaquery: ", "\n"},
      // The plain server closes at the hello: no wait for the connect limit.
      {"a TLS client on a plain port", Args({"--tls-ca", certs.Ca()}),
       secureFailure(server, "the server closed the connection during the TLS handshake (is it a TLS port?)"),
       "\n"},
  };
  for (Case& c : cases) {
    c.args.push_back("SELECT XCompanyCode FROM VNXHOSTS");
    const Outcome o = RunQuery(c.args);
    EXPECT_EQ(o.status, 1) << c.name << ": " << o.err;
    EXPECT_EQ(o.err.rfind(c.err, 0), 0u) << c.name << ": " << o.err;
    EXPECT_NE(o.err.find(c.reason), std::string::npos) << c.name << ": " << o.err;
    EXPECT_EQ(o.out, "") << c.name;
  }
}

TEST(RdaQueryHelp, DocumentsEveryOption) {
  const Outcome o = RunQuery({"--help"});
  EXPECT_EQ(o.status, 0);
  for (const char* option : {"--host", "--port", "--http", "--path", "--encryption", "--key", "--zlib", "--user",
                             "--password", "--timeout", "--database", "--param", "--packet", "--file", "--csv",
                             "--null", "--max-width", "--time", "--sort", "--sort-options", "--save", "--load",
                             "--tls", "--tls-ca"})
    EXPECT_NE(o.out.find(std::string(" ") + option + " "), std::string::npos) << option;
}

}  // namespace
}  // namespace rda
