#include "tests/support/QtTestEnvironment.h"

// The first of the integration test files to run its environment makes the
// application; later ones find it there.
[[maybe_unused]] static ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new rda::test::QtTestEnvironment("test_integration"));
