// TParam: a query parameter of the dataset framework (a name, a data type,
// a direction, a size and a value), as SQL datasets keep them and as
// parameter lists exchange them.
//
// The direction has the platform's numbering, the same ordinals as the
// parameter lists' TRdaParamType (ptUnknown 0 .. ptResult 4). The value is
// a Variant; a parameter is null while its value is Null or unassigned.
#pragma once

#include <cstdint>
#include <string>

#include "base/FieldType.h"
#include "base/Variant.h"

namespace rda {

enum class TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class TParam {
 public:
  TParam() = default;
  explicit TParam(std::string name, TFieldType dataType = ftUnknown,
                  TParamType paramType = TParamType::ptUnknown)
      : name_(std::move(name)), dataType_(dataType), paramType_(paramType) {}

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  TFieldType DataType() const { return dataType_; }
  void SetDataType(TFieldType type) { dataType_ = type; }
  TParamType ParamType() const { return paramType_; }
  void SetParamType(TParamType type) { paramType_ = type; }
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }

  bool IsNull() const { return value_.IsClear(); }
  const Variant& Value() const { return value_; }
  // Takes the value as given; the data type stays as set.
  void SetValue(const Variant& value) { value_ = value; }
  void Clear() { value_ = Variant::Null(); }

 private:
  std::string name_;
  TFieldType dataType_ = ftUnknown;
  TParamType paramType_ = TParamType::ptUnknown;
  int size_ = 0;
  Variant value_ = Variant::Null();
};

}  // namespace rda
