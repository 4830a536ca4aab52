// The memory stream under the dataset sections: checked reads, writes that
// overwrite and extend.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace rda
