// Update SQL made by a client dataset over an rdaserver table: the dataset is
// edited with logging on, its statements with their parameters are run through
// rdaserver, one request each, and the table must then hold exactly the dataset's
// rows, in every update mode.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "DatasetTestSupport.h"

namespace rda {
namespace {

using test::DatasetTest;
using Rows = std::map<int, std::vector<std::string>>;

Rows RowsOf(TDataSet& ds) {
  Rows rows;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    std::vector<std::string> row;
    for (const char* f : {"Company", "City"}) {
      row.push_back(ds.FieldByName(f).IsNull() ? "<null>" : ds.FieldByName(f).AsString());
    }
    rows[ds.FieldByName("Id").AsInteger()] = row;
  }
  return rows;
}

class UpdateSqlTest : public DatasetTest {
 protected:
  // Runs one generated statement with its encoded parameters through rdaserver.
  void Run(const std::string& statement, const std::string& encoded) {
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&s);
    ds.SetSQLText(statement + "; SELECT 1");
    if (!encoded.empty()) TRdaParamList::FromText(encoded)->CopyTo(ds.Params(), true);
    ds.Open();
  }
  Rows TableRows(const std::string& table) {
    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&s);
    ds.SetSQLText("SELECT Id, Company, City FROM " + table);
    ds.Open();
    return RowsOf(ds);
  }
};

TEST_F(UpdateSqlTest, EveryModeLeavesTheTableAsTheDataset) {
  const std::vector<std::string> hostile = {"O'Brien", "a\"b", "semi; colon -- not a comment", "/* open",
                                            "back\\slash", "caf\xe9 \x80"};
  // SQLite takes no table name before a column in SET.
  s.SetSQLOptions({ssNoTableNameInUpdateStatements, ssUseISInNuLLcompares});
  int round = 0;
  for (TRdaUpdateMode mode : {upWhereKeyOnly, upWhereAll, upWhereChanged}) {
    SCOPED_TRACE(static_cast<int>(mode));
    const std::string table = "Customers" + std::to_string(++round);
    Execute("CREATE TABLE " + table + " (Id INTEGER PRIMARY KEY, Company TEXT, City TEXT)");
    Execute("INSERT INTO " + table +
            " VALUES (1, 'One', 'Oslo'), (2, 'Two', NULL), (3, 'Three', 'Rome'), (4, 'Four', 'Kyiv'), "
            "(5, 'Five', NULL)");

    TRdaClientDataSet ds;
    ds.SetRdaClientSocket(&s);
    ds.SetSQLText("SELECT Id, Company, City FROM " + table);
    ds.SetUpdateTableName(table);
    ds.SetPrimeFields({"Id"});
    ds.SetUpdateMode(mode);
    ds.Open();
    ds.SetUpdateMethod(umCached);
    auto change = [&](int id, const char* field, const Variant& value) {
      ASSERT_TRUE(ds.Locate("Id", Variant(id)));
      ds.Edit();
      ds.FieldByName(field).SetValue(value);
      ds.Post();
    };
    change(1, "Company", Variant(hostile[round % hostile.size()]));
    change(2, "City", Variant(hostile[(round + 1) % hostile.size()]));  // a NULL cleared
    change(3, "City", Variant::Null());                                 // a NULL set
    change(4, "Id", Variant(40));                                       // the key itself
    ASSERT_TRUE(ds.Locate("Id", Variant(5)));
    ds.Delete();
    ds.AppendRecord({Variant(6), Variant(hostile[(round + 2) % hostile.size()]), Variant("Lima")});

    auto statements = ds.GeneratedStatementParams();
    ASSERT_EQ(statements->Count(), 6);
    for (int i = 0; i < statements->Count(); ++i) {
      Run(statements->Items(i).Name(), statements->Items(i).AsString());
    }
    EXPECT_EQ(TableRows(table), RowsOf(ds));
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(UpdateSqlTest, TheTextFormAndWhereTheSqlIsMade) {
  TRdaClientDataSet ds;
  ds.SetRdaClientSocket(&s);
  ds.SetSQLText("SELECT XCompanyCode, XHost FROM VNXHOSTS ORDER BY XCompanyCode");
  ds.SetUpdateTableName("VNXHOSTS");
  ds.SetPrimeFields({"XCompanyCode"});
  ds.Open();
  ds.SetUpdateMethod(umCached);
  ds.Edit();
  ds.FieldByName("XHost").SetAsString("db.example");
  ds.Post();
  std::unique_ptr<TRdaParamList> params;
  EXPECT_EQ(ds.GeneratedSQL(&params),
            (std::vector<std::string>{
                s.SQLTransactionStart(),
                "UPDATE VNXHOSTS SET VNXHOSTS.XHost = :XHost  Where VNXHOSTS.XCompanyCode = :Key_XCompanyCode",
                s.SQLTransactionEnd()}));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->ParamByName("XHost").AsString(), "db.example");
  EXPECT_EQ(params->ParamByName("Key_XCompanyCode").AsString(), "ACME");

  ds.SetUpdateMethod(umManual);
  ds.SetSQLGenerateLocation(gsServer);
  EXPECT_EQ(ds.UpdateMethod(), umCached);
}


// The example of docs/client-datasets.md ("Editing and the SQL it makes"), as
// written there: one edit, one delete and one insert in each update mode.
TEST_F(UpdateSqlTest, TheDocsExampleInEachUpdateMode) {
  Execute("CREATE TABLE Customers (CustomerID INTEGER PRIMARY KEY, Company TEXT, City TEXT)");
  Execute("INSERT INTO Customers VALUES (7, 'Acme', 'Oslo'), (9, 'Widgets', NULL)");
  s.SetSQLOptions({ssUseISInNuLLcompares});
  std::map<TRdaUpdateMode, std::vector<std::string>> made;
  for (TRdaUpdateMode mode : {upWhereKeyOnly, upWhereAll, upWhereChanged}) {
    TRdaClientDataSet customers;
    customers.SetRdaClientSocket(&s);
    customers.SetSQLText("SELECT CustomerID, Company, City FROM Customers ORDER BY CustomerID");
    customers.SetUpdateTableName("Customers");
    customers.SetPrimeFields({"CustomerID"});
    customers.SetUpdateMode(mode);
    customers.SetUpdateMethod(umCached);  // log the edits; ApplyUpdates sends them
    customers.Open();

    customers.Edit();                                      // row 7
    customers.FieldByName("Company").SetAsString("Acme Ltd");
    customers.Post();
    customers.Next();                                      // row 9
    customers.Delete();
    customers.AppendRecord({Variant(12), Variant("Bolt"), Variant("Lima")});

    std::unique_ptr<TRdaParamList> params;
    std::vector<std::string> lines = customers.GeneratedSQL(&params);
    made[mode] = std::vector<std::string>(lines.begin() + 1, lines.end() - 1);  // without BEGIN/COMMIT
    EXPECT_EQ(params->ParamByName("Company").AsString(), "Acme Ltd");
    EXPECT_EQ(params->ParamByName("Company2").AsString(), "Bolt");
  }
  const std::string insert = "Insert Into Customers (CustomerID,Company,City)\r Values ( :CustomerID, :Company2, :City)";
  EXPECT_EQ(made[upWhereKeyOnly],
            (std::vector<std::string>{
                "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = :Key_CustomerID",
                "DELETE FROM Customers  Where Customers.CustomerID = :Key_CustomerID2", insert}));
  EXPECT_EQ(made[upWhereAll],
            (std::vector<std::string>{
                "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = :Key_CustomerID "
                "AND Customers.Company = :Key_Company AND Customers.City = :Key_City ",
                "DELETE FROM Customers  Where Customers.CustomerID = :Key_CustomerID2 AND Customers.Company = "
                ":Key_Company2 AND Customers.City IS NULL ",
                insert}));
  EXPECT_EQ(made[upWhereChanged],
            (std::vector<std::string>{
                "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = 7 AND "
                "Customers.Company = 'Acme' ",
                "DELETE FROM Customers  Where Customers.CustomerID = 9 AND Customers.Company = 'Widgets' AND "
                "Customers.City IS NULL ",
                insert}));
}

}  // namespace
}  // namespace rda
