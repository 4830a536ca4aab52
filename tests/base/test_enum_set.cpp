// The enumeration set: its bits are the wire form, and the set operations
// keep to them.
#include <gtest/gtest.h>

#include <cstdint>

#include "base/EnumSet.h"

namespace rda {
namespace {

enum TColour : uint8_t { clRed = 0, clGreen = 1, clBlue = 5, clLast = 31 };
using TColours = TSet<TColour>;

TEST(EnumSet, BitNIsValueN) {
  constexpr TColours set{clGreen, clBlue};
  static_assert(set.Bits() == ((1u << 1) | (1u << 5)));
  EXPECT_EQ(TColours{clLast}.Bits(), 0x80000000u);
  EXPECT_EQ(TColours::FromBits(0x21), (TColours{clRed, clBlue}));
  EXPECT_TRUE(TColours::FromBits(0x21).Contains(clBlue));
  EXPECT_FALSE(TColours::FromBits(0x21).Contains(clGreen));
  EXPECT_TRUE(TColours().Empty());
}

TEST(EnumSet, IncludeExcludeAndTheSetOperations) {
  TColours s;
  s.Include(clRed).Include(clBlue).Exclude(clRed);
  EXPECT_EQ(s, TColours{clBlue});
  s.Exclude(clGreen);  // not a member: nothing changes
  EXPECT_EQ(s.Bits(), 1u << 5);
  const TColours a{clRed, clGreen};
  const TColours b{clGreen, clBlue};
  EXPECT_EQ(a + b, (TColours{clRed, clGreen, clBlue}));
  EXPECT_EQ(a * b, TColours{clGreen});
  EXPECT_EQ(a - b, TColours{clRed});
}

}  // namespace
}  // namespace rda
