// The bridge between parameter lists and the dataset framework: items taking
// values from fields and query parameters and giving them back, and a list
// built from a dataset.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "base/Guid.h"
#include "memdata/framework/Param.h"
#include "memdata/RdaCustomDataSet.h"
#include "memdata/RdaParamBridge.h"
#include "messaging/RdaParamList.h"

namespace rda {
namespace {

struct FieldCase {
  TFieldType type;
  int size;
  std::function<void(TField&)> set;
  Variant itemValue;  // the item's generic value after Assign
};

TEST(ParamBridge, ItemsTakeFieldValuesByTypeAndGiveThemBack) {
  const TDateTime day = EncodeDate(2021, 6, 30);
  const std::vector<FieldCase> cases = {
      {ftString, 10, [](TField& f) { f.SetAsString("text"); }, Variant("text")},
      {ftFixedChar, 4, [](TField& f) { f.SetAsString("ab"); }, Variant("ab")},
      {ftWideString, 4, [](TField& f) { f.SetAsString("w\xE9"); }, Variant("w\xE9")},
      {ftSmallint, 0, [](TField& f) { f.SetAsInteger(-7); }, Variant(int16_t{-7})},
      {ftWord, 0, [](TField& f) { f.SetAsInteger(65000); }, Variant(uint16_t{65000})},
      {ftInteger, 0, [](TField& f) { f.SetAsInteger(123456); }, Variant(123456)},
      {ftAutoInc, 0, [](TField& f) { f.SetAsInteger(9); }, Variant(9)},
      {ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(int64_t{1} << 40); }, Variant(int64_t{1} << 40)},
      {ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, Variant(true)},
      {ftFloat, 0, [](TField& f) { f.SetAsFloat(0.125); }, Variant(0.125)},
      {ftCurrency, 0, [](TField& f) { f.SetAsCurrency(Currency::FromScaled(15000)); },
       Variant(Currency::FromScaled(15000))},
      {ftBCD, 0, [](TField& f) { f.SetAsString("-2.5"); }, Variant(Currency::FromScaled(-25000))},
      {ftDate, 0, [=](TField& f) { f.SetAsDateTime(day); }, Variant::FromDate(day)},
      {ftDateTime, 0, [=](TField& f) { f.SetAsDateTime(day + 0.5); }, Variant::FromDate(day + 0.5)},
      {ftGuid, 38, [](TField& f) { f.SetAsString(kNullGuidText); }, Variant(kNullGuidText)},
      {ftFMTBcd, 0, [](TField& f) { f.SetAsString("12.345"); }, Variant(StrToBcd("12.345"))},
      {ftTimeStamp, 0, [](TField& f) { f.SetAsString("6/30/2021 12:00:00"); },
       Variant(SqlTimeStamp{2021, 6, 30, 12, 0, 0, 0})},
      {ftMemo, 0, [](TField& f) { f.SetAsString("long text"); }, Variant("long text")},
      {ftBlob, 0, [](TField& f) { f.SetAsString(std::string("\x00\x01", 2)); },
       Variant::FromBytes(std::string("\x00\x01", 2))},
      {ftVarBytes, 3, [](TField& f) { f.SetAsString("xyz"); }, Variant::FromBytes("xyz")},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    TRdaDataSet ds;
    ds.AddField("F", c.type, c.size);
    ds.AddField("Copy", c.type, c.size);
    ds.Open();
    ds.Append();
    TField& field = ds.FieldByName("F");
    c.set(field);

    TRdaParamItem item;
    item.SetName("");
    AssignFromField(item, field);
    EXPECT_EQ(item.Name(), "F");
    EXPECT_EQ(item.DataType(), c.type);
    EXPECT_FALSE(item.IsNull());
    if (c.type != ftBlob && c.type != ftVarBytes) {
      EXPECT_EQ(item.Value(), c.itemValue);
    } else {
      EXPECT_EQ(item.StoredValue(), c.itemValue.ToBytes());
    }
    // And back into another field of the same type.
    TField& copy = ds.FieldByName("Copy");
    AssignToField(item, copy);
    EXPECT_EQ(copy.AsString(), field.AsString());
  }
}

TEST(ParamBridge, NullFieldsMakeNullItemsAndNamedItemsKeepTheirName) {
  TRdaDataSet ds;
  ds.AddField("Amount", ftFloat, 0);
  ds.AddField("Note", ftString, 20);
  ds.Open();
  ds.Append();
  TRdaParamItem item;
  item.SetName("Kept");
  item.SetAsInteger(5);
  AssignFromField(item, ds.FieldByName("Note"));
  EXPECT_EQ(item.Name(), "Kept");
  EXPECT_TRUE(item.IsNull());
  EXPECT_EQ(item.DataType(), ftString);
  EXPECT_EQ(item.Size(), 20);
  // A null item clears the field it is given to.
  ds.FieldByName("Amount").SetAsFloat(1);
  AssignToField(item, ds.FieldByName("Amount"));
  EXPECT_TRUE(ds.FieldByName("Amount").IsNull());
}

TEST(ParamBridge, QueryParametersGoBothWays) {
  TParam param("Customer", ftInteger, TParamType::ptInputOutput);
  param.SetValue(Variant(42));
  param.SetSize(4);
  TRdaParamList list;
  list.Add();
  AssignFromParam(list.Items(0), param);
  const TRdaParamItem& item = list.Items(0);
  EXPECT_EQ(item.Name(), "Customer");
  EXPECT_EQ(item.ParamType(), ptInputOutput);
  EXPECT_EQ(item.DataType(), ftInteger);
  EXPECT_EQ(item.AsInteger(), 42);

  TParam back;
  back.SetValue(Variant("stale"));
  list.Items(0).SetIsNull(true);
  AssignToParam(list.Items(0), back);
  EXPECT_EQ(back.Name(), "Customer");
  EXPECT_EQ(back.ParamType(), TParamType::ptInputOutput);
  EXPECT_EQ(back.DataType(), ftInteger);
  EXPECT_TRUE(back.IsNull());

  list.Items(0).SetAsString("abc");
  AssignToParam(list.Items(0), back);
  EXPECT_EQ(back.Value(), Variant("abc"));
  TParam nullParam("N", ftDate, TParamType::ptOutput);
  AssignFromParam(list.Items(0), nullParam);
  EXPECT_TRUE(list.Items(0).IsNull());
  EXPECT_EQ(list.Items(0).DataType(), ftDate);
}

TEST(ParamBridge, ParamsFromDataSetMakesOneParameterPerRecord) {
  TRdaDataSet ds;
  ds.AddField("ParamType", ftInteger, 0);
  ds.AddField("Name", ftString, 20);
  ds.AddField("Datatype", ftInteger, 0);
  ds.Open();
  ds.AppendRecord({Variant(1), Variant("Id"), Variant(3)});
  ds.AppendRecord({Variant(2), Variant("Total"), Variant(7)});
  ds.First();
  TRdaParamList list;
  list.Add().SetName("old");
  ParamsFromDataSet(list, ds);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0).Name(), "Id");
  EXPECT_EQ(list.Items(0).ParamType(), ptInput);
  EXPECT_EQ(list.Items(0).DataType(), ftInteger);
  EXPECT_EQ(list.Items(1).Name(), "Total");
  EXPECT_EQ(list.Items(1).ParamType(), ptOutput);
  EXPECT_EQ(list.Items(1).DataType(), ftCurrency);
  EXPECT_EQ(ds.RecNo(), 1);  // the cursor is put back

  ds.AppendRecord({Variant(1), Variant("Bad"), Variant(300)});
  EXPECT_THROW(ParamsFromDataSet(list, ds), ERdaParamException);
  TRdaDataSet wrong;
  wrong.AddField("Name", ftString, 5);
  wrong.Open();
  EXPECT_THROW(ParamsFromDataSet(list, wrong), EDatabaseError);
}

}  // namespace
}  // namespace rda
