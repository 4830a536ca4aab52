#include "base/MemoryStream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/ByteIO.h"
#include "base/Exception.h"

namespace rda {

namespace {

std::string FileError(const char* what, const std::string& fileName, int error) {
  return std::string(what) + " \"" + fileName + "\". " + std::strerror(error);
}

// Closes a descriptor on every path.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int Get() const { return fd_; }
  // Closes now so that a failing close can be reported.
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

}  // namespace

void TMemoryStream::Own() const {
  bytes_.assign(view_.data(), view_.size());
  mapped_ = false;
  view_ = {};
}

void TMemoryStream::SetBytes(std::string bytes) {
  bytes_ = std::move(bytes);
  pos_ = 0;
  mapped_ = false;
  view_ = {};
  mapping_.reset();
}

std::string TMemoryStream::TakeBytes() {
  if (mapped_) Own();
  std::string out = std::move(bytes_);
  bytes_.clear();
  mapping_.reset();
  pos_ = 0;
  return out;
}

void TMemoryStream::SetSize(size_t size) {
  if (mapped_) Own();
  bytes_.resize(size, '\0');
  if (pos_ > size) pos_ = size;
}

std::string_view TMemoryStream::Rest() const {
  return Remaining() == 0 ? std::string_view() : View().substr(pos_);
}

std::string_view TMemoryStream::Read(size_t count) {
  if (count > Remaining()) throw EReadError(kStreamReadError);
  std::string_view out = View().substr(pos_, count);
  pos_ += count;
  return out;
}

uint8_t TMemoryStream::PeekU8() const {
  if (Remaining() < 1) throw EReadError(kStreamReadError);
  return static_cast<uint8_t>(View()[pos_]);
}

uint8_t TMemoryStream::ReadU8() { return static_cast<uint8_t>(Read(1)[0]); }
uint16_t TMemoryStream::ReadU16() { return LoadU16LE(Read(2).data()); }
uint32_t TMemoryStream::ReadU32() { return LoadU32LE(Read(4).data()); }
uint64_t TMemoryStream::ReadU64() { return LoadU64LE(Read(8).data()); }

void TMemoryStream::Write(std::string_view bytes) {
  if (mapped_) Own();
  if (pos_ > bytes_.size()) bytes_.resize(pos_, '\0');
  const size_t overlap = std::min(bytes.size(), bytes_.size() - pos_);
  bytes_.replace(pos_, overlap, bytes);
  pos_ += bytes.size();
}

namespace {

// Advice only: the memory stays the string's, and a system without huge
// pages ignores it.
void AdviseHugePages(const std::string& bytes) {
  constexpr size_t kHuge = size_t{2} << 20;
  if (bytes.capacity() < 4 * kHuge) return;
  const auto begin = reinterpret_cast<uintptr_t>(bytes.data());
  const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t last = (begin + bytes.capacity()) & ~(kHuge - 1);
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

void TMemoryStream::Reserve(size_t bytes) {
  if (mapped_) Own();
  if (bytes <= bytes_.capacity()) return;
  bytes_.reserve(bytes);
  AdviseHugePages(bytes_);
}

void TMemoryStream::WriteU8(uint8_t v) {
  const char b = static_cast<char>(v);
  Write({&b, 1});
}

void TMemoryStream::WriteU16(uint16_t v) {
  char b[2];
  StoreU16LE(b, v);
  Write({b, 2});
}

void TMemoryStream::WriteU32(uint32_t v) {
  char b[4];
  StoreU32LE(b, v);
  Write({b, 4});
}

void TMemoryStream::WriteU64(uint64_t v) {
  char b[8];
  StoreU64LE(b, v);
  Write({b, 8});
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  FileHandle file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) throw EFOpenError(FileError("Cannot open file", fileName, errno));
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) {
    throw EFOpenError(FileError("Cannot open file", fileName, errno));
  }
  // A directory opens for reading but cannot be read as a file.
  if (S_ISDIR(info.st_mode)) throw EFOpenError(FileError("Cannot open file", fileName, EISDIR));
  std::string content;
  // A regular file is read straight into room for all of it; what it holds
  // beyond its size at the open (it may grow) is appended after.
  size_t done = 0;
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    content.reserve(static_cast<size_t>(info.st_size));
    AdviseHugePages(content);
    content.resize(static_cast<size_t>(info.st_size));
    while (done < content.size()) {
      const ssize_t n = ::read(file.Get(), content.data() + done, content.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw EReadError(kStreamReadError);
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    content.resize(done);
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EReadError(kStreamReadError);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  SetBytes(std::move(content));
}

void TMemoryStream::MapFile(const std::string& fileName) {
  FileHandle file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) throw EFOpenError(FileError("Cannot open file", fileName, errno));
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    LoadFromFile(fileName);
    return;
  }
  const auto size = static_cast<size_t>(info.st_size);
  // The pages are mapped in at once (one pass instead of a fault per page)
  // and are read front to back.
  void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.Get(), 0);
  if (at == MAP_FAILED) {
    LoadFromFile(fileName);
    return;
  }
  std::shared_ptr<const void> mapping(at, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
  (void)::madvise(at, size, MADV_SEQUENTIAL);
  // A file cut short between the size and the mapping has pages the system
  // cannot give: read what it holds now instead.
  struct stat now {};
  if (::fstat(file.Get(), &now) != 0 || now.st_size < info.st_size) {
    mapping.reset();
    LoadFromFile(fileName);
    return;
  }
  SetBytes({});
  mapping_ = std::move(mapping);
  view_ = {static_cast<const char*>(at), size};
  mapped_ = true;
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
  FileHandle file(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.Get() < 0) throw EFCreateError(FileError("Cannot create file", fileName, errno));
  const std::string_view bytes = View();
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(file.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EWriteError(kStreamWriteError);
    }
    done += static_cast<size_t>(n);
  }
  if (file.Close() != 0) throw EWriteError(kStreamWriteError);
}

}  // namespace rda
