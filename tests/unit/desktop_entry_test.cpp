#include "rules/desktop_entry.hpp"

#include "base/handle.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vorlia {
namespace {

struct ExecCase {
    const char* name;
    std::string executable;
    std::optional<std::string> exec; // the Exec= string as read, or nothing when refused
};

class DesktopExec : public ::testing::TestWithParam<ExecCase> {};

// The application folder's own entry, as the build writes it.
constexpr const char* folderEntry = "[Desktop Entry]\n"
                                    "Type=Application\n"
                                    "Name=Vorlia\n"
                                    "Exec=vorlia\n"
                                    "Icon=io.vorlia.Launcher\n"
                                    "Categories=Game;\n"
                                    "StartupWMClass=Vorlia\n";

// What a desktop does with an entry: read it as a key file, expand the field
// codes, split the command line. The one argument must be the path again.
std::string startedProgram(const std::string& entryText) {
    const Handle<GKeyFile> file(g_key_file_new());
    GError* raw = nullptr;
    if (!g_key_file_load_from_data(file.get(), entryText.data(), entryText.size(), G_KEY_FILE_NONE, &raw)) {
        const Handle<GError> error(raw);
        return std::string("unreadable: ") + error->message;
    }
    const GText exec(g_key_file_get_string(file.get(), "Desktop Entry", "Exec", nullptr));
    std::string expanded;
    for (const char* c = exec.get(); *c != '\0'; ++c) {
        expanded += *c;
        if (*c == '%' && c[1] == '%') {
            ++c;
        }
    }
    int argc = 0;
    char** argv = nullptr;
    if (!g_shell_parse_argv(expanded.c_str(), &argc, &argv, nullptr)) {
        return "unparsable: " + expanded;
    }
    std::string program = argc == 1 ? argv[0] : "argument count " + std::to_string(argc);
    g_strfreev(argv);
    return program;
}

TEST_P(DesktopExec, QuotedSoThatTheDesktopStartsThatVeryPath) {
    const ExecCase& c = GetParam();
    EXPECT_EQ(desktopExecArgument(c.executable), c.exec);
    const auto text = userDesktopEntry(folderEntry, c.executable);
    ASSERT_EQ(text.has_value(), c.exec.has_value());
    if (text) {
        EXPECT_EQ(startedProgram(*text), c.executable);
        EXPECT_TRUE(desktopEntryStarts(*text, c.executable));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DesktopExec,
    ::testing::Values(
        ExecCase{"Plain", "/opt/Games/Vorlia.app/vorlia", "/opt/Games/Vorlia.app/vorlia"},
        ExecCase{"Space", "/home/a/My Games/Vorlia.app/vorlia", "\"/home/a/My Games/Vorlia.app/vorlia\""},
        ExecCase{"ShellCharacters", "/t/My Games' \"x\" $HOME `id` a\\b/Vorlia.app/vorlia",
                 "\"/t/My Games' \\\"x\\\" \\$HOME \\`id\\` a\\\\b/Vorlia.app/vorlia\""},
        ExecCase{"PercentIsNoFieldCode", "/t/100%u/Vorlia.app/vorlia", "/t/100%%u/Vorlia.app/vorlia"},
        ExecCase{"TildeAndHashQuoted", "/t/~a#b/vorlia", "\"/t/~a#b/vorlia\""},
        ExecCase{"GlobAndBraceQuoted", "/t/[ab]{c,d}/vorlia", "\"/t/[ab]{c,d}/vorlia\""},
        ExecCase{"EveryOtherMarkQuoted", "/t/a!b^c=d/vorlia", "\"/t/a!b^c=d/vorlia\""},
        ExecCase{"PlainMarksBare", "/t/a-b_c.d+e,f:g@h/vorlia", "/t/a-b_c.d+e,f:g@h/vorlia"},
        ExecCase{"Unicode", "/home/j\u00fcrgen/Spiele/Vorlia.app/vorlia",
                 "/home/j\u00fcrgen/Spiele/Vorlia.app/vorlia"},
        ExecCase{"NewlineRefused", "/t/a\nb/vorlia", std::nullopt},
        ExecCase{"TabRefused", "/t/a\tb/vorlia", std::nullopt},
        ExecCase{"NotUtf8Refused", "/t/\xff/vorlia", std::nullopt},
        ExecCase{"EmptyRefused", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct EntryCase {
    const char* name;
    std::string folderEntry;
    std::optional<std::string> written; // the user's entry, or nothing when refused
};

class UserDesktopEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(UserDesktopEntry, KeepsTheFolderEntryButItsExecAndMarksIt) {
    const auto written = userDesktopEntry(GetParam().folderEntry, "/g/Vorlia.app/vorlia");
    EXPECT_EQ(written, GetParam().written);
    if (written) {
        EXPECT_EQ(startedProgram(*written), "/g/Vorlia.app/vorlia");
    }
}

INSTANTIATE_TEST_SUITE_P(
    FolderEntries, UserDesktopEntry,
    ::testing::Values(
        EntryCase{"TheBuildsEntry", folderEntry,
                  "[Desktop Entry]\nType=Application\nName=Vorlia\nExec=/g/Vorlia.app/vorlia\n"
                  "Icon=io.vorlia.Launcher\nCategories=Game;\nStartupWMClass=Vorlia\n"
                  "X-Vorlia-Written-By=launcher\n"},
        EntryCase{"OnlyTheMainGroupsExec",
                  "# c=d\n[Desktop Action play]\nExec=vorlia --x\n[Desktop Entry]\nName=V\nExec = vorlia\r\n"
                  "Exec[de]=vorlia\n[Desktop Action b]\nExec=b",
                  "# c=d\n\n[Desktop Action play]\nExec=vorlia --x\n\n[Desktop Entry]\nName=V\n"
                  "Exec=/g/Vorlia.app/vorlia\nExec[de]=vorlia\nX-Vorlia-Written-By=launcher\n\n"
                  "[Desktop Action b]\nExec=b\n"},
        EntryCase{"TheMarkIsTheLaunchersWhateverTheFolderCarries",
                  "[Desktop Entry]\nExec=vorlia\nX-Vorlia-Written-By=someone\nName=V\n",
                  "[Desktop Entry]\nExec=/g/Vorlia.app/vorlia\nX-Vorlia-Written-By=launcher\nName=V\n"},
        // A desktop reads the last of two: that one starts the launcher.
        EntryCase{"TheExecADesktopReads", "[Desktop Entry]\nExec=a\nExec=b\n",
                  "[Desktop Entry]\nExec=a\nExec=/g/Vorlia.app/vorlia\nX-Vorlia-Written-By=launcher\n"},
        EntryCase{"NoKeyFileRefused", "[Desktop Entry]\nExec=vorlia\nnot a key\n", std::nullopt},
        EntryCase{"NoExecRefused", "[Desktop Entry]\nName=Vorlia\n", std::nullopt},
        EntryCase{"ExecOnlyInAnActionRefused", "[Desktop Action a]\nExec=vorlia\n", std::nullopt},
        EntryCase{"NotUtf8Refused", "[Desktop Entry]\nName=\xff\nExec=vorlia\n", std::nullopt},
        EntryCase{"EmptyRefused", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartsCase {
    const char* name;
    std::string entry;
    bool starts;
};

class DesktopEntryStarts : public ::testing::TestWithParam<StartsCase> {};

TEST_P(DesktopEntryStarts, OnlyTheMainGroupsExecCounts) {
    EXPECT_EQ(desktopEntryStarts(GetParam().entry, "/home/a/My Games/Vorlia.app/vorlia"), GetParam().starts);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, DesktopEntryStarts,
    ::testing::Values(
        StartsCase{"Ours", *userDesktopEntry(folderEntry, "/home/a/My Games/Vorlia.app/vorlia"), true},
        StartsCase{"MovedFolder", *userDesktopEntry(folderEntry, "/home/a/Games/Vorlia.app/vorlia"), false},
        StartsCase{"SpacesAroundTheEqualsSign",
                   "[Desktop Entry]\nExec = \"/home/a/My Games/Vorlia.app/vorlia\"  \r\n", true},
        StartsCase{"UnquotedPathIsAnotherCommand",
                   "[Desktop Entry]\nExec=/home/a/My Games/Vorlia.app/vorlia\n", false},
        StartsCase{"OnlyAnActionStartsIt",
                   "[Desktop Entry]\nExec=/usr/bin/other\n[Desktop Action x]\n"
                   "Exec=\"/home/a/My Games/Vorlia.app/vorlia\"\n",
                   false},
        StartsCase{"ActionBeforeTheMainGroup",
                   "[Desktop Action x]\nExec=/usr/bin/other\n[Desktop Entry]\n"
                   "Exec=\"/home/a/My Games/Vorlia.app/vorlia\"\n",
                   true},
        StartsCase{"LocalizedExecIsNotExec",
                   "[Desktop Entry]\nExec[de]=\"/home/a/My Games/Vorlia.app/vorlia\"\n", false},
        StartsCase{"LastOfTwoExecCounts",
                   "[Desktop Entry]\nExec=\"/home/a/My Games/Vorlia.app/vorlia\"\nExec=/usr/bin/other\n",
                   false},
        StartsCase{"NoKeyFile", "[Desktop Entry]\nExec=\"/home/a/My Games/Vorlia.app/vorlia\"\nnot a key\n",
                   false},
        StartsCase{"NoExec", "[Desktop Entry]\nName=Vorlia\n", false}, StartsCase{"Empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vorlia
