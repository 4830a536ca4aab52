#include "base/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/Exception.h"

namespace rda {

namespace {

std::string CreateError(const std::string& fileName, int error) {
  return "Cannot create file \"" + fileName + "\". " + std::strerror(error);
}

// The file a name stands for: a symbolic link's target, so that replacing
// it keeps the link.
std::string Resolve(const std::string& fileName) {
  struct stat info {};
  if (::lstat(fileName.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return fileName;
  char buffer[PATH_MAX];
  if (::realpath(fileName.c_str(), buffer) == nullptr) return fileName;
  return buffer;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Removes the temporary file unless released.
class TemporaryFile {
 public:
  TemporaryFile(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  int Fd() const { return fd_; }
  const std::string& Name() const { return name_; }
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }
  void Release() { name_.clear(); }

 private:
  std::string name_;
  int fd_;
};

std::atomic<unsigned> counter{0};

}  // namespace

void SaveFileAtomically(const std::string& fileName, std::string_view bytes) {
  const std::string target = Resolve(fileName);
  int fd = -1;
  std::string tempName;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tempName = target + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw EFCreateError(CreateError(fileName, errno));
  TemporaryFile temp(tempName, fd);

  struct stat old {};
  if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    // Keep the replaced file's permissions (and its owner where allowed).
    (void)::fchmod(temp.Fd(), old.st_mode & 07777);
    if (::fchown(temp.Fd(), old.st_uid, old.st_gid) != 0) {
      // Only the owner's own files can be given away; the permissions stay.
    }
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(temp.Fd(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EWriteError(kStreamWriteError);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(temp.Fd()) != 0 || temp.Close() != 0) throw EWriteError(kStreamWriteError);
  if (::rename(temp.Name().c_str(), target.c_str()) != 0) {
    throw EFCreateError(CreateError(fileName, errno));
  }
  temp.Release();
  // The rename itself reaches the disk with the folder.
  const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)::fsync(folder);
    ::close(folder);
  }
}

}  // namespace rda
