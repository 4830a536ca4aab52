// rdaquery --filter against a real rdaserver: the fetched rows that pass the
// expression, its options, with a sort and packets, and the errors of a
// filter that does not parse or fails on a row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

using test::Outcome;
using test::RunQuery;

const char kRows[] =
    "SELECT 'Ada' AS Name, 1 AS N UNION ALL SELECT 'grace', 2 UNION ALL SELECT 'Grace', 3 "
    "UNION ALL SELECT NULL, 4 UNION ALL SELECT 'Gr*', 5";

class RdaQueryFilter : public ::testing::Test {
 protected:
  RdaQueryFilter() : server(test::DemoServerArgs({"--encryption", "rda"})) {}
  std::vector<std::string> Args(std::vector<std::string> more) {
    std::vector<std::string> args = {"--port", std::to_string(server.DataPort()), "--encryption", "rda"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  test::ServerProcess server;
};

TEST_F(RdaQueryFilter, ShowsTheFetchedRowsThatPass) {
  struct Case {
    std::vector<std::string> options;
    std::string out;
  } cases[] = {
      {{"--filter", "N > 2"}, "Name,N\r\nGrace,3\r\n,4\r\nGr*,5\r\n"},
      {{"--filter", "Name = 'Grace'", "--filter-options", "case-insensitive"}, "Name,N\r\ngrace,2\r\nGrace,3\r\n"},
      // A text ending in * compares what comes before it, unless no-partial.
      {{"--filter", "Name = 'Gr*'"}, "Name,N\r\nGrace,3\r\nGr*,5\r\n"},
      {{"--filter", "Name = 'gr*'", "--filter-options", "no-partial,case-insensitive"}, "Name,N\r\nGr*,5\r\n"},
      {{"--filter", "Name IS NULL OR UPPER(Name) LIKE '_DA'"}, "Name,N\r\nAda,1\r\n,4\r\n"},
      // Every packet is fetched first; the filter applies in the sorted order.
      {{"--packet", "2", "--sort", "N", "--sort-options", "descending", "--filter", "N MOD 2 = 1"},
       "Name,N\r\nGr*,5\r\nGrace,3\r\nAda,1\r\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    args.push_back("--csv");
    args.push_back(kRows);
    const Outcome o = RunQuery(Args(args));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, c.out) << c.options[1];
  }
  const Outcome table = RunQuery(Args({"--filter", "N < 3", kRows}));
  EXPECT_EQ(table.out,
            "Name  | N\n"
            "------+--\n"
            "Ada   | 1\n"
            "grace | 2\n"
            "(2 rows)\n");
}

TEST_F(RdaQueryFilter, AFilterThatDoesNotParseOrFailsExitsWithItsMessage) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {Args({"--filter", "N >", kRows}), 1,
       "rdaquery: Syntax error at position 4: expected an operand but found end of text\n"},
      {Args({"--filter", "Nope = 1", kRows}), 1, "rdaquery: Field 'Nope' not found\n"},
      {Args({"--filter", "Name + 1 > 0", kRows}), 1,
       "rdaquery: Could not convert variant of type (String) into type (Double)\n"},
      {Args({"--filter-options", "case-insensitive", kRows}), 2,
       "rdaquery: --filter-options needs --filter\nTry rdaquery --help.\n"},
      {Args({"--filter", "N > 1", "--filter-options", "exact", kRows}), 2,
       "rdaquery: --filter-options takes case-insensitive and no-partial, not 'exact'\nTry rdaquery --help.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunQuery(c.args);
    EXPECT_EQ(o.status, c.status) << c.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
  }
}

}  // namespace
}  // namespace rda
