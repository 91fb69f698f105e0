// Real-window tests run under Xvfb or headless Weston (tests/run-window-tests.sh),
// each test in a process of its own. Started with VORLIA_TEST_LAUNCHER_CHILD set, the
// binary is a whole launcher instead (see runLauncherChild).
#include "app/rendering_choice.hpp"
#include "window/support/window_test.hpp"

#include <glib.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // The engine draws in the processor as under software OpenGL (a
    // player's setting, which the launcher keeps), whatever window a test
    // makes; the toolkit's renderer is chosen as the launcher chooses it,
    // before any thread.
    g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", TRUE);
    vorlia::makeProcessSettings(vorlia::chooseRendering(vorlia::probeGl(), vorlia::playerRendering()));
    if (const char* childArgs = g_getenv("VORLIA_TEST_LAUNCHER_CHILD")) {
        return vorlia::test::runLauncherChild(childArgs);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
