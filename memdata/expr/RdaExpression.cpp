#include "memdata/expr/RdaExpression.h"

#include "memdata/RdaIndexes.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

bool IsComparison(uint32_t op) {
  return op == coEQ || op == coLT || op == coLE || op == coGT || op == coGE;
}

uint32_t Flipped(uint32_t op) {
  switch (op) {
    case coLT: return coGT;
    case coLE: return coGE;
    case coGT: return coLT;
    case coGE: return coLE;
    default: return op;
  }
}

// The literal characters of a pattern "prefix%" (one or more "%" at the
// end, no wildcard before them); empty when the pattern has another form.
std::string LikePrefix(std::string_view pattern) {
  const size_t wild = pattern.find_first_of("%_");
  if (wild == 0 || wild == std::string_view::npos) return {};
  if (pattern.find_first_not_of('%', wild) != std::string_view::npos) return {};
  return std::string(pattern.substr(0, wild));
}

bool IsTextCode(uint8_t code) { return code == ftString || code == ftFixedChar || code == ftGuid; }

// The codes whose index order is the value type's order of their values.
bool IsExactCode(uint8_t code) {
  return IsRdaIntegerFieldType(code) || code == ftBCD || code == ftDate || code == ftTime;
}

bool IsNumericConstant(const Variant& v) {
  return v.IsOrdinal() || v.Type() == VarType::Double || v.Type() == VarType::Currency ||
         v.Type() == VarType::Date;
}

}  // namespace

TRdaExpression::TRdaExpression(TRdaCustomDataSet& dataSet, std::string text, TRdaExpressionKind kind,
                               TFilterOptions filterOptions, std::string targetField)
    : dataSet_(dataSet),
      reference_(dataSet, std::move(targetField), kind, filterOptions, std::move(text)) {
  reference_.Prepare();
  program_ = std::make_unique<TRdaExprProgram>(reference_);
  if (kind == ekFilter) CollectTerms(0);
}

TRdaExpression::~TRdaExpression() = default;

void TRdaExpression::CollectTerms(uint16_t node) {
  const TRdaExprTree& tree = reference_.Tree();
  if (tree.NodeClass(node) != ncBinary) return;
  uint32_t op = tree.Operator(node);
  if (op == coAnd) {
    CollectTerms(tree.Field(node, 0));
    CollectTerms(tree.Field(node, 1));
    return;
  }
  if (!IsComparison(op) && op != coLike) return;
  uint16_t field = tree.Field(node, 0);
  uint16_t constant = tree.Field(node, 1);
  // A null field gives the three-way result -1 in either order: "F < K"
  // passes it, "K > F" does not. "K < F" and "K <= F" pass the nulls and the
  // values above K: the rows they reject lie between, and no search of the
  // index can pass over them.
  bool nullPasses = op == coLT || op == coLE;
  if (tree.NodeClass(field) == ncConst && tree.NodeClass(constant) == ncField && op != coLike) {
    if (op == coLT || op == coLE) return;
    std::swap(field, constant);
    op = Flipped(op);
    nullPasses = false;
  }
  if (tree.NodeClass(field) != ncField || tree.NodeClass(constant) != ncConst) return;
  TField* f;
  try {
    f = &RdaExprFieldOf(dataSet_, tree, field);
  } catch (const EDatabaseError&) {
    return;
  }
  Term term{f, op, nullPasses, RdaExprConstant(tree, constant), {}};
  if (op == coLike) {
    if (term.constant.Type() != VarType::String) return;
    term.prefix = LikePrefix(term.constant.ToBytes());
    if (term.prefix.empty()) return;
  }
  terms_.push_back(std::move(term));
}

// Whether a row of the view lies before the rows the terms accept (in view
// order) and whether it lies after them. Each is monotone along the view: a
// term with a constant is false on a run of rows at one end of the order.
TRdaExpression::Place TRdaExpression::Classify(int position, const std::vector<const Term*>& terms,
                                               bool descending) const {
  TRdaDBListItem* row = dataSet_.Indexes().ViewRow(position);
  const int i = terms.front()->field->FieldNo() - 1;
  const TRdaFieldItem& d = dataSet_.Store()->FieldList().Items(i);
  const uint8_t code = d.DataType() & 0x7F;
  const size_t size = static_cast<size_t>(d.DataSize());
  const bool isNull = row->IsNull(i);
  // A term fails "low" on rows whose value lies below what it accepts and
  // "high" above; nulls lie lowest, as in the index.
  bool low = false;
  bool high = false;
  for (const Term* t : terms) {
    if (!t->prefix.empty()) {
      if (isNull) {
        low = true;
        continue;
      }
      const std::string_view text = RdaLoadText(row->FieldData(i), size);
      const int k = text.substr(0, t->prefix.size()).compare(t->prefix);
      low = low || k < 0;
      high = high || k > 0;
      continue;
    }
    if (isNull) {
      low = low || !t->nullPasses;
      continue;
    }
    int c;
    if (IsTextCode(code)) {
      const int k = RdaLoadText(row->FieldData(i), size).compare(t->constant.ToBytes());
      c = k < 0 ? -1 : (k > 0 ? 1 : 0);
    } else {
      c = RdaExprThreeWay(RdaLoadValue(code, row->FieldData(i), size), t->constant);
    }
    switch (t->op) {
      case coGT: low = low || c != 1; break;
      case coGE: low = low || c == -1; break;
      case coLT: high = high || c != -1; break;
      case coLE: high = high || c == 1; break;
      default:
        low = low || c == -1;
        high = high || c == 1;
        break;
    }
  }
  return descending ? Place{high, low} : Place{low, high};
}

const std::vector<const TRdaExpression::Term*>& TRdaExpression::TermsForIndex(const TRdaIndex*& index) {
  index = dataSet_.Indexes().Selected();
  const uint64_t generation = dataSet_.Indexes().Generation();
  if (index == termsIndex_ && generation == termsGeneration_) return indexTerms_;
  termsIndex_ = index;
  termsGeneration_ = generation;
  indexTerms_.clear();
  if (!index || index->KeyFields().empty() || !dataSet_.Store()) return indexTerms_;
  TField* lead = index->KeyFields().front();
  if (lead->InCalcArea() || lead->FieldNo() < 1) return indexTerms_;
  const bool caseInsensitive = index->Options().Contains(ioCaseInsensitive);
  const uint8_t code = dataSet_.Store()->FieldList().Items(lead->FieldNo() - 1).DataType() & 0x7F;
  for (const Term& t : terms_) {
    if (t.field != lead) continue;
    const bool text = IsTextCode(code) && !caseInsensitive &&
                      (!t.prefix.empty() || t.constant.Type() == VarType::String);
    const bool exact = IsExactCode(code) && t.prefix.empty() && IsNumericConstant(t.constant);
    if (text || exact) indexTerms_.push_back(&t);
  }
  return indexTerms_;
}

int TRdaExpression::SkipRejected(int position, int step) {
  if (terms_.empty()) return position;
  const TRdaIndex* index = nullptr;
  const std::vector<const Term*>& terms = TermsForIndex(index);
  if (terms.empty() || !index->Built()) return position;
  const bool descending = index->Options().Contains(ioDescending);
  const int count = dataSet_.Indexes().ViewCount();
  const auto inside = [&](int p) {
    const Place place = Classify(p, terms, descending);
    return !place.before && !place.after;
  };
  const Place here = Classify(position, terms, descending);
  if (!here.before && !here.after) return position;
  if (step > 0) {
    if (!here.before) return count;
    // The first row at or after position that is not before the accepted ones.
    int lo = position + 1;
    int hi = count;
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (Classify(mid, terms, descending).before) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo < count && inside(lo) ? lo : count;
  }
  if (!here.after) return -1;
  // The last row before position that is not after the accepted ones.
  int lo = 0;
  int hi = position;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (Classify(mid, terms, descending).after) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo > 0 && inside(lo - 1) ? lo - 1 : -1;
}

}  // namespace rda
