#include "update/install_steps.hpp"

#include "base/files.hpp"
#include "base/handle.hpp"
#include "place/application_place.hpp"
#include "support/temp_folder.hpp"
#include "support/zip_writer.hpp"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vorlia {
namespace {
namespace fs = std::filesystem;

// --- real folders -------------------------------------------------------------

class RealFolders : public ::testing::Test {
  protected:
    static void writeFile(const fs::path& path, const std::string& text, fs::perms perms = fs::perms(0644)) {
        makeFolders(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        fs::permissions(path, perms);
    }
    static mode_t modeOf(const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode;
    }
    const test::TempFolder temp_;
    const fs::path root_ = temp_.path();
};

using ApplicationFolder = RealFolders;

TEST_F(ApplicationFolder, NeedsTheExtensionAnExecutableAndInfo) {
    const fs::path good = root_ / "Vorlia.app";
    writeFile(good / "vorlia", "#!/bin/sh\n", fs::perms(0755));
    writeFile(good / "Info.json", "{}");
    EXPECT_TRUE(isApplicationFolder(good));

    const fs::path buildTree = root_ / "build";
    makeFolders(buildTree);
    fs::copy(good, buildTree, fs::copy_options::recursive);
    EXPECT_FALSE(isApplicationFolder(buildTree)) << "a folder without the extension is never replaced";

    const fs::path noInfo = root_ / "NoInfo.app";
    writeFile(noInfo / "vorlia", "#!/bin/sh\n", fs::perms(0755));
    EXPECT_FALSE(isApplicationFolder(noInfo));

    const fs::path notExecutable = root_ / "Plain.app";
    writeFile(notExecutable / "vorlia", "#!/bin/sh\n", fs::perms(0644));
    writeFile(notExecutable / "Info.json", "{}");
    EXPECT_FALSE(isApplicationFolder(notExecutable));

    const fs::path folderAsExecutable = root_ / "Odd.app";
    makeFolders(folderAsExecutable / "vorlia");
    writeFile(folderAsExecutable / "Info.json", "{}");
    EXPECT_FALSE(isApplicationFolder(folderAsExecutable));

    writeFile(root_ / "file.app", "not a folder");
    EXPECT_FALSE(isApplicationFolder(root_ / "file.app"));
}

// The rule over what lstat says of real folders: a shared sticky folder like
// /tmp, a folder inside it that is the player's, one that another account owns.
TEST_F(ApplicationFolder, SafePlaceFromWhatLstatSays) {
    const fs::path shared = root_ / "shared";
    makeFolders(shared / "mine" / "Vorlia.app");
    makeFolders(shared / "Vorlia.app");
    fs::permissions(shared, fs::perms(01777));
    fs::permissions(shared / "mine", fs::perms(0755));
    EXPECT_FALSE(isSafePlaceFor(shared / "Vorlia.app"));
    EXPECT_TRUE(isSafePlaceFor(shared / "mine" / "Vorlia.app"));
    EXPECT_FALSE(isSafePlaceFor(root_ / "absent" / "Vorlia.app"));
    EXPECT_FALSE(isSafePlaceFor(fs::path("shared") / "mine" / "Vorlia.app")) << "a relative path";
    EXPECT_FALSE(isSafePlaceFor(shared / "mine" / ".." / "mine" / "Vorlia.app")) << "a path not resolved";
    fs::create_directory_symlink(shared / "mine", root_ / "link");
    EXPECT_FALSE(isSafePlaceFor(root_ / "link" / "Vorlia.app"));
    if (::getuid() != 0) {
        GTEST_SKIP() << "giving a folder to another account needs root";
    }
    ASSERT_EQ(::lchown((shared / "mine").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(isSafePlaceFor(shared / "mine" / "Vorlia.app"));
}

// The real loader lists the libraries: a program that needs a library, or a
// symbol version, this machine lacks could never start.
TEST_F(ApplicationFolder, LibrariesResolveAsTheLoaderListsThem) {
    std::ifstream in("/usr/bin/true", std::ios::binary);
    const std::string program(std::istreambuf_iterator<char>(in), {});
    const auto replaced = [&program](const std::string& from, const std::string& to) {
        std::string changed = program;
        const std::size_t at = changed.find(from + '\0');
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) {
            changed.replace(at, from.size(), to);
        }
        return changed;
    };
    const std::string interpreter = [&program] {
        const std::size_t at = program.find("/lib");
        return program.substr(at, program.find('\0', at) - at);
    }();
    struct Case {
        const char* name;
        std::string bytes;
        bool resolves;
    };
    const std::vector<Case> cases = {
        {"AsItIs", program, true},
        {"MissingLibrary", replaced("libc.so.6", "libZ.so.6"), false},
        {"MissingSymbolVersion", replaced("GLIBC_2.3.4", "GLIBC_9.3.4"), false},
        {"MissingInterpreter", replaced(interpreter, std::string(interpreter).replace(1, 1, "X")), false},
        {"RelativeInterpreter", replaced(interpreter, "l" + interpreter.substr(1)), false},
        {"AScript", "#!/bin/sh\nexit 0\n", false},
        {"Empty", "", false},
    };
    Handle<char*> environment(g_get_environ());
    for (const Case& c : cases) {
        writeFile(root_ / c.name, c.bytes, fs::perms(0755));
        EXPECT_EQ(librariesResolve(root_ / c.name, environment.get()), c.resolves) << c.name;
    }
    if (fs::exists("/sbin/ldconfig")) {
        EXPECT_TRUE(librariesResolve("/sbin/ldconfig", environment.get())) << "a static program needs none";
    }
}

using WorkFolder = RealFolders;

TEST_F(WorkFolder, NamedWithAnUpperCaseUuid) {
    const fs::path w = newWorkFolderPath(root_);
    EXPECT_EQ(w.parent_path(), root_);
    const std::string name = w.filename().string();
    ASSERT_EQ(name.size(), 11U + 36U);
    EXPECT_EQ(name.substr(0, 11), "vrl-update-");
    for (std::size_t i = 11; i < name.size(); ++i) {
        const char c = name[i];
        const bool hyphen = i == 11 + 8 || i == 11 + 13 || i == 11 + 18 || i == 11 + 23;
        EXPECT_TRUE(hyphen ? c == '-' : (std::isdigit(c) || (c >= 'A' && c <= 'F'))) << name;
    }
    EXPECT_NE(newWorkFolderPath(root_), w);
}

TEST_F(WorkFolder, CreatedForTheUserOnlyWhateverTheUmask) {
    const mode_t old = ::umask(0277);
    const auto made = createPrivateFolder(root_ / "missing-parent" / "vrl-update-X");
    ::umask(old);
    ASSERT_TRUE(made) << made.error();
    EXPECT_EQ(modeOf(root_ / "missing-parent" / "vrl-update-X") & 07777, 0700U);
}

TEST_F(WorkFolder, AnExistingFolderIsNotReused) {
    makeFolders(root_ / "vrl-update-X");
    const auto made = createPrivateFolder(root_ / "vrl-update-X");
    ASSERT_FALSE(made);
    EXPECT_NE(made.error().find("exists"), std::string::npos) << made.error();
}

TEST_F(WorkFolder, ListingKeepsHiddenEntriesAndTellsFoldersFromFilesAndLinks) {
    makeFolders(root_ / "Vorlia.app");
    makeFolders(root_ / ".hidden.app");
    writeFile(root_ / "x.app", "");
    fs::create_directory_symlink(root_ / "Vorlia.app", root_ / "link.app");
    auto listed = listFolder(root_);
    ASSERT_TRUE(listed);
    std::map<std::string, bool> seen;
    for (const FolderEntry& e : *listed) {
        seen[e.name] = e.isFolder;
    }
    EXPECT_EQ(seen, (std::map<std::string, bool>{
                        {".hidden.app", true}, {"Vorlia.app", true}, {"link.app", false}, {"x.app", false}}));
    EXPECT_FALSE(listFolder(root_ / "absent"));
}

TEST_F(WorkFolder, ScriptWrittenWhole) {
    ASSERT_TRUE(writeFileAtomically(root_ / "swap.sh", "old"));
    ASSERT_TRUE(writeFileAtomically(root_ / "swap.sh", "#!/bin/sh\necho new"));
    std::ifstream in(root_ / "swap.sh");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "#!/bin/sh\necho new");
    const auto refused = writeFileAtomically(root_ / "absent" / "swap.sh", "x");
    ASSERT_FALSE(refused);
    EXPECT_FALSE(refused.error().empty());
}

// --- unpacking real zip archives ----------------------------------------------

using test::bundleEntries;
using test::writeZip;
using Entry = test::ZipEntry;

using Unpack = RealFolders;

TEST_F(Unpack, KeepsPermissionsAndYieldsAnApplicationFolder) {
    writeZip(root_ / "update.zip", bundleEntries());
    const fs::path w = root_ / "w";
    makeFolders(w);
    ASSERT_TRUE(unpackArchive(root_ / "update.zip", w));
    EXPECT_TRUE(isApplicationFolder(w / "Vorlia.app"));
    EXPECT_EQ(modeOf(w / "Vorlia.app" / "vorlia") & 07777, 0755U);
    EXPECT_EQ(modeOf(w / "Vorlia.app" / "Info.json") & 07777, 0644U);
}

// A file larger than the blocks the unpacking reads and writes, and not a
// multiple of one, comes out byte for byte, stored as the release tool stores
// incompressible files, or compressed.
TEST_F(Unpack, LargeFileComesOutWhole) {
    std::string content(3'000'017, '\0');
    std::mt19937 random(11);
    for (char& c : content) {
        c = static_cast<char>(random());
    }
    for (const char* compression : {"store", "deflate"}) {
        std::vector<Entry> entries = bundleEntries();
        entries.push_back({"Vorlia.app/payload.bin", AE_IFREG, 0644, content});
        const fs::path zip = root_ / (std::string(compression) + ".zip");
        writeZip(zip, entries, compression);
        const fs::path w = root_ / compression;
        makeFolders(w);
        ASSERT_TRUE(unpackArchive(zip, w)) << compression;
        std::ifstream in(w / "Vorlia.app" / "payload.bin", std::ios::binary);
        EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == content) << compression;
    }
}

// Never a set-id program, nor anything others could change, from an archive.
TEST_F(Unpack, InstallsOnlyTheOwnersWriteBit) {
    const std::map<mode_t, mode_t> installed = {{06755, 0755}, {0777, 0755}, {0666, 0644},
                                                {0775, 0755},  {0700, 0700}, {0444, 0444}};
    std::vector<Entry> entries = bundleEntries();
    for (const auto& [archived, expected] : installed) {
        entries.push_back({"Vorlia.app/mode-" + std::to_string(archived), AE_IFREG, archived, "x"});
        entries.push_back(
            {"Vorlia.app/folder-" + std::to_string(archived) + "/", AE_IFDIR, archived | 0700, ""});
    }
    writeZip(root_ / "update.zip", entries);
    makeFolders(root_ / "w");
    ASSERT_TRUE(unpackArchive(root_ / "update.zip", root_ / "w"));
    for (const auto& [archived, expected] : installed) {
        EXPECT_EQ(modeOf(root_ / "w" / "Vorlia.app" / ("mode-" + std::to_string(archived))) & 07777, expected)
            << std::oct << archived;
        EXPECT_EQ(modeOf(root_ / "w" / "Vorlia.app" / ("folder-" + std::to_string(archived))) & 07777,
                  (archived | 0700) & 0755)
            << std::oct << archived;
    }
}

TEST_F(Unpack, KeepsLinksThatStayInsideTheFolder) {
    std::vector<Entry> entries = bundleEntries();
    entries.push_back({"Vorlia.app/lib/", AE_IFDIR, 0755, ""});
    entries.push_back({"Vorlia.app/lib/libgame.so.1", AE_IFREG, 0644, "x"});
    entries.push_back({"Vorlia.app/lib/libgame.so", AE_IFLNK, 0777, "libgame.so.1"});
    entries.push_back({"Vorlia.app/lib/Info-link.json", AE_IFLNK, 0777, "./..//Info.json"});
    writeZip(root_ / "update.zip", entries);
    makeFolders(root_ / "w");
    ASSERT_TRUE(unpackArchive(root_ / "update.zip", root_ / "w"));
    const fs::path app = root_ / "w" / "Vorlia.app";
    EXPECT_EQ(fs::read_symlink(app / "lib" / "libgame.so"), "libgame.so.1");
    EXPECT_TRUE(S_ISLNK(modeOf(app / "lib" / "Info-link.json")));
    EXPECT_TRUE(fs::equivalent(app / "lib" / "Info-link.json", app / "Info.json"));
}

TEST_F(Unpack, ThroughALinkedTemporaryFolder) {
    makeFolders(root_ / "real" / "w");
    fs::create_directory_symlink(root_ / "real", root_ / "tmp-link");
    writeZip(root_ / "update.zip", bundleEntries());
    ASSERT_TRUE(unpackArchive(root_ / "update.zip", root_ / "tmp-link" / "w"));
    EXPECT_TRUE(isApplicationFolder(root_ / "real" / "w" / "Vorlia.app"));
}

std::uintmax_t bytesUnder(const fs::path& folder) {
    std::uintmax_t total = 0;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        total += item.is_regular_file() && !item.is_symlink() ? item.file_size() : 0;
    }
    return total;
}

// An archive beyond its bounds fails, and never writes a byte past them.
TEST_F(Unpack, StopsAtItsBoundsOnEntriesAndBytes) {
    const std::vector<Entry> bundle = bundleEntries();
    const std::uint64_t bundleBytes = bundle[1].content.size() + bundle[2].content.size();
    writeZip(root_ / "bundle.zip", bundle);
    // 8 MiB of zeros deflated to a few KiB, which says it holds one byte.
    std::vector<Entry> lying = bundleEntries();
    lying.push_back({"Vorlia.app/zeros", AE_IFREG, 0644, std::string(8 << 20, '\0')});
    writeZip(root_ / "lying.zip", lying, "deflate");
    test::setZipEntryDeclaredSize(root_ / "lying.zip", "Vorlia.app/zeros", 1);
    const struct {
        const char* name;
        const char* zip;
        UnpackLimits limits;
        bool unpacked;
    } cases[] = {
        {"as many entries as allowed", "bundle.zip", {bundleBytes, 3}, true},
        {"one entry too many", "bundle.zip", {bundleBytes, 2}, false},
        {"one byte too many", "bundle.zip", {bundleBytes - 1, 3}, false},
        {"more than it declares", "lying.zip", {bundleBytes + (1 << 20), 4}, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const fs::path w = root_ / ("w" + std::to_string(n++));
        makeFolders(w);
        EXPECT_EQ(unpackArchive(root_ / c.zip, w, c.limits), c.unpacked) << c.name;
        EXPECT_LE(bytesUnder(w), c.limits.totalBytes) << c.name;
    }
}

struct EscapeCase {
    const char* name;
    std::vector<Entry> entries;
};

class UnpackRefuses : public RealFolders, public ::testing::WithParamInterface<EscapeCase> {};

// The archive is refused as a whole, nothing lands beside the work folder,
// and no link written before the refusal leads out of it.
TEST_P(UnpackRefuses, WritesNothingOutsideTheWorkFolder) {
    const fs::path w = root_ / "deep" / "w";
    makeFolders(w);
    makeFolders(root_ / "outside");
    writeZip(root_ / "update.zip", GetParam().entries);
    EXPECT_FALSE(unpackArchive(root_ / "update.zip", w));
    for (const auto& item : fs::recursive_directory_iterator(root_)) {
        const fs::path p = item.path();
        const bool inside = p.string().rfind(w.string(), 0) == 0;
        EXPECT_TRUE(inside || p == root_ / "update.zip" || p == root_ / "deep" || p == w ||
                    p == root_ / "outside")
            << "written outside: " << p;
        if (inside && item.is_symlink()) {
            // The link's text resolved, not the link: a target that does not
            // exist would leave the link itself as its own resolution.
            const fs::path resolved = fs::weakly_canonical(p.parent_path() / fs::read_symlink(p));
            EXPECT_EQ(resolved.string().rfind(fs::canonical(w).string() + "/", 0), 0U)
                << p << " leads to " << resolved;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnpackRefuses,
    ::testing::Values(
        EscapeCase{"DotDot", {{"../escaped", AE_IFREG, 0644, "x"}}},
        EscapeCase{"DotDotAfterABundle",
                   {{"Vorlia.app/", AE_IFDIR, 0755, ""}, {"Vorlia.app/../../escaped", AE_IFREG, 0644, "x"}}},
        EscapeCase{"DotDotDirectory", {{"../../outside/", AE_IFDIR, 0755, ""}}},
        EscapeCase{"Absolute", {{"/tmp/vorlia-escaped-by-absolute-name", AE_IFREG, 0644, "x"}}},
        EscapeCase{"ThroughAPlantedLink",
                   {{"Vorlia.app/", AE_IFDIR, 0755, ""},
                    {"Vorlia.app/lib", AE_IFLNK, 0777, "../../../outside"},
                    {"Vorlia.app/lib/escaped", AE_IFREG, 0644, "x"}}},
        EscapeCase{"ALinkOutOfTheFolder",
                   {{"Vorlia.app/", AE_IFDIR, 0755, ""}, {"Vorlia.app/home", AE_IFLNK, 0777, "../.."}}},
        EscapeCase{
            "ALinkThatClimbsOutAndBackIn",
            {{"Vorlia.app/", AE_IFDIR, 0755, ""}, {"Vorlia.app/self", AE_IFLNK, 0777, "../../w/Vorlia.app"}}},
        // libarchive writes "Vorlia.app/l/." as "Vorlia.app/l", one folder
        // higher than the link's text was judged from.
        EscapeCase{"ALinkNamedWithATrailingDot",
                   {{"Vorlia.app/", AE_IFDIR, 0755, ""}, {"Vorlia.app/l/.", AE_IFLNK, 0777, "../../x"}}},
        EscapeCase{"ALinkNamedWithADotSegment",
                   {{"Vorlia.app/", AE_IFDIR, 0755, ""}, {"Vorlia.app/./l", AE_IFLNK, 0777, "../x"}}},
        EscapeCase{"AFileNamedWithAnEmptySegment",
                   {{"Vorlia.app/", AE_IFDIR, 0755, ""}, {"Vorlia.app//x", AE_IFREG, 0644, "x"}}},
        // "sub" leads to "Vorlia.app" itself, so "sub/../.." is the work folder's parent.
        EscapeCase{"ALinkClimbingThroughAnotherLink",
                   {{"Vorlia.app/", AE_IFDIR, 0755, ""},
                    {"Vorlia.app/sub", AE_IFLNK, 0777, "."},
                    {"Vorlia.app/l", AE_IFLNK, 0777, "sub/../.."}}},
        EscapeCase{
            "ThroughAnAbsoluteLink",
            {{"lib", AE_IFLNK, 0777, "/tmp"}, {"lib/vorlia-escaped-through-link", AE_IFREG, 0644, "x"}}}),
    [](const auto& info) { return info.param.name; });

// How a file system refuses a write halfway through an entry.
enum class Refusal { FileSizeLimit, FullFileSystem };

// Runs the unpacking in a child process that meets the refusal; its exit
// status is 0 for success, 1 for failure, 77 when the refusal cannot be set up.
int unpackRefused(Refusal refusal, const fs::path& zip, const fs::path& w) {
    const pid_t child = fork();
    if (child == 0) {
        if (refusal == Refusal::FileSizeLimit) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{64 * 1024, 64 * 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
        } else {
            // A small tmpfs of the child's own, with or without root.
            if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
                _exit(77);
            }
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", w.c_str(), "tmpfs", 0, "size=256k") != 0) {
                _exit(77);
            }
        }
        _exit(unpackArchive(zip, w) ? 0 : 1);
    }
    int status = 0;
    if (child == -1 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A write refused halfway must fail the unpacking. A full disk is the sly
// one: the entry is then extended to its size with a hole, so that a
// cut-short file would look whole.
TEST_F(Unpack, FailsWhenAFileCannotBeWrittenWhole) {
    std::vector<Entry> entries = bundleEntries();
    entries.push_back({"Vorlia.app/data.bin", AE_IFREG, 0644, std::string(1 << 20, 'v')});
    writeZip(root_ / "update.zip", entries);
    for (const auto& [refusal, name] : {std::pair{Refusal::FileSizeLimit, "file size limit"},
                                        std::pair{Refusal::FullFileSystem, "full file system"}}) {
        const fs::path w = root_ / (std::string("w ") + name);
        makeFolders(w);
        const int status = unpackRefused(refusal, root_ / "update.zip", w);
        if (status == 77) {
            std::cout << "cannot mount a tmpfs here: " << name << " not tried\n";
            continue;
        }
        EXPECT_EQ(status, 1) << name << ": a cut-short file was taken for a whole one";
    }
}

// An entry whose bytes do not match the checksum the archive carries for
// them is damaged, even though the archive as a whole matched its digest.
TEST_F(Unpack, RefusesAnEntryWithAWrongChecksum) {
    const std::string content(4096, 'v');
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    // Stored, so that a byte of the entry can be changed in place.
    ASSERT_EQ(archive_write_set_format_option(a, "zip", "compression", "store"), ARCHIVE_OK);
    ASSERT_EQ(archive_write_open_filename(a, (root_ / "update.zip").c_str()), ARCHIVE_OK);
    for (const Entry& e : bundleEntries()) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, e.perm);
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        archive_write_header(a, entry);
        archive_write_data(a, e.content.data(), e.content.size());
        archive_entry_free(entry);
    }
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, "Vorlia.app/data.bin");
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
    archive_write_header(a, entry);
    archive_write_data(a, content.data(), content.size());
    archive_entry_free(entry);
    archive_write_close(a);
    archive_write_free(a);

    std::ifstream in(root_ / "update.zip", std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    const std::size_t at = bytes.find(content);
    ASSERT_NE(at, std::string::npos);
    makeFolders(root_ / "intact");
    ASSERT_TRUE(unpackArchive(root_ / "update.zip", root_ / "intact"));
    bytes[at + 100] = 'x';
    writeFile(root_ / "damaged.zip", bytes);
    makeFolders(root_ / "w");
    EXPECT_FALSE(unpackArchive(root_ / "damaged.zip", root_ / "w"));
}

TEST_F(Unpack, RefusesWhatIsNotAWholeZip) {
    writeZip(root_ / "good.zip", bundleEntries());
    std::ifstream in(root_ / "good.zip", std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    writeFile(root_ / "truncated.zip", bytes.substr(0, bytes.size() / 2));
    writeFile(root_ / "text.zip", "this is not an archive\n");
    writeFile(root_ / "empty.zip", "");
    for (const char* name : {"truncated.zip", "text.zip", "empty.zip", "absent.zip"}) {
        const fs::path w = root_ / (std::string("w-") + name);
        makeFolders(w);
        EXPECT_FALSE(unpackArchive(root_ / name, w)) << name;
    }
}

// --- what earlier updates left behind -------------------------------------------

using Leftovers = RealFolders;

// A work folder as an update leaves it, holding an application folder of `version` when given.
fs::path workFolderOf(const fs::path& tmp, const std::string& name, std::optional<std::string> version) {
    const fs::path w = tmp / name;
    makeFolders(w);
    std::ofstream(w / "update.zip") << "PK";
    if (version) {
        makeFolders(w / "Vorlia.app");
        std::ofstream(w / "Vorlia.app" / "vorlia") << "x";
        fs::permissions(w / "Vorlia.app" / "vorlia", fs::perms(0755));
        std::ofstream(w / "Vorlia.app" / "Info.json")
            << "{\"CFBundleShortVersionString\": \"" << *version << "\"}";
    }
    return w;
}

TEST_F(Leftovers, RemovesFailedUpdatesAndKeepsANewerOneNotYetMoved) {
    const fs::path tmp = root_ / "tmp";
    const fs::path failed = workFolderOf(tmp, "vrl-update-1", std::nullopt);
    const fs::path moved = workFolderOf(tmp, "vrl-update-2", std::nullopt); // its folder went by the swap
    const fs::path waiting = workFolderOf(tmp, "vrl-update-3", "2.1");
    const fs::path installed = workFolderOf(tmp, "vrl-update-4", "2.0");
    const fs::path older = workFolderOf(tmp, "vrl-update-5", "1.9");
    const fs::path other = workFolderOf(tmp, "not-ours", std::nullopt);
    const fs::path plainFile = tmp / "vrl-update-file";
    std::ofstream(plainFile) << "x";
    // An update this run is making must not be swept away under it.
    const fs::path current = workFolderOf(tmp, "vrl-update-6", std::nullopt);
    const std::int64_t startedAt = g_get_real_time() / G_USEC_PER_SEC;
    struct timespec later[2] = {{0, UTIME_OMIT}, {startedAt + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, current.c_str(), later, 0), 0);

    removeLeftoverWorkFolders(tmp, "2.0", startedAt + 1, root_ / "apps" / "Vorlia.app");
    EXPECT_FALSE(fs::exists(failed));
    EXPECT_FALSE(fs::exists(moved));
    EXPECT_TRUE(isApplicationFolder(waiting / "Vorlia.app"));
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_FALSE(fs::exists(older));
    EXPECT_TRUE(fs::exists(other / "update.zip"));
    EXPECT_TRUE(fs::exists(plainFile));
    EXPECT_TRUE(fs::exists(current / "update.zip"));

    // Once the running launcher is that version, the waiting one goes too.
    removeLeftoverWorkFolders(tmp, "2.1", startedAt + 1, root_ / "apps" / "Vorlia.app");
    EXPECT_FALSE(fs::exists(waiting));
}

// A second launcher's sweep passes over a folder the first one is using, and
// over the one it runs from itself.
TEST_F(Leftovers, KeepsAFolderInUseAndTheOneTheLauncherRunsFrom) {
    const fs::path tmp = root_ / "tmp";
    const fs::path inUse = workFolderOf(tmp, "vrl-update-1", std::nullopt);
    const fs::path runningFrom = workFolderOf(tmp, "vrl-update-2", "1.0");
    const std::int64_t now = g_get_real_time() / G_USEC_PER_SEC;
    {
        auto lock = WorkFolderLock::take(inUse);
        ASSERT_TRUE(lock) << lock.error();
        EXPECT_FALSE(WorkFolderLock::take(inUse)) << "a folder in use cannot be taken twice";
        removeLeftoverWorkFolders(tmp, "1.0", now + 10, runningFrom / "Vorlia.app");
        EXPECT_TRUE(fs::exists(inUse / "update.zip"));
        EXPECT_TRUE(isApplicationFolder(runningFrom / "Vorlia.app"));
    }
    // Once the first launcher lets go, the folder is a leftover like any other.
    removeLeftoverWorkFolders(tmp, "1.0", now + 10, root_ / "apps" / "Vorlia.app");
    EXPECT_FALSE(fs::exists(inUse));
    EXPECT_FALSE(fs::exists(runningFrom));
    EXPECT_FALSE(WorkFolderLock::take(root_ / "absent"));
}

// Links planted in the temporary folder or inside a work folder are removed
// as links at most: what they point at is never reached.
TEST_F(Leftovers, NeverFollowsALink) {
    const fs::path tmp = root_ / "tmp";
    const fs::path precious = root_ / "precious";
    makeFolders(precious);
    std::ofstream(precious / "save.dat") << "keep";
    makeFolders(tmp);
    fs::create_directory_symlink(precious, tmp / "vrl-update-link");
    const fs::path w = workFolderOf(tmp, "vrl-update-1", std::nullopt);
    fs::create_directory_symlink(precious, w / "inside-link");
    fs::create_symlink(precious / "save.dat", w / "file-link");
    const std::int64_t now = g_get_real_time() / G_USEC_PER_SEC;

    removeLeftoverWorkFolders(tmp, "1.0", now + 10, root_ / "apps" / "Vorlia.app");
    EXPECT_FALSE(fs::exists(w));
    EXPECT_TRUE(fs::is_symlink(tmp / "vrl-update-link"));
    std::ifstream kept(precious / "save.dat");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

// An unpacked archive may hold folders its owner cannot write to, and
// another user's entries must stay where they are.
TEST_F(Leftovers, RemovesReadOnlyFoldersAndLeavesOthersEntries) {
    const fs::path w = root_ / "vrl-update-1";
    makeFolders(w / "Vorlia.app" / "locked");
    std::ofstream(w / "Vorlia.app" / "locked" / "file") << "x";
    fs::permissions(w / "Vorlia.app" / "locked", fs::perms(0500));
    fs::permissions(w / "Vorlia.app", fs::perms(0555));
    EXPECT_TRUE(removeOwnTree(w));
    EXPECT_FALSE(fs::exists(w));
    EXPECT_TRUE(removeOwnTree(w)) << "nothing there is nothing left";

    if (::getuid() != 0) {
        GTEST_SKIP() << "giving an entry to another user needs root";
    }
    makeFolders(w / "sub");
    std::ofstream(w / "sub" / "theirs") << "x";
    std::ofstream(w / "mine") << "x";
    ASSERT_EQ(::lchown((w / "sub" / "theirs").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(removeOwnTree(w));
    EXPECT_TRUE(fs::exists(w / "sub" / "theirs"));
    EXPECT_FALSE(fs::exists(w / "mine"));
    ASSERT_EQ(::lchown(w.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(removeOwnTree(w)) << "another user's folder";
    EXPECT_TRUE(fs::exists(w / "sub" / "theirs"));
}

} // namespace
} // namespace vorlia
