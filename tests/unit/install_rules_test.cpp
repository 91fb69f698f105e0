// What an update archive may install: modes, links, programs and the new
// application folder.
#include "rules/install_rules.hpp"

#include <gtest/gtest.h>

#include <elf.h>

#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {
namespace {

struct LinkCase {
    const char* entry;
    const char* target;
    bool inside;
};

TEST(LinkStaysInside, ResolvedStepByStepFromTheLinksOwnFolder) {
    const LinkCase cases[] = {
        {"Vorlia.app/lib/libgame.so", "libgame.so.1", true},
        {"Vorlia.app/lib/current", "../share/data", true},
        {"Vorlia.app/lib/Info-link.json", "./..//Info.json", true},
        {"Vorlia.app/a/b/up", "../../lib", true},
        {"top-link", "Vorlia.app", true},
        {"Vorlia.app/self", ".", true},
        {"Vorlia.app/home", "../..", false},
        {"top-link", "..", false},
        {"Vorlia.app/etc", "/etc", false},
        {"Vorlia.app/a", "x/../../../y", false},
        // Climbing out and back in is refused: the folder's own name outside is not ours to rely on.
        {"Vorlia.app/self", "../../w/Vorlia.app", false},
        {"Vorlia.app/empty", "", false},
        // Written as "Vorlia.app/l", one folder higher than its name says.
        {"Vorlia.app/l/.", "../../x", false},
        {"Vorlia.app/l/", "../../x", false},
        {"Vorlia.app//l", "../x", false},
        {"./Vorlia.app/l", "../x", false},
        {"Vorlia.app/./l", "../x", false},
        // "sub" may be a link to "Vorlia.app" itself: from there "../.." is outside.
        {"Vorlia.app/l", "sub/../..", false},
        {"Vorlia.app/Info-link.json", "./lib/../Info.json", false},
    };
    for (const LinkCase& c : cases) {
        EXPECT_EQ(linkStaysInside(c.entry, c.target), c.inside) << c.entry << " -> " << c.target;
    }
}

TEST(InstalledMode, OnlyTheOwnerMayWrite) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0755, 0755},  {0777, 0755},  {0666, 0644}, {0644, 0644}, {04755, 0755},
        {02755, 0755}, {01777, 0755}, {0700, 0700}, {0000, 0000}, {0622, 0600},
    };
    for (const auto& [archived, installed] : cases) {
        EXPECT_EQ(installedMode(archived), installed) << std::oct << archived;
    }
}

std::string ownHeader() {
    std::ifstream self("/proc/self/exe", std::ios::binary);
    std::string header(64, '\0');
    self.read(header.data(), 64);
    return header;
}

std::string withByte(std::string header, std::size_t at, unsigned char value) {
    header.replace(at, 1, 1, static_cast<char>(value));
    return header;
}

TEST(ProgramForThisMachine, OnlyAnElfProgramOfThisMachinesKind) {
    const std::string own = ownHeader();
    EXPECT_TRUE(isProgramFor(own, thisMachine())) << "the test binary itself";
    const std::uint16_t other = thisMachine() == EM_AARCH64 ? EM_X86_64 : EM_AARCH64;
    const struct {
        const char* name;
        std::string header;
        bool program;
    } cases[] = {
        {"a shell script", "#!/bin/sh\nexec game\n" + std::string(40, ' '), false},
        {"empty", "", false},
        {"only the magic", own.substr(0, 4), false},
        {"cut before the machine", own.substr(0, EI_NIDENT + 3), false},
        {"the other word size", withByte(own, EI_CLASS, sizeof(void*) == 8 ? ELFCLASS32 : ELFCLASS64), false},
        {"the other byte order",
         withByte(own, EI_DATA, own[EI_DATA] == ELFDATA2LSB ? ELFDATA2MSB : ELFDATA2LSB), false},
        {"an object file", withByte(withByte(own, EI_NIDENT, ET_REL), EI_NIDENT + 1, 0), false},
        {"a core dump", withByte(withByte(own, EI_NIDENT, ET_CORE), EI_NIDENT + 1, 0), false},
        {"a position-dependent executable", withByte(withByte(own, EI_NIDENT, ET_EXEC), EI_NIDENT + 1, 0),
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isProgramFor(c.header, thisMachine()), c.program) << c.name;
    }
    EXPECT_FALSE(isProgramFor(own, other)) << "a program for another machine";
}

// --- choosing the new application folder ------------------------------------

struct ChoiceCase {
    const char* name;
    std::vector<FolderEntry> entries;
    std::optional<std::string> chosen;
};

class NewApplicationFolderChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(NewApplicationFolderChoice, FirstFolderWithTheExactExtension) {
    EXPECT_EQ(chooseNewApplicationFolder(GetParam().entries), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewApplicationFolderChoice,
    ::testing::Values(
        ChoiceCase{"Single", {{"update.zip", false}, {"Vorlia.app", true}}, "Vorlia.app"},
        ChoiceCase{"Nothing", {}, std::nullopt},
        // The bundle sits inside a sub-folder: nothing at the top level qualifies.
        ChoiceCase{"InsideASubFolder", {{"update.zip", false}, {"release", true}}, std::nullopt},
        ChoiceCase{"TwoBundlesTakesTheFirstListed", {{"B.app", true}, {"A.app", true}}, "B.app"},
        ChoiceCase{"CapitalsAreNotTaken", {{"Vorlia.APP", true}, {"Vorlia.App", true}}, std::nullopt},
        ChoiceCase{"CapitalsBeforeARealOne", {{"Vorlia.APP", true}, {"Other.app", true}}, "Other.app"},
        ChoiceCase{"PlainFileIsPassedOver", {{"x.app", false}, {"Vorlia.app", true}}, "Vorlia.app"},
        ChoiceCase{"OnlyAPlainFile", {{"x.app", false}}, std::nullopt},
        ChoiceCase{
            "LastExtensionCounts", {{"Vorlia.app.bak", true}, {"Vorlia.bak.app", true}}, "Vorlia.bak.app"},
        ChoiceCase{"ExtensionNotSuffix", {{"Vorliaapp", true}, {"app", true}}, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(PathExtension, TextAfterTheLastFullStop) {
    const struct {
        std::string_view name;
        std::string_view extension;
    } cases[] = {
        {"Vorlia.app", "app"}, {"a.b.c", "c"},        {"trailing.", ""}, {"none", ""},
        {".app", "app"},       {"Vorlia.App", "App"}, {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pathExtension(c.name), c.extension) << c.name;
    }
}

} // namespace
} // namespace vorlia
