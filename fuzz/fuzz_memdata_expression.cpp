// Parses arbitrary text as a filter or default expression on a small fixed
// dataset and evaluates it on every row through the tree walker and the
// compiled form: a text that parses must give the same value (or the same
// error) both ways, and as the dataset's filter the same rows. The first
// byte chooses the options: bit 0 case-insensitive, bit 1 no partial
// compare, bit 2 a default expression of the field named by bits 3-5.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Text.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/expr/RdaExpression.h"

namespace {

struct Outcome {
  rda::Variant value;
  std::string error;
  bool operator==(const Outcome& o) const {
    if (error != o.error || value.Type() != o.value.Type()) return false;
    if (value.Type() == rda::VarType::Double && std::isnan(value.ToDouble()) && std::isnan(o.value.ToDouble())) {
      return true;
    }
    return value == o.value;
  }
};

template <typename F>
Outcome Run(F&& f) {
  try {
    return {f(), {}};
  } catch (const rda::Exception& e) {
    return {rda::Variant(), e.Message()};
  }
}

const char* const kTargets[] = {"Id", "Name", "Amount", "Qty", "Big", "Price", "Born", "Flag"};

rda::TRdaDataSet& Rows() {
  static rda::TRdaDataSet* ds = [] {
    auto* d = new rda::TRdaDataSet;
    d->AddField("Id", rda::ftInteger, 0);
    d->AddField("Name", rda::ftString, 10);
    d->AddField("Amount", rda::ftFloat, 0);
    d->AddField("Qty", rda::ftSmallint, 0);
    d->AddField("Big", rda::ftLargeint, 0);
    d->AddField("Price", rda::ftCurrency, 0);
    d->AddField("Born", rda::ftDate, 0);
    d->AddField("At", rda::ftDateTime, 0);
    d->AddField("Flag", rda::ftBoolean, 0);
    d->AddField("Cost", rda::ftBCD, 0);
    d->Open();
    d->AppendRecord({rda::Variant(1), rda::Variant("Ada"), rda::Variant(2.5), rda::Variant(int16_t{3}),
                     rda::Variant(int64_t{1} << 40), rda::Variant(rda::Currency::FromScaled(12500)),
                     rda::Variant::FromDate(38000), rda::Variant::FromDate(38000.75), rda::Variant(true),
                     rda::Variant(rda::Currency::FromScaled(-5))});
    d->AppendRecord({rda::Variant(2)});  // the rest null
    d->AppendRecord({rda::Variant(-3), rda::Variant(""), rda::Variant(-0.0), rda::Variant(int16_t{-32768}),
                     rda::Variant(int64_t{-1}), rda::Variant(rda::Currency::FromScaled(0)), rda::Variant::FromDate(1),
                     rda::Variant::FromDate(0), rda::Variant(false), rda::Variant(rda::Currency::FromScaled(99999))});
    d->AppendRecord({rda::Variant(4), rda::Variant("a%_b x"), rda::Variant(1e300), rda::Variant(int16_t{7}),
                     rda::Variant(int64_t{7}), rda::Variant(rda::Currency::FromScaled(-10000)),
                     rda::Variant::FromDate(-600), rda::Variant::FromDate(2.5), rda::Variant(true)});
    return d;
  }();
  return *ds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  rda::TRdaDataSet& ds = Rows();
  const uint8_t choice = data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  rda::TFilterOptions options;
  if (choice & 1) options.Include(rda::foCaseInsensitive);
  if (choice & 2) options.Include(rda::foNoPartialCompare);
  const bool isDefault = (choice & 4) != 0;
  const std::string target = isDefault ? kTargets[(choice >> 3) % 8] : "";
  std::unique_ptr<rda::TRdaExpression> expr;
  try {
    expr = std::make_unique<rda::TRdaExpression>(ds, text, isDefault ? rda::ekDefaultExpression : rda::ekFilter,
                                                 options, target);
  } catch (const rda::Exception&) {
    return 0;
  }
  expr->SetToday([] { return 45000.0; });
  std::vector<int32_t> accepted;
  std::string firstError;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    if (isDefault) ds.Edit();  // a default expression assigns its field
    const Outcome walked = Run([&] { return expr->Reference().Evaluate(); });
    if (isDefault) {
      ds.Cancel();
      ds.Edit();
    }
    const Outcome compiled = Run([&] { return expr->Program().Evaluate(); });
    if (isDefault) ds.Cancel();
    if (!(walked == compiled)) std::abort();
    if (isDefault) continue;
    // What the filter makes of the value: true passes, null fails, and a
    // value that reads as no Boolean is an error.
    const Outcome passes = walked.error.empty()
                               ? Run([&] { return rda::Variant(!walked.value.IsClear() && walked.value.ToBoolean()); })
                               : walked;
    if (!passes.error.empty() && firstError.empty()) firstError = passes.error;
    if (passes.error.empty() && passes.value.ToBoolean()) accepted.push_back(ds.FieldByName("Id").AsInteger());
  }
  // As the dataset's filter (the compiled form reading the rows itself):
  // the same rows, or the first row's error.
  if (isDefault || rda::ContainsTextAscii(text, "GETDATE")) return 0;
  std::vector<int32_t> filtered;
  const Outcome viewed = Run([&] {
    ds.SetFilterOptions(options);
    ds.SetFilter(text);
    // Switching the filter on tests the current row: the first, so that the
    // rows are tested in their order and the first error is the first row's.
    ds.First();
    ds.SetFiltered(true);
    for (ds.First(); !ds.Eof(); ds.Next()) filtered.push_back(ds.FieldByName("Id").AsInteger());
    return rda::Variant();
  });
  ds.SetFiltered(false);
  ds.SetFilter("");
  if (firstError.empty() ? !(viewed.error.empty() && filtered == accepted) : viewed.error != firstError) std::abort();
  return 0;
}
