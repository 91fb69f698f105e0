#include "window/window_state.hpp"

#include "support/temp_folder.hpp"

#include <gtest/gtest.h>

#include <glib.h>

#include <filesystem>
#include <fstream>

namespace vorlia {
namespace {

TEST(WindowState, RoundTrip) {
    for (const WindowState s : {WindowState{}, WindowState{1500, 900, true, false},
                                WindowState{960, 600, false, true}, WindowState{2560, 1440, true, true}}) {
        EXPECT_EQ(windowStateFromKeyFile(keyFileFromWindowState(s)), s);
    }
}

TEST(WindowState, KeptInTheGroupVRLMainWindow) {
    EXPECT_NE(keyFileFromWindowState(WindowState{}).find("[VRLMainWindow]"), std::string::npos);
}

struct Damaged {
    const char* name;
    const char* text;
    WindowState expected;
};

class DamagedStateFile : public ::testing::TestWithParam<Damaged> {};

TEST_P(DamagedStateFile, GivesSafeValues) {
    EXPECT_EQ(windowStateFromKeyFile(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedStateFile,
    ::testing::Values(Damaged{"Empty", "", WindowState{}},
                      Damaged{"Binary", "\x01\x02\xff\xfe garbage [[[", WindowState{}},
                      Damaged{"OtherGroup", "[Other]\nwidth=1000\n", WindowState{}},
                      Damaged{"NotANumber", "[VRLMainWindow]\nwidth=wide\nheight=700\n",
                              WindowState{1280, 700, false, false}},
                      Damaged{"Negative", "[VRLMainWindow]\nwidth=-5\nheight=700\n", WindowState{}},
                      Damaged{"Huge", "[VRLMainWindow]\nwidth=99999999\nheight=700\n", WindowState{}},
                      Damaged{"BelowMinimum", "[VRLMainWindow]\nwidth=100\nheight=100\n",
                              WindowState{960, 600, false, false}},
                      Damaged{"BadBoolean", "[VRLMainWindow]\nwidth=1000\nheight=700\nmaximized=perhaps\n",
                              WindowState{1000, 700, false, false}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowState, SavedAndLoadedFromTheStateFolder) {
    const test::TempFolder temp;
    const auto folder = temp / "nested";
    EXPECT_EQ(loadWindowState(folder), WindowState{}); // no file yet
    const WindowState s{1400, 820, true, false};
    saveWindowState(folder, s);
    EXPECT_EQ(loadWindowState(folder), s);
    // A damaged file in place of the saved one (made anew: the saved one may be read-only under the umask).
    std::filesystem::remove(windowStateFile(folder));
    std::ofstream(windowStateFile(folder)) << "\x00\x01 not a key file";
    EXPECT_EQ(loadWindowState(folder), WindowState{});
}

} // namespace
} // namespace vorlia
