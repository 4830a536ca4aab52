// A filter whose top-level AND term compares the selected index's leading
// field with a constant passes over the rows a search of the index shows it
// rejects. The rows seen, forward and backward, must be exactly those that
// testing every row in the view's order gives, through random data with
// nulls and duplicates, random terms, both directions of the index, and
// changes between the passes; and it must read fewer rows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/memdata/ExprTestUtil.h"

namespace rda {
namespace {

using test::Ids;

const char* const kNames[] = {"Al", "Alma", "Alm", "Bea", "Ben", "Ca", "Cy", "al", "b", "", "A"};

class Table {
 public:
  Table() : random_(20240611) {
    ds.AddField("Id", ftInteger, 0);
    ds.AddField("Name", ftString, 8);
    ds.AddField("Qty", ftSmallint, 0);
    ds.AddField("Day", ftDate, 0);
    ds.AddField("Amount", ftFloat, 0);
    ds.CreateField("Id", ftInteger);
    ds.CreateField("Name", ftString, 8);
    ds.CreateField("Qty", ftSmallint);
    ds.CreateField("Day", ftDate);
    ds.CreateField("Amount", ftFloat);
    // A calculated field, so that every row read is counted.
    ds.CreateField("Seen", ftInteger, 0, fkCalculated);
    ds.OnCalcFields = [this](TDataSet&) { ++reads; };
    ds.Open();
    for (int i = 0; i < 600; ++i) Insert();
  }

  void Insert() {
    ds.Append();
    ds.FieldByName("Id").SetAsInteger(++lastId_);
    Fill();
    ds.Post();
  }

  void Fill() {
    if (Chance(94)) ds.FieldByName("Name").SetAsString(kNames[Pick(std::size(kNames))]);
    else ds.FieldByName("Name").Clear();
    if (Chance(94)) ds.FieldByName("Qty").SetAsInteger(static_cast<int>(Pick(41)) - 20);
    else ds.FieldByName("Qty").Clear();
    ds.FieldByName("Day").SetAsDateTime(EncodeDate(2000, 1, 1) + static_cast<double>(Pick(60)));
    ds.FieldByName("Amount").SetAsFloat(static_cast<double>(Pick(400)) / 4 - 50);
  }

  // Random edits, inserts and deletes.
  void Change() {
    for (int i = 0; i < 40; ++i) {
      ds.SetRecNo(static_cast<int>(Pick(static_cast<size_t>(ds.RecordCount()))) + 1);
      switch (Pick(3)) {
        case 0:
          ds.Edit();
          Fill();
          ds.Post();
          break;
        case 1:
          Insert();
          break;
        default:
          ds.Delete();
          break;
      }
    }
  }

  std::string Term(const std::string& field) {
    static const char* kOps[] = {"=", "<", "<=", ">", ">="};
    const std::string op = kOps[Pick(5)];
    std::string constant;
    if (field == "Name") {
      if (Chance(25)) {
        static const char* kPrefixes[] = {"A", "Al", "Alm", "B", "al", "C", "Z"};
        return "Name LIKE '" + std::string(kPrefixes[Pick(std::size(kPrefixes))]) + (Chance(50) ? "%'" : "%%'");
      }
      constant = "'" + std::string(kNames[Pick(std::size(kNames))]) + (Chance(30) ? "a" : "") + "'";
    } else if (field == "Qty") {
      constant = std::to_string(static_cast<int>(Pick(51)) - 25) + (Chance(20) ? ".5" : "");
    } else {
      char date[40];
      std::snprintf(date, sizeof date, "DATE '2000-%02d-%02d'", 1 + static_cast<int>(Pick(2)), 1 + static_cast<int>(Pick(28)));
      constant = date;
    }
    if (Chance(25)) {
      // The constant first: the operator turns round.
      static const std::pair<const char*, const char*> kFlip[] = {{"=", "="}, {"<", ">"}, {"<=", ">="}, {">", "<"}, {">=", "<="}};
      for (const auto& [from, to] : kFlip) {
        if (op == from) return constant + " " + to + " " + field;
      }
    }
    return field + " " + op + " " + constant;
  }

  std::string Filter(const std::string& lead) {
    std::vector<std::string> terms{Term(lead)};
    if (Chance(40)) terms.push_back(Term(lead));
    static const char* kOthers[] = {"Amount > 0", "Id MOD 3 <> 0", "Name IS NOT NULL", "Qty < 5 OR Qty IS NULL",
                                    "Day <> DATE '2000-01-05'"};
    if (Chance(60)) terms.push_back(kOthers[Pick(std::size(kOthers))]);
    std::shuffle(terms.begin(), terms.end(), random_);
    std::string text;
    for (const std::string& t : terms) text += (text.empty() ? "" : " AND ") + t;
    return text;
  }

  // The rows the filter accepts, each row tested, in the view's order.
  std::vector<int> Expected(const std::string& text) {
    ds.SetFiltered(false);
    TRdaExpression expr(ds, text, ekFilter, {}, {});
    std::vector<int> ids;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      const Variant v = expr.Reference().Evaluate();
      if (!v.IsClear() && v.ToBoolean()) ids.push_back(ds.FieldByName("Id").AsInteger());
    }
    return ids;
  }

  std::vector<int> Backward() {
    std::vector<int> ids;
    for (ds.Last(); !ds.Bof(); ds.Prior()) ids.push_back(ds.FieldByName("Id").AsInteger());
    std::reverse(ids.begin(), ids.end());
    return ids;
  }

  size_t Pick(size_t n) { return static_cast<size_t>(random_() % n); }
  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }

  TRdaDataSet ds;
  int reads = 0;

 private:
  std::mt19937 random_;
  int lastId_ = 0;
};

TEST(ExprNarrowing, GivesTheRowsOfAFullScanInTheirOrder) {
  Table t;
  struct IndexCase {
    const char* fields;
    TRdaIndexOptions options;
  };
  const IndexCase indexes[] = {
      {"Name", {}},
      {"Name", {ioDescending}},
      {"Name", {ioCaseInsensitive}},  // not narrowed: its order is not the comparison's
      {"Name;Qty", {}},
      {"Qty", {}},
      {"Qty", {ioDescending}},
      {"Day", {}},
      {"Day;Name", {ioDescending}},
  };
  int n = 0;
  for (const IndexCase& ic : indexes) {
    TRdaIndex& index = t.ds.Indexes().Add();
    index.SetName("I" + std::to_string(n++));
    index.SetFields(ic.fields);
    index.SetOptions(ic.options);
    t.ds.SetIndexName(index.Name());
    const std::string lead = std::string(ic.fields).substr(0, std::string(ic.fields).find(';'));
    for (int round = 0; round < 25; ++round) {
      const std::string text = t.Filter(lead);
      const std::vector<int> expected = t.Expected(text);
      t.ds.SetFilter(text);
      t.ds.SetFiltered(true);
      EXPECT_EQ(Ids(t.ds), expected) << ic.fields << ": " << text;
      EXPECT_EQ(t.Backward(), expected) << ic.fields << ": " << text;
      t.ds.SetFiltered(false);
      if (round % 5 == 4) t.Change();
    }
  }
}

TEST(ExprNarrowing, ReadsOnlyTheRowsTheIndexLeaves) {
  Table t;
  const std::string text = "Name = 'Bea' AND Amount > -1000";
  const std::vector<int> expected = t.Expected(text);
  ASSERT_GT(expected.size(), 10U);
  t.ds.SetFilter(text);
  t.ds.SetFiltered(true);
  t.reads = 0;
  const std::vector<int> unindexed = Ids(t.ds);
  const int readsWithout = t.reads;
  TRdaIndex& byName = t.ds.Indexes().Add();
  byName.SetName("ByName");
  byName.SetFields("Name");
  byName.SetActive(true);
  t.ds.SetIndexName("ByName");
  t.reads = 0;
  const std::vector<int> narrowed = Ids(t.ds);
  EXPECT_EQ(narrowed.size(), expected.size());
  EXPECT_EQ(readsWithout, t.ds.RecordCount());
  EXPECT_LT(t.reads, static_cast<int>(expected.size()) + 5) << "of " << t.ds.RecordCount();
  // A prefix narrows too; a term under OR does not (every row is read).
  t.ds.SetFilter("Name LIKE 'Al%'");
  t.reads = 0;
  const size_t prefixed = Ids(t.ds).size();
  EXPECT_LT(t.reads, static_cast<int>(prefixed) + 5);
  t.ds.SetFilter("Name = 'Bea' OR Id < 0");
  t.reads = 0;
  EXPECT_EQ(Ids(t.ds).size(), expected.size());
  EXPECT_EQ(t.reads, t.ds.RecordCount());
}

}  // namespace
}  // namespace rda
