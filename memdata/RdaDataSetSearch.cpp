// The dataset's searches: Locate, Lookup, FindRecord, FindKey, GotoKey and
// GotoNearest, and the field comparison they share with the indexes.
#include <algorithm>
#include <cstring>

#include "base/ByteIO.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/ValueGuard.h"
#include "memdata/store/RdaStoredValue.h"

namespace rda {

namespace {

constexpr const char* kNoIndex = "No index currently active";

}  // namespace

int TRdaCustomDataSet::CompareField(const char* a, const char* b, const TField& field,
                                    bool caseInsensitive, bool partial) {
  const char* pa;
  const char* pb;
  bool nullA, nullB;
  uint8_t type;
  size_t size;
  if (field.InCalcArea()) {
    // A calculated value: its has-value byte, then the field's stored form.
    pa = a + calcAreaOffset_ + field.Offset();
    pb = b + calcAreaOffset_ + field.Offset();
    nullA = pa[0] == 0;
    nullB = pb[0] == 0;
    ++pa;
    ++pb;
    type = field.DataType();
    size = static_cast<size_t>(IsRdaTextFieldType(type) ? field.Size() : field.DataSize());
  } else {
    const FieldSlot& s = SlotOf(field);
    pa = a + s.offset;
    pb = b + s.offset;
    nullA = IsNullIn(a, s);
    nullB = IsNullIn(b, s);
    type = s.type;
    size = static_cast<size_t>(s.dataSize);
  }
  if (!IsRdaComparableFieldType(type)) ThrowNotComparable(field);
  if (nullA || nullB) return nullA == nullB ? 0 : (nullA ? -1 : 1);
  return RdaCompareStored(type, pa, pb, size, caseInsensitive, partial);
}

// The key values go through the field objects into the temporary buffer
// (no state checks, validation, events or index upkeep), which then becomes
// the image of the scratch row.
void TRdaCustomDataSet::FillScratchRow(const std::vector<TField*>& fields,
                                       const TVariantArray& values) {
  for (TField* f : fields) {
    if (!IsRdaComparableFieldType(f->DataType())) ThrowNotComparable(*f);
  }
  char* temp = TempBuffer();
  {
    ValueGuard<bool> scratch(scratchMode_, true);
    InternalInitRecord(temp);
    ClearCalcFields(temp);
    for (size_t i = 0; i < fields.size(); ++i) {
      Variant value = i < values.size() ? values[i] : Variant::Null();
      if (fields.size() == 1 && fields[0]->DataType() == ftLargeint && !value.IsClear()) {
        fields[0]->SetAsLargeInt(value.ToInt64());
      } else {
        fields[i]->SetValue(value);
      }
    }
  }
  if (!scratchRow_) scratchRow_ = store_->NewScratchRow();
  scratchRow_->SetImage(std::string_view(temp, static_cast<size_t>(bufferSize_)));
}

// The first row of the view, from the start, whose key fields equal the
// scratch row's and that the filter accepts; -1 when none.
int TRdaCustomDataSet::LocatePosition(const std::vector<TField*>& fields, TLocateOptions options) {
  int position = -1;
  if (LocateByIndex(*scratchRow_, fields, options, position)) return position;
  const bool caseInsensitive = options.Contains(loCaseInsensitive);
  const bool partial = options.Contains(loPartialKey);
  const bool needCalc = std::any_of(fields.begin(), fields.end(),
                                    [](const TField* f) { return f->InCalcArea(); });
  const bool filtering = DetailFilterActive() || Filtered();
  const char* key = scratchRow_->Data();

  // Text keys of data fields are matched in place (equal bytes, then the
  // row's text must end where the key ends unless the key is partial);
  // every other field goes through CompareField.
  struct TextKey {
    const FieldSlot* slot;
    bool null;
    std::string_view text;
  };
  std::vector<TextKey> textKeys;
  std::vector<const TField*> otherKeys;
  for (const TField* f : fields) {
    const FieldSlot* s = f->InCalcArea() ? nullptr : &SlotOf(*f);
    if (s && s->kind == skText) {
      const char* p = key + s->offset;
      textKeys.push_back({s, IsNullIn(key, *s), std::string_view(p, TextLength(p, s->dataSize))});
    } else {
      otherKeys.push_back(f);
    }
  }
  auto textMatches = [&](const char* image) {
    for (const TextKey& k : textKeys) {
      const bool null = IsNullIn(image, *k.slot);
      if (null || k.null) {
        if (null != k.null) return false;
        continue;
      }
      const char* p = image + k.slot->offset;
      const size_t n = k.text.size();
      if (caseInsensitive) {
        for (size_t j = 0; j < n; ++j) {
          if (RdaFoldAscii(static_cast<unsigned char>(p[j])) !=
              RdaFoldAscii(static_cast<unsigned char>(k.text[j]))) {
            return false;
          }
        }
      } else if (std::memcmp(p, k.text.data(), n) != 0) {
        return false;
      }
      if (!partial && n < static_cast<size_t>(k.slot->dataSize) && p[n] != '\0') return false;
    }
    return true;
  };

  const int count = ViewCount();
  for (int i = 0; i < count; ++i) {
    const TRdaDBListItem* row = ViewRow(i);
    if (row->RecordID() < 0) continue;
    const char* image = row->Data();
    if (!textMatches(image)) continue;
    if (needCalc) {
      char* temp = TempBuffer();
      row->CopyTo(temp);
      GetCalcFields(temp);
      image = temp;
    }
    bool match = true;
    for (const TField* f : otherKeys) {
      if (CompareField(key, image, *f, caseInsensitive, partial) != 0) {
        match = false;
        break;
      }
    }
    if (match && filtering && !RowAccepted(row->Image())) match = false;
    if (match) return i;
  }
  return -1;
}

bool TRdaCustomDataSet::Locate(std::string_view keyFields, const TVariantArray& keyValues,
                               TLocateOptions options) {
  CheckBrowseMode();
  DoBeforeScroll();
  int position;
  {
    ValueGuard<bool> quiet(scrollEvents_, false);
    std::vector<TField*> fields = GetFieldList(keyFields);
    FillScratchRow(fields, keyValues);
    position = LocatePosition(fields, options);
  }
  if (position < 0) return false;
  cursor_ = position;
  Resync({rmExact, rmCenter});
  DoAfterScroll();
  return true;
}

TVariantArray TRdaCustomDataSet::LookupValues(std::string_view keyFields,
                                              const TVariantArray& keyValues,
                                              std::string_view resultFields) {
  CheckBrowseMode();
  TVariantArray result;
  ValueGuard<bool> quiet(scrollEvents_, false);
  ValueGuard<int> cursor(cursor_, cursor_);
  std::vector<TField*> keys = GetFieldList(keyFields);
  std::vector<TField*> results = GetFieldList(resultFields);
  FillScratchRow(keys, keyValues);
  int position = LocatePosition(keys, {});
  if (position >= 0) {
    char* temp = TempBuffer();
    ViewRow(position)->CopyTo(temp);
    TempStateScope state(*this, dsCalcFields);
    SetCalcBuffer(temp);
    if (CalcFieldsSize() > 0) CalculateFields(temp);
    for (TField* f : results) result.push_back(f->Value());
  }
  return result;
}

bool TRdaCustomDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  bool ok;
  {
    ValueGuard<bool> find(findMode_, true);
    UpdateCursorPos();
    if (restart) {
      if (goForward) {
        InternalFirst();
      } else {
        InternalLast();
      }
    }
    ok = GetRecord(TempBuffer(), goForward ? gmNext : gmPrior, true) == grOK;
  }
  if (!ok) {
    CursorPosChanged();
    return false;
  }
  Resync({rmExact, rmCenter});
  SetFound(true);
  DoAfterScroll();
  return true;
}

bool TRdaCustomDataSet::FindKey(const TVariantArray& keyValues) {
  CheckBrowseMode();
  if (!IndexSelected()) DatabaseError(kNoIndex, this);
  const std::vector<TField*>& fields = SelectedIndexFields();
  std::string& key = keyBuffers_[0];
  std::fill(key.begin(), key.end(), '\0');
  const size_t count = std::min(keyValues.size(), fields.size());
  {
    TempStateScope state(*this, dsSetKey);
    for (size_t i = 0; i < count; ++i) fields[i]->SetValue(keyValues[i]);
  }
  key[0] = 1;
  StoreU16LE(key.data() + 2, static_cast<uint16_t>(count));
  return GotoKey();
}

void TRdaCustomDataSet::SetKey() {
  CheckBrowseMode();
  if (!IndexSelected()) DatabaseError(kNoIndex, this);
  std::string& key = keyBuffers_[0];
  std::fill(key.begin(), key.end(), '\0');
  SetState(dsSetKey);
}

void TRdaCustomDataSet::EditKey() {
  CheckBrowseMode();
  if (!IndexSelected()) DatabaseError(kNoIndex, this);
  SetState(dsSetKey);
}

// The key buffer counts the key fields up to the last one assigned.
void TRdaCustomDataSet::KeyFieldAssigned(const TField& field) {
  std::string& key = keyBuffers_[0];
  key[0] = 1;
  const std::vector<TField*>& fields = SelectedIndexFields();
  const auto at = std::find(fields.begin(), fields.end(), &field);
  if (at == fields.end()) return;
  const auto n = static_cast<uint16_t>(at - fields.begin() + 1);
  if (n > LoadU16LE(key.data() + 2)) StoreU16LE(key.data() + 2, n);
}

bool TRdaCustomDataSet::GotoKey() { return GotoKeyImpl(false); }
bool TRdaCustomDataSet::GotoNearest() { return GotoKeyImpl(true); }

bool TRdaCustomDataSet::GotoKeyImpl(bool nearest) {
  CheckBrowseMode();
  DoBeforeScroll();
  if (!IndexSelected()) DatabaseError(kNoIndex, this);
  const std::string& key = keyBuffers_[0];
  if (!scratchRow_) scratchRow_ = store_->NewScratchRow();
  scratchRow_->SetImage(std::string_view(key).substr(kKeyHeader));
  bool exact = false;
  int position = SearchSelectedIndex(*scratchRow_, LoadU16LE(key.data() + 2), nearest, exact);
  if (!nearest && !exact) return false;
  cursor_ = std::min(position, ViewCount() - 1);
  Resync({rmCenter});
  DoAfterScroll();
  return exact;
}


}  // namespace rda
