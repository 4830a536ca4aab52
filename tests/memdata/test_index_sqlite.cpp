// The engine's orders and totals against SQLite's on the same random rows:
// every index's order against ORDER BY (nulls first ascending, ties by the
// row's identity), grouped aggregates against GROUP BY with SUM, AVG, COUNT,
// MIN and MAX, before and after random inserts, edits, deletes, cancels and
// refused duplicates applied to both. Where the two engines' rules differ
// (NULL keys in a unique index) test_indexes.cpp tests ours on its own.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/ByteIO.h"
#include "memdata/store/RdaStoredValue.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

// One row's values; amounts are quarters, so every sum is exact in doubles.
struct Values {
  std::optional<int32_t> id;
  std::optional<std::string> name, region;
  std::optional<int> quarters;
  std::optional<int32_t> qty;
  std::optional<int64_t> big;
};

class RandomRows {
 public:
  explicit RandomRows(uint32_t seed) : random_(seed) {}

  Values Next(int32_t id) {
    static const char* kNames[] = {"alpha", "Alpha", "ALPHA", "beta", "Beta", "gamma", "Gamma",
                                   "delta", "ab",    "Ab",    "aB",   "zeta", "Zeta",  ""};
    static const char* kRegions[] = {"north", "North", "NORTH", "south", "South", "east", "west"};
    Values v;
    v.id = id;
    if (Chance(95)) {
      v.name = kNames[Pick(std::size(kNames))];
      if (Chance(50)) *v.name += std::to_string(Pick(10));
    }
    if (Chance(92)) v.region = kRegions[Pick(std::size(kRegions))];
    if (Chance(95)) v.quarters = static_cast<int>(Pick(801)) - 400;
    if (Chance(95)) v.qty = static_cast<int32_t>(Pick(101)) - 50;
    if (Chance(95)) {
      switch (Pick(8)) {
        case 0: v.big = INT64_MIN; break;
        case 1: v.big = INT64_MAX; break;
        default: v.big = static_cast<int64_t>(random_()); break;
      }
    }
    return v;
  }
  size_t Pick(size_t n) { return static_cast<size_t>(random_() % n); }
  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }

 private:
  std::mt19937_64 random_;
};

// The same table in SQLite; rid is the dataset row's RecordID.
class Sql {
 public:
  Sql() {
    sqlite3_open(":memory:", &db_);
    Exec("CREATE TABLE t (rid INTEGER PRIMARY KEY, Id INTEGER, Name TEXT, Region TEXT, "
         "Amount REAL, Qty INTEGER, Big INTEGER)");
  }
  ~Sql() { sqlite3_close(db_); }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;

  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << (error ? error : "?");
      sqlite3_free(error);
    }
  }
  void Put(int32_t rid, const Values& v) {
    sqlite3_stmt* st = Prepare("INSERT OR REPLACE INTO t VALUES (?, ?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int(st, 1, rid);
    auto bindInt = [&](int at, const auto& value) {
      if (value) {
        sqlite3_bind_int64(st, at, *value);
      } else {
        sqlite3_bind_null(st, at);
      }
    };
    auto bindText = [&](int at, const std::optional<std::string>& value) {
      if (value) {
        sqlite3_bind_text(st, at, value->data(), static_cast<int>(value->size()), SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_null(st, at);
      }
    };
    bindInt(2, v.id);
    bindText(3, v.name);
    bindText(4, v.region);
    if (v.quarters) {
      sqlite3_bind_double(st, 5, *v.quarters * 0.25);
    } else {
      sqlite3_bind_null(st, 5);
    }
    bindInt(6, v.qty);
    bindInt(7, v.big);
    if (sqlite3_step(st) != SQLITE_DONE) ADD_FAILURE() << sqlite3_errmsg(db_);
    sqlite3_finalize(st);
  }
  void Remove(int32_t rid) { Exec("DELETE FROM t WHERE rid = " + std::to_string(rid)); }

  std::vector<int32_t> Order(const std::string& orderBy) {
    std::vector<int32_t> rids;
    sqlite3_stmt* st = Prepare("SELECT rid FROM t ORDER BY " + orderBy);
    while (sqlite3_step(st) == SQLITE_ROW) rids.push_back(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    return rids;
  }

  // The aggregate per group of Region (compared with the collation
  // groupBy; "" for one group of all rows), keyed by the region (folded
  // to upper case for NOCASE; nullopt for the rows without one).
  std::map<std::optional<std::string>, Variant> Groups(const std::string& aggregate,
                                                      const std::string& groupBy,
                                                      const std::string& where) {
    const std::string filter = where.empty() ? "" : " WHERE " + where;
    const std::string sql = groupBy.empty()
                                ? "SELECT NULL, " + aggregate + " FROM t" + filter
                                : "SELECT Region, " + aggregate + " FROM t" + filter +
                                      " GROUP BY Region " + groupBy;
    std::map<std::optional<std::string>, Variant> out;
    sqlite3_stmt* st = Prepare(sql);
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::optional<std::string> key;
      if (sqlite3_column_type(st, 0) != SQLITE_NULL) {
        key = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        if (groupBy == "COLLATE NOCASE") key = Upper(*key);
      }
      Variant v;
      switch (sqlite3_column_type(st, 1)) {
        case SQLITE_NULL: v = Variant::Null(); break;
        case SQLITE_INTEGER: v = Variant(static_cast<int64_t>(sqlite3_column_int64(st, 1))); break;
        case SQLITE_FLOAT: v = Variant(sqlite3_column_double(st, 1)); break;
        default: v = Variant(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))); break;
      }
      out[key] = v;
    }
    sqlite3_finalize(st);
    return out;
  }

  static std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(RdaFoldAscii(static_cast<unsigned char>(c)));
    return text;
  }

 private:
  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
    }
    return st;
  }
  sqlite3* db_ = nullptr;
};

// An index of the engine and the ORDER BY that gives SQLite's same order.
struct IndexSpec {
  const char* name;
  const char* fields;
  TRdaIndexOptions options;
  const char* orderBy;
};

const IndexSpec kIndexes[] = {
    {"Name", "Name", {}, "Name, rid"},
    {"NameDown", "Name", {ioDescending}, "Name DESC, rid DESC"},
    {"NameFolded", "Name", {ioCaseInsensitive}, "Name COLLATE NOCASE, rid"},
    {"NameFoldedDown", "Name", {ioCaseInsensitive, ioDescending},
     "Name COLLATE NOCASE DESC, rid DESC"},
    {"RegionAmount", "Region;Amount", {}, "Region, Amount, rid"},
    {"QtyName", "Qty;Name", {ioDescending, ioCaseInsensitive},
     "Qty DESC, Name COLLATE NOCASE DESC, rid DESC"},
    {"Big", "Big", {}, "Big, rid"},
    {"QtyDown", "Qty", {ioDescending}, "Qty DESC, rid DESC"},
    {"AmountDown", "Amount", {ioDescending}, "Amount DESC, rid DESC"},
    {"ByIdentity", "", {ioDescending}, "rid DESC"},
    {"Id", "Id", {ioUnique}, "Id"},
    {"Region", "Region", {}, "Region, rid"},
    {"RegionFolded", "Region", {ioCaseInsensitive}, "Region COLLATE NOCASE, rid"},
};

// An aggregate of the engine and SQLite's; groupBy is the collation of
// Region's groups ("" without groups).
struct AggregateSpec {
  TRdaAggKind kind;
  const char* field;
  const char* index;
  const char* sql;
  const char* groupBy;
};

const AggregateSpec kAggregates[] = {
    {akSum, "Amount", "Region", "SUM(Amount)", "COLLATE BINARY"},
    {akAvg, "Amount", "Region", "AVG(Amount)", "COLLATE BINARY"},
    {akCount, "Amount", "Region", "COUNT(Amount)", "COLLATE BINARY"},
    {akCount, "", "RegionFolded", "COUNT(*)", "COLLATE NOCASE"},
    {akMin, "Name", "RegionFolded", "MIN(Name)", "COLLATE NOCASE"},
    {akMax, "Qty", "Region", "MAX(Qty)", "COLLATE BINARY"},
    {akSum, "Qty", "", "SUM(Qty)", ""},
    {akMax, "Amount", "", "MAX(Amount)", ""},
    {akMin, "Big", "", "MIN(Big)", ""},
    {akAvg, "Qty", "", "AVG(Qty)", ""},
};

constexpr const char* kFilterSql = "(Qty IS NULL OR Qty >= -20)";

class Engines {
 public:
  Engines(int rows, uint32_t seed, bool verifyEachChange) : random_(seed) {
    ds_.AddField("Id", ftInteger, 0);
    ds_.AddField("Name", ftString, 12);
    ds_.AddField("Region", ftString, 8);
    ds_.AddField("Amount", ftFloat, 0);
    ds_.AddField("Qty", ftInteger, 0);
    ds_.AddField("Big", ftLargeint, 0);
    ds_.Open();
    sql_.Exec("BEGIN");
    for (int i = 0; i < rows; ++i) Insert();
    sql_.Exec("COMMIT");
    // The indexes are built over the rows; the aggregates computed.
    for (const IndexSpec& s : kIndexes) {
      TRdaIndex& index = ds_.Indexes().Add();
      index.SetName(s.name);
      index.SetFields(s.fields);
      index.SetOptions(s.options);
    }
    for (const AggregateSpec& s : kAggregates) {
      TRdaAggregate& a = ds_.Aggregates().Add();
      a.SetAggKind(s.kind);
      a.SetFieldName(s.field);
      a.SetIndexName(s.index);
      a.SetLevel(s.index[0] ? 1 : 0);
      a.SetActive(true);
    }
    ds_.SetIndexName("NameFolded");
    ds_.SetVerifyEachChange(verifyEachChange);
  }

  TRdaDataSet& DataSet() { return ds_; }

  void Filter(bool on) {
    TField& qty = ds_.FieldByName("Qty");
    ds_.OnFilterRecord = [&qty](TDataSet&, bool& accept) {
      accept = qty.IsNull() || qty.AsInteger() >= -20;
    };
    ds_.SetFiltered(on);
    filtered_ = on;
  }

  // The first difference between the engines, or "".
  std::string Compare() {
    if (std::string e = ds_.VerifyIndexesAndAggregates(); !e.empty()) return e;
    for (const IndexSpec& s : kIndexes) {
      const TRdaIndex& index = *ds_.Indexes().FindIndex(s.name);
      const std::vector<int32_t> expected = sql_.Order(s.orderBy);
      if (index.Count() != static_cast<int>(expected.size())) {
        return std::string(s.name) + ": " + std::to_string(index.Count()) + " rows, SQLite " +
               std::to_string(expected.size());
      }
      for (int i = 0; i < index.Count(); ++i) {
        if (index.Row(i)->RecordID() != expected[static_cast<size_t>(i)]) {
          return std::string(s.name) + ": at " + std::to_string(i) + " row " +
                 std::to_string(index.Row(i)->RecordID()) + ", SQLite row " +
                 std::to_string(expected[static_cast<size_t>(i)]);
        }
      }
    }
    for (int a = 0; a < ds_.Aggregates().Count(); ++a) {
      const TRdaAggregate& aggregate = ds_.Aggregates().Items(a);
      const AggregateSpec& s = kAggregates[a];
      const std::string groupBy = s.groupBy;
      const auto groups = sql_.Groups(s.sql, groupBy, filtered_ ? kFilterSql : "");
      for (const TRdaDBListItem* row : ds_.Store()->Rows()) {
        if (filtered_ && !row->IsNull(4) && row->GetInt32(4) < -20) continue;  // rejected
        std::optional<std::string> key;
        if (!groupBy.empty() && !row->IsNull(2)) {
          key = groupBy == "COLLATE NOCASE" ? Sql::Upper(row->GetText(2)) : row->GetText(2);
        }
        const auto it = groups.find(key);
        const Variant theirs = it == groups.end() ? Variant::Null() : it->second;
        const Variant ours = aggregate.ValueOf(*row);
        const bool same = ours.IsNull() || theirs.IsNull() ? ours.IsNull() == theirs.IsNull()
                                                           : VarSameValue(ours, theirs);
        if (!same) {
          return aggregate.Name() + " of row " + std::to_string(row->RecordID()) + ": " +
                 ours.ToString() + ", SQLite " + theirs.ToString();
        }
      }
    }
    return {};
  }

  void Insert() {
    const Values v = random_.Next(++nextId_);
    ds_.Append();
    Write(v);
    ds_.Post();
    // An index is selected, so the store appends (the cursor may have left a
    // row the filter rejects).
    const int32_t rid = ds_.Store()->Rows().back()->RecordID();
    sql_.Put(rid, v);
    rows_.push_back({rid, v});
  }

  // One random change, applied to both engines.
  void Mutate() {
    if (rows_.empty() || random_.Chance(30)) {
      if (random_.Chance(15)) {
        ds_.Append();
        Write(random_.Next(++nextId_));
        ds_.Cancel();
        return;
      }
      Insert();
      return;
    }
    const size_t at = random_.Pick(rows_.size());
    auto& [rid, values] = rows_[at];
    if (filtered_ && values.qty && *values.qty < -20) {
      // The filter hides the row: no bookmark reaches it.
      Insert();
      return;
    }
    std::string mark(4, '\0');
    StoreI32LE(mark.data(), rid);
    ds_.GotoBookmark(mark);
    const int kind = static_cast<int>(random_.Pick(10));
    if (kind < 3) {
      ds_.Delete();
      sql_.Remove(rid);
      rows_[at] = rows_.back();
      rows_.pop_back();
      return;
    }
    Values changed = random_.Next(values.id.value_or(0));
    // Some fields keep their values, so that only some keys move.
    if (random_.Chance(50)) changed.name = values.name;
    if (random_.Chance(50)) changed.region = values.region;
    if (random_.Chance(50)) changed.quarters = values.quarters;
    ds_.Edit();
    if (kind == 3 && rows_.size() > 1) {
      // A duplicate Id: the unique index refuses the post.
      const Values& other = rows_[(at + 1) % rows_.size()].second;
      Write(changed);
      ds_.FieldByName("Id").SetAsInteger(*other.id);
      EXPECT_THROW(ds_.Post(), EDatabaseError);
      if (random_.Chance(50)) {
        ds_.Cancel();
        return;
      }
      // Mended, the same edit posts.
      ds_.FieldByName("Id").SetAsInteger(*changed.id);
      ds_.Post();
      values = changed;
      sql_.Put(rid, values);
      return;
    }
    Write(changed);
    if (kind == 4) {
      ds_.Cancel();
      return;
    }
    ds_.Post();
    values = changed;
    sql_.Put(rid, values);
  }

 private:
  void Write(const Values& v) {
    auto put = [&](const char* field, const auto& value, auto&& set) {
      TField& f = ds_.FieldByName(field);
      if (value) {
        set(f, *value);
      } else {
        f.Clear();
      }
    };
    put("Id", v.id, [](TField& f, int32_t x) { f.SetAsInteger(x); });
    put("Name", v.name, [](TField& f, const std::string& x) { f.SetAsString(x); });
    put("Region", v.region, [](TField& f, const std::string& x) { f.SetAsString(x); });
    put("Amount", v.quarters, [](TField& f, int x) { f.SetAsFloat(x * 0.25); });
    put("Qty", v.qty, [](TField& f, int32_t x) { f.SetAsInteger(x); });
    put("Big", v.big, [](TField& f, int64_t x) { f.SetAsLargeInt(x); });
  }

  TRdaDataSet ds_;
  Sql sql_;
  RandomRows random_;
  int32_t nextId_ = 0;
  std::vector<std::pair<int32_t, Values>> rows_;
  bool filtered_ = false;
};

TEST(IndexesAgainstSqlite, ThousandRowsThroughRandomChangesCheckedAfterEachOne) {
  for (uint32_t seed : {1u, 2u}) {
    Engines engines(1000, seed, /*verifyEachChange=*/true);
    ASSERT_EQ(engines.Compare(), "") << "seed " << seed << " as built";
    for (int step = 1; step <= 600; ++step) {
      engines.Mutate();
      if (step == 300) engines.Filter(true);
      if (step % 150 == 0) {
        ASSERT_EQ(engines.Compare(), "") << "seed " << seed << " step " << step;
      }
    }
  }
}

TEST(IndexesAgainstSqlite, HundredThousandRowsBuiltAndChanged) {
  Engines engines(100000, 42, /*verifyEachChange=*/false);
  ASSERT_EQ(engines.Compare(), "") << "as built";
  engines.Filter(true);
  for (int step = 0; step < 2000; ++step) engines.Mutate();
  ASSERT_EQ(engines.Compare(), "") << "after the changes";
}

}  // namespace
}  // namespace rda
