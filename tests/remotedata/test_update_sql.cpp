// Statements for logged changes: the worked Customers example in every update mode,
// which fields take part, names, key parameter names, inserts, terminators, and the
// WHERE parts that must never be written.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Exception.h"
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
    for (auto s : {w.Statement(kLogEdited, *editedNow, *editedOld),
                   w.Statement(kLogDeleted, *editedNow, *deletedOld),
                   w.Statement(kLogInserted, *inserted, *editedOld)}) {
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
                             "Insert Into Customers (CustomerID,Company)\r Values ( :CustomerID, :Company)"}));
    EXPECT_EQ(ParamTexts(w.Params()),
              (std::vector<std::string>{"Company=Acme Ltd", "Key_CustomerID=7", "Key_CustomerID2=9",
                                        "CustomerID=12", "Company=Bolt"}));
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
    EXPECT_EQ(ParamTexts(w.Params()), (std::vector<std::string>{"Company=Acme Ltd", "CustomerID=12", "Company=Bolt"}));
  }
  {
    Example ex;
    TRdaUpdateSqlWriter w(CustomersSettings(upWhereAll), connection);
    EXPECT_EQ(ex.Run(w)[0],
              "UPDATE Customers SET Customers.Company = :Company  Where Customers.CustomerID = :Key_CustomerID AND "
              "Customers.Company = :Key_Company AND Customers.City = :Key_City ");
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
    EXPECT_EQ(lines[2], "Insert Into Customers (CustomerID,Company)\r Values ( :CustomerID, :Company);");
  }
}

TEST(UpdateSql, AnEditBackToTheOldValueWritesNothingUnlessForced) {
  TRdaConnectionSettings connection;
  auto now = Row(kCustomers, {"7", "Acme", std::nullopt});
  auto old = Row(kCustomers, {"7", "Acme", std::nullopt});
  TRdaUpdateSqlWriter w(CustomersSettings(), connection);
  EXPECT_EQ(w.Statement(kLogEdited, *now, *old), std::nullopt);
  EXPECT_EQ(w.Params(), nullptr);
  // Text forms are compared exactly: a change of case is a change.
  auto recased = Row(kCustomers, {"7", "ACME", std::nullopt});
  EXPECT_TRUE(w.Statement(kLogEdited, *recased, *old).has_value());

  TRdaUpdateSqlSettings forced = CustomersSettings();
  forced.SQLOptions = {soForceChange};
  TRdaUpdateSqlWriter f(forced, connection);
  EXPECT_EQ(f.Statement(kLogEdited, *now, *old),
            "UPDATE Customers SET Customers.CustomerID = :CustomerID,Customers.Company = :Company,Customers.City = "
            ":City  Where Customers.CustomerID = :Key_CustomerID");
}

TEST(UpdateSql, KeyParameterNamesAreMadeUniqueByAppendingTheNextNumber) {
  TRdaConnectionSettings connection;
  auto row = Row(kCustomers, {"1", "A", "X"});
  TRdaUpdateSqlWriter w(CustomersSettings(), connection);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.Statement(kLogDeleted, *row, *row).has_value());
  EXPECT_EQ(ParamTexts(w.Params()),
            (std::vector<std::string>{"Key_CustomerID=1", "Key_CustomerID2=1", "Key_CustomerID23=1"}));
  // A fresh list starts again at the plain name.
  auto taken = w.TakeParams();
  EXPECT_EQ(taken->Count(), 3);
  EXPECT_EQ(w.Statement(kLogDeleted, *row, *row),
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
    EXPECT_EQ(w.Statement(kLogEdited, *now, *old), c.update);
    EXPECT_EQ(w.Statement(kLogInserted, *now, *old), c.insert);
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
  EXPECT_EQ(w.Statement(kLogInserted, *row, *row),
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
  EXPECT_EQ(w.Statement(kLogEdited, *now, *old),
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
  EXPECT_EQ(w.Statement(kLogEdited, *now, *old),
            "UPDATE Customers SET Customers.CustomerID = :CustomerID  Where Customers.CustomerID IS NULL");
  EXPECT_EQ(ParamTexts(w.Params()), (std::vector<std::string>{"CustomerID=5"}));

  // No key under upWhereKeyOnly, nothing comparable under the others: refused.
  TRdaConnectionSettings connection;
  TRdaUpdateSqlSettings noKeys = CustomersSettings();
  noKeys.PrimeFields.clear();
  TRdaUpdateSqlWriter k(noKeys, connection);
  EXPECT_TRUE(RaisesWith<EDatabaseError>(
      [&] { k.Statement(kLogDeleted, *now, *old); },
      "No WHERE condition can be written for a change to Customers: no key field or comparable field"));
  const std::vector<Column> blobsOnly = {{"Doc", ftBlob, 0}};
  auto blobRow = Row(blobsOnly, {"x"});
  TRdaUpdateSqlSettings all = noKeys;
  all.UpdateMode = upWhereAll;
  TRdaUpdateSqlWriter a(all, connection);
  EXPECT_THROW(a.Statement(kLogDeleted, *blobRow, *blobRow), EDatabaseError);
  EXPECT_EQ(a.Statement(3, *blobRow, *blobRow), std::nullopt);  // kind 3 yields nothing
}

}  // namespace
}  // namespace rda
