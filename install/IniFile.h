// TIniFile: the settings files of the install utility and of the client it installs.
//
// The Windows client reads these files with the platform's profile functions, so we
// write what those read: "[Section]" lines and plain "key=value" lines. Sections and
// keys keep the order in which they stand in the file (or were first written), and
// every line we do not understand (comments, blank lines, stray text) is kept where it
// was. Section and key names compare without regard to ASCII case, as on Windows.
//
// Reading:
//   [ Section ]        section header; blanks around the name are ignored
//   key = value        blanks around key and value are ignored; the first "=" splits
//   ; or # ...         comments; kept, never read as keys
//   CR LF or LF        line ends; a file's own line end is kept when it is written
//   anything else      kept as it stands, not read
// A key that appears twice in a section reads as its first occurrence, as on Windows.
//
// Bad input: a file larger than kMaxFileSize raises rda::Exception
// "Settings file <path> is larger than 1048576 bytes" and nothing is read; a file that
// cannot be read raises EFOpenError. A value, key or section holding a line break or
// a NUL byte cannot be written (it would become a line of its own) and raises
// rda::Exception "Invalid settings value for <key>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rda {

class TIniFile {
 public:
  static constexpr size_t kMaxFileSize = 1u << 20;

  // Reads `path` when it exists; a missing file is an empty one. Nothing is written
  // until UpdateFile.
  explicit TIniFile(std::string path);
  // An in-memory file read from `text` (no path; UpdateFile raises).
  static TIniFile FromText(std::string_view text);

  const std::string& FileName() const { return path_; }

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // Decimal with an optional sign, or hexadecimal after "$" or "0x"; anything else
  // (or a value outside 32 bits) gives def.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;

  // Replaces the key's first occurrence in place, or adds it after the last key of
  // the section; a new section goes to the end of the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int64_t value);

  // The file as it would be written.
  std::string Text() const;
  // Writes the file: to a temporary file beside it, then renamed over it, so that a
  // failed write never leaves half a settings file. Raises EFCreateError when the
  // file cannot be written.
  void UpdateFile() const;

 private:
  TIniFile() = default;
  struct Line {
    enum Kind : uint8_t { kOther, kSection, kKey } kind = kOther;
    std::string raw;    // the line as read, for kOther (and kept for untouched lines)
    std::string name;   // section name or key
    std::string value;  // key value
  };
  void Parse(std::string_view text);
  // Index of the section's header line, or -1.
  long FindSection(std::string_view section) const;
  // Index of the key's line inside the section starting at `header`, or -1.
  long FindKey(long header, std::string_view key) const;
  const Line* FindValue(std::string_view section, std::string_view key) const;

  std::string path_;
  std::vector<Line> lines_;
  std::string lineEnd_ = "\r\n";
};

}  // namespace rda
