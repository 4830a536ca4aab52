// Client programs the server's owner publishes, and the files the server sends to be
// written on a client's machine.
//
// The owner publishes in one folder (rdaserver --updates DIR):
//
//   DIR/<application name>/<version>   the program file of that version of the
//                                      application (the name a client logs in with)
//   DIR/patcher.exe                    the patcher program, for clients that ask
//   DIR/<any other file>               files the control command sendfile sends
//
// A client whose login is verified and names an application that has a folder here,
// with a version older than the newest one published there, gets that program right
// after its login reply: token 39 (the update starts), then token 38 with the file.
// A client whose login parameters hold "NeedPatcher" gets DIR/patcher.exe first, as
// server information code 15 (item "Patcher"). The folder is read at each login, so a
// file dropped in is published at once; publish by copying the file under a temporary
// name and renaming it into place, so that no login reads half of it.
//
// Versions compare part by part between the dots: two parts of digits as numbers,
// anything else as text; missing parts count as 0 ("1.2" = "1.2.0" < "1.10").
// Names that are not one plain file name (empty, "." or "..", holding a / or \, or
// starting with a dot) are never read: a client cannot name a file outside the folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rda {

// The segments a file is sent in (the coded parameter list miFileSegment).
inline constexpr size_t kFileSegmentBytes = 64 * 1024;
// The largest file the server sends in one message: a frame's limit, less room for
// the message header and fields.
inline constexpr size_t kMaxPublishedFile = 100 * 1048576 - 4096;

// <0 when a is older than b, 0 when they are the same version, >0 when newer.
int CompareVersions(std::string_view a, std::string_view b);

// True for a plain file name (see above).
bool IsPlainFileName(std::string_view name);

struct TPublishedProgram {
  std::string version;
  std::string path;
};

// The newest program published for `application` when it is newer than `version`;
// nothing otherwise (also when the application has no folder, or its name is not a
// plain file name).
std::optional<TPublishedProgram> UpdateFor(const std::string& dir, const std::string& application,
                                           const std::string& version);

// The whole file at `path`. Raises rda::Exception when it cannot be read or holds more
// than `maxBytes`.
std::string ReadPublishedFile(const std::string& path, size_t maxBytes);

// DIR/<name> for a published file that sendfile may send: `name` is one or more plain
// file names separated by /. Raises rda::Exception for any other name.
std::string PublishedFilePath(const std::string& dir, const std::string& name);

// The composed string lines (token 28, message id miFileSegment, reply flag 0) that
// send `bytes` as `localFileName` in segments of `segmentBytes`: items
// "LocalFileName", "Data", "FileSize" (the whole file's size) and "Finished" (True
// in the last). An empty file is one segment.
std::vector<std::string> FileSegmentLines(const std::string& localFileName, std::string_view bytes,
                                          size_t segmentBytes = kFileSegmentBytes);

}  // namespace rda
