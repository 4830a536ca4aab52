// Expressions in the dataset: filtering by text with its options, the
// filter in searches and aggregates, a filter that fails, record and field
// constraints, default expressions, and every message they give.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

using ::testing::ElementsAre;
using test::Ids;
using test::MessageOf;
using test::People;

TEST(ExprDataSet, FiltersByTextWithItsOptionsAndTheEvent) {
  auto ds = People({{1, "Ada"}, {2, "grace"}, {3, "Grace"}, {4, "Edsger"}, {5, "Gregory"}});
  ds->SetFilter("Name = 'Grace'");
  ds->SetFiltered(true);
  EXPECT_THAT(Ids(*ds), ElementsAre(3));
  EXPECT_EQ(ds->RecordCount(), 5);  // rows hidden by the filter still count
  ds->SetFilterOptions({foCaseInsensitive});
  EXPECT_THAT(Ids(*ds), ElementsAre(2, 3));
  ds->SetFilter("Name = 'Gr*'");
  EXPECT_THAT(Ids(*ds), ElementsAre(2, 3, 5));
  ds->SetFilterOptions({foCaseInsensitive, foNoPartialCompare});
  EXPECT_THAT(Ids(*ds), ElementsAre());
  ds->SetFilterOptions({});
  ds->SetFilter("Id > 1 AND Score < 7");
  ds->SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("Id").AsInteger() != 3; });
  EXPECT_THAT(Ids(*ds), ElementsAre(2, 4));
  EXPECT_FALSE(ds->Locate("Name", Variant("Ada"), {}));  // searches see the filter too
  ds->SetFiltered(false);
  EXPECT_THAT(Ids(*ds), ElementsAre(1, 2, 3, 4, 5));
  // A calculated field is read by name.
  TRdaDataSet calc;
  calc.AddField("Id", ftInteger, 0);
  calc.CreateField("Id", ftInteger);
  calc.CreateField("Twice", ftInteger, 0, fkCalculated);
  calc.OnCalcFields = [](TDataSet& d) { d.FieldByName("Twice").SetAsInteger(2 * d.FieldByName("Id").AsInteger()); };
  calc.SetFilter("Twice > 4");
  calc.SetFiltered(true);
  calc.Open();
  for (int i = 1; i <= 4; ++i) calc.AppendRecord({Variant(i)});
  EXPECT_THAT(Ids(calc), ElementsAre(3, 4));
}

TEST(ExprDataSet, AggregatesFollowTheFilterText) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}});
  TRdaAggregate& sum = ds->Aggregates().Add();
  sum.SetAggKind(akSum);
  sum.SetFieldName("Score");
  sum.SetActive(true);
  EXPECT_EQ(sum.Value(), Variant(22.5));
  ds->SetFilter("Id >= 4");
  EXPECT_EQ(sum.Value(), Variant(22.5));  // not filtered yet
  ds->SetFiltered(true);
  EXPECT_EQ(sum.Value(), Variant(13.5));
  ds->SetFilter("Id <= 2");
  EXPECT_EQ(sum.Value(), Variant(4.5));
  ds->SetFilter("Name = 'B'");
  ds->SetFilterOptions({foCaseInsensitive});
  EXPECT_EQ(sum.Value(), Variant(3.0));
  ds->SetFiltered(false);
  EXPECT_EQ(sum.Value(), Variant(22.5));
}

TEST(ExprDataSet, FindRecordAppliesTheFilterTextWhileNotFiltered) {
  auto ds = People({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}});
  ds->SetFilter("Id > 2 AND Id <> 4");
  EXPECT_THAT(Ids(*ds), ElementsAre(1, 2, 3, 4, 5));
  TField& id = ds->FieldByName("Id");
  EXPECT_TRUE(ds->FindFirst());
  EXPECT_EQ(id.AsInteger(), 3);
  EXPECT_TRUE(ds->FindNext());
  EXPECT_EQ(id.AsInteger(), 5);
  EXPECT_FALSE(ds->FindNext());
  EXPECT_TRUE(ds->FindPrior());
  EXPECT_EQ(id.AsInteger(), 3);
  EXPECT_TRUE(ds->FindLast());
  EXPECT_EQ(id.AsInteger(), 5);
}

TEST(ExprDataSet, AFilterThatFailsSwitchesFilteringOffOnARowThatPassed) {
  auto ds = People({{1, "1"}, {2, "2"}, {3, "x"}, {4, "4"}});
  ds->SetFilter("Name + 1 > 0");
  ds->SetFiltered(true);
  TField& id = ds->FieldByName("Id");
  ds->First();
  ds->Next();
  EXPECT_EQ(id.AsInteger(), 2);
  EXPECT_EQ(MessageOf<EVariantError>([&] { ds->Next(); }),
            "Could not convert variant of type (String) into type (Double)");
  EXPECT_FALSE(ds->Filtered());
  EXPECT_EQ(ds->Filter(), "Name + 1 > 0");
  EXPECT_EQ(id.AsInteger(), 2);
  ds->Next();
  EXPECT_EQ(id.AsInteger(), 3);
  ds->Edit();
  ds->FieldByName("Name").SetAsString("-5");
  ds->Post();
  // Switched on again, the filter text is compiled again rather than ignored.
  ds->SetFiltered(true);
  EXPECT_THAT(Ids(*ds), ElementsAre(1, 2, 4));
}

// Id, Amount, Flag, Name; the record constraints given, persistent fields.
struct Orders {
  TRdaDataSet ds;
  TField *id, *amount, *flag, *name;
  Orders() {
    ds.AddField("Id", ftInteger, 0);
    ds.AddField("Amount", ftFloat, 0);
    ds.AddField("Flag", ftBoolean, 0);
    ds.AddField("Name", ftString, 10);
    id = &ds.CreateField("Id", ftInteger);
    amount = &ds.CreateField("Amount", ftFloat);
    flag = &ds.CreateField("Flag", ftBoolean);
    name = &ds.CreateField("Name", ftString, 10);
  }
  TCheckConstraint& Constraint(const std::string& custom, const std::string& imported, const std::string& message) {
    TCheckConstraint& c = ds.Constraints().Add();
    c.CustomConstraint = custom;
    c.ImportedConstraint = imported;
    c.ErrorMessage = message;
    return c;
  }
};

TEST(ExprDataSet, RecordConstraintsAreCheckedBeforePost) {
  Orders o;
  o.Constraint("Amount > 0", "", "Amount must be positive");
  o.Constraint("", "Id < 100", "Id too large");
  o.Constraint("Flag", "", "Flag must be set");
  o.ds.Open();
  o.ds.Append();
  o.id->SetAsInteger(1);
  o.amount->SetAsFloat(5);
  o.flag->SetAsBoolean(true);
  o.ds.Post();
  o.ds.Append();
  o.id->SetAsInteger(2);
  o.amount->SetAsFloat(-1);
  o.flag->SetAsBoolean(true);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.Post(); }), "Record custom constraint failed.\n[Amount must be positive]");
  EXPECT_EQ(o.ds.State(), dsInsert);
  o.amount->SetAsFloat(1);
  o.id->SetAsInteger(200);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.Post(); }), "Record imported constraint failed.\n[Id too large]");
  o.id->SetAsInteger(2);
  o.flag->Clear();  // a constraint that gives null fails
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.Post(); }), "Record custom constraint failed.\n[Flag must be set]");
  o.flag->SetAsBoolean(true);
  o.ds.Post();
  EXPECT_EQ(o.ds.RecordCount(), 2);
  // The messages name a named dataset.
  o.ds.Close();
  o.ds.SetName("Orders");
  o.ds.Open();
  o.ds.Edit();
  o.flag->SetAsBoolean(false);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.Post(); }), "Orders: Record custom constraint failed.\n[Flag must be set]");
  o.ds.Cancel();
}

TEST(ExprDataSet, FieldConstraintsCheckTheValueBeingWritten) {
  Orders o;
  o.amount->CustomConstraint = "Amount >= 0";
  o.amount->ConstraintErrorMessage = "no negative amounts";
  o.amount->SetDisplayLabel("Sum");
  o.name->ImportedConstraint = "Name <> 'bad'";
  o.name->ConstraintErrorMessage = "not that name";
  o.ds.Open();
  o.ds.Append();
  o.id->SetAsInteger(1);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.amount->SetAsFloat(-1); }),
            "Field [Sum] custom constraint failed.\n[no negative amounts]");
  EXPECT_TRUE(o.amount->IsNull());  // the value was not written
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.name->SetAsString("bad"); }),
            "Field [Name] imported constraint failed.\n[not that name]");
  o.name->SetAsString("good");
  // Before a post every field's constraints are checked: the null amount fails.
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.Post(); }), "Field [Sum] custom constraint failed.\n[no negative amounts]");
  o.amount->SetAsFloat(2);
  o.ds.Post();
  EXPECT_EQ(o.amount->AsFloat(), 2);
}

TEST(ExprDataSet, ExpressionsThatDoNotCompileFailTheOpen) {
  const std::string syntax = "Syntax error at position 5: expected an operand but found end of text";
  struct Case {
    std::function<void(Orders&)> set;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](Orders& o) { o.Constraint("Id >", "", ""); }, "Failed to compile custom record constraint\n[" + syntax + "]"},
      {[](Orders& o) { o.Constraint("", "Id >", "").FromDictionary = false; },
       "Failed to compile imported record constraint\n[" + syntax + "]"},
      {[](Orders& o) { o.id->CustomConstraint = "Id >"; }, "Failed to compile field [Id] custom constraint\n[" + syntax + "]"},
      {[](Orders& o) { o.id->ImportedConstraint = "Id >"; }, "Failed to compile field [Id] imported constraint\n[" + syntax + "]"},
      {[](Orders& o) { o.id->DefaultExpression = "1 +"; },
       "Failed to compile field [Id] default expression\n[Syntax error at position 4: expected an operand but found end of text]"},
      {[](Orders& o) { o.name->DefaultExpression = "Nope"; },
       "Failed to compile field [Name] default expression\n[Field 'Nope' not found]"},
  };
  for (const Case& c : cases) {
    Orders o;
    c.set(o);
    EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.Open(); }), c.message);
    EXPECT_FALSE(o.ds.Active());
  }
  // An imported constraint from the dictionary that does not compile is left out.
  Orders o;
  o.Constraint("", "Id >", "");
  o.Constraint("Id > 0", "", "positive ids");
  o.ds.Open();
  o.ds.AppendRecord({Variant(1)});
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.AppendRecord({Variant(0)}); }),
            "Record custom constraint failed.\n[positive ids]");
}

TEST(ExprDataSet, DefaultExpressionsFillNewRecordsAndCalculatedFields) {
  TRdaDataSet ds;
  ds.AddField("Qty", ftInteger, 0);
  ds.AddField("Big", ftLargeint, 0);
  ds.AddField("Name", ftString, 10);
  TField& qty = ds.CreateField("Qty", ftInteger);
  TField& big = ds.CreateField("Big", ftLargeint);
  TField& name = ds.CreateField("Name", ftString, 10);
  TField& twice = ds.CreateField("Twice", ftInteger, 0, fkCalculated);
  qty.DefaultExpression = "7";
  big.DefaultExpression = "3.5";
  name.DefaultExpression = "'n/a'";
  twice.DefaultExpression = "Qty * 2";
  std::vector<int> seen;  // Twice as OnCalcFields finds it
  ds.OnCalcFields = [&](TDataSet&) { seen.push_back(twice.IsNull() ? -1 : twice.AsInteger()); };
  ds.Open();
  ds.Append();
  EXPECT_EQ(qty.AsInteger(), 7);
  EXPECT_EQ(big.AsLargeInt(), 4);
  EXPECT_EQ(name.AsString(), "n/a");
  EXPECT_EQ(twice.AsInteger(), 14);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 14);
  qty.SetAsInteger(5);
  EXPECT_EQ(twice.AsInteger(), 10);
  ds.Post();
  ds.First();
  EXPECT_EQ(twice.AsInteger(), 10);
  // A default that fails says which field and why.
  name.DefaultExpression = "'abc' + 1";
  ds.Close();
  ds.Open();
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { ds.Append(); }),
            "Default expression evaluation for field [Name] failed.\n[Could not convert variant of type (String) "
            "into type (Double)])");
}

TEST(ExprDataSet, ExpressionsGivenAfterTheOpenHaveNoEvaluator) {
  Orders o;
  o.name->CustomConstraint = "Name <> 'x'";
  o.id->DefaultExpression = "1";
  o.ds.Open();
  o.amount->CustomConstraint = "Amount > 0";
  o.flag->ImportedConstraint = "Flag";  // an imported one without evaluator is passed over
  o.ds.Append();
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.amount->SetAsFloat(1); }), "Check expression does not found");
  o.flag->SetAsBoolean(false);
  o.ds.Cancel();
  o.flag->DefaultExpression = "TRUE";
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { o.ds.Append(); }), "Default expression for field [Flag] does not found");
}

}  // namespace
}  // namespace rda
