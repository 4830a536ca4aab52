// The memory stream under the dataset sections: checked reads, writes that
// overwrite and extend.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/Exception.h"
#include "base/MemoryStream.h"
#include "tests/base/RaisesWith.h"

namespace rda {
namespace {

TEST(TMemoryStream, ReadPastTheEndFailsWithoutMoving) {
  TMemoryStream stream(std::string("\x01\x02\x03", 3));
  EXPECT_EQ(stream.ReadU16(), 0x0201);
  EXPECT_TRUE(test::RaisesWith<EReadError>([&] { stream.ReadU32(); }, "Stream read error"));
  EXPECT_EQ(stream.Position(), 2u);
  EXPECT_EQ(stream.ReadU8(), 3);
  EXPECT_THROW(stream.PeekU8(), EReadError);
  stream.SetPosition(10);
  EXPECT_EQ(stream.Remaining(), 0u);
  EXPECT_EQ(stream.Rest(), "");
  EXPECT_THROW(stream.Read(1), EReadError);
}

TEST(TMemoryStream, WritesOverwriteExtendAndFillGaps) {
  TMemoryStream stream;
  stream.Write("abcdef");
  stream.SetPosition(2);
  stream.WriteU32(0x44434241);  // "ABCD" over "cdef"
  stream.Write("xy");
  EXPECT_EQ(stream.Bytes(), "abABCDxy");
  stream.SetPosition(10);
  stream.WriteU8('z');
  EXPECT_EQ(stream.Bytes(), std::string("abABCDxy\0\0z", 11));
  stream.SetSize(3);
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_EQ(stream.TakeBytes(), "abA");
  EXPECT_EQ(stream.Size(), 0u);
}

// A mapped file reads as a loaded one; the stream's own copy is made when it
// is written to, and the file never changes.
TEST(TMemoryStream, MapFileReadsInPlaceAndCopiesOnWrite) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/rda-mapfile-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  const std::string file = (dir / "bytes").string();
  const std::string content("\x01\x02\x03\x04tail", 8);
  std::ofstream(file, std::ios::binary) << content;

  TMemoryStream mapped;
  mapped.MapFile(file);
  EXPECT_EQ(mapped.View(), content);
  EXPECT_EQ(mapped.Size(), content.size());
  EXPECT_EQ(mapped.ReadU32(), 0x04030201u);
  const std::string_view tail = mapped.Read(4);
  EXPECT_TRUE(test::RaisesWith<EReadError>([&] { mapped.ReadU8(); }, "Stream read error"));
  // Writing takes a copy; what was read before stays readable.
  mapped.SetPosition(0);
  mapped.Write("AB");
  EXPECT_EQ(mapped.Bytes(), std::string("AB\x03\x04tail", 8));
  EXPECT_EQ(tail, "tail");
  TMemoryStream loaded;
  loaded.LoadFromFile(file);
  EXPECT_EQ(loaded.Bytes(), content);

  // Empty, special and missing files: as LoadFromFile.
  const std::string empty = (dir / "empty").string();
  std::ofstream(empty, std::ios::binary).flush();
  mapped.MapFile(empty);
  EXPECT_EQ(mapped.Size(), 0u);
  mapped.MapFile("/proc/self/stat");  // size 0 to fstat, bytes to read
  EXPECT_GT(mapped.Size(), 0u);
  const std::string missing = (dir / "missing").string();
  EXPECT_TRUE(test::RaisesWith<EFOpenError>([&] { mapped.MapFile(missing); },
                                            "Cannot open file \"" + missing +
                                                "\". No such file or directory"));
  EXPECT_TRUE(test::RaisesWith<EFOpenError>([&] { mapped.MapFile(dir.string()); },
                                            "Cannot open file \"" + dir.string() +
                                                "\". Is a directory"));
  EXPECT_GT(mapped.Size(), 0u);  // a failed map changes nothing
  fs::remove_all(dir);
}

}  // namespace
}  // namespace rda
