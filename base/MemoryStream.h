// A byte stream in memory with a position: the stream that dataset sections,
// blob values and dataset files are read from and written to.
//
// Reading is checked: a read that needs more bytes than remain raises
// EReadError "Stream read error" and leaves the position where it was, so a
// reader never looks past the end and never allocates for bytes that are not
// there. Writing overwrites at the position and extends the stream; a
// position beyond the end is allowed and the gap is zero-filled by the next
// write. Little-endian values go through base/ByteIO.h.
//
// Files are read whole into memory and written whole from it:
//   LoadFromFile  raises EFOpenError  "Cannot open file "<name>". <reason>"
//                        EReadError   "Stream read error" when reading fails
//   MapFile       the same, but a regular file is mapped read-only instead of
//                 copied (the stream reads the file's pages in place); the
//                 bytes are copied into the stream's own memory the first
//                 time it is written to or asked for Bytes()
//   SaveToFile    raises EFCreateError "Cannot create file "<name>". <reason>"
//                        EWriteError  "Stream write error" when writing fails
// where <reason> is the operating system's text for the error (strerror).
//
// Not thread-safe; a stream belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rda {

class TMemoryStream {
 public:
  TMemoryStream() = default;
  // A stream holding `bytes`, positioned at 0.
  explicit TMemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}

  // The whole content, independent of the position. A mapped stream copies
  // its bytes into its own memory first (View does not).
  const std::string& Bytes() const {
    if (mapped_) Own();
    return bytes_;
  }
  // The whole content without a copy; valid until the stream changes.
  std::string_view View() const { return mapped_ ? view_ : std::string_view(bytes_); }
  // Replaces the content and moves to position 0.
  void SetBytes(std::string bytes);
  // Hands the content out and leaves the stream empty at position 0.
  std::string TakeBytes();
  void Clear() { SetBytes({}); }

  size_t Size() const { return View().size(); }
  // Truncates or zero-extends; a position past the new end moves to the end.
  void SetSize(size_t size);
  size_t Position() const { return pos_; }
  void SetPosition(size_t position) { pos_ = position; }
  size_t Remaining() const { return pos_ < Size() ? Size() - pos_ : 0; }
  // The unread bytes; the view is valid until the stream changes.
  std::string_view Rest() const;

  // Reads exactly `count` bytes; the view is valid until the stream changes.
  std::string_view Read(size_t count);
  uint8_t PeekU8() const;
  uint8_t ReadU8();
  int8_t ReadI8() { return static_cast<int8_t>(ReadU8()); }
  uint16_t ReadU16();
  int16_t ReadI16() { return static_cast<int16_t>(ReadU16()); }
  uint32_t ReadU32();
  int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
  uint64_t ReadU64();
  int64_t ReadI64() { return static_cast<int64_t>(ReadU64()); }

  void Write(std::string_view bytes);
  void WriteU8(uint8_t v);
  void WriteI8(int8_t v) { WriteU8(static_cast<uint8_t>(v)); }
  void WriteU16(uint16_t v);
  void WriteI16(int16_t v) { WriteU16(static_cast<uint16_t>(v)); }
  void WriteU32(uint32_t v);
  void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }
  void WriteU64(uint64_t v);
  void WriteI64(int64_t v) { WriteU64(static_cast<uint64_t>(v)); }
  // Room for the stream to grow to `bytes` without moving its content (a
  // writer that knows its size saves the copies of growing step by step).
  // Large room is asked of the system in huge pages where it has them, so
  // that filling it takes a fault per 2 MiB rather than per 4 KiB.
  void Reserve(size_t bytes);

  // Replaces the content by the file's bytes and moves to position 0; on
  // failure the stream is unchanged.
  void LoadFromFile(const std::string& fileName);
  // As LoadFromFile, without copying a regular file's bytes: they are read
  // where the system keeps the file (a private read-only mapping of the size
  // the file has at the open). Anything that cannot be mapped (a pipe, a
  // device, an empty file, a system that refuses) is read as LoadFromFile
  // reads it. The mapping lives as long as the stream holds those bytes, and
  // views read from it stay valid until the stream is destroyed or given
  // other bytes. Another process cutting the file short while it is mapped
  // makes the system stop the reader (SIGBUS): files this system writes are
  // replaced by a rename, never cut in place.
  void MapFile(const std::string& fileName);
  // Creates or truncates the file and writes the whole content.
  void SaveToFile(const std::string& fileName) const;

 private:
  // A mapped stream takes a copy of its bytes into bytes_ (the mapping stays
  // until the content is replaced, so earlier views stay valid).
  void Own() const;

  mutable std::string bytes_;
  size_t pos_ = 0;
  // While mapped_ the content is view_, the bytes of mapping_.
  mutable bool mapped_ = false;
  mutable std::string_view view_;
  std::shared_ptr<const void> mapping_;
};

}  // namespace rda
