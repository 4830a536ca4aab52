#include "server/ClientUpdates.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/Exception.h"
#include "messaging/RdaParamList.h"
#include "messaging/RdaStringLine.h"
#include "messaging/RdaWire.h"

namespace rda {

namespace {

namespace fs = std::filesystem;

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Numbers of any length: without leading zeros, the longer is the larger.
int CompareNumbers(std::string_view a, std::string_view b) {
  const auto strip = [](std::string_view s) {
    while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
    return s;
  };
  a = strip(a);
  b = strip(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int c = a.compare(b);
  return (c > 0) - (c < 0);
}

int CompareParts(std::string_view x, std::string_view y) {
  if (AllDigits(x) && AllDigits(y)) return CompareNumbers(x, y);
  const int c = x.compare(y);
  return (c > 0) - (c < 0);
}

std::string_view PartAt(std::string_view version, size_t& pos) {
  if (pos > version.size()) return "0";
  const size_t dot = std::min(version.find('.', pos), version.size());
  std::string_view part = version.substr(pos, dot - pos);
  pos = dot + 1;
  return part.empty() ? std::string_view("0") : part;
}

}  // namespace

int CompareVersions(std::string_view a, std::string_view b) {
  size_t pa = 0;
  size_t pb = 0;
  while (pa <= a.size() || pb <= b.size()) {
    const std::string_view x = PartAt(a, pa);
    const std::string_view y = PartAt(b, pb);
    const int c = CompareParts(x, y);
    if (c != 0) return c;
  }
  return 0;
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name.front() != '.' && name.find_first_of("/\\") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::optional<TPublishedProgram> UpdateFor(const std::string& dir, const std::string& application,
                                           const std::string& version) {
  if (dir.empty() || !IsPlainFileName(application)) return std::nullopt;
  std::error_code ec;
  const fs::path folder = fs::path(dir) / application;
  if (!fs::is_directory(folder, ec)) return std::nullopt;
  std::optional<TPublishedProgram> newest;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsPlainFileName(name) || !it->is_regular_file(ec)) continue;
    if (!newest || CompareVersions(name, newest->version) > 0) newest = TPublishedProgram{name, it->path().string()};
  }
  if (!newest || CompareVersions(newest->version, version) <= 0) return std::nullopt;
  return newest;
}

std::string ReadPublishedFile(const std::string& path, size_t maxBytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("cannot read " + path);
  std::string bytes;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    bytes.append(buf, static_cast<size_t>(in.gcount()));
    if (bytes.size() > maxBytes)
      throw Exception(path + " is larger than " + std::to_string(maxBytes) + " bytes");
  }
  if (in.bad()) throw Exception("cannot read " + path);
  return bytes;
}

std::string PublishedFilePath(const std::string& dir, const std::string& name) {
  if (dir.empty()) throw Exception("no --updates folder");
  fs::path path(dir);
  size_t start = 0;
  do {
    const size_t slash = std::min(name.find('/', start), name.size());
    const std::string part = name.substr(start, slash - start);
    if (!IsPlainFileName(part)) throw Exception("not a published file name: " + name);
    path /= part;
    start = slash + 1;
  } while (start <= name.size());
  return path.string();
}

std::vector<std::string> FileSegmentLines(const std::string& localFileName, std::string_view bytes,
                                          size_t segmentBytes) {
  std::vector<std::string> lines;
  size_t pos = 0;
  do {
    const size_t n = std::min(segmentBytes, bytes.size() - pos);
    TRdaParamList list;
    list.CreateParam(ftString, "LocalFileName", ptInput).SetAsString(localFileName);
    list.CreateParam(ftBlob, "Data", ptInput).SetAsBlob(bytes.substr(pos, n));
    list.CreateParam(ftLargeint, "FileSize", ptInput).SetAsLargeint(static_cast<int64_t>(bytes.size()));
    pos += n;
    list.CreateParam(ftBoolean, "Finished", ptInput).SetAsBoolean(pos == bytes.size());
    TRdaStringLine line;
    line.SetToken(tkCodedParamList);
    line.SetMsgId(0);
    line.AddField(int32_t{miFileSegment});
    line.AddField(list.ToText(false));
    line.AddField(int32_t{0});
    lines.push_back(line.Compose());
  } while (pos < bytes.size());
  return lines;
}

}  // namespace rda
