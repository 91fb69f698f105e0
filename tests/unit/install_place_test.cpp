#include "rules/install_place.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vorlia {
namespace {
namespace fs = std::filesystem;

constexpr std::uint32_t player = 1000;
constexpr std::uint32_t other = 1001;
constexpr std::uint32_t root = 0;

constexpr std::uint32_t playersGroup = 1000;
constexpr std::uint32_t sharedGroup = 100;

FolderFacts folder(std::uint32_t owner, std::uint32_t permissions, std::uint32_t group = sharedGroup) {
    return {owner, S_IFDIR | permissions, group};
}

struct PlaceCase {
    const char* name;
    // From the application folder up to "/".
    std::vector<FolderFacts> facts;
    bool safe;
};

class SafePlace : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(SafePlace, OnlyThePlayerAndRootCanChangeThePath) {
    EXPECT_EQ(isSafePlace(GetParam().facts, player, playersGroup), GetParam().safe);
}

const FolderFacts slash = folder(root, 0755);
const FolderFacts tmp = folder(root, 01777);
const FolderFacts app = folder(player, 0755);

INSTANTIATE_TEST_SUITE_P(
    Cases, SafePlace,
    ::testing::Values(
        // ~/.local/share/vorlia/Vorlia.app
        PlaceCase{"InTheHome",
                  {app, folder(player, 0755), folder(player, 0755), folder(player, 0755),
                   folder(player, 0700), folder(root, 0755), slash},
                  true},
        // /tmp/Vorlia.app: anyone may plant Vorlia.app.old and .new beside it.
        PlaceCase{"DirectlyInTheStickyTemporaryFolder", {app, tmp, slash}, false},
        PlaceCase{"InThePlayersFolderUnderTheTemporaryFolder", {app, folder(player, 0700), tmp, slash}, true},
        PlaceCase{
            "InAnotherAccountsFolderUnderTheTemporaryFolder", {app, folder(other, 0755), tmp, slash}, false},
        PlaceCase{"HoldingFolderWritableByAGroupOfOthers", {app, folder(player, 0775), slash}, false},
        // A umask of 002 with private groups: the group is the player alone.
        PlaceCase{"WritableByThePlayersOwnGroup",
                  {app, folder(player, 0775, playersGroup), folder(player, 0775, playersGroup), slash},
                  true},
        PlaceCase{
            "WritableByThePlayersOwnGroupAndAll", {app, folder(player, 0777, playersGroup), slash}, false},
        PlaceCase{"HoldingFolderWritableByAll", {app, folder(player, 0777), slash}, false},
        PlaceCase{"HoldingFolderStickyAndShared", {app, folder(player, 01777), slash}, false},
        PlaceCase{
            "SharedFolderAboveNotSticky", {app, folder(player, 0755), folder(root, 0777), slash}, false},
        PlaceCase{"StickyFolderAboveOwnedByAnotherAccount",
                  {app, folder(player, 0755), folder(other, 01777), slash},
                  false},
        PlaceCase{"StickyFolderAboveARootFolder",
                  {app, folder(player, 0755), folder(root, 0755), tmp, slash},
                  true},
        PlaceCase{"FolderAboveOwnedByAnotherAccount",
                  {app, folder(player, 0755), folder(other, 0755), slash},
                  false},
        PlaceCase{
            "ApplicationFolderOfAnotherAccount", {folder(other, 0755), folder(player, 0755), slash}, false},
        PlaceCase{"RootsOwnFolders", {folder(root, 0755), folder(root, 0755), slash}, true},
        PlaceCase{"ALinkOnThePath", {app, {player, S_IFLNK | 0777}, slash}, false},
        PlaceCase{"AFileOnThePath", {app, {player, S_IFREG | 0755}, slash}, false},
        PlaceCase{"SlashWritableByAll", {app, folder(player, 0755), folder(root, 0777)}, false},
        PlaceCase{"NoHoldingFolder", {app}, false}),
    [](const auto& info) { return info.param.name; });

struct RegisterCase {
    const char* name;
    const char* folder;
    const char* temporary;
    bool registers;
};

class RegisterFrom : public ::testing::TestWithParam<RegisterCase> {};

TEST_P(RegisterFrom, NeitherTheTemporaryFolderNorAWorkFolder) {
    EXPECT_EQ(mayRegisterFrom(GetParam().folder, GetParam().temporary), GetParam().registers);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterFrom,
    ::testing::Values(
        RegisterCase{"Home", "/home/p/Games/Vorlia.app", "/tmp", true},
        RegisterCase{"InTheTemporaryFolder", "/tmp/Vorlia.app", "/tmp", false},
        RegisterCase{"DeepInTheTemporaryFolder", "/tmp/a/b/Vorlia.app", "/tmp", false},
        RegisterCase{"TemporaryFolderWithASeparator", "/tmp/a/Vorlia.app", "/tmp/", false},
        RegisterCase{"ANameThatOnlyBeginsLikeIt", "/tmpfiles/Vorlia.app", "/tmp", true},
        RegisterCase{"PrivateTemporaryFolder", "/run/user/1000/t/Vorlia.app", "/run/user/1000/t", false},
        RegisterCase{"WorkFolderElsewhere", "/home/p/vrl-update-0A1B/Vorlia.app", "/tmp", false},
        RegisterCase{"NoTemporaryFolder", "/home/p/Vorlia.app", "", true}),
    [](const auto& info) { return info.param.name; });

TEST(SafePlaceWithoutAPrivateGroup, AGroupThatMayWriteIsAnotherWriter) {
    const std::vector<FolderFacts> facts = {app, folder(player, 0775, playersGroup), slash};
    EXPECT_FALSE(isSafePlace(facts, player, std::nullopt));
    EXPECT_TRUE(isSafePlace(facts, player, playersGroup));
}

TEST(WorkFolderName, ThePrefixAndMore) {
    EXPECT_TRUE(isWorkFolderName("vrl-update-0A1B"));
    EXPECT_FALSE(isWorkFolderName("vrl-update-"));
    EXPECT_FALSE(isWorkFolderName("VRL-update-0A1B"));
    EXPECT_FALSE(isWorkFolderName("my-vrl-update-0A1B"));
}

std::string startOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    return text.substr(0, 64 * 1024);
}

// The interpreter as this very program names it, and every way its headers
// can fail to show it.
TEST(ProgramInterpreter, ReadFromTheProgramHeaders) {
    const std::string self = startOf("/proc/self/exe");
    const auto interpreter = programInterpreter(self);
    ASSERT_TRUE(interpreter);
    ASSERT_FALSE(interpreter->none);
    EXPECT_TRUE(fs::path(interpreter->path).is_absolute()) << interpreter->path;
    EXPECT_TRUE(fs::exists(interpreter->path)) << interpreter->path;

    const std::size_t at = self.find(interpreter->path + '\0');
    ASSERT_NE(at, std::string::npos);
    std::string unterminated = self;
    unterminated[at + interpreter->path.size()] = 'x';
    EXPECT_FALSE(programInterpreter(unterminated)) << "a name without its end";
    EXPECT_FALSE(programInterpreter(self.substr(0, at))) << "the name beyond what was read";
    EXPECT_FALSE(programInterpreter(self.substr(0, 70))) << "program headers beyond what was read";
    EXPECT_FALSE(programInterpreter(self.substr(0, 16)));
    EXPECT_FALSE(programInterpreter("#!/bin/sh\necho not a program\n"));
    std::string otherClass = self;
    otherClass[4] = static_cast<char>(otherClass[4] == 1 ? 2 : 1); // EI_CLASS
    EXPECT_FALSE(programInterpreter(otherClass));
}

TEST(ProgramInterpreter, AStaticProgramNeedsNone) {
    // Debian's ldconfig is linked statically.
    if (!fs::exists("/sbin/ldconfig")) {
        GTEST_SKIP() << "no /sbin/ldconfig here";
    }
    const auto interpreter = programInterpreter(startOf("/sbin/ldconfig"));
    ASSERT_TRUE(interpreter);
    EXPECT_TRUE(interpreter->none);
}

} // namespace
} // namespace vorlia
