// The scope guard runs its action once on every way out of its scope.
#include <gtest/gtest.h>

#include <stdexcept>

#include "base/ScopeGuard.h"

namespace rda {
namespace {

TEST(ScopeGuard, RunsOnReturnAndOnException) {
  int runs = 0;
  auto leave = [&](bool raise) {
    TScopeGuard count([&] { ++runs; });
    if (raise) throw std::runtime_error("out");
  };
  leave(false);
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(leave(true), std::runtime_error);
  EXPECT_EQ(runs, 2);
}

TEST(ScopeGuard, DismissedGuardDoesNothing) {
  bool busy = true;
  {
    TScopeGuard notBusy([&] { busy = false; });
    notBusy.Dismiss();
  }
  EXPECT_TRUE(busy);
}

}  // namespace
}  // namespace rda
