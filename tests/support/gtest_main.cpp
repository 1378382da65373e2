// Test entry: starts the plug-in's process-wide state when the program links the
// plug-in's code directly (a loaded library starts itself).
#include <gtest/gtest.h>

#ifdef ZYKIM_TEST_LINKS_CORE
#include "dispatch/module_state.h"
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef ZYKIM_TEST_LINKS_CORE
    zykim::ModuleStartup();
#endif
    const int rc = RUN_ALL_TESTS();
#ifdef ZYKIM_TEST_LINKS_CORE
    zykim::ModuleShutdown();
#endif
    return rc;
}
