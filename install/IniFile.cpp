#include "install/IniFile.h"

#include <limits>

#include "base/Exception.h"
#include "install/FileUtil.h"
#include "install/TextUtil.h"

namespace rda {

namespace {

void CheckWritable(std::string_view text, std::string_view key) {
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') {
      throw Exception("Invalid settings value for " + std::string(key));
    }
  }
}

std::optional<int64_t> ParseInteger(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty() || s.size() > 20) return std::nullopt;
  int64_t value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > (int64_t{1} << 33)) return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {
  if (auto text = ReadFileBounded(path_, kMaxFileSize, "Settings file")) Parse(*text);
}

TIniFile TIniFile::FromText(std::string_view text) {
  TIniFile ini;
  if (text.size() > kMaxFileSize) {
    throw Exception("Settings file is larger than " + std::to_string(kMaxFileSize) + " bytes");
  }
  ini.Parse(text);
  return ini;
}

void TIniFile::Parse(std::string_view text) {
  bool sawLineEnd = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const bool crlf = !raw.empty() && raw.back() == '\r';
    if (end != std::string_view::npos && !sawLineEnd) {
      lineEnd_ = crlf ? "\r\n" : "\n";
      sawLineEnd = true;
    }
    // Every CR at a line's end goes: a stray one would otherwise turn into the line
    // end of the next reading.
    while (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    Line line;
    line.raw = std::string(raw);
    const std::string_view t = TrimBlanks(raw);
    if (!t.empty() && t.front() == '[' && t.back() == ']' && t.size() >= 2) {
      line.kind = Line::kSection;
      line.name = std::string(TrimBlanks(t.substr(1, t.size() - 2)));
    } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
      const size_t eq = t.find('=');
      if (eq != std::string_view::npos && eq > 0) {
        line.kind = Line::kKey;
        line.name = std::string(TrimBlanks(t.substr(0, eq)));
        line.value = std::string(TrimBlanks(t.substr(eq + 1)));
      }
    }
    lines_.push_back(std::move(line));
  }
}

long TIniFile::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Line::kSection && SameTextAscii(lines_[i].name, section)) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

long TIniFile::FindKey(long header, std::string_view key) const {
  for (size_t i = static_cast<size_t>(header) + 1; i < lines_.size(); ++i) {
    if (lines_[i].kind == Line::kSection) break;
    if (lines_[i].kind == Line::kKey && SameTextAscii(lines_[i].name, key)) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

const TIniFile::Line* TIniFile::FindValue(std::string_view section, std::string_view key) const {
  // Windows reads the first section of a name; so do we.
  const long header = FindSection(section);
  if (header < 0) return nullptr;
  const long at = FindKey(header, key);
  return at < 0 ? nullptr : &lines_[static_cast<size_t>(at)];
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
  const Line* line = FindValue(section, key);
  return line ? line->value : std::string(def);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                              int32_t def) const {
  const Line* line = FindValue(section, key);
  if (line == nullptr) return def;
  const auto value = ParseInteger(line->value);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max()) {
    return def;
  }
  return static_cast<int32_t>(*value);
}

bool TIniFile::SectionExists(std::string_view section) const { return FindSection(section) >= 0; }

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return FindValue(section, key) != nullptr;
}

void TIniFile::WriteString(std::string_view section, std::string_view key,
                           std::string_view value) {
  CheckWritable(section, section);
  CheckWritable(key, key);
  CheckWritable(value, key);
  long header = FindSection(section);
  if (header < 0) {
    // A new section at the end, after a blank line when the file has text.
    if (!lines_.empty() && !(lines_.back().kind == Line::kOther && TrimBlanks(lines_.back().raw).empty())) {
      lines_.push_back(Line{});
    }
    Line head;
    head.kind = Line::kSection;
    head.name = std::string(section);
    head.raw = "[" + head.name + "]";
    lines_.push_back(std::move(head));
    header = static_cast<long>(lines_.size()) - 1;
  }
  const long at = FindKey(header, key);
  if (at >= 0) {
    Line& line = lines_[static_cast<size_t>(at)];
    line.value = std::string(value);
    line.raw.clear();  // rewritten from name and value
    return;
  }
  // After the section's last key (or its header), so that blank lines and comments
  // that separate it from the next section stay below it.
  size_t insertAt = static_cast<size_t>(header) + 1;
  for (size_t i = insertAt; i < lines_.size() && lines_[i].kind != Line::kSection; ++i) {
    if (lines_[i].kind == Line::kKey) insertAt = i + 1;
  }
  Line line;
  line.kind = Line::kKey;
  line.name = std::string(key);
  line.value = std::string(value);
  lines_.insert(lines_.begin() + static_cast<long>(insertAt), std::move(line));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int64_t value) {
  WriteString(section, key, std::to_string(value));
}

std::string TIniFile::Text() const {
  std::string out;
  for (const Line& line : lines_) {
    if (line.kind == Line::kKey && line.raw.empty()) {
      out += line.name + "=" + line.value;
    } else {
      out += line.raw;
    }
    out += lineEnd_;
  }
  return out;
}

void TIniFile::UpdateFile() const {
  if (path_.empty()) throw EFCreateError("Cannot create file \"\". No file name");
  WriteFileReplacing(path_, Text());
}

}  // namespace rda
