// Statements for logged changes: the worked Customers example in every update mode,
// which fields take part, names, key parameter names, inserts, terminators, the
// WHERE parts that must never be written; and a dataset's whole log run on SQLite,
// after which the table must hold exactly the dataset's rows.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "memdata/RdaAuditDataSet.h"
#include "memdata/RdaCustomDataSet.h"
#include "remotedata/RdaUpdateSql.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

using test::RaisesWith;
using Cell = std::optional<std::string>;  // nullopt: NULL

struct Column {
  std::string name;
  TFieldType type;
  int size;
};

const std::vector<Column> kCustomers = {
    {"CustomerID", ftInteger, 0}, {"Company", ftString, 30}, {"City", ftString, 30}};

// A one-row dataset of `columns` holding `cells` (the old values of a log entry, or
// the current values of a row).
std::unique_ptr<TRdaDataSet> Row(const std::vector<Column>& columns, const std::vector<Cell>& cells) {
  auto ds = std::make_unique<TRdaDataSet>();
  for (const Column& c : columns) ds->AddField(c.name, c.type, c.size);
  ds->Open();
  ds->Append();
  for (size_t i = 0; i < cells.size(); ++i) {
    if (cells[i]) ds->Fields()[static_cast<int>(i)].SetAsString(*cells[i]);
  }
  ds->Post();
  return ds;
}

TRdaUpdateSqlSettings CustomersSettings(TRdaUpdateMode mode = upWhereKeyOnly) {
  TRdaUpdateSqlSettings s;
  s.UpdateTableName = "Customers";
  s.PrimeFields = {"CustomerID"};
  s.UpdateMode = mode;
  return s;
}

// Name=value (or Name=NULL) of each parameter, in list order.
std::vector<std::string> ParamTexts(const TRdaParamList* list) {
  std::vector<std::string> out;
  for (int i = 0; list && i < list->Count(); ++i) {
    const TRdaParamItem& p = list->Items(i);
    EXPECT_EQ(p.ParamType(), ptInput) << p.Name();
    out.push_back(p.Name() + "=" + (p.IsNull() ? "NULL" : p.AsString()));
  }
  return out;
}

// The example: Company of customer 7 changed from Acme to Acme Ltd, customer 9
// deleted, customer 12 inserted as Bolt with no city.
struct Example {
  std::unique_ptr<TRdaDataSet> editedNow = Row(kCustomers, {"7", "Acme Ltd", "Oslo"});
  std::unique_ptr<TRdaDataSet> editedOld = Row(kCustomers, {"7", "Acme", "Oslo"});
  std::unique_ptr<TRdaDataSet> deletedOld = Row(kCustomers, {"9", "Widgets", std::nullopt});
  std::unique_ptr<TRdaDataSet> inserted = Row(kCustomers, {"12", "Bolt", ""});

  std::vector<std::string> Run(TRdaUpdateSqlWriter& w) {
    std::vector<std::string> lines;
    for (auto s : {w.Statement(ldModified, *editedNow, *editedOld),
                   w.Statement(ldDeleted, *editedNow, *deletedOld),
                   w.Statement(ldInserted, *inserted, *editedOld)}) {
      lines.push_back(s.value_or("(none)"));
    }
    return lines;
  }
};

TEST(UpdateSql, TheCustomersExampleInEachUpdateMode) {
  TRdaConnectionSettings connection;
  {
    Example ex;
    TRdaUpdateSqlWriter w(CustomersSettings(upWhereKeyOnly), connection);
    EXPECT_EQ(ex.Run(w), (std::vector<std::string>{
                             "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = "
                             ":Key_CustomerID",
                             "DELETE FROM Customers  Where Customers.CustomerID = :Key_CustomerID2",
                             "Insert Into Customers (CustomerID,Company)\r Values ( :CustomerID, :Company2)"}));
    // One list, sent with one text: every statement binds its own values.
    EXPECT_EQ(ParamTexts(w.Params()),
              (std::vector<std::string>{"Company=Acme Ltd", "Key_CustomerID=7", "Key_CustomerID2=9",
                                        "CustomerID=12", "Company2=Bolt"}));
    EXPECT_EQ(w.Params()->ParamByName("Key_CustomerID").DataType(), ftInteger);
  }
  {
    Example ex;
    TRdaUpdateSqlWriter w(CustomersSettings(upWhereChanged), connection);
    const auto lines = ex.Run(w);
    EXPECT_EQ(lines[0],
              "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = 7 AND "
              "Customers.Company = 'Acme' ");
    // A deleted row must still be as it was loaded: every comparable field.
    EXPECT_EQ(lines[1],
              "DELETE FROM Customers  Where Customers.CustomerID = 9 AND Customers.Company = 'Widgets' AND "
              "Customers.City = NULL ");
    EXPECT_EQ(ParamTexts(w.Params()), (std::vector<std::string>{"Company=Acme Ltd", "CustomerID=12", "Company2=Bolt"}));
  }
  {
    Example ex;
    TRdaUpdateSqlWriter w(CustomersSettings(upWhereAll), connection);
    const auto lines = ex.Run(w);
    EXPECT_EQ(lines[0],
              "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = :Key_CustomerID AND "
              "Customers.Company = :Key_Company AND Customers.City = :Key_City ");
    EXPECT_EQ(lines[1],
              "DELETE FROM Customers  Where Customers.CustomerID = :Key_CustomerID2 AND Customers.Company = "
              ":Key_Company2 AND Customers.City = :Key_City2 ");
    EXPECT_EQ(ParamTexts(w.Params())[1], "Key_CustomerID=7");
    EXPECT_EQ(ParamTexts(w.Params())[2], "Key_Company=Acme");
  }
  {
    Example ex;
    TRdaConnectionSettings terminated;
    terminated.SQLOptions = {ssTerminateWithSemiColon, ssUseISInNuLLcompares};
    TRdaUpdateSqlWriter w(CustomersSettings(upWhereChanged), terminated);
    const auto lines = ex.Run(w);
    EXPECT_EQ(lines[1],
              "DELETE FROM Customers  Where Customers.CustomerID = 9 AND Customers.Company = 'Widgets' AND "
              "Customers.City IS NULL ;");
    EXPECT_EQ(lines[2], "Insert Into Customers (CustomerID,Company)\r Values ( :CustomerID, :Company2);");
  }
}

TEST(UpdateSql, AnEditBackToTheOldValueWritesNothingUnlessForced) {
  TRdaConnectionSettings connection;
  auto now = Row(kCustomers, {"7", "Acme", std::nullopt});
  auto old = Row(kCustomers, {"7", "Acme", std::nullopt});
  TRdaUpdateSqlWriter w(CustomersSettings(), connection);
  EXPECT_EQ(w.Statement(ldModified, *now, *old), std::nullopt);
  EXPECT_EQ(w.Params(), nullptr);
  // Text forms are compared exactly: a change of case is a change.
  auto recased = Row(kCustomers, {"7", "ACME", std::nullopt});
  EXPECT_TRUE(w.Statement(ldModified, *recased, *old).has_value());

  TRdaUpdateSqlSettings forced = CustomersSettings();
  forced.SQLOptions = {soForceChange};
  TRdaUpdateSqlWriter f(forced, connection);
  EXPECT_EQ(f.Statement(ldModified, *now, *old),
            "UPDATE Customers SET Customers.CustomerID = :CustomerID,Customers.Company = :Company,Customers.City = "
            ":City  Where Customers.CustomerID = :Key_CustomerID");
}

TEST(UpdateSql, KeyParameterNamesTakeTheNextFreeNumber) {
  TRdaConnectionSettings connection;
  auto row = Row(kCustomers, {"1", "A", "X"});
  TRdaUpdateSqlWriter w(CustomersSettings(), connection);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.Statement(ldDeleted, *row, *row).has_value());
  EXPECT_EQ(ParamTexts(w.Params()),
            (std::vector<std::string>{"Key_CustomerID=1", "Key_CustomerID2=1", "Key_CustomerID3=1"}));
  // A fresh list starts again at the plain name.
  auto taken = w.TakeParams();
  EXPECT_EQ(taken->Count(), 3);
  EXPECT_EQ(w.Statement(ldDeleted, *row, *row),
            "DELETE FROM Customers  Where Customers.CustomerID = :Key_CustomerID");
}

TEST(UpdateSql, NamesByQuotingAndQualificationOptions) {
  const std::vector<Column> columns = {{"Id", ftInteger, 0}, {"Unit Price", ftFloat, 0}};
  auto now = Row(columns, {"1", "2.5"});
  auto old = Row(columns, {"1", "2"});
  TRdaUpdateSqlSettings settings;
  settings.UpdateTableName = "Items";
  settings.PrimeFields = {"Id"};
  struct Case {
    TRdaServerSQLOptions options;
    TRdaUpdateSQL syntax;
    std::string update;
    std::string insert;
  };
  const std::vector<Case> cases = {
      {{}, usBDE, "UPDATE Items SET Items.Unit Price = :Unit_Price  Where Items.Id = :Key_Id",
       "Insert Into Items (Id,Unit Price)\r Values ( :Id, :Unit_Price)"},
      {{ssUseQuotesInFieldNames, ssBracketsInFieldNames, ssTableNameInInsertStatments}, usBDE,
       "UPDATE Items SET Items.\"Unit Price\" = :Unit_Price  Where Items.\"Id\" = :Key_Id",
       "Insert Into Items (Items.\"Id\",Items.\"Unit Price\")\r Values ( :Id, :Unit_Price)"},
      {{ssBracketsInFieldNames, ssNoTableNameInUpdateStatements, ssTableNameInInsertStatments}, usBDE,
       "UPDATE Items SET [Unit Price] = :Unit_Price  Where [Id] = :Key_Id",
       "Insert Into Items ([Id],[Unit Price])\r Values ( :Id, :Unit_Price)"},
      // Access: never a table prefix in INSERT, and always a terminator there.
      {{ssTableNameInInsertStatments}, usAccess,
       "UPDATE Items SET Items.Unit Price = :Unit_Price  Where Items.Id = :Key_Id",
       "Insert Into Items (Id,Unit Price)\r Values ( :Id, :Unit_Price);"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.update);
    TRdaConnectionSettings connection;
    connection.SQLOptions = c.options;
    connection.UpdateSQLSyntax = c.syntax;
    TRdaUpdateSqlWriter w(settings, connection);
    EXPECT_EQ(w.Statement(ldModified, *now, *old), c.update);
    w.TakeParams();  // the next statement in a list of its own
    EXPECT_EQ(w.Statement(ldInserted, *now, *old), c.insert);
  }
}

TEST(UpdateSql, WhichFieldsTakePart) {
  const std::vector<Column> columns = {{"Id", ftAutoInc, 0},      {"Name", ftString, 10}, {"Secret", ftString, 10},
                                       {"Locked", ftString, 10},  {"Notes", ftMemo, 0},   {"Photo", ftBlob, 0},
                                       {"Raw", ftBytes, 2},       {"Seq", ftInteger, 0}};
  auto row = Row(columns, {std::nullopt, "n", "s", "l", "memo", "", "ab", "5"});
  row->FieldByName("Locked").SetReadOnly(true);
  TRdaConnectionSettings connection;
  TRdaUpdateSqlSettings s;
  s.UpdateTableName = "T";
  s.NoSQLFields = {"secret"};
  s.AutoIncrementField = "SEQ";
  auto names = [&](const TRdaUpdateSqlSettings& settings) {
    TRdaUpdateSqlWriter w(settings, connection);
    std::string out;
    for (const auto& f : row->Fields()) {
      if (w.TakesPart(*f)) out += f->FieldName() + " ";
    }
    return out;
  };
  EXPECT_EQ(names(s), "Name ");
  s.SQLOptions = {soIgnoreAutoIncrement, soFetchMemos, soFetchBlobs, soFetchBytes};
  EXPECT_EQ(names(s), "Id Name Notes Photo Raw ");
  s.LargeValues = false;  // umManual outside a statement parameter list
  EXPECT_EQ(names(s), "Id Name ");
  s.OracleSequence = "CUST_SEQ";
  EXPECT_EQ(names(s), "Id Name Seq ");

  // The sequence's next value, with no parameter; the empty blob and the NULL
  // auto-increment value are left out of the INSERT.
  s.LargeValues = true;
  TRdaUpdateSqlWriter w(s, connection);
  EXPECT_EQ(w.Statement(ldInserted, *row, *row),
            "Insert Into T (Name,Notes,Raw,Seq)\r Values ( :Name, :Notes, :Raw,CUST_SEQ.NextVal)");
  EXPECT_EQ(ParamTexts(w.Params()), (std::vector<std::string>{"Name=n", "Notes=memo", "Raw=ab"}));
  EXPECT_EQ(w.Params()->ParamByName("Notes").DataType(), ftMemo);
}

TEST(UpdateSql, LargeValuesTravelAsBlobAndMemoParametersAndAreNeverCompared) {
  const std::vector<Column> columns = {{"Id", ftInteger, 0}, {"Doc", ftGraphic, 0}, {"Text", ftOraClob, 0}};
  auto now = Row(columns, {"1", "new", ""});
  auto old = Row(columns, {"1", "old", "was"});
  TRdaConnectionSettings connection;
  TRdaUpdateSqlSettings s;
  s.UpdateTableName = "D";
  s.UpdateMode = upWhereAll;
  s.SQLOptions = {soFetchBlobs, soFetchMemos};
  TRdaUpdateSqlWriter w(s, connection);
  EXPECT_EQ(w.Statement(ldModified, *now, *old),
            "UPDATE D SET D.Doc = :Doc,D.Text = :Text  Where D.Id = :Key_Id ");
  const TRdaParamList& p = *w.Params();
  EXPECT_EQ(p.ParamByName("Doc").DataType(), ftBlob);
  EXPECT_EQ(p.ParamByName("Doc").AsBlob(), "new");
  EXPECT_EQ(p.ParamByName("Text").DataType(), ftMemo);
  EXPECT_TRUE(p.ParamByName("Text").IsNull());  // an empty value travels as NULL
  EXPECT_EQ(p.Count(), 3);
}

TEST(UpdateSql, NullKeysAndWherePartsThatMustNotBeWritten) {
  TRdaConnectionSettings isNull;
  isNull.SQLOptions = {ssUseISInNuLLcompares};
  // The old key was NULL: compared with IS, whatever the key is now.
  auto now = Row(kCustomers, {"5", "A", std::nullopt});
  auto old = Row(kCustomers, {std::nullopt, "A", std::nullopt});
  TRdaUpdateSqlWriter w(CustomersSettings(), isNull);
  EXPECT_EQ(w.Statement(ldModified, *now, *old),
            "UPDATE Customers SET Customers.CustomerID = :CustomerID  Where Customers.CustomerID IS NULL");
  EXPECT_EQ(ParamTexts(w.Params()), (std::vector<std::string>{"CustomerID=5"}));

  // No key under upWhereKeyOnly, nothing comparable under the others: refused.
  TRdaConnectionSettings connection;
  TRdaUpdateSqlSettings noKeys = CustomersSettings();
  noKeys.PrimeFields.clear();
  TRdaUpdateSqlWriter k(noKeys, connection);
  EXPECT_TRUE(RaisesWith<EDatabaseError>(
      [&] { k.Statement(ldDeleted, *now, *old); },
      "No WHERE condition can be written for a change to Customers: no key field or comparable field"));
  const std::vector<Column> blobsOnly = {{"Doc", ftBlob, 0}};
  auto blobRow = Row(blobsOnly, {"x"});
  TRdaUpdateSqlSettings all = noKeys;
  all.UpdateMode = upWhereAll;
  TRdaUpdateSqlWriter a(all, connection);
  EXPECT_THROW(a.Statement(ldDeleted, *blobRow, *blobRow), EDatabaseError);
  EXPECT_EQ(a.Statement(3, *blobRow, *blobRow), std::nullopt);  // kind 3 yields nothing
}

// ---------------------------------------------------------------------------
// A dataset's whole log

// Customers with a price; the rows 1..n, logging on.
std::unique_ptr<TRda2AuditDataset> AuditedCustomers(int rows) {
  auto ds = std::make_unique<TRda2AuditDataset>();
  ds->AddField("CustomerID", ftInteger, 0);
  ds->AddField("Company", ftString, 300);
  ds->AddField("City", ftString, 30);
  ds->AddField("Price", ftFloat, 0);
  ds->SetUpdateMethod(umManual);
  ds->Open();
  for (int i = 1; i <= rows; ++i) {
    ds->AppendRecord({Variant(i), Variant("Company " + std::to_string(i)),
                      i % 2 ? Variant("City " + std::to_string(i)) : Variant::Null(), Variant(i * 0.25)});
  }
  ds->SetUpdateMethod(umCached);
  return ds;
}

void Change(TDataSet& ds, int id, const char* field, const Variant& value) {
  ASSERT_TRUE(ds.Locate("CustomerID", Variant(id)));
  ds.Edit();
  ds.FieldByName(field).SetValue(value);
  ds.Post();
}

TEST(UpdateSqlLog, TheExampleAsAStatementList) {
  auto ds = AuditedCustomers(9);
  Change(*ds, 7, "Company", Variant("Acme Ltd"));
  ASSERT_TRUE(ds->Locate("CustomerID", Variant(9)));
  ds->Delete();
  ds->AppendRecord({Variant(12), Variant("Bolt"), Variant::Null(), Variant::Null()});
  // Inserted and deleted again: nothing.
  ds->AppendRecord({Variant(13), Variant("Gone"), Variant::Null(), Variant::Null()});
  ds->Delete();
  ds->SetFilter("CustomerID < 5");
  ds->SetFiltered(true);
  ds->First();
  ds->Next();

  TRdaConnectionSettings connection;
  connection.SQLTransactionStart.clear();  // empty lines mean the defaults
  TRdaUpdateSqlWriter w(CustomersSettings(), connection);
  EXPECT_EQ(w.StatementList(*ds),
            (std::vector<std::string>{
                "BEGIN TRANSACTION",
                "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = :Key_CustomerID",
                "DELETE FROM Customers  Where Customers.CustomerID = :Key_CustomerID2",
                "Insert Into Customers (CustomerID,Company)\r Values ( :CustomerID, :Company2)", "COMMIT"}));
  EXPECT_EQ(ParamTexts(w.Params()), (std::vector<std::string>{"Company=Acme Ltd", "Key_CustomerID=7",
                                                              "Key_CustomerID2=9", "CustomerID=12",
                                                              "Company2=Bolt"}));
  // The view is as it was: filtered, on the second row.
  EXPECT_TRUE(ds->Filtered());
  EXPECT_EQ(ds->FieldByName("CustomerID").AsInteger(), 2);

  // One parameter per statement, carrying that statement's own parameters.
  auto list = w.StatementParams(*ds);
  ASSERT_EQ(list->Count(), 3);
  EXPECT_EQ(list->Items(1).Name(), "DELETE FROM Customers  Where Customers.CustomerID = :Key_CustomerID");
  auto own = TRdaParamList::FromText(list->Items(1).AsString());
  ASSERT_EQ(own->Count(), 1);
  EXPECT_EQ(own->Items(0).Name(), "Key_CustomerID");
  EXPECT_EQ(own->Items(0).AsInteger(), 9);
  EXPECT_EQ(ds->FieldByName("CustomerID").AsInteger(), 2);
}

// Runs `sql` on SQLite with the parameters bound by name (every one of them
// must be named by `sql` unless `shared`: a list for several statements); the
// rows it changed.
int Execute(sqlite3* db, const std::string& sql, const TRdaParamList* params, bool shared) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
    return -1;
  }
  for (int i = 0; params && i < params->Count(); ++i) {
    const TRdaParamItem& p = params->Items(i);
    const int at = sqlite3_bind_parameter_index(st, (":" + p.Name()).c_str());
    if (shared && at == 0) continue;
    EXPECT_GT(at, 0) << p.Name() << " in " << sql;
    if (p.IsNull()) {
      sqlite3_bind_null(st, at);
    } else if (p.DataType() == ftInteger) {
      sqlite3_bind_int64(st, at, p.AsInteger());
    } else if (p.DataType() == ftFloat) {
      sqlite3_bind_double(st, at, p.AsFloat());
    } else {
      const std::string text = p.AsString();
      sqlite3_bind_text(st, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
  }
  const int rc = sqlite3_step(st);
  EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(db) << " in " << sql;
  sqlite3_finalize(st);
  return sqlite3_changes(db);
}

int Execute(sqlite3* db, const std::string& sql, const std::string& encoded) {
  const std::unique_ptr<TRdaParamList> params = encoded.empty() ? nullptr : TRdaParamList::FromText(encoded);
  return Execute(db, sql, params.get(), false);
}

using Table = std::map<int, std::vector<std::string>>;

Table SqliteRows(sqlite3* db) {
  Table rows;
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT CustomerID, Company, City, Price FROM Customers", -1, &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int c = 1; c < 4; ++c) {
      if (sqlite3_column_type(st, c) == SQLITE_NULL) {
        row.push_back("<null>");
      } else if (c == 3) {
        row.push_back(std::to_string(sqlite3_column_double(st, c)));
      } else {
        row.emplace_back(static_cast<const char*>(sqlite3_column_blob(st, c)), sqlite3_column_bytes(st, c));
      }
    }
    rows[sqlite3_column_int(st, 0)] = row;
  }
  sqlite3_finalize(st);
  return rows;
}

Table DatasetRows(TDataSet& ds) {
  Table rows;
  ds.SetFiltered(false);
  for (ds.First(); !ds.Eof(); ds.Next()) {
    std::vector<std::string> row;
    for (const char* f : {"Company", "City"}) {
      row.push_back(ds.FieldByName(f).IsNull() ? "<null>" : ds.FieldByName(f).AsString());
    }
    const TField& price = ds.FieldByName("Price");
    row.push_back(price.IsNull() ? "<null>" : std::to_string(price.AsFloat()));
    rows[ds.FieldByName("CustomerID").AsInteger()] = row;
  }
  return rows;
}

// The same edits in every update mode: inserts, edits of key and other fields,
// deletes, NULLs set and cleared, and texts that try to break out of a literal.
// After the statements ran, the table holds exactly the dataset's rows: each
// statement with its own parameters, and the whole list with the one parameter
// list that goes with it (every statement binding the names it has).
TEST(UpdateSqlLog, EveryModeLeavesTheTableEqualToTheDataset) {
  const std::vector<std::string> hostile = {
      "O'Brien", "''", "a\"b\"", "back\\slash\\", "x'; DROP TABLE Customers; --", "-- comment",
      "/* open", "tab\tcr\rlf\n\x01\x1f", "caf\xe9 \x80\x9f", std::string(250, '\'')};
  for (TRdaUpdateMode mode : {upWhereKeyOnly, upWhereAll, upWhereChanged}) {
    SCOPED_TRACE(static_cast<int>(mode));
    auto ds = AuditedCustomers(20);
    sqlite3* db = nullptr;
    sqlite3* whole = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
    ASSERT_EQ(sqlite3_open(":memory:", &whole), SQLITE_OK);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer2(whole, &sqlite3_close);
    for (sqlite3* d : {db, whole}) {
      ASSERT_EQ(Execute(d, "CREATE TABLE Customers (CustomerID INTEGER PRIMARY KEY, Company TEXT, City TEXT, Price REAL)", ""), 0);
      for (ds->First(); !ds->Eof(); ds->Next()) {
        const int id = ds->FieldByName("CustomerID").AsInteger();
        const std::string city = ds->FieldByName("City").IsNull() ? "NULL" : "'" + ds->FieldByName("City").AsString() + "'";
        Execute(d, "INSERT INTO Customers VALUES (" + std::to_string(id) + ", 'Company " + std::to_string(id) + "', " +
                       city + ", " + std::to_string(id * 0.25) + ")", "");
      }
      ASSERT_EQ(SqliteRows(d), DatasetRows(*ds));
    }

    for (size_t i = 0; i < hostile.size(); ++i) Change(*ds, static_cast<int>(i + 1), "Company", Variant(hostile[i]));
    Change(*ds, 11, "City", Variant::Null());         // NULL set
    Change(*ds, 12, "City", Variant("Bergen"));       // NULL cleared
    Change(*ds, 13, "CustomerID", Variant(113));      // the key itself
    Change(*ds, 13 + 100, "Price", Variant(7.75));    // and the same row again
    Change(*ds, 14, "Company", Variant("Company 14"));  // back to what it was: nothing
    for (int id : {15, 16}) {
      ASSERT_TRUE(ds->Locate("CustomerID", Variant(id)));
      ds->Delete();
    }
    ds->AppendRecord({Variant(40), Variant(hostile[4]), Variant::Null(), Variant(0.5)});
    ds->AppendRecord({Variant(41), Variant("Temp"), Variant::Null(), Variant::Null()});
    Change(*ds, 41, "Company", Variant("Kept"));  // an insert edited before it is sent

    TRdaConnectionSettings connection;
    connection.SQLOptions = {ssNoTableNameInUpdateStatements, ssUseISInNuLLcompares};
    TRdaUpdateSqlSettings settings = CustomersSettings(mode);
    TRdaUpdateSqlWriter w(settings, connection);
    auto statements = w.StatementParams(*ds);
    EXPECT_EQ(statements->Count(), 17);  // 10 + 4 edits, 2 deletes, 2 inserts; row 14 none
    for (int i = 0; i < statements->Count(); ++i) {
      EXPECT_EQ(Execute(db, statements->Items(i).Name(), statements->Items(i).AsString()), 1)
          << statements->Items(i).Name().substr(0, 200);
    }
    EXPECT_EQ(SqliteRows(db), DatasetRows(*ds));

    std::vector<std::string> lines = w.StatementList(*ds);
    const std::unique_ptr<TRdaParamList> params = w.TakeParams();
    ASSERT_EQ(lines.size(), 19u);
    for (size_t i = 1; i + 1 < lines.size(); ++i) Execute(whole, lines[i], params.get(), true);
    EXPECT_EQ(SqliteRows(whole), DatasetRows(*ds));
  }
}

// A row changed underneath on the server: under upWhereChanged the statement
// matches nothing (0 rows, a conflict the caller sees), never another row.
TEST(UpdateSqlLog, AChangeUnderneathMatchesNothingUnderWhereChanged) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
  Execute(db, "CREATE TABLE Customers (CustomerID INTEGER PRIMARY KEY, Company TEXT, City TEXT, Price REAL)", "");
  Execute(db, "INSERT INTO Customers VALUES (1, 'Company 1', 'City 1', 0.25), (2, 'Company 1', 'City 1', 0.25)", "");
  auto ds = AuditedCustomers(1);
  Change(*ds, 1, "Price", Variant(9.5));
  Execute(db, "UPDATE Customers SET Price = 3 WHERE CustomerID = 1", "");  // someone else

  TRdaConnectionSettings connection;
  connection.SQLOptions = {ssNoTableNameInUpdateStatements};
  TRdaUpdateSqlSettings settings = CustomersSettings(upWhereChanged);
  TRdaUpdateSqlWriter w(settings, connection);
  auto statements = w.StatementParams(*ds);
  ASSERT_EQ(statements->Count(), 1);
  EXPECT_EQ(statements->Items(0).Name(),
            "UPDATE Customers SET Price = :Price  Where CustomerID = 1 AND Price = 0.25 ");
  EXPECT_EQ(Execute(db, statements->Items(0).Name(), statements->Items(0).AsString()), 0);
  EXPECT_EQ(SqliteRows(db)[2][2], std::to_string(0.25));  // the twin row is untouched
}

}  // namespace
}  // namespace rda
