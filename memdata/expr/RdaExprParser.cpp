// The expression parser: a recursive-descent parser (one function per level
// of the grammar in RdaExprParser.h) that builds a small node list, then
// writes the node list into the tree layout.
#include "memdata/expr/RdaExprParser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "base/ByteIO.h"
#include "base/DateTime.h"
#include "base/Text.h"
#include "memdata/expr/RdaExprTree.h"

namespace rda {

namespace {

// ---------------------------------------------------------------------------
// Tokens

enum class Tok : uint8_t {
  End,
  Name,     // a plain name or keyword
  Bracket,  // [a bracketed field name]
  Text,     // 'a text'
  Integer,
  Float,
  Op,       // = <> != < <= > >= + - * / ( ) ,
};

struct Token {
  Tok kind = Tok::End;
  std::string text;  // the name, the text's characters or the operator
  size_t pos = 0;    // 1-based
  // Numbers: the magnitude (integers) or the value (floats).
  uint64_t integer = 0;
  bool integerFits = true;  // the magnitude fits 64 bits
  double number = 0;
};

bool NameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}
bool NamePart(unsigned char c) { return NameStart(c) || (c >= '0' && c <= '9'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void Fail(const std::string& message) { throw EDatabaseError(message); }

std::string Describe(const Token& t) {
  switch (t.kind) {
    case Tok::End: return "end of text";
    case Tok::Text: return "text '" + t.text + "'";
    case Tok::Bracket: return "[" + t.text + "]";
    default: return "'" + t.text + "'";
  }
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token Next() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\n')) {
      ++pos_;
    }
    Token t;
    t.pos = pos_ + 1;
    if (pos_ >= text_.size()) return t;
    const char c = text_[pos_];
    if (NameStart(static_cast<unsigned char>(c))) {
      const size_t start = pos_;
      while (pos_ < text_.size() && NamePart(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      t.kind = Tok::Name;
      t.text = std::string(text_.substr(start, pos_ - start));
      return t;
    }
    if (Digit(c) || (c == '.' && pos_ + 1 < text_.size() && Digit(text_[pos_ + 1]))) return Number(t);
    if (c == '\'') return Quoted(t);
    if (c == '[') {
      const size_t close = text_.find(']', pos_ + 1);
      if (close == std::string_view::npos) {
        Fail("Syntax error at position " + std::to_string(t.pos) + ": the field name has no closing ]");
      }
      t.kind = Tok::Bracket;
      t.text = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
      if (t.text.empty()) Fail("Syntax error at position " + std::to_string(t.pos) + ": empty field name []");
      pos_ = close + 1;
      return t;
    }
    static constexpr std::string_view kTwo[] = {"<>", "!=", "<=", ">="};
    for (std::string_view two : kTwo) {
      if (text_.substr(pos_, 2) == two) {
        t.kind = Tok::Op;
        t.text = std::string(two);
        pos_ += 2;
        return t;
      }
    }
    if (std::string_view("=<>+-*/(),").find(c) != std::string_view::npos) {
      t.kind = Tok::Op;
      t.text = std::string(1, c);
      ++pos_;
      return t;
    }
    const unsigned char u = static_cast<unsigned char>(c);
    std::string shown = u >= 0x20 && u < 0x7F ? "'" + std::string(1, c) + "'" : "byte " + std::to_string(u);
    Fail("Syntax error at position " + std::to_string(t.pos) + ": unexpected character " + shown);
  }

 private:
  Token Number(Token& t) {
    const size_t start = pos_;
    bool isFloat = false;
    while (pos_ < text_.size() && Digit(text_[pos_])) ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      isFloat = true;
      ++pos_;
      while (pos_ < text_.size() && Digit(text_[pos_])) ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      size_t p = pos_ + 1;
      if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
      if (p < text_.size() && Digit(text_[p])) {
        isFloat = true;
        pos_ = p;
        while (pos_ < text_.size() && Digit(text_[pos_])) ++pos_;
      }
    }
    if (pos_ < text_.size() && NameStart(static_cast<unsigned char>(text_[pos_]))) {
      Fail("Syntax error at position " + std::to_string(pos_ + 1) + ": a number runs into a name");
    }
    t.text = std::string(text_.substr(start, pos_ - start));
    const char* first = t.text.data();
    const char* last = first + t.text.size();
    if (!isFloat) {
      t.kind = Tok::Integer;
      const auto r = std::from_chars(first, last, t.integer);
      t.integerFits = r.ec == std::errc();
      if (t.integerFits) return t;
    }
    // Too large for 64 bits, or written as a float.
    t.kind = Tok::Float;
    const auto r = std::from_chars(first, last, t.number);
    if (r.ec == std::errc::result_out_of_range || !std::isfinite(t.number)) {
      Fail("Syntax error at position " + std::to_string(t.pos) + ": the number " + t.text + " is out of range");
    }
    return t;
  }

  Token Quoted(Token& t) {
    ++pos_;
    for (;;) {
      const size_t quote = text_.find('\'', pos_);
      if (quote == std::string_view::npos) {
        Fail("Syntax error at position " + std::to_string(t.pos) + ": the text has no closing quote");
      }
      t.text.append(text_.substr(pos_, quote - pos_));
      pos_ = quote + 1;
      if (pos_ < text_.size() && text_[pos_] == '\'') {
        t.text.push_back('\'');
        ++pos_;
        continue;
      }
      t.kind = Tok::Text;
      return t;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Nodes before they are written

struct Node {
  uint32_t cls = 0;  // 0: the NULL keyword, which only = and <> take
  uint32_t op = 0;
  std::vector<int> kids;  // operands; IN: the value, then the list; functions: arguments
  int16_t fieldNo = -1;
  std::string name;      // field and function names
  uint16_t type = 0;     // constants
  std::string value;     // constants: the encoded value
  bool caseInsensitive = false;
  uint16_t partial = 0;
  bool textual = false;  // a text constant, text field or text function
  size_t pos = 0;
  int depth = 1;
};

struct FunctionInfo {
  const char* name;
  int minArgs, maxArgs;
  bool textual;
};

constexpr FunctionInfo kFunctions[] = {
    {"UPPER", 1, 1, true},     {"LOWER", 1, 1, true},      {"SUBSTRING", 2, 3, true},
    {"TRIM", 1, 2, true},      {"TRIMLEFT", 1, 2, true},   {"TRIMRIGHT", 1, 2, true},
    {"YEAR", 1, 1, false},     {"MONTH", 1, 1, false},     {"DAY", 1, 1, false},
    {"HOUR", 1, 1, false},     {"MINUTE", 1, 1, false},    {"SECOND", 1, 1, false},
    {"GETDATE", 0, 0, false},  {"DATE", 1, 1, false},      {"TIME", 1, 1, false},
};

bool IsTextFieldType(TFieldType t) {
  return t == ftString || t == ftFixedChar || t == ftWideString || t == ftGuid || t == ftMemo ||
         t == ftFmtMemo;
}

std::string EncodeI32(int32_t v) {
  std::string s;
  ByteWriter(s).PutI32(v);
  return s;
}

class Parser {
 public:
  Parser(const TDataSet* dataSet, std::string_view text, TFilterOptions filterOptions)
      : dataSet_(dataSet), lexer_(text), filterOptions_(filterOptions) {
    Advance();
  }

  int ParseAll() {
    const int root = ParseOr();
    if (tok_.kind != Tok::End) Expected("an operator or the end of the text");
    CheckValue(root);
    return root;
  }

  int DefaultAssignment(int value, std::string_view target) {
    const int field = FieldNode(target, 1);
    return Make(ncBinary, coAssign, {value, field}, nodes_[static_cast<size_t>(value)].pos);
  }

  std::string Write(int root) {
    WriteNode(root);
    const size_t total = kRdaExprHeaderSize + pool_.size() + literals_.size();
    if (total > kRdaExprMaxSize) TooLarge(total);
    std::string out;
    ByteWriter w(out);
    w.PutU16(kRdaExprVersion);
    w.PutU16(static_cast<uint16_t>(total));
    w.PutU16(static_cast<uint16_t>(written_));
    w.PutU16(static_cast<uint16_t>(kRdaExprHeaderSize));
    w.PutU16(static_cast<uint16_t>(kRdaExprHeaderSize + pool_.size()));
    out += pool_;
    out += literals_;
    return out;
  }

 private:
  // ---- Tokens ----
  void Advance() { tok_ = lexer_.Next(); }
  bool IsOp(const char* op) const { return tok_.kind == Tok::Op && tok_.text == op; }
  bool IsWord(const char* word) const { return tok_.kind == Tok::Name && SameTextAscii(tok_.text, word); }
  [[noreturn]] void Expected(const std::string& what) const {
    Fail("Syntax error at position " + std::to_string(tok_.pos) + ": expected " + what + " but found " +
         Describe(tok_));
  }
  void ExpectOp(const char* op) {
    if (!IsOp(op)) Expected(std::string("'") + op + "'");
    Advance();
  }

  // ---- Nesting ----
  struct Nest {
    explicit Nest(Parser& p) : parser(p) {
      if (++parser.nesting_ > kRdaExprMaxDepth) parser.TooDeep(parser.tok_.pos);
    }
    ~Nest() { --parser.nesting_; }
    Parser& parser;
  };
  [[noreturn]] void TooDeep(size_t pos) const {
    Fail("Expression nested too deeply at position " + std::to_string(pos) + " (more than " +
         std::to_string(kRdaExprMaxDepth) + " levels)");
  }
  [[noreturn]] static void TooLarge(size_t bytes) {
    Fail("Expression too large: its tree takes " + std::to_string(bytes) + " bytes, at most " +
         std::to_string(kRdaExprMaxSize));
  }

  // ---- Nodes ----
  Node& At(int i) { return nodes_[static_cast<size_t>(i)]; }

  // NULL stands only beside = and <>.
  void CheckValue(int i) {
    if (At(i).cls == 0) {
      Fail("Syntax error at position " + std::to_string(At(i).pos) +
           ": NULL can only be compared with = or <>, or tested with IS NULL");
    }
  }

  int Make(uint32_t cls, uint32_t op, std::vector<int> kids, size_t pos) {
    Node n;
    n.cls = cls;
    n.op = op;
    n.pos = pos;
    for (int k : kids) {
      CheckValue(k);
      n.depth = std::max(n.depth, At(k).depth + 1);
    }
    if (n.depth > kRdaExprMaxDepth) TooDeep(pos);
    n.kids = std::move(kids);
    nodes_.push_back(std::move(n));
    return static_cast<int>(nodes_.size() - 1);
  }

  int Constant(uint16_t type, std::string value, size_t pos) {
    const int i = Make(ncConst, coConst, {}, pos);
    At(i).type = type;
    At(i).value = std::move(value);
    At(i).textual = type == ftString;
    return i;
  }

  int TextConstant(std::string_view text, size_t pos) {
    std::string v(text);
    v.push_back('\0');
    return Constant(ftString, std::move(v), pos);
  }

  int FieldNode(std::string_view name, size_t pos) {
    const int i = Make(ncField, coField, {}, pos);
    At(i).name = std::string(name);
    if (dataSet_) {
      TField* f = dataSet_->FindField(name);
      if (!f) dataSet_->FieldByName(name);  // raises the dataset's "not found"
      At(i).name = f->FieldName();
      if (f->FieldKind() == fkData && f->FieldNo() > 0 && f->FieldNo() <= INT16_MAX) {
        At(i).fieldNo = static_cast<int16_t>(f->FieldNo());
      }
      At(i).textual = IsTextFieldType(f->DataType());
    }
    return i;
  }

  // A chain of one operator, balanced, its operands in order.
  int Balanced(uint32_t op, const std::vector<int>& terms, size_t lo, size_t hi) {
    if (hi - lo == 1) return terms[lo];
    const size_t mid = lo + (hi - lo + 1) / 2;
    const int left = Balanced(op, terms, lo, mid);
    const int right = Balanced(op, terms, mid, hi);
    return Make(ncBinary, op, {left, right}, At(left).pos);
  }

  // ---- Grammar ----
  int ParseOr() {
    Nest nest(*this);
    std::vector<int> terms{ParseAnd()};
    while (IsWord("OR")) {
      Advance();
      terms.push_back(ParseAnd());
    }
    return Balanced(coOr, terms, 0, terms.size());
  }

  int ParseAnd() {
    std::vector<int> terms{ParseNot()};
    while (IsWord("AND")) {
      Advance();
      terms.push_back(ParseNot());
    }
    return Balanced(coAnd, terms, 0, terms.size());
  }

  int ParseNot() {
    if (IsWord("NOT")) {
      Nest nest(*this);
      const size_t pos = tok_.pos;
      Advance();
      return Make(ncUnary, coNot, {ParseNot()}, pos);
    }
    return ParseComparison();
  }

  int ParseComparison() {
    const int left = ParseSum();
    const size_t pos = tok_.pos;
    static const std::pair<const char*, uint32_t> kOps[] = {
        {"=", coEQ}, {"<>", coNE}, {"!=", coNE}, {"<", coLT}, {"<=", coLE}, {">", coGT}, {">=", coGE}};
    for (const auto& [text, op] : kOps) {
      if (IsOp(text)) {
        Advance();
        return Comparison(op, left, ParseSum(), pos);
      }
    }
    bool negate = false;
    if (IsWord("NOT")) {
      Advance();
      negate = true;
      if (!IsWord("LIKE") && !IsWord("IN")) Expected("LIKE or IN after NOT");
    }
    int result = -1;
    if (IsWord("LIKE")) {
      Advance();
      const int pattern = ParseSum();
      result = Compared(coLike, left, pattern, pos, 0);
    } else if (IsWord("IN")) {
      Advance();
      result = InList(left, pos);
    } else if (IsWord("IS")) {
      Advance();
      bool isNot = false;
      if (IsWord("NOT")) {
        Advance();
        isNot = true;
      }
      if (!IsWord("NULL")) Expected("NULL");
      Advance();
      return Make(ncUnary, isNot ? coNotBlank : coIsBlank, {left}, pos);
    } else {
      return left;
    }
    return negate ? Make(ncUnary, coNot, {result}, pos) : result;
  }

  int Comparison(uint32_t op, int left, int right, size_t pos) {
    const bool leftNull = At(left).cls == 0;
    const bool rightNull = At(right).cls == 0;
    if ((op == coEQ || op == coNE) && (leftNull != rightNull)) {
      return Make(ncUnary, op == coEQ ? coIsBlank : coNotBlank, {leftNull ? right : left}, pos);
    }
    if (op != coEQ && op != coNE) return Make(ncBinary, op, {left, right}, pos);
    // A text constant ending in * compares only what comes before it.
    uint16_t partial = 0;
    if (!filterOptions_.Contains(foNoPartialCompare)) {
      for (int side : {right, left}) {
        Node& n = At(side);
        if (n.cls == ncConst && n.type == ftString && n.value.size() > 2 &&
            n.value[n.value.size() - 2] == '*' && n.value.find('\0') == n.value.size() - 1) {
          n.value.erase(n.value.size() - 2, 1);
          partial = static_cast<uint16_t>(std::min<size_t>(n.value.size() - 1, UINT16_MAX));
          break;
        }
      }
    }
    return Compared(op, left, right, pos, partial);
  }

  // = <> LIKE: a compare node when case is ignored or a prefix is compared.
  int Compared(uint32_t op, int left, int right, size_t pos, uint16_t partial) {
    const bool ci = filterOptions_.Contains(foCaseInsensitive) && (At(left).textual || At(right).textual);
    if (!ci && partial == 0) return Make(ncBinary, op, {left, right}, pos);
    const int i = Make(ncCompare, op, {left, right}, pos);
    At(i).caseInsensitive = ci;
    At(i).partial = partial;
    return i;
  }

  int InList(int value, size_t pos) {
    ExpectOp("(");
    std::vector<int> kids{value};
    for (;;) {
      kids.push_back(ParseOr());
      if (IsOp(",")) {
        Advance();
        continue;
      }
      ExpectOp(")");
      break;
    }
    return Make(ncBinary, coIn, std::move(kids), pos);
  }

  int ParseSum() {
    int left = ParseProduct();
    for (;;) {
      const size_t pos = tok_.pos;
      uint32_t op;
      if (IsOp("+")) {
        op = coAdd;
      } else if (IsOp("-")) {
        op = coSub;
      } else {
        return left;
      }
      Advance();
      left = Make(ncBinary, op, {left, ParseProduct()}, pos);
    }
  }

  int ParseProduct() {
    int left = ParseUnary();
    for (;;) {
      const size_t pos = tok_.pos;
      uint32_t op;
      if (IsOp("*")) {
        op = coMul;
      } else if (IsOp("/")) {
        op = coDiv;
      } else if (IsWord("DIV")) {
        op = coIntDiv;
      } else if (IsWord("MOD")) {
        op = coMod;
      } else {
        return left;
      }
      Advance();
      left = Make(ncBinary, op, {left, ParseUnary()}, pos);
    }
  }

  int ParseUnary() {
    if (IsOp("-") || IsOp("+")) {
      Nest nest(*this);
      const bool minus = tok_.text == "-";
      const size_t pos = tok_.pos;
      Advance();
      if (minus && (tok_.kind == Tok::Integer || tok_.kind == Tok::Float)) return NumberConstant(true, pos);
      const int operand = ParseUnary();
      return minus ? Make(ncUnary, coMinus, {operand}, pos) : operand;
    }
    return ParsePrimary();
  }

  int NumberConstant(bool negative, size_t pos) {
    const Token t = tok_;
    Advance();
    if (t.kind == Tok::Integer) {
      const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
      if (t.integer <= limit) {
        const int64_t v = negative ? static_cast<int64_t>(0 - t.integer) : static_cast<int64_t>(t.integer);
        if (v >= INT32_MIN && v <= INT32_MAX) return Constant(ftInteger, EncodeI32(static_cast<int32_t>(v)), pos);
        std::string s;
        ByteWriter(s).PutI64(v);
        return Constant(ftLargeint, std::move(s), pos);
      }
    }
    double d = t.kind == Tok::Float ? t.number : std::strtod(t.text.c_str(), nullptr);
    if (negative) d = -d;
    std::string s;
    ByteWriter(s).PutDouble(d);
    return Constant(ftFloat, std::move(s), pos);
  }

  int ParsePrimary() {
    const size_t pos = tok_.pos;
    switch (tok_.kind) {
      case Tok::Integer:
      case Tok::Float:
        return NumberConstant(false, pos);
      case Tok::Text: {
        const int i = TextConstant(tok_.text, pos);
        Advance();
        return i;
      }
      case Tok::Bracket: {
        const std::string name = tok_.text;
        Advance();
        return FieldNode(name, pos);
      }
      case Tok::Op:
        if (IsOp("(")) {
          Advance();
          const int inner = ParseOr();
          ExpectOp(")");
          return inner;
        }
        break;
      case Tok::Name:
        return NamePrimary(pos);
      case Tok::End:
        break;
    }
    Expected("an operand");
  }

  int NamePrimary(size_t pos) {
    const std::string name = tok_.text;
    Advance();
    if (IsOp("(")) return FunctionCall(name, pos);
    if (SameTextAscii(name, "NULL")) {
      Node n;
      n.pos = pos;
      nodes_.push_back(n);
      return static_cast<int>(nodes_.size() - 1);
    }
    if (SameTextAscii(name, "TRUE") || SameTextAscii(name, "FALSE")) {
      return Constant(ftBoolean, std::string(1, SameTextAscii(name, "TRUE") ? '\1' : '\0'), pos);
    }
    if (tok_.kind == Tok::Text) {
      if (SameTextAscii(name, "DATE")) return DateLiteral(ftDate, pos);
      if (SameTextAscii(name, "TIME")) return DateLiteral(ftTime, pos);
      if (SameTextAscii(name, "TIMESTAMP")) return DateLiteral(ftDateTime, pos);
    }
    static constexpr const char* kReserved[] = {"AND", "OR", "NOT", "LIKE", "IN", "IS", "DIV", "MOD"};
    for (const char* word : kReserved) {
      if (SameTextAscii(name, word)) {
        Fail("Syntax error at position " + std::to_string(pos) + ": expected an operand but found '" + name +
             "' (a field of that name is written [" + name + "])");
      }
    }
    return FieldNode(name, pos);
  }

  int FunctionCall(const std::string& written, size_t pos) {
    const std::string name = UpperAscii(written);
    Advance();  // (
    std::vector<int> args;
    if (!IsOp(")")) {
      for (;;) {
        args.push_back(ParseOr());
        if (!IsOp(",")) break;
        Advance();
      }
    }
    ExpectOp(")");
    const auto count = [&](int min, int max) {
      const int n = static_cast<int>(args.size());
      if (n >= min && n <= max) return;
      const std::string want = min == max ? std::to_string(min) : std::to_string(min) + " or " + std::to_string(max);
      Fail("Syntax error at position " + std::to_string(pos) + ": " + name + " takes " + want +
           (max == 1 ? " argument" : " arguments") + ", not " + std::to_string(n));
    };
    if (name == "MIN" || name == "MAX") {
      count(2, 2);
      return Make(ncBinary, name == "MIN" ? coMin : coMax, args, pos);
    }
    for (const FunctionInfo& f : kFunctions) {
      if (name != f.name) continue;
      count(f.minArgs, f.maxArgs);
      const int i = Make(ncFunc, coFunc, std::move(args), pos);
      At(i).name = name;
      At(i).textual = f.textual;
      return i;
    }
    Fail("Syntax error at position " + std::to_string(pos) + ": unknown function " + written);
  }

  // DATE 'yyyy-mm-dd', TIME 'hh:nn[:ss[.zzz]]', TIMESTAMP 'yyyy-mm-dd hh:nn[:ss[.zzz]]'.
  int DateLiteral(TFieldType type, size_t pos) {
    const std::string text = tok_.text;
    Advance();
    const char* what = type == ftDate ? "date" : (type == ftTime ? "time" : "time stamp");
    const auto bad = [&]() -> int {
      Fail("Syntax error at position " + std::to_string(pos) + ": '" + text + "' is no " + what +
           (type == ftDate ? " (yyyy-mm-dd)" : (type == ftTime ? " (hh:nn[:ss[.zzz]])" : " (yyyy-mm-dd hh:nn[:ss[.zzz]])")));
    };
    size_t p = 0;
    const auto num = [&](size_t digits, int& out) {
      if (p + digits > text.size()) return false;
      int v = 0;
      for (size_t i = 0; i < digits; ++i) {
        if (!Digit(text[p + i])) return false;
        v = v * 10 + (text[p + i] - '0');
      }
      p += digits;
      out = v;
      return true;
    };
    const auto lit = [&](char c) {
      if (p >= text.size() || text[p] != c) return false;
      ++p;
      return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
    if (type != ftTime) {
      if (!num(4, year) || !lit('-') || !num(2, month) || !lit('-') || !num(2, day)) return bad();
      if (type == ftDateTime && !lit(' ')) return bad();
    }
    if (type != ftDate) {
      if (!num(2, hour) || !lit(':') || !num(2, minute)) return bad();
      if (lit(':')) {
        if (!num(2, second)) return bad();
        if (lit('.') && !num(3, msec)) return bad();
      }
    }
    if (p != text.size()) return bad();
    std::string value;
    ByteWriter w(value);
    int32_t days = 0;
    if (type != ftTime) {
      const std::optional<TDateTime> date = TryEncodeDate(year, month, day);
      if (!date) return bad();
      days = static_cast<int32_t>(*date) + kRdaExprDateDelta;
    }
    int64_t ms = 0;
    if (type != ftDate) {
      if (!TryEncodeTime(hour, minute, second, msec)) return bad();
      ms = ((int64_t{hour} * 60 + minute) * 60 + second) * 1000 + msec;
    }
    if (type == ftDate) w.PutI32(days);
    if (type == ftTime) w.PutU32(static_cast<uint32_t>(ms));
    if (type == ftDateTime) w.PutDouble(static_cast<double>(days) * kMSecsPerDay + static_cast<double>(ms));
    return Constant(static_cast<uint16_t>(type), std::move(value), pos);
  }

  // ---- Writing the tree ----
  void Check(size_t more) const {
    if (pool_.size() + more + kRdaExprHeaderSize > kRdaExprMaxSize) {
      TooLarge(pool_.size() + more + kRdaExprHeaderSize + literals_.size());
    }
  }

  uint16_t NewNode(uint32_t cls, uint32_t op) {
    const size_t size = RdaExprNodeSize(cls);
    Check(size);
    const size_t at = pool_.size();
    pool_.append(size, '\0');
    StoreU32LE(pool_.data() + at, cls);
    StoreU32LE(pool_.data() + at + 4, op);
    ++written_;
    return static_cast<uint16_t>(at);
  }

  void SetField(uint16_t node, int i, uint16_t value) {
    StoreU16LE(pool_.data() + node + kRdaExprNodeHeader + 2 * i, value);
  }

  // Equal literals are written once.
  uint16_t Literal(const std::string& bytes) {
    const auto it = literalAt_.find(bytes);
    if (it != literalAt_.end()) return it->second;
    if (literals_.size() + bytes.size() + pool_.size() + kRdaExprHeaderSize > kRdaExprMaxSize) {
      TooLarge(literals_.size() + bytes.size() + pool_.size() + kRdaExprHeaderSize);
    }
    const uint16_t at = static_cast<uint16_t>(literals_.size());
    literals_ += bytes;
    literalAt_.emplace(bytes, at);
    return at;
  }

  uint16_t WriteNode(int i) {
    const Node n = At(i);  // a copy: the node list does not change while writing
    const uint16_t at = NewNode(n.cls, n.op);
    switch (n.cls) {
      case ncUnary:
        SetField(at, 0, WriteNode(n.kids[0]));
        break;
      case ncBinary:
        SetField(at, 0, WriteNode(n.kids[0]));
        if (n.op == coIn) {
          SetField(at, 1, WriteList(n.kids, 1));
        } else {
          SetField(at, 1, WriteNode(n.kids[1]));
        }
        break;
      case ncCompare:
        SetField(at, 0, n.caseInsensitive ? 1 : 0);
        SetField(at, 1, n.partial);
        SetField(at, 2, WriteNode(n.kids[0]));
        SetField(at, 3, WriteNode(n.kids[1]));
        break;
      case ncField:
        SetField(at, 0, static_cast<uint16_t>(n.fieldNo));
        SetField(at, 1, Literal(n.name + '\0'));
        break;
      case ncConst:
        SetField(at, 0, n.type);
        SetField(at, 1, static_cast<uint16_t>(std::min<size_t>(n.value.size(), UINT16_MAX)));
        SetField(at, 2, Literal(n.value));
        break;
      case ncFunc:
        SetField(at, 0, Literal(n.name + '\0'));
        SetField(at, 1, n.kids.empty() ? 0 : WriteList(n.kids, 0));
        break;
      default:
        break;
    }
    return at;
  }

  // List elements for kids[from..]; the offset of the first.
  uint16_t WriteList(const std::vector<int>& kids, size_t from) {
    uint16_t first = 0;
    uint16_t previous = 0;
    for (size_t k = from; k < kids.size(); ++k) {
      const uint16_t element = NewNode(ncListElem, coListElem);
      if (k == from) {
        first = element;
      } else {
        SetField(previous, 1, element);
      }
      SetField(element, 0, WriteNode(kids[k]));
      previous = element;
    }
    return first;
  }

  const TDataSet* dataSet_;
  Lexer lexer_;
  TFilterOptions filterOptions_;
  Token tok_;
  int nesting_ = 0;
  std::vector<Node> nodes_;
  std::string pool_;
  std::string literals_;
  std::map<std::string, uint16_t> literalAt_;
  size_t written_ = 0;
};

}  // namespace

std::string RdaParseExpression(const TDataSet* dataSet, std::string_view text,
                               TFilterOptions filterOptions, TRdaParserOptions parserOptions,
                               std::string_view targetField) {
  Parser parser(dataSet, text, filterOptions);
  int root = parser.ParseAll();
  if (parserOptions.Contains(poDefaultExpression)) root = parser.DefaultAssignment(root, targetField);
  return parser.Write(root);
}

}  // namespace rda
