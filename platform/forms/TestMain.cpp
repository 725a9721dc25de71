// The main of the GUI test programs: GoogleTest with the application object in place, on the
// offscreen desktop unless the environment names another, so plain `ctest` needs no display.
#include "platform/forms/Forms.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication application(argc, argv);
    application.Initialize();
    return RUN_ALL_TESTS();
}
