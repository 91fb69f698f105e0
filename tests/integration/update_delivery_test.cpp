// "Update now" to the relaunch, without a display: the flow's real download
// from a loopback HTTP server, real archives unpacked into real folders, what
// the player would see recorded, and a recording shell in place of /bin/sh
// (the real shell's swap has tests of its own).
#include "rules/relaunch_script.hpp"
#include "support/digest.hpp"
#include "support/http_server.hpp"
#include "support/main_loop.hpp"
#include "support/recording_update_ui.hpp"
#include "support/signing.hpp"
#include "support/temp_folder.hpp"
#include "support/zip_writer.hpp"
#include "update/update_flow.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <random>

namespace vorlia::test {
namespace {
namespace fs = std::filesystem;
using vorlia::test::bundleEntries;
using vorlia::test::programForThisMachine;
using vorlia::test::setZipEntryMode;
using vorlia::test::sha256Hex;
using vorlia::test::writeZip;
using vorlia::test::ZipEntry;
using Strings = std::vector<std::string>;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void makeLauncher(const fs::path& folder) {
    fs::create_directories(folder);
    std::ofstream(folder / "vorlia") << "#!/bin/sh\n";
    fs::permissions(folder / "vorlia", fs::perms(0755));
    std::ofstream(folder / "Info.json") << "{\"CFBundleShortVersionString\": \"1\"}";
}

class UpdateDelivery : public ::testing::Test {
  protected:
    void SetUp() override {
        bundle = folders / "apps" / "Vorlia.app";
        makeLauncher(bundle);
        fs::create_directories(folders / "tmp");
        // Notes its script, its environment and whether it leads a session of its own.
        std::ofstream(folders / "shell")
            << "#!/bin/sh\n"
            << "echo \"$1\" > '" << (folders / "shell-script").string() << "'\n"
            << "env > '" << (folders / "shell-environment").string() << "'\n"
            << "pwd > '" << (folders / "shell-folder").string() << "'\n"
            << "set -- $(cat /proc/$$/stat | sed 's/.*) //')\n"
            << "ls /proc/$$/fd > '" << (folders / "shell-files").string() << "'\n"
            << "[ \"$4\" = \"$$\" ] && echo leader > '" << (folders / "shell-session").string() << "'\n";
        fs::permissions(folders / "shell", fs::perms(0755));
        settings.updateBaseURL = server.baseURL();
        settings.manifestPublicKeys = {devPublicKey()};
        settings.launcherVersion = "1.0";
        settings.siteHost = "localhost";
        settings.ioTimeout = 2s;
        environment.applicationFolder = [this] { return bundle; };
        environment.temporaryFolder = [this] { return folders / "tmp"; };
        environment.shell = (folders / "shell").string();
        // One setting as the launcher makes it for itself, one as the player does.
        g_setenv("VORLIA_TEST_LAUNCHERS_OWN", "1", TRUE);
        g_setenv("VORLIA_TEST_PLAYERS_OWN", "1", TRUE);
        environment.notPassedOn = {"VORLIA_TEST_LAUNCHERS_OWN"};
        makeFlow();
    }

    void makeFlow() {
        flow.reset();
        flow = std::make_unique<UpdateFlow>(
            settings, ui, [this] { ++quits; }, environment);
    }

    // Serves the archive with these entries at /download/a.zip; its manifest entry.
    UpdateInfo serve(const std::vector<ZipEntry>& entries) {
        writeZip(folders / "served.zip", entries);
        archive = readText(folders / "served.zip");
        server.serve("/download/a.zip", HttpServer::Response{200, "application/zip", archive});
        return UpdateInfo{"2.0", std::nullopt, server.baseURL() + "a.zip", sha256Hex(archive), std::nullopt};
    }

    // Until the update has ended one way or the other.
    bool settled() {
        return runUntil([&] { return flow->stage() == UpdateFlow::Stage::idle || quits > 0; }, 30s);
    }

    std::vector<fs::path> workFolders() {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(folders / "tmp")) {
            found.push_back(e.path());
        }
        return found;
    }

    void expectLauncherUntouched() {
        EXPECT_EQ(readText(bundle / "Info.json"), "{\"CFBundleShortVersionString\": \"1\"}");
        EXPECT_EQ(quits, 0);
        EXPECT_FALSE(fs::exists(folders / "shell-script"));
    }

    TempFolder folders;
    HttpServer server;
    UpdateSettings settings;
    InstallEnvironment environment;
    fs::path bundle;
    std::string archive;
    RecordingUpdateUi ui;
    int quits = 0;
    std::unique_ptr<UpdateFlow> flow;
};

TEST_F(UpdateDelivery, FromTheOfferToTheRelaunchScriptInASessionOfItsOwn) {
    // A descriptor the launcher left inheritable: the script, which outlives
    // the launcher, must not hold it open.
    const int open = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::dup2(open, 200), 200);
    ::close(open);
    UpdateInfo info = serve(bundleEntries("Vorlia 2.app/"));
    const std::string manifest = manifestText({.version = "2.0", .url = info.url, .sha256 = info.sha256});
    server.serve("/download/version.json", HttpServer::Response{200, "application/json", manifest});
    server.serve("/download/version.json.sig",
                 HttpServer::Response{200, "text/plain", signWithDevKey(manifest)});
    flow->check(false);
    ASSERT_TRUE(runUntil([&] { return !ui.replies.empty(); }, 30s));
    ui.answerLast(OfferReply::updateNow);
    EXPECT_EQ(flow->stage(), UpdateFlow::Stage::downloading);

    ASSERT_TRUE(settled());
    EXPECT_EQ(ui.events, (Strings{"offer 2.0", "download 2.0"}));
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(flow->stage(), UpdateFlow::Stage::relaunching);
    for (const auto& p : ui.progress) {
        EXPECT_LE(p.received, archive.size());
        EXPECT_TRUE(!p.total || *p.total == archive.size());
    }

    const std::vector<fs::path> work = workFolders();
    ASSERT_EQ(work.size(), 1U);
    const fs::path script = work[0] / "swap.sh";
    EXPECT_EQ(readText(script),
              relaunchScript(getpid(), bundle.string(), (work[0] / "Vorlia 2.app").string()));
    ASSERT_TRUE(runUntil([&] { return fs::exists(folders / "shell-session"); }));
    EXPECT_EQ(readText(folders / "shell-script"), script.string() + "\n");
    const std::string files = readText(folders / "shell-files");
    ::close(200);
    EXPECT_EQ(("\n" + files).find("\n200\n"), std::string::npos) << files;
    // What the launcher set for itself stays with it; the player's settings go on.
    const std::string settings = "\n" + readText(folders / "shell-environment");
    EXPECT_EQ(settings.find("\nVORLIA_TEST_LAUNCHERS_OWN="), std::string::npos) << settings;
    EXPECT_NE(settings.find("\nVORLIA_TEST_PLAYERS_OWN=1\n"), std::string::npos) << settings;
    // No folder of the player's PATH, nor the launcher's working folder, can
    // put another program in place of the script's commands.
    EXPECT_NE(settings.find("\nPATH=/usr/bin:/bin\n"), std::string::npos) << settings;
    EXPECT_EQ(readText(folders / "shell-folder"), "/\n");
    // The swap itself waits for this process to end.
    EXPECT_EQ(readText(bundle / "Info.json"), "{\"CFBundleShortVersionString\": \"1\"}");

    // Nothing starts once the relaunch is under way.
    flow->startDownload(info);
    runFor(200ms);
    EXPECT_EQ(server.countRequests("/download/a.zip"), 1U);
}

TEST_F(UpdateDelivery, ASecondUpdateNowWhileOneIsUnderWayStartsNothing) {
    const UpdateInfo info = serve(bundleEntries());
    flow->startDownload(info);
    flow->startDownload(info);
    ASSERT_TRUE(settled());
    runFor(500ms);
    EXPECT_EQ(ui.events, Strings{"download 2.0"});
    EXPECT_EQ(server.countRequests("/download/a.zip"), 1U);
    EXPECT_EQ(workFolders().size(), 1U);
    EXPECT_EQ(quits, 1);
}

TEST_F(UpdateDelivery, AnAddressThatDoesNotParseEndsSilently) {
    const std::string origin = server.origin();
    for (const std::string& url :
         {std::string(""), std::string("not a url"), std::string("https://"),
          "ftp" + origin.substr(4) + "/a.zip", origin + "/a b.zip", origin + "/a\"b.zip",
          origin + "/a\nb.zip", std::string("http://[::1/a.zip")}) {
        flow->startDownload(UpdateInfo{"2.0", std::nullopt, url, std::string(64, '0'), std::nullopt});
        EXPECT_EQ(flow->stage(), UpdateFlow::Stage::idle) << url;
    }
    runFor(300ms);
    EXPECT_TRUE(ui.events.empty());
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(workFolders().empty());
}

struct FailureCase {
    const char* name;
    int status;
    bool tamper;
    const char* shown;
    std::int64_t sizeOffset = 0; // the manifest's size, off the archive's by this much
};

class DownloadFailure : public UpdateDelivery, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailure, OneFailureAndNothingReplaced) {
    UpdateInfo info = serve(bundleEntries());
    if (GetParam().status != 200) {
        server.serve("/download/a.zip",
                     HttpServer::Response{GetParam().status, "text/plain", "no archive here"});
    }
    if (GetParam().tamper) {
        info.sha256[0] = info.sha256[0] == '0' ? '1' : '0';
    }
    if (GetParam().sizeOffset != 0) {
        info.size = static_cast<std::int64_t>(archive.size()) + GetParam().sizeOffset;
    }
    std::optional<std::vector<fs::path>> leftAtAlert;
    ui.whenFailed = [&] { leftAtAlert = workFolders(); };
    flow->startDownload(info);
    ASSERT_TRUE(settled());
    runFor(300ms);
    EXPECT_EQ(ui.events, (Strings{"download 2.0", GetParam().shown}));
    expectLauncherUntouched();
    ASSERT_TRUE(leftAtAlert.has_value());
    EXPECT_EQ(*leftAtAlert, std::vector<fs::path>{}) << "a failed download's bytes are still there";

    // The next attempt starts afresh.
    flow->startDownload(info);
    ASSERT_TRUE(settled());
    EXPECT_EQ(ui.events.size(), 4U);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadFailure,
    ::testing::Values(FailureCase{"NotFound", 404, false, "failure: download did not finish"},
                      FailureCase{"Partial", 206, false, "failure: download did not finish"},
                      FailureCase{"ServerError", 500, false, "failure: download did not finish"},
                      FailureCase{"OtherDigest", 200, true, "failure: not genuine"},
                      // A `size` off the length changes nothing: the digest decides.
                      FailureCase{"OtherDigestAndAnotherSize", 200, true, "failure: not genuine", 1}),
    [](const auto& info) { return info.param.name; });

struct UnpackCase {
    const char* name;
    std::vector<ZipEntry> entries;
    // An entry given another file type in the written archive, and that type.
    std::string retyped = {};
    std::uint32_t mode = 0;
    std::optional<UnpackLimits> limits = {};
};

class UnpackFailure : public UpdateDelivery, public ::testing::WithParamInterface<UnpackCase> {};

TEST_P(UnpackFailure, CouldNotBeUnpackedAndNothingReplacedOrLeft) {
    std::optional<std::vector<fs::path>> leftAtAlert;
    ui.whenFailed = [&] { leftAtAlert = workFolders(); };
    if (GetParam().limits) {
        settings.unpackLimits = *GetParam().limits;
        makeFlow();
    }
    UpdateInfo info = serve(GetParam().entries);
    if (!GetParam().retyped.empty()) {
        setZipEntryMode(folders / "served.zip", GetParam().retyped, GetParam().mode);
        archive = readText(folders / "served.zip");
        server.serve("/download/a.zip", HttpServer::Response{200, "application/zip", archive});
        info.sha256 = sha256Hex(archive);
    }
    flow->startDownload(info);
    ASSERT_TRUE(settled());
    EXPECT_EQ(ui.events, (Strings{"download 2.0", "failure: could not be unpacked"}));
    expectLauncherUntouched();
    EXPECT_FALSE(fs::exists(folders / "escaped"));
    ASSERT_TRUE(leftAtAlert.has_value());
    EXPECT_EQ(*leftAtAlert, std::vector<fs::path>{}) << "what was unpacked is still there";
}

// The bundle with its `vorlia` replaced.
std::vector<ZipEntry> withProgram(std::string bytes) {
    std::vector<ZipEntry> e = bundleEntries();
    e[1].content = std::move(bytes);
    return e;
}

std::string programForAnotherMachine() {
    std::string header = programForThisMachine();
    header[18] = static_cast<char>(header[18] ^ 0x7f); // e_machine
    return header;
}

// A program built against a library this machine lacks.
std::string programNeedingAMissingLibrary() {
    std::string program = programForThisMachine();
    const std::size_t at = program.find(std::string("libc.so.6") + '\0');
    return at == std::string::npos ? std::string() : program.replace(at, 4, "libZ");
}

std::vector<ZipEntry> withoutExecutable() {
    std::vector<ZipEntry> e = bundleEntries();
    e.erase(e.begin() + 1);
    return e;
}

std::vector<ZipEntry> withoutInfo() {
    std::vector<ZipEntry> e = bundleEntries();
    e.pop_back();
    return e;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnpackFailure,
    ::testing::Values(UnpackCase{"BundleInASubFolder", bundleEntries("release/Vorlia.app/")},
                      UnpackCase{"NoExecutable", withoutExecutable()}, UnpackCase{"NoInfo", withoutInfo()},
                      UnpackCase{"OnlyAFileNamedApp", {{"Vorlia.app", AE_IFREG, 0755, "#!/bin/sh\n"}}},
                      UnpackCase{"CapitalExtension", bundleEntries("Vorlia.APP/")},
                      UnpackCase{"ScriptForAProgram", withProgram("#!/bin/sh\necho new\n")},
                      UnpackCase{"ProgramForAnotherMachine", withProgram(programForAnotherMachine())},
                      UnpackCase{"ProgramNeedingAMissingLibrary",
                                 withProgram(programNeedingAMissingLibrary())},
                      UnpackCase{"DeviceNode",
                                 [] {
                                     std::vector<ZipEntry> e = bundleEntries();
                                     e.push_back({"Vorlia.app/disk", AE_IFREG, 0666, ""});
                                     return e;
                                 }(),
                                 "Vorlia.app/disk", S_IFCHR | 0666},
                      UnpackCase{"LinkOutOfTheFolder",
                                 [] {
                                     std::vector<ZipEntry> e = bundleEntries();
                                     e.push_back({"Vorlia.app/home", AE_IFLNK, 0777, "../../.."});
                                     return e;
                                 }()},
                      // The bundle holds three entries and 64 + 35 bytes.
                      UnpackCase{"MoreEntriesThanAllowed", bundleEntries(), "", 0, UnpackLimits{1 << 20, 2}},
                      UnpackCase{"MoreBytesThanAllowed", bundleEntries(), "", 0, UnpackLimits{98, 3}},
                      UnpackCase{"EscapingEntry",
                                 [] {
                                     std::vector<ZipEntry> e = bundleEntries();
                                     e.push_back({"../../escaped", AE_IFREG, 0644, "x"});
                                     return e;
                                 }()}),
    [](const auto& info) { return info.param.name; });

// The manifest's `size` is an estimate for the prompt: an archive of another
// length whose digest matches is installed.
TEST_F(UpdateDelivery, AnArchiveOfAnotherLengthThanItsSizeIsInstalled) {
    UpdateInfo info = serve(bundleEntries());
    for (const std::int64_t size :
         {static_cast<std::int64_t>(archive.size()) + 1, static_cast<std::int64_t>(archive.size()) - 1,
          std::int64_t{48'000'000}}) {
        info.size = size;
        quits = 0;
        makeFlow();
        flow->startDownload(info);
        ASSERT_TRUE(settled()) << size;
        EXPECT_EQ(quits, 1) << size;
        EXPECT_EQ(flow->stage(), UpdateFlow::Stage::relaunching) << size;
    }
    EXPECT_EQ(ui.events, (Strings{"download 2.0", "download 2.0", "download 2.0"}));
}

// Writing the download fails (here past the file size limit, as on a full
// disk): the system's words, not "did not finish", and nothing left.
TEST_F(UpdateDelivery, AnArchiveThatCannotBeWrittenIsToldInTheSystemsWords) {
    std::vector<ZipEntry> entries = bundleEntries();
    std::string filler(1 << 20, '\0');
    std::mt19937 random(3);
    for (char& c : filler) {
        c = static_cast<char>(random()); // incompressible: the archive stays larger than the limit
    }
    entries.push_back({"Vorlia.app/filler", AE_IFREG, 0644, filler});
    const UpdateInfo info = serve(entries);
    std::optional<std::vector<fs::path>> leftAtAlert;
    ui.whenFailed = [&] { leftAtAlert = workFolders(); };
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    flow->startDownload(info);
    const bool ended = settled();
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(ended);
    ASSERT_EQ(ui.events.size(), 2U);
    EXPECT_EQ(ui.events[1].rfind("failure: system error: Could not write \u201c" +
                                     (folders / "tmp").string() + "/vrl-update-",
                                 0),
              0U)
        << ui.events[1];
    EXPECT_NE(ui.events[1].find("/update.zip\u201d: " + std::string(g_strerror(EFBIG))), std::string::npos)
        << ui.events[1];
    expectLauncherUntouched();
    ASSERT_TRUE(leftAtAlert.has_value());
    EXPECT_EQ(*leftAtAlert, std::vector<fs::path>{}) << "the bytes written are still there";
}

// A file, folder or process call that fails is told in the system's own words.
TEST_F(UpdateDelivery, SystemFailuresAreToldInTheSystemsWords) {
    const UpdateInfo info = serve(bundleEntries());

    // The temporary folder is a plain file: the work folder cannot be made in it.
    std::ofstream(folders / "not-a-folder") << "x";
    environment.temporaryFolder = [this] { return folders / "not-a-folder"; };
    makeFlow();
    flow->startDownload(info);
    ASSERT_EQ(ui.events.size(), 2U);
    EXPECT_EQ(ui.events[1].rfind("failure: system error: Could not create the folder", 0), 0U)
        << ui.events[1];
    EXPECT_NE(ui.events[1].find((folders / "not-a-folder").string()), std::string::npos) << ui.events[1];
    EXPECT_EQ(server.countRequests("/download/a.zip"), 0U);

    // The relaunch shell cannot be started: the launcher keeps running.
    environment.temporaryFolder = [this] { return folders / "tmp"; };
    environment.shell = (folders / "no-such-shell").string();
    makeFlow();
    ui.events.clear();
    flow->startDownload(info);
    ASSERT_TRUE(settled());
    ASSERT_EQ(ui.events.size(), 2U);
    EXPECT_EQ(ui.events[1].rfind("failure: system error: ", 0), 0U) << ui.events[1];
    EXPECT_NE(ui.events[1].find("no-such-shell"), std::string::npos) << ui.events[1];
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(flow->stage(), UpdateFlow::Stage::idle);
}

// A launcher that does not run from an application folder (a build tree, a
// system folder) never has that folder moved: the new one is handed over.
TEST_F(UpdateDelivery, LauncherOutsideAnApplicationFolderIsAlmostDone) {
    const fs::path buildTree = folders / "build";
    makeLauncher(buildTree);
    environment.applicationFolder = [buildTree] { return buildTree; };
    makeFlow();
    flow->startDownload(serve(bundleEntries()));
    ASSERT_TRUE(settled());
    const std::vector<fs::path> work = workFolders();
    ASSERT_EQ(work.size(), 1U);
    EXPECT_EQ(ui.events, (Strings{"download 2.0", "almost done: " + (work[0] / "Vorlia.app").string()}));
    EXPECT_TRUE(fs::exists(work[0] / "update.zip"));
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(fs::exists(buildTree / "vorlia"));
    EXPECT_FALSE(fs::exists(folders / "shell-script"));
}

// A launcher in a folder that other accounts may write (a shared sticky one,
// as /tmp is) never swaps itself there: they could plant the script's paths.
TEST_F(UpdateDelivery, LauncherInASharedFolderIsAlmostDone) {
    const fs::path shared = folders / "shared";
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms(01777));
    bundle = shared / "Vorlia.app";
    makeLauncher(bundle);
    flow->startDownload(serve(bundleEntries()));
    ASSERT_TRUE(settled());
    const std::vector<fs::path> work = workFolders();
    ASSERT_EQ(work.size(), 1U);
    EXPECT_EQ(ui.events, (Strings{"download 2.0", "almost done: " + (work[0] / "Vorlia.app").string()}));
    expectLauncherUntouched();
    // Handed over: no longer in use, so a later sweep may judge it.
    EXPECT_TRUE(WorkFolderLock::take(work[0]));
}

// The flow may go while its download runs: nothing that ends later reaches
// the screen or starts the relaunch.
TEST_F(UpdateDelivery, AFlowMayGoAwayDuringTheDownload) {
    // The download task holds the flow's session until its callback has run:
    // the session's end proves that the task has ended.
    gpointer session = nullptr;
    // Should the test end first, the session must not write into it later.
    const struct Forget {
        gpointer& session;
        ~Forget() {
            if (session != nullptr) {
                g_object_remove_weak_pointer(G_OBJECT(session), &session);
            }
        }
    } forget{session};
    settings.routeSession = [&session](SoupSession* made) {
        session = made;
        g_object_add_weak_pointer(G_OBJECT(made), &session);
    };
    makeFlow();
    UpdateInfo info = serve(bundleEntries());
    HttpServer::Response late{200, "application/zip", archive, 500ms};
    server.serve("/download/a.zip", late);
    flow->startDownload(info);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(runUntil([&] { return server.countRequests("/download/a.zip") == 1; }));
    // In use while it downloads: no other launcher's sweep may take it.
    ASSERT_EQ(workFolders().size(), 1U);
    EXPECT_FALSE(WorkFolderLock::take(workFolders()[0]));
    flow.reset();
    ASSERT_TRUE(runUntil([&] { return session == nullptr; }, 30s));
    EXPECT_EQ(ui.events, Strings{"download 2.0"});
    expectLauncherUntouched();
}

} // namespace
} // namespace vorlia::test
