// The expression examples of docs/datasets.md, as written there, with the
// results the page states.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memdata/RdaCustomDataSet.h"

namespace {

using ::testing::ElementsAre;

std::vector<std::string> Names(rda::TDataSet& ds) {
  std::vector<std::string> names;
  for (ds.First(); !ds.Eof(); ds.Next()) names.push_back(ds.FieldByName("Name").AsString());
  return names;
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const rda::EDatabaseError& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(DocsExpressions, FiltersIndexesConstraintsAndDefaults) {
  rda::TRdaDataSet staff;
  staff.AddField("Id", rda::ftInteger, 0);
  staff.AddField("Name", rda::ftString, 20);
  staff.AddField("Salary", rda::ftFloat, 0);
  staff.AddField("Hired", rda::ftDate, 0);
  staff.Open();
  staff.AppendRecord({rda::Variant(1), rda::Variant("Ada"), rda::Variant(5200.0),
                      rda::Variant::FromDate(rda::EncodeDate(2001, 3, 1))});
  staff.AppendRecord({rda::Variant(2), rda::Variant("grace"), rda::Variant(4100.0),
                      rda::Variant::FromDate(rda::EncodeDate(2010, 6, 15))});
  staff.AppendRecord({rda::Variant(3), rda::Variant("Grace"), rda::Variant(6100.0),
                      rda::Variant::FromDate(rda::EncodeDate(1999, 1, 4))});
  staff.AppendRecord({rda::Variant(4), rda::Variant("Edsger")});  // no salary, no date

  staff.SetFilter("Salary > 5000 AND Hired < DATE '2005-01-01'");
  staff.SetFiltered(true);  // the view: Ada, Grace
  EXPECT_THAT(Names(staff), ElementsAre("Ada", "Grace"));
  staff.SetFilterOptions({rda::foCaseInsensitive});
  staff.SetFilter("Name = 'gr*'");  // grace, Grace: a trailing * compares the start
  EXPECT_THAT(Names(staff), ElementsAre("grace", "Grace"));
  staff.SetFilter("UPPER(SUBSTRING(Name, 1, 1)) = 'E' OR Salary IS NULL");  // Edsger
  EXPECT_THAT(Names(staff), ElementsAre("Edsger"));
  staff.SetFiltered(false);

  EXPECT_EQ(ErrorOf([&] { staff.SetFilter("Salary >"); }),
            "Syntax error at position 9: expected an operand but found end of text");

  rda::TRdaIndex& byName = staff.Indexes().Add();
  byName.SetName("ByName");
  byName.SetFields("Name");
  byName.SetActive(true);
  staff.SetIndexName("ByName");
  staff.SetFilterOptions({});
  staff.SetFilter("Name >= 'G' AND Name < 'H' AND Salary > 0");
  staff.SetFiltered(true);  // Grace only, reading the rows from "G" on
  EXPECT_THAT(Names(staff), ElementsAre("Grace"));

  rda::TRdaDataSet orders;
  orders.AddField("Qty", rda::ftInteger, 0);
  orders.AddField("Placed", rda::ftDate, 0);
  rda::TField& qty = orders.CreateField("Qty", rda::ftInteger);
  rda::TField& placed = orders.CreateField("Placed", rda::ftDate);
  qty.CustomConstraint = "Qty > 0";
  qty.ConstraintErrorMessage = "order at least one";
  qty.DefaultExpression = "1";
  placed.DefaultExpression = "GETDATE()";
  rda::TCheckConstraint& rule = orders.Constraints().Add();
  rule.CustomConstraint = "Qty < 1000 OR Placed < DATE '2000-01-01'";
  rule.ErrorMessage = "too many";
  orders.Open();
  orders.Append();        // Qty 1, Placed today
  EXPECT_EQ(qty.AsInteger(), 1);
  EXPECT_GT(placed.AsDateTime(), rda::EncodeDate(2020, 1, 1));
  EXPECT_EQ(ErrorOf([&] { qty.SetAsInteger(0); }),  // raises
            "Field [Qty] custom constraint failed.\n[order at least one]");
  qty.SetAsInteger(5000);
  EXPECT_EQ(ErrorOf([&] { orders.Post(); }), "Record custom constraint failed.\n[too many]");
}

}  // namespace
