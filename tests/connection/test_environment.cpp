#include "tests/support/QtTestEnvironment.h"

[[maybe_unused]] static ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new rda::test::QtTestEnvironment("test_connection"));
