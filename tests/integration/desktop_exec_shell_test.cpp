// The desktop entry's Exec= run by real shells from real folders whose names
// hold every mark a shell or a desktop reads specially, beside decoy folders
// that an unquoted glob, brace or variable would pick instead.
#include "base/handle.hpp"
#include "rules/desktop_entry.hpp"
#include "support/process.hpp"
#include "support/temp_folder.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vorlia {
namespace {
namespace fs = std::filesystem;

// A program that prints the path it was started as.
void writeProgram(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\nprintf '%s' \"$0\"\n";
    fs::permissions(path, fs::perms(0755));
}

// The Exec= value as a desktop that hands it to a shell sees it: read as a
// key file, "%%" made "%".
std::string execCommand(const std::string& entryText) {
    const Handle<GKeyFile> file(g_key_file_new());
    if (!g_key_file_load_from_data(file.get(), entryText.data(), entryText.size(), G_KEY_FILE_NONE,
                                   nullptr)) {
        return "unreadable";
    }
    const GText exec(g_key_file_get_string(file.get(), "Desktop Entry", "Exec", nullptr));
    std::string command;
    for (const char* c = exec.get(); *c != '\0'; ++c) {
        command += *c;
        if (*c == '%' && c[1] == '%') {
            ++c;
        }
    }
    return command;
}

std::string startedThrough(const char* shell, const std::string& command) {
    const test::CommandResult result = test::runCommand({shell, "-c", command});
    if (!result.ran) {
        return "not started";
    }
    return result.succeeded() ? result.output : "failed: " + result.output;
}

TEST(DesktopExecThroughAShell, StartsThatVeryProgramWhateverTheFolderIsNamed) {
    const test::TempFolder root;
    for (const char* decoy : {"xay", "xby", "x", "xy"}) {
        writeProgram(root / decoy / "vorlia");
    }
    const char* names[] = {"x[ab]y", "x{a,b}y", "x*y",  "x?y",      "x$HOME", "x${PWD}y", "x;y",
                           "x|y",    "x&y",     "x y",  "x'y",      "x\"y",   "x`y`",     "x\\y",
                           "x!y",    "x#y",     "x(y)", "x<y>",     "x=y",    "x^y",      "x%y",
                           "x%%u",   "x~y",     "~x",   "x-_.+,:@y"};
    for (const char* shell : {"/bin/sh", "/bin/bash"}) {
        if (!fs::exists(shell)) {
            continue;
        }
        for (const char* name : names) {
            const fs::path program = root / name / "vorlia";
            writeProgram(program);
            const auto entry = userDesktopEntry("[Desktop Entry]\nExec=vorlia\n", program.string());
            ASSERT_TRUE(entry.has_value()) << name;
            EXPECT_EQ(startedThrough(shell, execCommand(*entry)), program.string()) << shell << ' ' << name;
        }
    }
}

} // namespace
} // namespace vorlia
