// The server's side of applying changes (server/ServerApply.h) on an in-memory
// database: how a statement list is cut and bound, what fails it, and the text
// of a partial success.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaWire.h"
#include "server/ServerApply.h"
#include "server/ServerDatabase.h"

namespace rda {
namespace {

class ServerApplyTest : public ::testing::Test {
 protected:
  ServerApplyTest() : db_(OpenDatabase("", DatabaseLimits{})), c_(db_->Connect()) {
    c_->Execute("CREATE TABLE T (Id INTEGER PRIMARY KEY, Name TEXT UNIQUE);"
                "INSERT INTO T VALUES (1, 'one'), (2, 'two');");
  }
  std::string Rows() {
    std::string out;
    SqlStatement s = c_->Prepare("SELECT Id, Name FROM T ORDER BY Id", nullptr);
    while (c_->Step(s)) {
      const SqlRow row = s.Row();
      out += std::to_string(row[0].integer) + "=" + (row[1].storage == SqlValue::kNull ? "NULL" : row[1].bytes) + ";";
    }
    return out;
  }
  // Runs a list and returns "" or the error.
  std::string Run(const std::string& text, const TRdaParamList* params = nullptr) {
    try {
      RunStatementList(*c_, text, params ? params->ToText(false) : std::string(), "");
      return {};
    } catch (const Exception& e) {
      return e.what();
    }
  }

  std::unique_ptr<Database> db_;
  std::unique_ptr<SqlConnection> c_;
};

TEST_F(ServerApplyTest, StatementsTakeTheirOwnValuesAndLiteralsKeepTheirLineBreaks) {
  TRdaParamList params;
  params.CreateParam(ftString, "Name", ptInput).SetAsString("uno");
  params.CreateParam(ftInteger, "Key_Id", ptInput).SetAsInteger(1);
  params.CreateParam(ftString, "Name", ptInput).SetAsString("dos");
  params.CreateParam(ftInteger, "Key_Id", ptInput).SetAsInteger(2);
  EXPECT_EQ(Run("BEGIN TRANSACTION\r\n"
                "UPDATE T SET Name = :Name Where Id = :Key_Id\r\n"
                "UPDATE T SET Name = :Name Where Id = :Key_Id\r\n"
                "Insert Into T (Id, Name)\r Values (3, 'line\r\nbreak; -- not a comment')\r\n"
                "\r\n"
                "COMMIT\r\n",
                &params),
            "");
  EXPECT_EQ(Rows(), "1=uno;2=dos;3=line\r\nbreak; -- not a comment;");
}

// A list too long to search in place is indexed by name: the same answer.
TEST_F(ServerApplyTest, ManyStatementsWithTheSameParameterNames) {
  TRdaParamList params;
  std::string text;
  std::string expected;
  for (int i = 1; i <= 40; ++i) {
    text += "Insert Into T (Id, Name)\r Values ( :Id, :Name)\r\n";
    params.CreateParam(ftInteger, "Id", ptInput).SetAsInteger(i + 10);
    params.CreateParam(ftString, "name", ptInput).SetAsString("n" + std::to_string(i));
    expected += std::to_string(i + 10) + "=n" + std::to_string(i) + ";";
  }
  EXPECT_EQ(Run(text, &params), "");
  EXPECT_EQ(Rows(), "1=one;2=two;" + expected);
}

TEST_F(ServerApplyTest, AnyFailureUndoesTheWholeList) {
  const std::string before = Rows();
  TRdaParamList one;
  one.CreateParam(ftString, "Name", ptInput).SetAsString("x");
  struct Case {
    std::string text;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"UPDATE T SET Name = 'eins' WHERE Id = 1\r\nUPDATE T SET Name = 'eins' WHERE Id = 2\r\n",
       "UNIQUE constraint failed: T.Name\r\nStatement 2 of 2: UPDATE T SET Name = 'eins' WHERE Id = 2"},
      {"UPDATE T SET Name = 'a' WHERE Id = 1\r\nDELETE FROM T WHERE Id = 7\r\n",
       std::string(kUpdateConflictText) + "\r\nStatement 2 of 2: DELETE FROM T WHERE Id = 7"},
      {"UPDATE T SET Name = 'a' WHERE Id = 1\r\nUPDATE T SET Name = 'b' WHERE Id = 2 AND Name = 'old'\r\n",
       std::string(kUpdateConflictText) + "\r\nStatement 2 of 2: UPDATE T SET Name = 'b' WHERE Id = 2 AND Name = 'old'"},
      {"UPDATE T SET Name = :Name WHERE Id = 1\r\nUPDATE T SET Name = :Name WHERE Id = 2\r\n",
       "No value for the parameter :Name\r\nStatement 2 of 2: UPDATE T SET Name = :Name WHERE Id = 2"},
      {"UPDATE T SET Name = 'a' WHERE Id = 1\r\nCOMMIT\r\nUPDATE T SET Name = 'b' WHERE Id = 2\r\n",
       "A statement list controls its transaction only in its first and last line\r\nStatement 2 of 3: COMMIT"},
      {"UPDATE T SET Name = 'a' WHERE Id = 1; DELETE FROM T\r\n",
       "One statement per line\r\nStatement 1 of 1: UPDATE T SET Name = 'a' WHERE Id = 1; DELETE FROM T"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Run(c.text, &one), c.error);
    EXPECT_EQ(Rows(), before);
  }
}

TEST_F(ServerApplyTest, CommitWhatSucceedsUndoesOnlyTheFailedRows) {
  TRdaParamList statements;
  statements.CreateParam(ftString, "UPDATE T SET Name = 'first' WHERE Id = 1", ptInput);
  statements.CreateParam(ftString, "UPDATE T SET Name = 'first' WHERE Id = 2", ptInput);
  statements.CreateParam(ftString, "DELETE FROM T WHERE Id = 9", ptInput);
  TRdaParamList descriptor;
  for (const char* item : {"T", "", "", "", "Id\r\n"}) descriptor.FastAdd(Variant(item));
  descriptor.CreateParam(ftSmallint, "kind", ptInput).SetAsInteger(0);
  descriptor.FastAdd(Variant(""));
  for (int id : {1, 2, 9}) {
    descriptor.FastAdd(Variant(" Where Id = " + std::to_string(id)));
    descriptor.CreateParam(ftInteger, "id", ptInput).SetAsInteger(id * 100);
  }
  TRdaParamList readBacks;
  readBacks.CreateParam(ftString, "5.3", ptInput).SetAsString(descriptor.ToText(false));
  const ApplyResult r =
      RunTransaction(*c_, "host Transaction\x02", statements.ToText(true), readBacks.ToText(true));
  EXPECT_EQ(Rows(), "1=first;2=two;");
  ASSERT_EQ(r.failed.size(), 2u);
  EXPECT_EQ(r.failed[0].second, 200);
  EXPECT_EQ(r.failed[1].second, 900);
  EXPECT_EQ(r.rowsAffected, 1);
  // Without the mark the same transaction is all or nothing.
  c_->Execute("UPDATE T SET Name = 'one' WHERE Id = 1");
  EXPECT_THROW(RunTransaction(*c_, "host Transaction", statements.ToText(true), readBacks.ToText(true)), Exception);
  EXPECT_EQ(Rows(), "1=one;2=two;");
}

// The failed rows travel as an error text, which the client reads as a list
// only when it holds byte 02: whatever the messages' lengths, it never does.
TEST_F(ServerApplyTest, APartialSuccessTextNeverLooksLikeAnErrorList) {
  for (size_t length = 0; length < 1200; ++length) {
    const std::vector<std::pair<std::string, int32_t>> failed = {{std::string(length, 'm') + "\x02", 2},
                                                                 {"second", 514}};
    const std::string text = PartialSuccessText(failed);
    ASSERT_EQ(text.find(kErrorListMarker), std::string::npos) << length;
    ASSERT_EQ(text[0], '\x04');
    const std::unique_ptr<TRdaParamList> list = TRdaParamList::FromText(std::string_view(text).substr(1));
    ASSERT_EQ(list->Count(), 2);
    EXPECT_EQ(std::string(list->Items(0).Name()).substr(0, length + 1), std::string(length, 'm') + "?");
    EXPECT_EQ(list->Items(0).AsInteger(), 2);
    EXPECT_EQ(list->Items(1).AsInteger(), 514);
  }
}

}  // namespace
}  // namespace rda
