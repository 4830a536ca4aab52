// Checks that a call raises one exception class with one exact message.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace rda::test {

template <typename E, typename F>
::testing::AssertionResult RaisesWith(F&& call, std::string_view message) {
  try {
    call();
  } catch (const E& e) {
    if (e.what() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message was \"" << e.what() << "\"";
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "another exception: " << e.what();
  }
  return ::testing::AssertionFailure() << "nothing raised";
}

}  // namespace rda::test
