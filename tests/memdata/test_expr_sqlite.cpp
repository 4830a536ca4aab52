// Filters against SQLite: random rows without nulls and random expressions
// (comparisons, AND, OR, NOT, LIKE with _ and %, IN lists, arithmetic, DIV
// and MOD, UPPER, SUBSTRING, the TRIMs, YEAR, MONTH, DAY), evaluated by us
// as filters (the walker and the compiled form on every row, and the
// dataset's filtered view) and by SQLite as WHERE: the same rows must pass.
//
// Where the two differ on purpose (a null, or the null a text function
// gives for an empty result, beside a comparison) the expressions keep to
// comparisons with non-empty texts, where '' in SQLite and null here give
// the same answer; the null rules on their own are in test_expr_eval.cpp.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>
#include <string>
#include <vector>

#include "tests/memdata/ExprTestUtil.h"

namespace rda {
namespace {

struct Source {
  int id;
  std::string name, code;
  int qty;
  int quarters;
  int day;  // days after 2000-01-01
};

class Generator {
 public:
  explicit Generator(uint32_t seed) : random_(seed) {}

  size_t Pick(size_t n) { return static_cast<size_t>(random_() % n); }
  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }

  std::string Text(size_t minLength, size_t maxLength, const char* alphabet) {
    std::string s;
    const size_t n = minLength + Pick(maxLength - minLength + 1);
    const std::string letters(alphabet);
    for (size_t i = 0; i < n; ++i) s += letters[Pick(letters.size())];
    return s;
  }

  Source Row(int id) {
    Source r;
    r.id = id;
    // A letter first and no quotes: never all blanks, never empty.
    r.name = Text(1, 1, "abcAB") + Text(2, 7, "abcAB _%x");
    r.code = Text(1, 5, "abAB1");
    r.qty = static_cast<int>(Pick(61)) - 30;
    r.quarters = static_cast<int>(Pick(401)) - 200;
    r.day = static_cast<int>(Pick(3650));
    return r;
  }

  // Ours and SQLite's text of the same expression.
  struct Pair {
    std::string ours, sql;
  };

  Pair Boolean(int depth) {
    if (depth >= 3 || Chance(45)) return Comparison();
    const Pair a = Boolean(depth + 1);
    switch (Pick(3)) {
      case 0: {
        const Pair b = Boolean(depth + 1);
        return {"(" + a.ours + ") AND (" + b.ours + ")", "(" + a.sql + ") AND (" + b.sql + ")"};
      }
      case 1: {
        const Pair b = Boolean(depth + 1);
        return {"(" + a.ours + ") OR (" + b.ours + ")", "(" + a.sql + ") OR (" + b.sql + ")"};
      }
      default:
        return {"NOT (" + a.ours + ")", "NOT (" + a.sql + ")"};
    }
  }

  Pair Comparison() {
    static const char* kOps[] = {"=", "<>", "<", "<=", ">", ">="};
    const std::string op = kOps[Pick(6)];
    switch (Pick(7)) {
      case 0: {
        const Pair a = Number(0);
        const Pair b = Number(0);
        return {a.ours + " " + op + " " + b.ours, a.sql + " " + op + " " + b.sql};
      }
      case 1: {
        const Pair a = Textual();
        const std::string c = "'" + Text(1, 4, "abcAB x") + "'";
        return {a.ours + " " + op + " " + c, a.sql + " " + op + " " + c};
      }
      case 2: {
        const Pair a = Textual();
        std::string pattern;
        while (pattern.find_first_not_of('%') == std::string::npos) pattern = Text(1, 5, "ab_%A%");
        return {a.ours + " LIKE '" + pattern + "'", a.sql + " LIKE '" + pattern + "'"};
      }
      case 3: {
        const Pair a = Number(0);
        std::string list;
        for (size_t i = 0, n = 1 + Pick(4); i < n; ++i) list += (i ? ", " : "") + Constant();
        const std::string negate = Chance(30) ? " NOT" : "";
        return {a.ours + negate + " IN (" + list + ")", a.sql + negate + " IN (" + list + ")"};
      }
      case 4: {
        const Pair a = Textual();
        std::string list;
        for (size_t i = 0, n = 1 + Pick(3); i < n; ++i) list += std::string(i ? ", " : "") + "'" + Text(1, 3, "abAB") + "'";
        return {a.ours + " IN (" + list + ")", a.sql + " IN (" + list + ")"};
      }
      case 5:
        return {"Name " + op + " Code", "Name " + op + " Code"};
      default: {
        char date[32];  // room for any int, so the compiler sees no truncation
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", 2000 + static_cast<int>(Pick(10)),
                      1 + static_cast<int>(Pick(12)), 1 + static_cast<int>(Pick(28)));
        return {"Day " + op + " DATE '" + date + "'", "Day " + op + " '" + date + "'"};
      }
    }
  }

  std::string Constant() {
    const int v = static_cast<int>(Pick(41)) - 20;
    const std::string text = Chance(25) ? std::to_string(v) + ".25" : std::to_string(v);
    return v < 0 ? "(" + text + ")" : text;
  }

  Pair Number(int depth) {
    if (depth >= 2 || Chance(50)) {
      switch (Pick(7)) {
        case 0: return {"Qty", "Qty"};
        case 1: return {"Id", "Id"};
        case 2: return {"Amount", "Amount"};
        case 3: return {"YEAR(Day)", "CAST(strftime('%Y', Day) AS INTEGER)"};
        case 4: return {"MONTH(Day)", "CAST(strftime('%m', Day) AS INTEGER)"};
        case 5: return {"DAY(Day)", "CAST(strftime('%d', Day) AS INTEGER)"};
        default: {
          const std::string c = Constant();
          return {c, c};
        }
      }
    }
    const Pair a = Number(depth + 1);
    const Pair b = Number(depth + 1);
    static const int kDivisors[] = {2, 3, -3, 7};
    const int k = kDivisors[Pick(4)];
    const std::string divisor = k < 0 ? "(" + std::to_string(k) + ")" : std::to_string(k);
    const std::string field = Chance(50) ? "Qty" : "Id";
    switch (Pick(7)) {
      case 0: return {"(" + a.ours + " + " + b.ours + ")", "(" + a.sql + " + " + b.sql + ")"};
      case 1: return {"(" + a.ours + " - " + b.ours + ")", "(" + a.sql + " - " + b.sql + ")"};
      case 2: return {"(" + a.ours + " * " + b.ours + ")", "(" + a.sql + " * " + b.sql + ")"};
      case 3: return {"(" + field + " DIV " + divisor + ")", "(" + field + " / " + divisor + ")"};
      case 4: return {"(" + field + " MOD " + divisor + ")", "(" + field + " % " + divisor + ")"};
      case 5: return {"(" + a.ours + " / 4.0)", "(" + a.sql + " / 4.0)"};
      default: return {"-(" + a.ours + ")", "-(" + a.sql + ")"};
    }
  }

  Pair Textual() {
    const int start = Chance(70) ? 1 + static_cast<int>(Pick(4)) : -1 - static_cast<int>(Pick(3));
    const std::string s = std::to_string(start);
    const std::string length = std::to_string(1 + Pick(3));
    switch (Pick(9)) {
      case 0: return {"Name", "Name"};
      case 1: return {"Code", "Code"};
      case 2: return {"UPPER(Name)", "upper(Name)"};
      case 3: return {"SUBSTRING(Name, " + s + ")", "substr(Name, " + s + ")"};
      case 4: return {"SUBSTRING(Name, " + s + ", " + length + ")", "substr(Name, " + s + ", " + length + ")"};
      case 5: return {"TRIM(Name)", "trim(Name)"};
      case 6: return {"TRIM(Name, 'ab')", "trim(Name, 'ab')"};
      case 7: return {"TRIMLEFT(Name, 'a')", "ltrim(Name, 'a')"};
      default: return {"TRIMRIGHT(Name)", "rtrim(Name)"};
    }
  }

 private:
  std::mt19937 random_;
};

class Sqlite {
 public:
  Sqlite() {
    sqlite3_open(":memory:", &db_);
    Exec("PRAGMA case_sensitive_like = ON");
    Exec("CREATE TABLE t (Id INTEGER, Name TEXT, Code TEXT, Qty INTEGER, Amount REAL, Day TEXT)");
  }
  ~Sqlite() { sqlite3_close(db_); }
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;

  void Exec(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
  }

  void Insert(const Source& r, const std::string& day) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)", -1, &st, nullptr);
    sqlite3_bind_int(st, 1, r.id);
    sqlite3_bind_text(st, 2, r.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, r.code.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 4, r.qty);
    sqlite3_bind_double(st, 5, r.quarters / 4.0);
    sqlite3_bind_text(st, 6, day.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
  }

  std::vector<int> Ids(const std::string& where) {
    std::vector<int> ids;
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT Id FROM t WHERE " + where + " ORDER BY Id";
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db_) << ": " << sql;
    while (sqlite3_step(st) == SQLITE_ROW) ids.push_back(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    return ids;
  }

 private:
  sqlite3* db_ = nullptr;
};

TEST(ExprSqlite, RandomFiltersPassTheRowsOfTheSameWhere) {
  Generator g(7);
  TRdaDataSet ds;
  ds.AddField("Id", ftInteger, 0);
  ds.AddField("Name", ftString, 12);
  ds.AddField("Code", ftString, 6);
  ds.AddField("Qty", ftInteger, 0);
  ds.AddField("Amount", ftFloat, 0);
  ds.AddField("Day", ftDate, 0);
  ds.Open();
  Sqlite sql;
  const TDateTime base = EncodeDate(2000, 1, 1);
  for (int id = 1; id <= 400; ++id) {
    const Source r = g.Row(id);
    ds.AppendRecord({Variant(r.id), Variant(r.name), Variant(r.code), Variant(r.qty), Variant(r.quarters / 4.0),
                     Variant::FromDate(base + r.day)});
    sql.Insert(r, FormatDateTime("yyyy-mm-dd", base + r.day));
  }
  int nonTrivial = 0;
  for (int i = 0; i < 400; ++i) {
    const Generator::Pair e = g.Boolean(0);
    TRdaExpression expr(ds, e.ours, ekFilter, {}, {});
    std::vector<int> ours;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      const test::Outcome out = test::EvaluateBoth(expr.Reference(), expr.Program(), e.ours);
      ASSERT_EQ(out.error, "") << e.ours;
      ASSERT_EQ(out.value.Type(), VarType::Boolean) << e.ours;
      if (out.value.ToBoolean()) ours.push_back(ds.FieldByName("Id").AsInteger());
    }
    const std::vector<int> theirs = sql.Ids(e.sql);
    EXPECT_EQ(ours, theirs) << e.ours << "\n  WHERE " << e.sql;
    if (!ours.empty() && ours.size() < 400) ++nonTrivial;
    // The filtered view, where the compiled form reads the row images.
    ds.SetFilter(e.ours);
    ds.SetFiltered(true);
    EXPECT_EQ(test::Ids(ds), theirs) << e.ours;
    ds.SetFiltered(false);
  }
  // The expressions were not all trivially true or false.
  EXPECT_GT(nonTrivial, 150);
}

}  // namespace
}  // namespace rda
