// The parameter list's exchanges with the dataset framework: values to and
// from field objects and query parameters, and a list built from a
// dataset.
#include <string>

#include "memdata/framework/DataSet.h"
#include "memdata/framework/Param.h"
#include "messaging/RdaParamList.h"

namespace rda {

void TRdaParamItem::Assign(const TField& field) {
  if (name_.empty()) name_ = field.FieldName();
  const TFieldType type = field.DataType();
  if (field.IsNull()) {
    SetIsNull(true);
  } else {
    switch (type) {
      case ftString:
      case ftFixedChar:
      case ftWideString:
        SetAsString(field.AsString());
        break;
      case ftSmallint:
        SetAsSmallint(field.AsInteger());
        break;
      case ftWord:
        SetAsWord(field.AsInteger());
        break;
      case ftInteger:
      case ftAutoInc:
        SetAsInteger(field.AsInteger());
        break;
      case ftBoolean:
        SetAsBoolean(field.AsBoolean());
        break;
      case ftFloat:
        SetAsFloat(field.AsFloat());
        break;
      case ftCurrency:
        SetAsCurrency(field.AsCurrency());
        break;
      case ftBCD:
        SetAsBCD(field.AsCurrency());
        break;
      case ftDate:
        SetAsDate(field.AsDateTime());
        break;
      case ftTime:
        SetAsTime(field.AsDateTime());
        break;
      case ftDateTime:
        SetAsDateTime(field.AsDateTime());
        break;
      case ftLargeint:
        SetAsLargeint(field.AsLargeInt());
        break;
      case ftGuid:
        SetAsGuid(field.AsString());
        break;
      case ftTimeStamp:
        if (auto* ts = dynamic_cast<const TSQLTimeStampField*>(&field)) {
          SetAsSQLTimeStamp(ts->AsSQLTimeStamp());
        } else {
          SetValue(field.Value());
        }
        break;
      case ftFMTBcd:
        SetAsFMTBCD(field.AsBCD());
        break;
      case ftMemo:
      case ftFmtMemo:
      case ftOraClob:
        SetAsMemo(field.AsString());
        break;
      case ftBlob:
      case ftGraphic:
      case ftTypedBinary:
      case ftOraBlob:
      case ftDataSet:
        SetAsBlob(field.AsString());
        break;
      default:
        // Bytes (ftVarBytes is kept by the generic setter) and the rest.
        dataType_ = type;
        SetValue(field.Value());
        break;
    }
  }
  // The typed setters name their own type; the item takes the field's.
  dataType_ = type;
  SetSize(field.Size());
}

void TRdaParamItem::AssignTo(TField& field) const { field.SetValue(Value()); }

void TRdaParamItem::Assign(const TParam& param) {
  name_ = param.Name();
  paramType_ = static_cast<TRdaParamType>(param.ParamType());
  if (param.IsNull()) {
    SetIsNull(true);
  } else {
    SetValue(param.Value());
  }
  dataType_ = param.DataType();
  SetSize(param.Size());
}

void TRdaParamItem::AssignTo(TParam& param) const {
  param.SetName(name_);
  param.SetDataType(dataType_);
  param.SetParamType(static_cast<TParamType>(paramType_));
  if (isNull_) {
    param.Clear();
  } else {
    param.SetValue(Value());
  }
  param.SetSize(size_);
}

void TRdaParamList::AssignItem(int index, const TField& field) { Items(index).Assign(field); }

void TRdaParamList::AssignItem(int index, const TParam& param) { Items(index).Assign(param); }

// On success the dataset's cursor is put back where it was.
void TRdaParamList::ParamsFromDataSet(TDataSet& dataset) {
  TField& paramType = dataset.FieldByName("ParamType");
  TField& name = dataset.FieldByName("Name");
  TField& dataType = dataset.FieldByName("Datatype");
  Clear();
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
      CreateParam(static_cast<TFieldType>(type), name.AsString(),
                  static_cast<TRdaParamType>(direction));
    }
    if (!where.empty()) dataset.GotoBookmark(where);
  } catch (...) {
    dataset.EnableControls();
    throw;
  }
  dataset.EnableControls();
}

}  // namespace rda
