// Small helpers for the dataset tests: a people table and an event log.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "memdata/RdaCustomDataSet.h"

namespace rda {

// Test failures show a variant as its kind and text.
inline void PrintTo(const Variant& v, std::ostream* os) {
  *os << VarTypeName(v.Type()) << " " << v.ToString();
}

}  // namespace rda

namespace rda::test {

// Id (integer), Name (text 20), Score (float); opened and holding the rows.
inline std::unique_ptr<TRdaDataSet> People(const std::vector<std::pair<int, std::string>>& rows) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Name", ftString, 20);
  ds->AddField("Score", ftFloat, 0);
  ds->Open();
  for (const auto& [id, name] : rows) {
    ds->Append();
    ds->FieldByName("Id").SetAsInteger(id);
    ds->FieldByName("Name").SetAsString(name);
    ds->FieldByName("Score").SetAsFloat(id * 1.5);
    ds->Post();
  }
  return ds;
}

// The Id column in view order, read by walking the dataset.
inline std::vector<int> Ids(TDataSet& ds) {
  std::vector<int> ids;
  ds.First();
  while (!ds.Eof()) {
    ids.push_back(ds.FieldByName("Id").AsInteger());
    ds.Next();
  }
  return ids;
}

// Records every dataset event by name.
inline void RecordEvents(TDataSet& ds, std::vector<std::string>& log) {
  auto note = [&log](const char* name) { return [&log, name](TDataSet&) { log.push_back(name); }; };
  ds.BeforeOpen = note("BeforeOpen");
  ds.AfterOpen = note("AfterOpen");
  ds.BeforeClose = note("BeforeClose");
  ds.AfterClose = note("AfterClose");
  ds.BeforeInsert = note("BeforeInsert");
  ds.AfterInsert = note("AfterInsert");
  ds.BeforeEdit = note("BeforeEdit");
  ds.AfterEdit = note("AfterEdit");
  ds.BeforePost = note("BeforePost");
  ds.AfterPost = note("AfterPost");
  ds.BeforeCancel = note("BeforeCancel");
  ds.AfterCancel = note("AfterCancel");
  ds.BeforeDelete = note("BeforeDelete");
  ds.AfterDelete = note("AfterDelete");
  ds.BeforeScroll = note("BeforeScroll");
  ds.AfterScroll = note("AfterScroll");
  ds.OnNewRecord = note("OnNewRecord");
}

template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("<other exception> ") + e.what();
  }
  return "<no exception>";
}

}  // namespace rda::test
