// One Qt Widgets application (offscreen) for every test of the install utility.
#include "tests/support/GuiTestEnvironment.h"

[[maybe_unused]] auto* const kQt =
    ::testing::AddGlobalTestEnvironment(new rda::test::GuiTestEnvironment("test_install"));
