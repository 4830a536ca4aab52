// The bridge between parameter lists (messaging/RdaParamList.h) and the
// dataset framework: values to and from fields and query parameters, and a
// list built from a dataset that describes parameters.
//
// Parameter lists know nothing of datasets (a parameter that carries one
// carries its stream bytes); these exchanges live here, above both.
#pragma once

#include <memory>

#include "memdata/RdaCustomDataSet.h"
#include "memdata/framework/DataSet.h"
#include "memdata/framework/Field.h"
#include "memdata/framework/Param.h"
#include "messaging/RdaParamList.h"

namespace rda {

// From a field: the item keeps its name when it has one, else takes the
// field's; it takes the field's data type and size; null when the field is
// null, else the value through the typed accessors by type (blob and memo
// kinds as raw bytes, keeping the Oracle types; bytes through the generic
// value).
void AssignFromField(TRdaParamItem& item, const TField& field);
// From a query parameter: name, parameter type (same ordinal), value (or
// null), data type, size.
void AssignFromParam(TRdaParamItem& item, const TParam& param);
// The field's value := the item's generic value.
void AssignToField(const TRdaParamItem& item, TField& field);
// Name, data type, parameter type, value (cleared when null), size.
void AssignToParam(const TRdaParamItem& item, TParam& param);

// A dataset carried by an item: a new free-standing dataset loaded from the
// item's stored bytes in the dataset stream format (TextToDataSet), or
// nullptr when the value is empty. Errors of the stream pass through.
std::unique_ptr<TRdaDataSet> AsDataSet(const TRdaParamItem& item);
// Gives the item the dataset's stream bytes (DataSetToText) as an ftDataSet
// value, null when there are none.
void SetAsDataSet(TRdaParamItem& item, TRdaCustomDataSet& dataSet);

// Replaces the list's items with one CreateParam per record of a dataset
// with the fields "ParamType", "Name" and "Datatype" (EDatabaseError when
// one is missing; ERdaParamException for a type outside 0..255, the list
// then holding the items before it). On success the dataset's cursor is put
// back where it was.
void ParamsFromDataSet(TRdaParamList& list, TDataSet& dataset);

}  // namespace rda
