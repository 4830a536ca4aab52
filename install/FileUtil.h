// Small file helpers of the install utility: bounded reads, files that replace their
// target only once complete, and file look-ups that ignore case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rda {

// The whole file, or nullopt when it does not exist. Raises EFOpenError
// "Cannot open file "<path>". <reason>" when it exists but cannot be read (or is a
// folder), and rda::Exception "<what> <path> is larger than <maxSize> bytes" when it
// is larger than maxSize (nothing is read then).
std::optional<std::string> ReadFileBounded(const std::string& path, size_t maxSize,
                                           std::string_view what);

bool FileExists(const std::string& path);

// `folder` + `name` when that file exists; else the first file of the folder whose name
// equals `name` without regard to ASCII case (settings files written on Windows come
// with any case); else `folder` + `name`. `folder` ends with a separator.
std::string FindFileIgnoringCase(const std::string& folder, const std::string& name);

// A file written under a temporary name in the target's folder and renamed over the
// target by Commit, so that an interrupted or failed write never destroys the file
// that was there. The temporary file is removed unless committed.
class TReplacingFile {
 public:
  // Creates the temporary file. Raises EFCreateError
  // "Cannot create file "<target>". <reason>" when it cannot be created.
  explicit TReplacingFile(std::string target);
  ~TReplacingFile();
  TReplacingFile(const TReplacingFile&) = delete;
  TReplacingFile& operator=(const TReplacingFile&) = delete;

  // Appends bytes. Raises EWriteError "Stream write error" (with the reason) on failure.
  void Write(std::string_view bytes);
  int64_t Size() const { return size_; }
  const std::string& Target() const { return target_; }
  const std::string& TempName() const { return temp_; }
  // Flushes, closes and renames over the target (mode 0644). Raises EFCreateError
  // "Cannot create file "<target>". <reason>" when the rename fails; the target is
  // then untouched and the temporary file removed.
  void Commit();
  // Drops the temporary file; the target stays as it was.
  void Discard();

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  int64_t size_ = 0;
  bool done_ = false;
};

// Writes `bytes` to `path` through a TReplacingFile.
void WriteFileReplacing(const std::string& path, std::string_view bytes);

}  // namespace rda
