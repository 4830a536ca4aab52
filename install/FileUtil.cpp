#include "install/FileUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/Exception.h"
#include "install/TextUtil.h"

namespace rda {

namespace {

std::string FileError(const char* what, const std::string& name, int err) {
  return std::string(what) + " \"" + name + "\". " + std::strerror(err);
}

}  // namespace

std::optional<std::string> ReadFileBounded(const std::string& path, size_t maxSize,
                                           std::string_view what) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw EFOpenError(FileError("Cannot open file", path, errno));
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int err = S_ISDIR(info.st_mode) ? EISDIR : errno;
    close(fd);
    throw EFOpenError(FileError("Cannot open file", path, err));
  }
  std::string text;
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      throw EFOpenError(FileError("Cannot open file", path, err));
    }
    if (n == 0) break;
    // Checked while reading, not from the size on disk: a file may grow meanwhile.
    if (text.size() + static_cast<size_t>(n) > maxSize) {
      close(fd);
      throw Exception(std::string(what) + " " + path + " is larger than " +
                      std::to_string(maxSize) + " bytes");
    }
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string FindFileIgnoringCase(const std::string& folder, const std::string& name) {
  const std::string exact = folder + name;
  if (FileExists(exact)) return exact;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return exact;
  std::string found;
  while (dirent* entry = readdir(dir)) {
    if (SameTextAscii(entry->d_name, name) && FileExists(folder + entry->d_name)) {
      found = folder + entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found.empty() ? exact : found;
}

TReplacingFile::TReplacingFile(std::string target) : target_(std::move(target)) {
  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string pattern = folder + "." + base + ".XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  fd_ = mkostemp(buf.data(), O_CLOEXEC);
  if (fd_ < 0) throw EFCreateError(FileError("Cannot create file", target_, errno));
  temp_ = buf.data();
}

TReplacingFile::~TReplacingFile() { Discard(); }

void TReplacingFile::Write(std::string_view bytes) {
  if (fd_ < 0) throw EWriteError(kStreamWriteError);
  while (!bytes.empty()) {
    const ssize_t n = write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw EWriteError(std::string(kStreamWriteError) + ": " + std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<size_t>(n));
    size_ += n;
  }
}

void TReplacingFile::Commit() {
  if (fd_ < 0) throw EWriteError(kStreamWriteError);
  int err = 0;
  if (fchmod(fd_, 0644) != 0 || fsync(fd_) != 0) err = errno;
  if (close(fd_) != 0 && err == 0) err = errno;
  fd_ = -1;
  if (err == 0 && rename(temp_.c_str(), target_.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp_.c_str());
    done_ = true;
    throw EFCreateError(FileError("Cannot create file", target_, err));
  }
  done_ = true;
}

void TReplacingFile::Discard() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!done_ && !temp_.empty()) unlink(temp_.c_str());
  done_ = true;
}

void WriteFileReplacing(const std::string& path, std::string_view bytes) {
  TReplacingFile file(path);
  file.Write(bytes);
  file.Commit();
}

}  // namespace rda
