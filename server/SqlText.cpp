#include "server/SqlText.h"

#include <algorithm>

namespace rda {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool IsWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool IsWordChar(char c) { return IsWordStart(c) || (c >= '0' && c <= '9'); }

// What the scanner found, reported to the caller in text order.
struct ScanEvents {
  virtual ~ScanEvents() = default;
  // A ';' outside any literal or comment, at `at`.
  virtual void Semicolon(size_t) {}
  // A parameter sign at `at`, its name (without the sign) ending at `end`.
  virtual void Parameter(size_t, size_t, std::string_view) {}
  // Something other than blanks and comments at `at`.
  virtual void Content(size_t) {}
};

// Walks sql once; true when it ends with nothing left open.
bool Scan(std::string_view s, ScanEvents& events) {
  const size_t n = s.size();
  size_t i = 0;
  // The end of a quoted run opened at i (the quote char q), doubled q inside;
  // backslashes escape when `backslash`. npos when it is left open.
  auto quoted = [&](size_t at, char q, bool backslash) -> size_t {
    for (size_t k = at + 1; k < n; ++k) {
      if (backslash && s[k] == '\\') {
        ++k;
      } else if (s[k] == q) {
        if (k + 1 < n && s[k + 1] == q) {
          ++k;
        } else {
          return k + 1;
        }
      }
    }
    return std::string_view::npos;
  };
  while (i < n) {
    const char c = s[i];
    if (IsBlank(c)) {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      const size_t nl = s.find('\n', i);
      i = nl == std::string_view::npos ? n : nl + 1;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      int depth = 1;
      i += 2;
      while (i < n && depth > 0) {
        if (s[i] == '/' && i + 1 < n && s[i + 1] == '*') {
          ++depth;
          i += 2;
        } else if (s[i] == '*' && i + 1 < n && s[i + 1] == '/') {
          --depth;
          i += 2;
        } else {
          ++i;
        }
      }
      if (depth > 0) return false;
      continue;
    }
    if (c == ';') {
      events.Semicolon(i);
      ++i;
      continue;
    }
    events.Content(i);
    if (c == '\'' || c == '"') {
      i = quoted(i, c, false);
      if (i == std::string_view::npos) return false;
      continue;
    }
    if (IsWordStart(c)) {
      size_t end = i;
      while (end < n && (IsWordChar(s[end]) || s[end] == '$')) ++end;
      // E'...' (any case): a literal with backslash escapes.
      if (end == i + 1 && (c == 'e' || c == 'E') && end < n && s[end] == '\'') {
        i = quoted(end, '\'', true);
        if (i == std::string_view::npos) return false;
        continue;
      }
      i = end;
      continue;
    }
    if (c >= '0' && c <= '9') {
      while (i < n && (IsWordChar(s[i]) || s[i] == '.')) ++i;
      continue;
    }
    if (c == '$') {
      size_t end = i + 1;
      // A tag starts with a letter; "$1" is a parameter.
      if (end < n && IsWordStart(s[end])) {
        while (end < n && IsWordChar(s[end])) ++end;
      }
      if (end < n && s[end] == '$') {
        const std::string_view tag = s.substr(i, end + 1 - i);
        const size_t close = s.find(tag, end + 1);
        if (close == std::string_view::npos) return false;
        i = close + tag.size();
        continue;
      }
      while (end < n && IsWordChar(s[end])) ++end;
      if (end > i + 1) {
        events.Parameter(i, end, s.substr(i + 1, end - i - 1));
        i = end;
        continue;
      }
      ++i;
      continue;
    }
    if (c == ':') {
      if (i + 1 < n && (s[i + 1] == ':' || s[i + 1] == '=')) {
        i += 2;
        continue;
      }
      size_t end = i + 1;
      while (end < n && IsWordChar(s[end])) ++end;
      if (end > i + 1) events.Parameter(i, end, s.substr(i + 1, end - i - 1));
      i = std::max(end, i + 1);
      continue;
    }
    if (c == '@') {
      // "<@" and "@>" are operators; "@name" right after an operator sign
      // would be one too.
      const bool afterOperator = i > 0 && std::string_view("<>@!#&|~^").find(s[i - 1]) != std::string_view::npos;
      size_t end = i + 1;
      if (!afterOperator && end < n && IsWordStart(s[end])) {
        while (end < n && IsWordChar(s[end])) ++end;
        events.Parameter(i, end, s.substr(i + 1, end - i - 1));
        i = end;
        continue;
      }
      ++i;
      continue;
    }
    ++i;
  }
  return true;
}

std::string_view Trimmed(std::string_view s) {
  size_t a = 0;
  size_t b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

}  // namespace

std::vector<std::string_view> SplitSqlStatements(std::string_view sql) {
  struct Splitter : ScanEvents {
    std::string_view text;
    std::vector<std::string_view> out;
    size_t start = 0;
    bool content = false;
    void Semicolon(size_t at) override {
      if (content) out.push_back(Trimmed(text.substr(start, at - start)));
      start = at + 1;
      content = false;
    }
    void Content(size_t) override { content = true; }
  } splitter;
  splitter.text = sql;
  Scan(sql, splitter);
  // An open literal or comment runs to the end; the engine reports it.
  if (splitter.content) splitter.out.push_back(Trimmed(sql.substr(splitter.start)));
  return splitter.out;
}

bool SqlTextComplete(std::string_view sql) {
  ScanEvents none;
  return Scan(sql, none);
}

NumberedSql NumberSqlParameters(std::string_view statement) {
  struct Numberer : ScanEvents {
    std::string_view text;
    NumberedSql result;
    size_t copied = 0;
    void Parameter(size_t at, size_t end, std::string_view name) override {
      auto it = std::find(result.names.begin(), result.names.end(), name);
      if (it == result.names.end()) it = result.names.insert(result.names.end(), std::string(name));
      result.sql.append(text.substr(copied, at - copied));
      result.sql += '$';
      result.sql += std::to_string(it - result.names.begin() + 1);
      copied = end;
    }
  } numberer;
  numberer.text = statement;
  Scan(statement, numberer);
  numberer.result.sql.append(statement.substr(numberer.copied));
  return std::move(numberer.result);
}

}  // namespace rda
