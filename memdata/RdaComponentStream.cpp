#include "memdata/RdaComponentStream.h"

#include <algorithm>
#include <cstring>

#include "base/ByteIO.h"
#include "base/CodePage.h"
#include "base/Exception.h"
#include "base/MemoryStream.h"
#include "memdata/store/TaggedStream.h"

namespace rda {

namespace {

constexpr std::string_view kSignature = "TPF0";
// Lists, collections and child components nest; deeper input is refused
// rather than followed down the stack.
constexpr int kMaxDepth = 32;

enum : uint8_t {
  tNull = 0, tList = 1, tInt8 = 2, tInt16 = 3, tInt32 = 4, tExtended = 5, tString = 6,
  tIdent = 7, tFalse = 8, tTrue = 9, tBinary = 10, tSet = 11, tLString = 12, tNil = 13,
  tCollection = 14, tSingle = 15, tCurrency = 16, tDate = 17, tWString = 18, tInt64 = 19,
  tUTF8String = 20, tDouble = 21,
};

[[noreturn]] void Invalid() { throw EReadError(kInvalidPropertyValue); }

class Reader {
 public:
  explicit Reader(std::string_view bytes) : stream_(std::string(bytes)) {}

  bool AtEnd() const { return stream_.Remaining() == 0; }

  TRdaStreamedComponent Component() {
    if (stream_.Read(kSignature.size()) != kSignature) Invalid();
    return Body(0);
  }

 private:
  // A child component carries no signature of its own.
  TRdaStreamedComponent Body(int depth) {
    TRdaStreamedComponent c;
    const uint8_t first = stream_.PeekU8();
    if ((first & 0xF0) == 0xF0) {
      stream_.ReadU8();
      if ((first & 0x02) != 0) (void)Value(depth);  // the child position
    }
    c.ClassName = Short();
    c.Name = Short();
    while (stream_.PeekU8() != tNull) {
      TRdaStreamedProperty p;
      p.Name = Short();
      p.Value = Value(depth);
      c.Properties.push_back(std::move(p));
    }
    stream_.ReadU8();
    while (stream_.PeekU8() != tNull) {
      if (depth + 1 > kMaxDepth) Invalid();
      (void)Body(depth + 1);
    }
    stream_.ReadU8();
    return c;
  }

  std::string Short() { return std::string(stream_.Read(stream_.ReadU8())); }

  std::string_view Long(size_t unit) {
    const uint32_t n = stream_.ReadU32();
    if (n > stream_.Remaining() / unit) throw EReadError(kStreamReadError);
    return stream_.Read(size_t{n} * unit);
  }

  Variant Value(int depth) {
    if (depth > kMaxDepth) Invalid();
    switch (stream_.ReadU8()) {
      case tNull:
      case tNil:
        return Variant::Null();
      case tFalse:
        return Variant(false);
      case tTrue:
        return Variant(true);
      case tInt8:
        return Variant(int64_t{stream_.ReadI8()});
      case tInt16:
        return Variant(int64_t{stream_.ReadI16()});
      case tInt32:
        return Variant(int64_t{stream_.ReadI32()});
      case tInt64:
        return Variant(stream_.ReadI64());
      case tExtended:
        (void)stream_.Read(10);
        return Variant::Null();
      case tSingle: {
        const uint32_t bits = stream_.ReadU32();
        float f;
        static_assert(sizeof f == sizeof bits);
        std::memcpy(&f, &bits, sizeof f);
        return Variant(static_cast<double>(f));
      }
      case tDouble:
      case tDate: {
        const uint64_t bits = stream_.ReadU64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return Variant(d);
      }
      case tCurrency:
        return Variant(static_cast<double>(stream_.ReadI64()) / 10000.0);
      case tString:
      case tIdent:
        return Variant(Short());
      case tLString:
        return Variant(std::string(Long(1)));
      case tUTF8String:
        return Variant(Utf8ToCp1252(Long(1)));
      case tWString: {
        const std::string_view bytes = Long(2);
        std::u16string units(bytes.size() / 2, u'\0');
        for (size_t i = 0; i < units.size(); ++i) units[i] = LoadU16LE(bytes.data() + 2 * i);
        return Variant(Utf16ToCp1252(units));
      }
      case tBinary:
        return Variant::FromBytes(std::string(Long(1)));
      case tSet: {
        std::string names;
        for (std::string name = Short(); !name.empty(); name = Short()) {
          names += (names.empty() ? "" : ",") + name;
        }
        return Variant(names);
      }
      case tList:
        while (stream_.PeekU8() != tNull) (void)Value(depth + 1);
        stream_.ReadU8();
        return Variant::Null();
      case tCollection:
        while (stream_.PeekU8() != tNull) {
          const uint8_t t = stream_.PeekU8();
          if (t == tInt8 || t == tInt16 || t == tInt32) (void)Value(depth + 1);
          if (stream_.ReadU8() != tList) Invalid();
          while (stream_.PeekU8() != tNull) {
            (void)Short();
            (void)Value(depth + 1);
          }
          stream_.ReadU8();
        }
        stream_.ReadU8();
        return Variant::Null();
      default:
        Invalid();
    }
  }

  TMemoryStream stream_;
};

void WriteShort(std::string& out, std::string_view text) {
  out.push_back(static_cast<char>(std::min<size_t>(text.size(), 255)));
  out.append(text.substr(0, 255));
}

void WriteText(std::string& out, std::string_view name, std::string_view text) {
  WriteShort(out, name);
  if (text.size() <= 255) {
    out.push_back(static_cast<char>(tString));
    WriteShort(out, text);
  } else {
    out.push_back(static_cast<char>(tLString));
    char n[4];
    StoreU32LE(n, static_cast<uint32_t>(text.size()));
    out.append(n, 4);
    out.append(text);
  }
}

constexpr const char* kAlignments[] = {"taLeftJustify", "taRightJustify", "taCenter"};

}  // namespace

const TRdaStreamedProperty* TRdaStreamedComponent::Find(std::string_view name) const {
  for (const TRdaStreamedProperty& p : Properties) {
    if (SameName(p.Name, name)) return &p;
  }
  return nullptr;
}

std::vector<TRdaStreamedComponent> ReadComponentStream(std::string_view bytes) {
  std::vector<TRdaStreamedComponent> components;
  Reader reader(bytes);
  while (!reader.AtEnd()) components.push_back(reader.Component());
  return components;
}

std::string WriteFieldComponent(const TField& field, std::string_view className,
                                std::string_view componentName) {
  std::string out(kSignature);
  WriteShort(out, className);
  WriteShort(out, componentName);
  WriteText(out, "FieldName", field.FieldName());
  if (field.DisplayLabel() != field.FieldName()) WriteText(out, "DisplayLabel", field.DisplayLabel());
  if (field.DisplayWidth() != 0) {
    WriteShort(out, "DisplayWidth");
    out.push_back(static_cast<char>(tInt32));
    char n[4];
    StoreI32LE(n, field.DisplayWidth());
    out.append(n, 4);
  }
  if (!field.Visible()) {
    WriteShort(out, "Visible");
    out.push_back(static_cast<char>(tFalse));
  }
  if (field.Alignment() != taLeftJustify) {
    WriteShort(out, "Alignment");
    out.push_back(static_cast<char>(tIdent));
    WriteShort(out, kAlignments[field.Alignment()]);
  }
  if (!field.DisplayFormat.empty()) WriteText(out, "DisplayFormat", field.DisplayFormat);
  if (!field.EditFormat.empty()) WriteText(out, "EditFormat", field.EditFormat);
  if (!field.EditMask.empty()) WriteText(out, "EditMask", field.EditMask);
  out.push_back(static_cast<char>(tNull));  // end of properties
  out.push_back(static_cast<char>(tNull));  // no children
  return out;
}

int ApplyFieldProperties(TDataSet& dataSet, std::string_view bytes) {
  const std::vector<TRdaStreamedComponent> components = ReadComponentStream(bytes);
  int changed = 0;
  for (const TRdaStreamedComponent& c : components) {
    const TRdaStreamedProperty* fieldName = c.Find("FieldName");
    if (fieldName == nullptr || fieldName->Value.Type() != VarType::String) continue;
    TField* field = dataSet.FindField(fieldName->Value.ToString());
    if (field == nullptr) continue;
    for (const TRdaStreamedProperty& p : c.Properties) {
      const Variant& v = p.Value;
      if (SameName(p.Name, "DisplayLabel") && v.Type() == VarType::String) {
        field->SetDisplayLabel(v.ToString());
      } else if (SameName(p.Name, "DisplayWidth") && v.Type() == VarType::Int64) {
        field->SetDisplayWidth(static_cast<int>(v.ToInt64()));
      } else if (SameName(p.Name, "Visible") && v.Type() == VarType::Boolean) {
        field->SetVisible(v.ToBoolean());
      } else if (SameName(p.Name, "Alignment") && v.Type() == VarType::String) {
        for (int a = 0; a < 3; ++a) {
          if (SameName(v.ToString(), kAlignments[a])) field->SetAlignment(static_cast<TAlignment>(a));
        }
      } else if (SameName(p.Name, "DisplayFormat") && v.Type() == VarType::String) {
        field->DisplayFormat = v.ToString();
      } else if (SameName(p.Name, "EditFormat") && v.Type() == VarType::String) {
        field->EditFormat = v.ToString();
      } else if (SameName(p.Name, "EditMask") && v.Type() == VarType::String) {
        field->EditMask = v.ToString();
      }
    }
    ++changed;
  }
  return changed;
}

}  // namespace rda
