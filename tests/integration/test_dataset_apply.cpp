// Applying a client dataset's changes through rdaserver on a real database
// (an SQLite file, or PostgreSQL in the postgres run): every mode, failures in
// the middle of a transaction, conflicts between two clients, rows read back
// after an insert, and a server that dies during a transaction. The table is
// read back through a second connection and straight from the database.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DatasetTestSupport.h"
#include "remotedata/RdaUpdateSql.h"
#include "tests/support/TestDatabase.h"
#include "tests/support/WebPeers.h"

namespace rda {
namespace {

using Table = std::vector<std::vector<std::string>>;

// The engine's message for a second row with the same Name.
const std::string kUniqueFailed =
    test::EngineText("UNIQUE constraint failed", "duplicate key value violates unique constraint");
const std::string kNameNotUnique = kUniqueFailed + test::EngineText(": Items.Name", " \"items_name_key\"");

Table RowsOf(TDataSet& ds) {
  Table rows;
  const TBookmark here = ds.IsEmpty() ? TBookmark() : ds.Bookmark();
  for (ds.First(); !ds.Eof(); ds.Next()) {
    std::vector<std::string> row;
    for (const auto& f : ds.Fields()) row.push_back(f->IsNull() ? "<null>" : f->AsString());
    rows.push_back(std::move(row));
  }
  if (!here.empty() && ds.BookmarkValid(here)) ds.GotoBookmark(here);
  return rows;
}

int LogEntries(TRdaUpdateClientDataSet& ds) {
  TRdaDataSet* log = ds.ChangeLog();
  return log ? log->RecordCount() : 0;
}

constexpr char kItems[] =
    "CREATE TABLE Items (Id INTEGER PRIMARY KEY, Name VARCHAR(40) NOT NULL UNIQUE, Qty INTEGER);"
    "INSERT INTO Items VALUES (1, 'Apple', 5), (2, 'Pear', 7), (3, 'Plum', 9);";
const Table kItemsBefore = {{"1", "Apple", "5"}, {"2", "Pear", "7"}, {"3", "Plum", "9"}};

class ApplyTest : public ::testing::Test {
 protected:
  ApplyTest() {
    db.Script(kItems);
    server = std::make_unique<test::ServerProcess>(Args());
  }
  ~ApplyTest() override { server.reset(); }
  std::vector<std::string> Args() const {
    return db.ServerArgs({"--port", "0", "--control-port", "0", "--quiet", "--query-timeout", "120"});
  }
  void SetUp() override { Connect(s); }
  void Connect(TRdaClientSocket& c) {
    c.SetPort(server->DataPort());
    c.SetUserInterface(&ui);
    c.OnDisconnect = [] {};
    // SQLite takes no table name before a column in SET.
    c.SetSQLOptions({ssNoTableNameInUpdateStatements, ssUseISInNuLLcompares});
    c.OpenAndWait();
    ASSERT_TRUE(c.Active());
  }
  void Open(TRdaClientDataSet& ds, TRdaClientSocket& c, TRdaUpdateMethod method,
            TRdaUpdateMode mode = upWhereKeyOnly) {
    ds.SetRdaClientSocket(&c);
    ds.SetSQLText("SELECT Id, Name, Qty FROM Items ORDER BY Id");
    ds.SetUpdateTableName("Items");
    ds.SetPrimeFields({"Id"});
    ds.SetUpdateMode(mode);
    ds.Open();
    ds.SetUpdateMethod(method);
  }
  Table FileRows() { return db.Rows("SELECT Id, Name, Qty FROM Items ORDER BY Id", "<null>"); }
  // The table as a second client sees it.
  Table ServerRows() {
    TRdaClientSocket other;
    Connect(other);
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&other);
    ds.SetSQLText("SELECT Id, Name, Qty FROM Items ORDER BY Id");
    ds.Open();
    return RowsOf(ds);
  }
  static void Change(TDataSet& ds, int id, const char* field, const Variant& value) {
    ASSERT_TRUE(ds.Locate("Id", Variant(id)));
    ds.Edit();
    ds.FieldByName(field).SetValue(value);
    ds.Post();
  }
  // One edit, one delete and one insert.
  static void ThreeChanges(TDataSet& ds) {
    Change(ds, 1, "Name", Variant("Apple's"));
    ASSERT_TRUE(ds.Locate("Id", Variant(2)));
    ds.Delete();
    ds.AppendRecord({Variant(4), Variant("Quince"), Variant(11)});
  }

  test::TestDatabase db;
  std::unique_ptr<test::ServerProcess> server;
  TRdaClientSocket s;
  test::RecordingUI ui;
};

const Table kAfterThreeChanges = {{"1", "Apple's", "5"}, {"3", "Plum", "9"}, {"4", "Quince", "11"}};

TEST_F(ApplyTest, EveryModeWritesTheLogAndEmptiesIt) {
  struct Case {
    int mode;
    TRdaUpdateMethod method;
    int token;
  };
  for (const Case c : {Case{0, umCached, tkExecuteSql}, Case{1, umCached, tkExecuteSql},
                       Case{2, umCached, tkTransaction}, Case{3, umCached, tkTransaction},
                       Case{0, umAfterPost, tkExecuteSql}}) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + " method " + std::to_string(c.method));
    db.Script("DROP TABLE Items;" + std::string(kItems));
    TRdaClientDataSet ds;
    Open(ds, s, c.method);
    test::SentMessages sent(s);
    ThreeChanges(ds);
    if (c.method == umCached) {
      EXPECT_TRUE(sent.WithToken(c.token).empty());
      EXPECT_EQ(FileRows(), kItemsBefore);
      ds.ApplyUpdates(c.mode);
    }
    EXPECT_EQ(RowsOf(ds), kAfterThreeChanges);
    EXPECT_EQ(FileRows(), kAfterThreeChanges);
    EXPECT_EQ(ServerRows(), kAfterThreeChanges);
    EXPECT_FALSE(ds.HasPendingChange());
    EXPECT_EQ(LogEntries(ds), 0);
    const std::vector<test::Msg> requests = sent.WithToken(c.token);
    if (c.method == umAfterPost) {
      // One statement per post or delete, without transaction lines.
      ASSERT_EQ(requests.size(), 3u);
      for (const test::Msg& m : requests) {
        EXPECT_EQ(test::CountOf(m.fields[0], "\r\n"), 1) << m.fields[0];
        EXPECT_EQ(m.fields[0].find(s.SQLTransactionStart()), std::string::npos);
      }
      EXPECT_EQ(ds.RowsAffected(), 1);
    } else {
      ASSERT_EQ(requests.size(), 1u);
      const std::string& first = requests[0].fields[0];
      if (c.mode == 0) {
        EXPECT_EQ(first.find(s.SQLTransactionStart()), std::string::npos);
      } else if (c.mode == 1) {
        EXPECT_EQ(first.rfind(s.SQLTransactionStart(), 0), 0u);
      } else if (c.mode == 3) {
        EXPECT_EQ(first.back(), '\x02');
      }
      EXPECT_EQ(ds.RowsAffected(), 3);
    }
  }
}

TEST_F(ApplyTest, UnchangedPostsAndAnEmptyLogSendNothing) {
  TRdaClientDataSet ds;
  Open(ds, s, umAfterPost);
  test::SentMessages sent(s);
  ASSERT_TRUE(ds.Locate("Id", Variant(2)));
  ds.Edit();
  ds.FieldByName("Qty").SetAsInteger(7);
  ds.Post();
  ds.ApplyUpdates(1);
  EXPECT_TRUE(sent.WithToken(tkExecuteSql).empty());
  EXPECT_TRUE(sent.WithToken(tkTransaction).empty());
  EXPECT_EQ(FileRows(), kItemsBefore);
}

// The third change breaks the table's unique key: nothing of the transaction is
// in the database, and the error names the statement.
TEST_F(ApplyTest, AFailingStatementLeavesTheFileAsItWas) {
  auto failing = [](TDataSet& ds) {
    Change(ds, 1, "Qty", Variant(50));
    ds.AppendRecord({Variant(4), Variant("Quince"), Variant(11)});
    Change(ds, 3, "Name", Variant("Pear"));
  };
  {
    SCOPED_TRACE("mode 2: the log stays for another try");
    TRdaClientDataSet ds;
    Open(ds, s, umCached);
    failing(ds);
    try {
      ds.ApplyUpdates(2);
      FAIL() << "no error";
    } catch (const EDatabaseError& e) {
      const std::string text = e.what();
      EXPECT_EQ(text.rfind("[RDA] Transaction Failed! \r[RDA SERVER ERROR]", 0), 0u) << text;
      EXPECT_NE(text.find(kNameNotUnique), std::string::npos) << text;
      EXPECT_NE(text.find("Statement 2 of 3: UPDATE Items SET " + test::Folded("Name") + " = :" + test::Folded("Name")),
                std::string::npos)
          << text;
    }
    EXPECT_EQ(FileRows(), kItemsBefore);
    EXPECT_EQ(ServerRows(), kItemsBefore);
    EXPECT_EQ(LogEntries(ds), 3);
    // Corrected, the same log goes in.
    Change(ds, 3, "Name", Variant("Damson"));
    ds.ApplyUpdates(2);
    const Table after = {{"1", "Apple", "50"}, {"2", "Pear", "7"}, {"3", "Damson", "9"}, {"4", "Quince", "11"}};
    EXPECT_EQ(FileRows(), after);
    EXPECT_EQ(LogEntries(ds), 0);
    db.Script("DROP TABLE Items;" + std::string(kItems));
  }
  for (const int mode : {0, 1}) {
    SCOPED_TRACE("mode " + std::to_string(mode) + " without a handler: every change undone");
    TRdaClientDataSet ds;
    Open(ds, s, umCached);
    failing(ds);
    try {
      ds.ApplyUpdates(mode);
      FAIL() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("[RDA SERVER ERROR]" + kUniqueFailed, 0), 0u) << e.what();
    }
    EXPECT_EQ(FileRows(), kItemsBefore);
    EXPECT_EQ(RowsOf(ds), kItemsBefore);
    EXPECT_EQ(LogEntries(ds), 0);
  }
  {
    SCOPED_TRACE("mode 1 with OnPostError: the handler decides");
    TRdaClientDataSet ds;
    Open(ds, s, umCached);
    std::vector<std::string> seen;
    ds.OnPostError = [&](TDataSet&, EDatabaseError& e, TDataAction& action) {
      seen.push_back(e.what());
      action = daAbort;
    };
    failing(ds);
    ds.ApplyUpdates(1);  // nothing raised
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find(kUniqueFailed), std::string::npos);
    EXPECT_EQ(FileRows(), kItemsBefore);
    // The current row (the one that broke the key) is reverted; the rest stays
    // logged and goes in with the next apply.
    EXPECT_EQ(ds.FieldByName("Name").AsString(), "Plum");
    EXPECT_EQ(LogEntries(ds), 2);
    ds.ApplyUpdates(1);
    EXPECT_EQ(FileRows(), (Table{{"1", "Apple", "50"}, {"2", "Pear", "7"}, {"3", "Plum", "9"}, {"4", "Quince", "11"}}));
  }
}

// A post that takes the row out of the filter and fails: the handler's daFail
// reverts that row, not the one the filtered view shows.
TEST_F(ApplyTest, AFilteredDatasetRevertsTheRowThatFailed) {
  TRdaClientDataSet ds;
  Open(ds, s, umAfterPost);
  ds.SetFilter("Qty < 8");
  ds.SetFiltered(true);
  ds.OnPostError = [](TDataSet&, EDatabaseError&, TDataAction& action) { action = daFail; };
  ASSERT_TRUE(ds.Locate("Id", Variant(1)));
  ds.Edit();
  ds.FieldByName("Name").SetAsString("Pear");  // taken by row 2
  ds.FieldByName("Qty").SetAsInteger(50);      // out of the filter
  ds.Post();
  EXPECT_TRUE(ds.Filtered());
  EXPECT_EQ(FileRows(), kItemsBefore);
  ds.SetFiltered(false);
  EXPECT_EQ(RowsOf(ds), kItemsBefore);
  EXPECT_EQ(LogEntries(ds), 0);
}

TEST_F(ApplyTest, CommitWhatSucceedsKeepsOnlyTheFailedRows) {
  TRdaClientDataSet ds;
  Open(ds, s, umCached);
  Change(ds, 1, "Qty", Variant(6));
  Change(ds, 3, "Name", Variant("Apple"));  // taken by row 1
  try {
    ds.ApplyUpdates(3);
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind(kNameNotUnique + "\r\nStatement 2 of 2: UPDATE Items", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\r');
    EXPECT_EQ(test::CountOf(text, "Statement "), 1);
  }
  EXPECT_EQ(FileRows(), (Table{{"1", "Apple", "6"}, {"2", "Pear", "7"}, {"3", "Plum", "9"}}));
  ASSERT_EQ(LogEntries(ds), 1);
  TRdaDataSet* log = ds.ChangeLog();
  log->First();
  EXPECT_EQ(log->FieldByName("Name").AsString(), "Plum");  // the failed row's entry
  Change(ds, 3, "Name", Variant("Sloe"));
  ds.ApplyUpdates(3);
  EXPECT_EQ(FileRows(), (Table{{"1", "Apple", "6"}, {"2", "Pear", "7"}, {"3", "Sloe", "9"}}));
  EXPECT_EQ(LogEntries(ds), 0);
}

TEST_F(ApplyTest, SeveralDatasetsGoInTogetherOrNotAtAll) {
  db.Script("CREATE TABLE Stock (Item INTEGER PRIMARY KEY, Shelf VARCHAR(20) CHECK (Shelf <> 'none'));"
                     "INSERT INTO Stock VALUES (1, 'A1'), (3, 'C3');");
  TRdaClientDataSet items;
  Open(items, s, umCached);
  TRdaClientDataSet stock;
  stock.SetRdaClientSocket(&s);
  stock.SetSQLText("SELECT Item, Shelf FROM Stock ORDER BY Item");
  stock.SetUpdateTableName("Stock");
  stock.SetPrimeFields({"Item"});
  stock.Open();
  stock.SetUpdateMethod(umCached);
  items.AppendRecord({Variant(4), Variant("Quince"), Variant(1)});
  stock.AppendRecord({Variant(4), Variant("none")});  // breaks the CHECK
  const std::string error = ApplyDataSetsInTransaction(s, "Shelving", {&items, &stock}, false);
  EXPECT_NE(error.find(test::EngineText("CHECK constraint failed", "violates check constraint")), std::string::npos)
      << error;
  EXPECT_EQ(FileRows(), kItemsBefore);
  EXPECT_EQ(LogEntries(items), 1);
  EXPECT_EQ(LogEntries(stock), 1);
  ASSERT_TRUE(stock.Locate("Item", Variant(4)));
  stock.Edit();
  stock.FieldByName("Shelf").SetAsString("D4");
  stock.Post();
  EXPECT_EQ(ApplyDataSetsInTransaction(s, "Shelving", {&items, &stock}, true), "");
  EXPECT_EQ(db.Rows("SELECT Id, Name, Qty, Shelf FROM Items JOIN Stock ON Item = Id WHERE Id = 4", "<null>"),
            (Table{{"4", "Quince", "1", "D4"}}));
  EXPECT_EQ(LogEntries(items), 0);
  EXPECT_EQ(LogEntries(stock), 0);
}

// Two clients read the same rows; the second one's change to a row the first
// changed meanwhile is a conflict, never an overwrite.
TEST_F(ApplyTest, ARowChangedByAnotherClientIsAConflict) {
  TRdaClientSocket other;
  Connect(other);
  struct Case {
    TRdaUpdateMode mode;
    bool otherDeletes;  // else the other client changes Qty
    const char* field;  // what this client changes
  };
  for (const Case c : {Case{upWhereChanged, false, "Qty"}, Case{upWhereAll, false, "Name"},
                       Case{upWhereKeyOnly, true, "Qty"}, Case{upWhereChanged, true, "Name"}}) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.otherDeletes ? " delete" : " edit"));
    db.Script("DROP TABLE Items;" + std::string(kItems));
    TRdaClientDataSet mine;
    TRdaClientDataSet theirs;
    Open(mine, s, umCached, c.mode);
    Open(theirs, other, umCached, c.mode);
    if (c.otherDeletes) {
      ASSERT_TRUE(theirs.Locate("Id", Variant(2)));
      theirs.Delete();
    } else {
      Change(theirs, 2, "Qty", Variant(8));
    }
    theirs.ApplyUpdates(2);
    const Table theirsDone = FileRows();

    Change(mine, 1, "Qty", Variant(6));  // no conflict
    Change(mine, 2, c.field, std::string(c.field) == "Qty" ? Variant(70) : Variant("Pear!"));
    try {
      mine.ApplyUpdates(2);
      FAIL() << "no conflict reported";
    } catch (const ERdaUpdateConflict& e) {
      EXPECT_NE(std::string(e.what()).find(kUpdateConflictText), std::string::npos) << e.what();
      ASSERT_EQ(e.Conflicts().size(), 1u);
    }
    EXPECT_EQ(FileRows(), theirsDone);  // their change stands, nothing of mine went in
    EXPECT_EQ(LogEntries(mine), 2);
    ASSERT_EQ(mine.Conflicts().size(), 1u);
    const TRdaUpdateConflict& conflict = mine.Conflicts()[0];
    ASSERT_EQ(conflict.Fields, (std::vector<std::string>{test::Folded("Id"), test::Folded("Name"), test::Folded("Qty")}));
    EXPECT_EQ(conflict.Delta, ldModified);
    auto text = [](const std::vector<Variant>& values) {
      std::vector<std::string> out;
      for (const Variant& v : values) out.push_back(v.ToString());
      return out;
    };
    EXPECT_EQ(text(conflict.Original), (std::vector<std::string>{"2", "Pear", "7"}));
    EXPECT_EQ(text(conflict.Local), (std::string(c.field) == "Qty" ? std::vector<std::string>{"2", "Pear", "70"}
                                                                   : std::vector<std::string>{"2", "Pear!", "7"}));
    if (c.otherDeletes) {
      EXPECT_FALSE(conflict.ServerRowExists());
    } else {
      EXPECT_EQ(text(conflict.Server), (std::vector<std::string>{"2", "Pear", "8"}));
    }
  }
}

// The resolution docs/client-datasets.md shows: the other changes go in, the
// conflicting row is written again over the server's newest values.
TEST_F(ApplyTest, AConflictResolvedByKeepingOwnValues) {
  TRdaClientDataSet items;
  Open(items, s, umCached, upWhereChanged);
  db.Script("UPDATE Items SET Name = 'Nashi', Qty = 8 WHERE Id = 2");
  Change(items, 1, "Qty", Variant(6));
  Change(items, 2, "Qty", Variant(70));
  try {
    items.ApplyUpdates(2);
    FAIL() << "no conflict reported";
  } catch (const ERdaUpdateConflict& e) {
    const std::vector<TRdaUpdateConflict> conflicts = e.Conflicts();
    for (const TRdaUpdateConflict& c : conflicts) {
      items.GotoBookmark(TRdaCustomDataSet::BookmarkOfRecordID(c.RecordID));
      items.RevertRecord();
    }
    items.ApplyUpdates(2);
    items.Requery();
    for (const TRdaUpdateConflict& c : conflicts) {
      if (!c.ServerRowExists() || c.Local.empty()) continue;
      items.Locate("Id", c.Server[0]);
      items.Edit();
      for (size_t i = 0; i < c.Fields.size(); ++i)
        if (c.Local[i].ToString() != c.Original[i].ToString()) items.FieldByName(c.Fields[i]).SetValue(c.Local[i]);
      items.Post();
    }
    items.ApplyUpdates(2);
  }
  EXPECT_EQ(FileRows(), (Table{{"1", "Apple", "6"}, {"2", "Nashi", "70"}, {"3", "Plum", "9"}}));
  EXPECT_EQ(RowsOf(items), FileRows());
  EXPECT_EQ(LogEntries(items), 0);
}

TEST_F(ApplyTest, AConflictAfterAPostGoesToOnPostError) {
  TRdaClientDataSet mine;
  Open(mine, s, umAfterPost, upWhereChanged);
  db.Script("UPDATE Items SET Name = 'Nashi' WHERE Id = 2");
  std::vector<TRdaUpdateConflict> seen;
  mine.OnPostError = [&](TDataSet&, EDatabaseError& e, TDataAction& action) {
    if (auto* conflict = dynamic_cast<ERdaUpdateConflict*>(&e)) seen = conflict->Conflicts();
    action = daFail;
  };
  Change(mine, 2, "Name", Variant("Pera"));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Server[1].ToString(), "Nashi");
  EXPECT_EQ(seen[0].Local[1].ToString(), "Pera");
  // daFail reverts the row to what was read; the server's row is untouched.
  EXPECT_EQ(mine.FieldByName("Name").AsString(), "Pear");
  EXPECT_EQ(FileRows()[1], (std::vector<std::string>{"2", "Nashi", "7"}));
  EXPECT_EQ(LogEntries(mine), 0);
}

TEST_F(ApplyTest, InsertedRowsAreReadBack) {
  db.Script(std::string("CREATE TABLE Orders (Id ") +
            (test::OnPostgres() ? "INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"
                                : "INTEGER PRIMARY KEY AUTOINCREMENT") +
            ", Item VARCHAR(40), Placed VARCHAR(40) DEFAULT 'by the server');"
                     "INSERT INTO Orders (Item) VALUES ('first');");
  for (const int mode : {1, 2}) {
    SCOPED_TRACE(mode);
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&s);
    ds.SetSQLText("SELECT Id, Item, Placed FROM Orders ORDER BY Id");
    ds.SetUpdateTableName("Orders");
    ds.SetPrimeFields({"Id"});
    ds.SetAutoIncrementField("Id");
    ds.SetRefetchOnInsert({"Id", "Placed"});
    ds.Open();
    ds.SetUpdateMethod(umCached);
    std::vector<std::string> bookmarks;
    ds.AfterRefetchOnInsert = [&](TDataSet&, const std::vector<std::string>& b) { bookmarks = b; };
    ds.Append();
    ds.FieldByName("Item").SetAsString("second");
    ds.Post();
    ds.Append();
    ds.FieldByName("Item").SetAsString("third");
    ds.Post();
    const TBookmark last = ds.Bookmark();
    ds.ApplyUpdates(mode);
    EXPECT_EQ(bookmarks.size(), 2u);
    EXPECT_EQ(bookmarks.back(), last);
    EXPECT_EQ(RowsOf(ds), db.Rows("SELECT Id, Item, Placed FROM Orders ORDER BY Id", "<null>"));
    EXPECT_EQ(LogEntries(ds), 0);
  }
  EXPECT_EQ(db.Rows("SELECT count(*), count(DISTINCT Id) FROM Orders", "<null>"), (Table{{"5", "5"}}));
}

// Without an auto-increment key the row is found again by its key's value.
TEST_F(ApplyTest, InsertedRowsAreReadBackByTheirKey) {
  db.Script("CREATE TABLE Codes (Code VARCHAR(8) PRIMARY KEY, Placed VARCHAR(40) DEFAULT 'by the server');");
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetSQLText("SELECT Code, Placed FROM Codes");
  ds.SetUpdateTableName("Codes");
  ds.SetPrimeFields({"Code"});
  ds.SetRefetchOnInsert({"Placed"});
  ds.Open();
  ds.SetUpdateMethod(umAfterPost);
  ds.AppendRecord({Variant("it's"), Variant::Null()});
  EXPECT_EQ(RowsOf(ds), (Table{{"it's", "by the server"}}));
  EXPECT_EQ(db.Rows("SELECT Code, Placed FROM Codes", "<null>"), (Table{{"it's", "by the server"}}));
  EXPECT_EQ(LogEntries(ds), 0);
}

// The server dies while it runs the transaction: the client gets an error and
// keeps its log; the database holds none of the transaction; after a restart the
// same log goes in.
TEST_F(ApplyTest, AServerKilledInTheMiddleLeavesNothingHalfDone) {
  // An insert of this name keeps the server busy inside its transaction.
  if (test::OnPostgres()) {
    db.Script("CREATE FUNCTION stall() RETURNS trigger AS $$ BEGIN IF NEW.Name = 'stall' THEN "
              "PERFORM pg_sleep(600); END IF; RETURN NEW; END $$ LANGUAGE plpgsql;"
              "CREATE TRIGGER Stall AFTER INSERT ON Items FOR EACH ROW EXECUTE FUNCTION stall();");
  } else {
    db.Script("CREATE TRIGGER Stall AFTER INSERT ON Items WHEN NEW.Name = 'stall' BEGIN "
              "SELECT count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
              "SELECT x FROM c); END;");
  }
  TRdaClientDataSet ds;
  Open(ds, s, umCached);
  Change(ds, 1, "Qty", Variant(1000));
  ds.AppendRecord({Variant(9), Variant("stall"), Variant(0)});

  // Once the stall is reached (SQLite: the file's write lock is taken;
  // PostgreSQL: a session sleeps), the server is inside the transaction.
  std::atomic<bool> killed{false};
  std::thread killer([&] {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    if (test::OnPostgres()) {
      while (std::chrono::steady_clock::now() < limit &&
             db.Rows("SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep'") !=
                 Table{{"1"}}) {
        std::this_thread::yield();
      }
    } else {
      sqlite3* file = nullptr;
      sqlite3_open(db.Target().c_str(), &file);
      while (std::chrono::steady_clock::now() < limit) {
        const int rc = sqlite3_exec(file, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc == SQLITE_BUSY) break;
        if (rc == SQLITE_OK) sqlite3_exec(file, "ROLLBACK", nullptr, nullptr, nullptr);
        std::this_thread::yield();
      }
      sqlite3_close(file);
    }
    server->Kill();
    killed = true;
  });
  EXPECT_THROW(ds.ApplyUpdates(1), ERdaConnectException);
  killer.join();
  ASSERT_TRUE(killed);
  EXPECT_EQ(LogEntries(ds), 2);
  if (test::OnPostgres()) {
    // PostgreSQL ends the dead server's session, undoing its transaction, once
    // it sees the connection gone (rdaserver asks it to look every second).
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < limit &&
           db.Rows("SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep'") != Table{{"0"}}) {
      std::this_thread::yield();
    }
  }
  EXPECT_EQ(FileRows(), kItemsBefore);

  server = std::make_unique<test::ServerProcess>(Args());
  s.SetActive(false);
  Connect(s);
  EXPECT_EQ(ServerRows(), kItemsBefore);
  Change(ds, 9, "Name", Variant("Medlar"));
  ds.ApplyUpdates(1);
  EXPECT_EQ(FileRows(), (Table{{"1", "Apple", "1000"}, {"2", "Pear", "7"}, {"3", "Plum", "9"}, {"9", "Medlar", "0"}}));
  EXPECT_EQ(LogEntries(ds), 0);
}

// Changes saved with the data (SaveCachedUpdates) and applied later by another
// dataset; without the setting, or with ssCachedUpdates, the data goes alone.
TEST_F(ApplyTest, ALogSavedWithTheDataIsAppliedLater) {
  TMemoryStream plain;
  TMemoryStream saved;
  TMemoryStream optedOut;
  {
    TRdaClientDataSet ds;
    Open(ds, s, umCached);
    ThreeChanges(ds);
    ds.SaveToStream(plain);
    ds.SuitCaseData().SetSaveCachedUpdates(true);
    ds.SaveToStream(saved);
    TRdaStreamSaveOptions options = ds.StreamOptions();
    options.Include(ssCachedUpdates);
    ds.SetStreamOptions(options);
    ds.SaveToStream(optedOut);
  }
  EXPECT_GT(saved.Size(), plain.Size());
  EXPECT_EQ(optedOut.Size(), plain.Size());

  TRdaClientDataSet later;
  later.SetRdaClientSocket(&s);
  later.SetUpdateTableName("Items");
  later.SetPrimeFields({"Id"});
  later.SuitCaseData().SetSaveCachedUpdates(true);
  later.SetUpdateMethod(umCached);
  saved.SetPosition(0);
  later.LoadFromStream(saved);
  EXPECT_EQ(RowsOf(later), kAfterThreeChanges);
  EXPECT_EQ(LogEntries(later), 3);
  EXPECT_EQ(later.VerifyLog(), "");
  later.ApplyUpdates(2);
  EXPECT_EQ(FileRows(), kAfterThreeChanges);
  EXPECT_EQ(LogEntries(later), 0);
}

// A blocking connection runs one short exchange per apply.
TEST_F(ApplyTest, ABlockingConnectionAppliesThroughItsExchange) {
  TRdaClientSocket b;
  b.SetClientType(ctBlocking);
  b.SetPort(server->DataPort());
  b.SetSQLOptions({ssNoTableNameInUpdateStatements});
  TRdaClientDataSet ds;
  Open(ds, b, umCached);
  ThreeChanges(ds);
  ds.ApplyUpdates(1);
  EXPECT_FALSE(b.Active());
  EXPECT_EQ(FileRows(), kAfterThreeChanges);
  EXPECT_EQ(LogEntries(ds), 0);
  Change(ds, 3, "Name", Variant("Quince"));  // taken by row 4
  try {
    ds.ApplyUpdates(2);
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find(kUniqueFailed), std::string::npos) << e.what();
  }
  EXPECT_EQ(FileRows(), kAfterThreeChanges);
  EXPECT_EQ(LogEntries(ds), 1);
}

// Through rdaserver's HTTP tunnel behind nginx: the dataset applies over its
// private copy of the connection, with the platform client and hand-built.
TEST_F(ApplyTest, ChangesTravelTheHttpTunnel) {
  server.reset();
  std::vector<std::string> args = Args();
  args.insert(args.end(), {"--http-port", "0"});
  server = std::make_unique<test::ServerProcess>(args);
  test::NginxProcess web(server->HttpPort());
  for (const bool platform : {true, false}) {
    SCOPED_TRACE(platform ? "platform client" : "hand-built");
    db.Script("DROP TABLE Items;" + std::string(kItems));
    TRdaClientSocket h;
    h.SetUserInterface(&ui);
    h.SetSQLOptions({ssNoTableNameInUpdateStatements});
    h.SetupWebTunnel("127.0.0.1", "127.0.0.1", "isapi/RdaHttp.dll", static_cast<uint16_t>(web.Port()),
                     static_cast<uint16_t>(server->DataPort()));
    h.WebServer().SetWinInet(platform);
    h.OpenAndWait();
    TRdaClientDataSet ds;
    ds.SetName("Items");
    Open(ds, h, umCached);
    ThreeChanges(ds);
    ds.ApplyUpdates(1);
    EXPECT_NE(ds.PrivateConnection(), nullptr);
    EXPECT_EQ(FileRows(), kAfterThreeChanges);
    Change(ds, 3, "Name", Variant("Quince"));  // taken by row 4
    EXPECT_THROW(ds.ApplyUpdates(2), EDatabaseError);
    EXPECT_EQ(LogEntries(ds), 1);
    Change(ds, 3, "Name", Variant("Sloe"));
    ds.ApplyUpdates(2);
    EXPECT_EQ(FileRows()[1], (std::vector<std::string>{"3", "Sloe", "9"}));
    EXPECT_EQ(LogEntries(ds), 0);
  }
}

TEST_F(ApplyTest, NoConnectionNoApply) {
  TRdaClientDataSet ds;
  Open(ds, s, umCached);
  Change(ds, 1, "Qty", Variant(2));
  s.SetActive(false);
  try {
    ds.ApplyUpdates(1);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "No RdaclientSocket or it is not connected!");
  }
  EXPECT_THROW(ApplyDataSetsInTransaction(s, "t", {&ds}, true), EDatabaseError);
  EXPECT_EQ(LogEntries(ds), 1);
}

}  // namespace
}  // namespace rda
