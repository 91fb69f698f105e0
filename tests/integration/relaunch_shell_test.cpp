// The relaunch script run by the real /bin/sh on real folders, with a
// stand-in process in the launcher's place and stand-in launchers that record
// where and which version they were started.
#include "base/files.hpp"
#include "rules/relaunch_script.hpp"
#include "support/temp_folder.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace vorlia {
namespace {
namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text, fs::perms perms = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, perms);
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {}) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envText = extraEnv;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) {
            return entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
        });
        if (!replaced) {
            envText.push_back(entry);
        }
    }
    std::vector<char*> env;
    for (const std::string& e : envText) {
        env.push_back(const_cast<char*>(e.c_str()));
    }
    env.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), env.data()), 0);
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
}

class RelaunchShell : public ::testing::Test {
  protected:
    // A stand-in launcher of the given version: started, it notes its path and version.
    void makeLauncher(const fs::path& folder, const std::string& version) {
        writeText(folder / "vorlia",
                  "#!/bin/sh\nprintf '%s %s\\n' \"$0\" " + version + " >> '" + log_.string() + "'\n",
                  fs::perms(0755));
        writeText(folder / "Info.json", "{\"CFBundleShortVersionString\": \"" + version + "\"}");
    }

    // Writes the script for a launcher that has already gone and runs it to its end.
    int runSwap(const fs::path& folder, const fs::path& newFolder, const std::vector<std::string>& env = {}) {
        const pid_t gone = spawn({"/bin/true"});
        waitFor(gone);
        writeText(root_ / "swap.sh", relaunchScript(gone, folder.string(), newFolder.string()));
        return waitFor(spawn({"/bin/sh", (root_ / "swap.sh").string()}, env));
    }

    // Runs the swap with `mvScript` standing in for mv on the script's PATH.
    int runSwapWithMv(const fs::path& folder, const fs::path& newFolder, const std::string& mvScript) {
        writeText(root_ / "bin" / "mv", mvScript, fs::perms(0755));
        return runSwap(folder, newFolder, {"PATH=" + (root_ / "bin").string() + ":/usr/bin:/bin"});
    }

    std::string launches() { return readFile(log_).value_or(""); }

    test::TempFolder folder_;
    const fs::path root_ = folder_.path();
    const fs::path log_ = root_ / "launches.log";
};

TEST_F(RelaunchShell, WaitsForTheLauncherToEnd) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    // The script's sleep between two looks, told through a pipe: the proof
    // that it looks while the launcher lives. The test holds the pipe open
    // for writing too, so that no look ever blocks and no end of file comes
    // between two of them.
    const fs::path polls = root_ / "polls";
    ASSERT_EQ(mkfifo(polls.c_str(), 0600), 0);
    const int heard = ::open(polls.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(heard, 0);
    writeText(root_ / "bin" / "sleep",
              "#!/bin/sh\necho >> '" + polls.string() + "'\nexec /bin/sleep \"$@\"\n", fs::perms(0755));
    const pid_t launcher = spawn({"/bin/sleep", "600"});
    writeText(root_ / "swap.sh", relaunchScript(launcher, b.string(), n.string()));
    const pid_t script = spawn({"/bin/sh", (root_ / "swap.sh").string()},
                               {"PATH=" + (root_ / "bin").string() + ":/usr/bin:/bin"});

    // Each look as it comes, for at most 30 s.
    std::ptrdiff_t looks = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (looks < 3) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{heard, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char lines[64];
        const ssize_t n = ::read(heard, lines, sizeof lines);
        looks += n > 0 ? std::count(lines, lines + n, '\n') : 0;
    }
    EXPECT_GE(looks, 3) << "the script never waited";
    EXPECT_EQ(waitpid(script, nullptr, WNOHANG), 0) << "the script did not wait";
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"1\"}");
    EXPECT_TRUE(fs::exists(n));
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.old"));

    kill(launcher, SIGTERM);
    waitFor(launcher);
    EXPECT_EQ(WEXITSTATUS(waitFor(script)), 0);
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"2\"}");
    EXPECT_EQ(launches(), b.string() + "/vorlia 2\n");
    ::close(heard);
}

TEST_F(RelaunchShell, NewFolderUnderAnotherNameTakesTheOldPathAndName) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia 2.0 Release.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    writeText(b / "only-in-old", "x");
    EXPECT_EQ(WEXITSTATUS(runSwap(b, n)), 0);
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"2\"}");
    EXPECT_FALSE(fs::exists(b / "only-in-old"));
    EXPECT_FALSE(fs::exists(n));
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.old"));
    EXPECT_EQ(launches(), b.string() + "/vorlia 2\n");
}

TEST_F(RelaunchShell, RestoresTheExecutableBit) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    fs::permissions(n / "vorlia", fs::perms(0644));
    EXPECT_EQ(WEXITSTATUS(runSwap(b, n)), 0);
    EXPECT_EQ(launches(), b.string() + "/vorlia 2\n");
}

TEST_F(RelaunchShell, LeftoverOldCopyIsRemoved) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    makeLauncher(root_ / "apps" / "Vorlia.app.old", "0");
    writeText(root_ / "apps" / "Vorlia.app.old" / "stale", "x");
    EXPECT_EQ(WEXITSTATUS(runSwap(b, n)), 0);
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.old"));
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"2\"}");
}

TEST_F(RelaunchShell, RefusedMoveRollsBackAndReopensTheOldLauncher) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    makeLauncher(b, "1");
    // The new folder cannot be moved: it is not there.
    EXPECT_EQ(WEXITSTATUS(runSwap(b, root_ / "work" / "Vanished.app")), 0);
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"1\"}");
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.old"));
    EXPECT_EQ(launches(), b.string() + "/vorlia 1\n");
}

// A file system that refuses to move the new folder from beside the old one
// into its place, and every move back from ".old": the swap and then its
// roll-back both fail.
TEST_F(RelaunchShell, FailedRollBackKeepsTheOldCopy) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    const int status = runSwapWithMv(b, n,
                                     "#!/bin/sh\n[ \"$1\" = -T ] && shift\ncase \"$1\" in\n  *.old|*.new) "
                                     "echo refused >&2; exit 1;;\nesac\n"
                                     "exec /bin/mv -T \"$@\"\n");
    EXPECT_NE(WEXITSTATUS(status), 0) << "nothing stands at the launcher's path to start";
    EXPECT_FALSE(fs::exists(b));
    EXPECT_EQ(readFile(root_ / "apps" / "Vorlia.app.old" / "Info.json").value_or(""),
              "{\"CFBundleShortVersionString\": \"1\"}");
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.new"));
    EXPECT_EQ(launches(), "");
}

// Moving the new folder in from another file system is a copy; one that runs
// out of room leaves part of the folder behind, as mv does, and fails.
TEST_F(RelaunchShell, FailedCopyOfTheNewFolderLeavesTheOldLauncherInPlace) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    const std::string copyRunsOutOfRoom =
        "#!/bin/sh\n[ \"$1\" = -T ] && shift\ncase \"$1\" in\n  '" + root_.string() +
        "/work/'*) mkdir -p \"$2\" && cp \"$1/Info.json\" \"$2/\"; echo 'No space left' >&2; exit 1;;\n"
        "esac\nexec /bin/mv -T \"$@\"\n";
    EXPECT_EQ(WEXITSTATUS(runSwapWithMv(b, n, copyRunsOutOfRoom)), 0);
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"1\"}");
    EXPECT_TRUE(fs::exists(b / "vorlia"));
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.old"));
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.new"));
    EXPECT_EQ(launches(), b.string() + "/vorlia 1\n");
}

// A folder left beside the launcher by an earlier copy cut short must not
// take in the new one.
TEST_F(RelaunchShell, LeftoverNewCopyIsRemoved) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    writeText(root_ / "apps" / "Vorlia.app.new" / "Info.json", "partial");
    EXPECT_EQ(WEXITSTATUS(runSwap(b, n)), 0);
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"2\"}");
    EXPECT_FALSE(fs::exists(b / "Vorlia.app"));
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.new"));
    EXPECT_EQ(launches(), b.string() + "/vorlia 2\n");
}

// A folder the script's rm -rf cannot remove: a file inside it that is
// immutable (for root, whom no permission stops) or in a folder its owner
// cannot write. False where neither can be made here.
bool makeUnremovable(const fs::path& folder) {
    writeText(folder / "locked" / "file", "x");
    if (::getuid() != 0) {
        fs::permissions(folder / "locked", fs::perms(0555));
        return true;
    }
    const int fd = ::open((folder / "locked" / "file").c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool made = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return made;
}

void makeRemovable(const fs::path& folder) {
    std::error_code error;
    fs::permissions(folder / "locked", fs::perms(0755), error);
    const int fd = ::open((folder / "locked" / "file").c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

class LeftoverThatStays : public RelaunchShell, public ::testing::WithParamInterface<const char*> {};

// A ".old" or ".new" folder still standing after the rm: no folder is ever
// moved into it, and the old launcher stays at its path and starts again.
TEST_P(LeftoverThatStays, NoFolderIsMovedIntoIt) {
    const fs::path b = root_ / "apps" / "Vorlia.app";
    const fs::path n = root_ / "work" / "Vorlia.app";
    const fs::path leftover = b.string() + GetParam();
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    if (!makeUnremovable(leftover)) {
        GTEST_SKIP() << "no immutable file can be made on this file system";
    }
    const int status = runSwap(b, n);
    makeRemovable(leftover);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"1\"}");
    EXPECT_EQ(launches(), b.string() + "/vorlia 1\n");
    std::vector<std::string> inside;
    for (const auto& e : fs::directory_iterator(leftover)) {
        inside.push_back(e.path().filename().string());
    }
    EXPECT_EQ(inside, std::vector<std::string>{"locked"});
    EXPECT_FALSE(fs::exists(root_ / "apps" / "Vorlia.app.new" / "vorlia"));
}

INSTANTIATE_TEST_SUITE_P(Cases, LeftoverThatStays, ::testing::Values(".old", ".new"),
                         [](const auto& info) { return std::string(info.param + 1); });

// Every kind of character a shell might act on, in the folder, in the
// folder's own name and in the work folder's path.
TEST_F(RelaunchShell, OddPathsReachEveryCommandUnchanged) {
    const std::string odd = "Games' Corner \"quoted\" $HOME $(false) `false` back\\slash \\n\nline";
    const fs::path b = root_ / odd / "Vorlia's $USER.app";
    const fs::path n = root_ / ("work " + odd) / "New `x`.app";
    makeLauncher(b, "1");
    makeLauncher(n, "2");
    makeLauncher(fs::path(b.string() + ".old"), "0");
    fs::permissions(n / "vorlia", fs::perms(0644));
    EXPECT_EQ(WEXITSTATUS(runSwap(b, n)), 0);
    EXPECT_EQ(readFile(b / "Info.json").value_or(""), "{\"CFBundleShortVersionString\": \"2\"}");
    EXPECT_FALSE(fs::exists(n));
    EXPECT_FALSE(fs::exists(fs::path(b.string() + ".old")));
    EXPECT_EQ(launches(), b.string() + "/vorlia 2\n");
    // Nothing else was created or removed beside the odd folders.
    std::vector<std::string> top;
    for (const auto& e : fs::directory_iterator(root_)) {
        top.push_back(e.path().filename().string());
    }
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{odd, "launches.log", "swap.sh", "work " + odd}));
}

} // namespace
} // namespace vorlia
