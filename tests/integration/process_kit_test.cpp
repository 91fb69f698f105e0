// The process kit with real processes: the /proc walk, in C++ and as the
// scripts' shared step, finds a child whose command name reads like the
// fields after it; a command is read to its end and ended when it outlasts
// its time, even when something it left behind holds its output open.
#include "support/main_loop.hpp"
#include "support/process.hpp"
#include "support/temp_folder.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace vorlia::test {
namespace {

TEST(ProcessKit, BothWalksFindAChildWhoseNameHoldsASpaceAndParentheses) {
    // The kernel names a process after the file it was started as: a link
    // to the shell with an odd name gives it that name.
    TempFolder folder;
    const std::string name = "kit) S 1 (x";
    std::filesystem::create_symlink("/bin/sh", folder / name);
    // The sleep is the child to be found, ended by the test once found; its
    // 60 s only bound its life should the test die first.
    Process shell({(folder / name).string(), "-c", "sleep 60 & wait"});
    ASSERT_TRUE(shell.started()) << shell.failure();
    pid_t sleeper = 0;
    ASSERT_TRUE(runUntil([&] {
        const auto table = processTable();
        const auto below = descendantsOf(shell.pid(), table);
        sleeper = below.size() == 1 ? below.front() : 0;
        return sleeper != 0 && table.at(sleeper).name == "sleep";
    }));
    const auto table = processTable();
    ASSERT_TRUE(table.contains(shell.pid()));
    EXPECT_EQ(table.at(shell.pid()).name, name);
    EXPECT_EQ(table.at(shell.pid()).parent, getpid());
    const auto mine = descendantsOf(getpid(), table);
    EXPECT_NE(std::find(mine.begin(), mine.end(), sleeper), mine.end());

    const std::string pid = std::to_string(shell.pid());
    const CommandResult script = runCommand(
        {"bash", "-c", ". scripts/lib/common.sh && process_tree " + pid + " && stat_fields " + pid + " 3 4"},
        30s, VORLIA_SOURCE_DIR);
    ASSERT_TRUE(script.succeeded()) << script.failure;
    EXPECT_EQ(script.output, pid + "\n" + std::to_string(sleeper) + "\nS " + std::to_string(getpid()) + "\n");
    kill(sleeper, SIGTERM);
    EXPECT_TRUE(shell.waitForEnd());
}

TEST(ProcessKit, ACommandIsReadToItsEndOrEndedOnceItOutlastsItsTime) {
    const CommandResult said = runCommand(std::string("sh -c 'printf \"a b\\n\"; exit 3'"));
    EXPECT_TRUE(said.ran) << said.failure;
    EXPECT_FALSE(said.succeeded());
    EXPECT_EQ(said.output, "a b\n");

    // The shell is ended; the sleep it left holds the output open and is not
    // waited for. The sleep stands for a command that would not end by
    // itself: only the kit's 300 ms end it here, and its 5 s bound the
    // left-behind child's life.
    const CommandResult late = runCommand({"sh", "-c", "sleep 5 2>/dev/null & wait"}, 300ms);
    EXPECT_FALSE(late.ran);
    EXPECT_FALSE(late.succeeded());
    EXPECT_NE(late.failure.find("ended after 300 ms"), std::string::npos) << late.failure;

    const CommandResult missing = runCommand(std::vector<std::string>{"vorlia-no-such-command"});
    EXPECT_FALSE(missing.ran);
    EXPECT_FALSE(missing.failure.empty());
}

} // namespace
} // namespace vorlia::test
