#include "memdata/RdaParamBridge.h"

#include <string>

namespace rda {

void AssignFromField(TRdaParamItem& item, const TField& field) {
  if (item.Name().empty()) item.SetName(field.FieldName());
  const TFieldType type = field.DataType();
  if (field.IsNull()) {
    item.SetIsNull(true);
  } else {
    switch (type) {
      case ftString:
      case ftFixedChar:
      case ftWideString:
        item.SetAsString(field.AsString());
        break;
      case ftSmallint:
        item.SetAsSmallint(field.AsInteger());
        break;
      case ftWord:
        item.SetAsWord(field.AsInteger());
        break;
      case ftInteger:
      case ftAutoInc:
        item.SetAsInteger(field.AsInteger());
        break;
      case ftBoolean:
        item.SetAsBoolean(field.AsBoolean());
        break;
      case ftFloat:
        item.SetAsFloat(field.AsFloat());
        break;
      case ftCurrency:
        item.SetAsCurrency(field.AsCurrency());
        break;
      case ftBCD:
        item.SetAsBCD(field.AsCurrency());
        break;
      case ftDate:
        item.SetAsDate(field.AsDateTime());
        break;
      case ftTime:
        item.SetAsTime(field.AsDateTime());
        break;
      case ftDateTime:
        item.SetAsDateTime(field.AsDateTime());
        break;
      case ftLargeint:
        item.SetAsLargeint(field.AsLargeInt());
        break;
      case ftGuid:
        item.SetAsGuid(field.AsString());
        break;
      case ftTimeStamp:
        if (auto* ts = dynamic_cast<const TSQLTimeStampField*>(&field)) {
          item.SetAsSQLTimeStamp(ts->AsSQLTimeStamp());
        } else {
          item.SetValue(field.Value());
        }
        break;
      case ftFMTBcd:
        item.SetAsFMTBCD(field.AsBCD());
        break;
      case ftMemo:
      case ftFmtMemo:
      case ftOraClob:
        item.SetAsMemo(field.AsString());
        break;
      case ftBlob:
      case ftGraphic:
      case ftTypedBinary:
      case ftOraBlob:
      case ftDataSet:
        item.SetAsBlob(field.AsString());
        break;
      default:
        // Bytes (ftVarBytes is kept by the generic setter) and the rest.
        item.SetDataType(type);
        item.SetValue(field.Value());
        break;
    }
  }
  // The typed setters name their own type; the item takes the field's.
  item.SetDataType(type);
  item.SetSize(field.Size());
}

void AssignToField(const TRdaParamItem& item, TField& field) { field.SetValue(item.Value()); }

void AssignFromParam(TRdaParamItem& item, const TParam& param) {
  item.SetName(param.Name());
  item.SetParamType(static_cast<TRdaParamType>(param.ParamType()));
  if (param.IsNull()) {
    item.SetIsNull(true);
  } else {
    item.SetValue(param.Value());
  }
  item.SetDataType(param.DataType());
  item.SetSize(param.Size());
}

void AssignToParam(const TRdaParamItem& item, TParam& param) {
  param.SetName(item.Name());
  param.SetDataType(item.DataType());
  param.SetParamType(static_cast<TParamType>(item.ParamType()));
  if (item.IsNull()) {
    param.Clear();
  } else {
    param.SetValue(item.Value());
  }
  param.SetSize(item.Size());
}

void ParamsFromDataSet(TRdaParamList& list, TDataSet& dataset) {
  TField& paramType = dataset.FieldByName("ParamType");
  TField& name = dataset.FieldByName("Name");
  TField& dataType = dataset.FieldByName("Datatype");
  list.Clear();
  dataset.DisableControls();
  const TBookmark where = dataset.Bookmark();
  try {
    for (dataset.First(); !dataset.Eof(); dataset.Next()) {
      const int type = dataType.AsInteger();
      const int direction = paramType.AsInteger();
      if (type < 0 || type > 255 || direction < 0 || direction > 255) {
        throw ERdaParamException("Invalid data type " + std::to_string(type) +
                                 " or parameter type " + std::to_string(direction) +
                                 " for parameter " + name.AsString());
      }
      list.CreateParam(static_cast<TFieldType>(type), name.AsString(),
                       static_cast<TRdaParamType>(direction));
    }
    if (!where.empty()) dataset.GotoBookmark(where);
  } catch (...) {
    dataset.EnableControls();
    throw;
  }
  dataset.EnableControls();
}

std::unique_ptr<TRdaDataSet> AsDataSet(const TRdaParamItem& item) {
  return TextToDataSet(item.StoredValue());
}

void SetAsDataSet(TRdaParamItem& item, TRdaCustomDataSet& dataSet) {
  item.SetAsBlob(dataSet.DataSetToText());
  item.SetDataType(ftDataSet);
}

}  // namespace rda
