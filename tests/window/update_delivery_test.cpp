// "Update now" as a player meets it, in process: the real progress window, a
// real download from a loopback HTTP server, real archives unpacked into real
// folders. Alerts are answered through their seam (the end-to-end test answers
// the real dialogs with key presses), and the relaunch shell is a recording
// one (the real shell's swap has tests of its own).
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "rules/relaunch_script.hpp"
#include "support/zip_writer.hpp"
#include "update/update_delivery.hpp"
#include "update/updater_session.hpp"
#include "window/support/window_test.hpp"

#include "support/digest.hpp"

#include <gtest/gtest.h>
#include <gtkmm/label.h>
#include <gtkmm/progressbar.h>
#include <sodium.h>
#include <unistd.h>

#include <fstream>

namespace vorlia::test {
namespace {
namespace fs = std::filesystem;
using vorlia::testing::bundleEntries;
using vorlia::testing::writeZip;
using vorlia::testing::ZipEntry;

class RecordingAlerts final : public Alerts {
  public:
    void show(const Alert& alert, std::function<void(int)> answer) override {
        shown.push_back(alert);
        answers.push_back(std::move(answer));
    }
    void answer(int button) {
        auto a = std::move(answers.back());
        answers.pop_back();
        if (a) {
            a(button);
        }
    }
    std::vector<Alert> shown;
    std::vector<std::function<void(int)>> answers;
};

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using vorlia::testing::sha256Hex;

template <class W> W* findChild(Gtk::Widget* root) {
    if (auto* w = dynamic_cast<W*>(root)) {
        return w;
    }
    for (Gtk::Widget* child = root->get_first_child(); child != nullptr; child = child->get_next_sibling()) {
        if (W* found = findChild<W>(child)) {
            return found;
        }
    }
    return nullptr;
}

class UpdateDeliveryTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_GE(sodium_init(), 0);
        config = localConfig(server, folders);
        bundle = folders.path() / "apps" / "Vorlia.app";
        makeLauncher(bundle);
        fs::create_directories(folders.path() / "tmp");
        // Notes its script and whether it leads a session of its own.
        std::ofstream(folders.path() / "shell")
            << "#!/bin/sh\n"
            << "echo \"$1\" > '" << (folders.path() / "shell-script").string() << "'\n"
            << "set -- $(cat /proc/$$/stat | sed 's/.*) //')\n"
            << "[ \"$4\" = \"$$\" ] && echo leader > '" << (folders.path() / "shell-session").string()
            << "'\n";
        fs::permissions(folders.path() / "shell", fs::perms(0755));
        game = std::make_unique<Gtk::Window>();
        game->set_default_size(400, 300);
        game->present();
        settings = updateSettings(config, demo::standInHooks(config));
        session = std::make_unique<UpdaterSession>(settings);
        makeDelivery(bundle);
    }
    void TearDown() override {
        delivery.reset();
        session.reset();
        game.reset();
        WindowTest::TearDown();
    }

    static void makeLauncher(const fs::path& folder) {
        fs::create_directories(folder);
        std::ofstream(folder / "vorlia") << "#!/bin/sh\n";
        fs::permissions(folder / "vorlia", fs::perms(0755));
        std::ofstream(folder / "Info.json") << "{\"CFBundleShortVersionString\": \"1\"}";
    }

    void makeDelivery(const fs::path& applicationFolder) {
        InstallEnvironment e;
        e.applicationFolder = [applicationFolder] { return applicationFolder; };
        e.temporaryFolder = [this] { return folders.path() / "tmp"; };
        e.parentWindow = [this] { return game.get(); };
        e.openURI = [this](const std::string& uri) { opened.push_back(uri); };
        e.showInFileManager = [this](const fs::path& item) { shownItems.push_back(item); };
        e.shell = (folders.path() / "shell").string();
        delivery.reset();
        delivery = std::make_unique<UpdateDelivery>(
            settings, alerts, *session, [this] { ++terminated; }, std::move(e));
    }

    // Serves the archive with these entries at /download/a.zip; its manifest entry.
    UpdateInfo serve(const std::vector<ZipEntry>& entries) {
        writeZip(folders.path() / "served.zip", entries);
        const std::string bytes = readText(folders.path() / "served.zip");
        server.route("/download/a.zip", [bytes](const RecordedRequest&) {
            return LocalHttpServer::Response{200, "application/zip", bytes};
        });
        return UpdateInfo{"2.0", std::nullopt, server.origin() + "/download/a.zip", sha256Hex(bytes),
                          std::nullopt};
    }

    bool settled() { return !alerts.shown.empty() || terminated > 0; }

    std::vector<fs::path> workFolders() {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(folders.path() / "tmp")) {
            found.push_back(e.path());
        }
        return found;
    }

    void expectLauncherUntouched() {
        EXPECT_EQ(readText(bundle / "Info.json"), "{\"CFBundleShortVersionString\": \"1\"}");
        EXPECT_EQ(terminated, 0);
        EXPECT_FALSE(fs::exists(folders.path() / "shell-script"));
    }

    Config config;
    UpdateSettings settings;
    LocalHttpServer server;
    std::unique_ptr<Gtk::Window> game; // made once the toolkit is up
    fs::path bundle;
    RecordingAlerts alerts;
    std::vector<std::string> opened;
    std::vector<fs::path> shownItems;
    int terminated = 0;
    std::unique_ptr<UpdaterSession> session;
    std::unique_ptr<UpdateDelivery> delivery;
};

TEST_F(UpdateDeliveryTest, ProgressWindowThenTheRelaunchScriptInASessionOfItsOwn) {
    const UpdateInfo info = serve(bundleEntries("Vorlia 2.app/"));
    delivery->startDownload(info);

    Gtk::Window* progress = delivery->progressWindow();
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->get_title(), "Updating");
    int width = 0;
    int height = 0;
    progress->get_default_size(width, height);
    EXPECT_EQ(width, 340);
    EXPECT_EQ(height, 90);
    EXPECT_FALSE(progress->get_deletable());
    EXPECT_FALSE(progress->get_resizable());
    EXPECT_EQ(progress->get_transient_for(), game.get());
    auto* label = findChild<Gtk::Label>(progress);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->get_text(), "Downloading version 2.0\u2026");
    EXPECT_NE(findChild<Gtk::ProgressBar>(progress), nullptr);
    ASSERT_TRUE(runUntil([&] { return progress->get_mapped(); }));
    saveScreenshot("update-progress-window");

    ASSERT_TRUE(runUntil([&] { return settled(); }, 30s));
    EXPECT_TRUE(alerts.shown.empty()) << alerts.shown.front().detail;
    EXPECT_EQ(terminated, 1);
    // The window stays until the process ends.
    EXPECT_EQ(delivery->progressWindow(), progress);
    EXPECT_TRUE(progress->get_visible());

    const std::vector<fs::path> work = workFolders();
    ASSERT_EQ(work.size(), 1U);
    const fs::path script = work[0] / "swap.sh";
    EXPECT_EQ(readText(script),
              relaunchScript(getpid(), bundle.string(), (work[0] / "Vorlia 2.app").string()));
    ASSERT_TRUE(runUntil([&] { return fs::exists(folders.path() / "shell-session"); }));
    EXPECT_EQ(readText(folders.path() / "shell-script"), script.string() + "\n");
    // The swap itself waits for this process to end.
    EXPECT_EQ(readText(bundle / "Info.json"), "{\"CFBundleShortVersionString\": \"1\"}");
}

TEST_F(UpdateDeliveryTest, ASecondUpdateNowWhileOneIsUnderWayStartsNothing) {
    const UpdateInfo info = serve(bundleEntries());
    delivery->startDownload(info);
    Gtk::Window* first = delivery->progressWindow();
    delivery->startDownload(info);
    EXPECT_EQ(delivery->progressWindow(), first);
    ASSERT_TRUE(runUntil([&] { return settled(); }, 30s));
    runFor(500ms);
    EXPECT_EQ(server.countRequests("/download/a.zip"), 1U);
    EXPECT_EQ(workFolders().size(), 1U);
    EXPECT_EQ(terminated, 1);
}

TEST_F(UpdateDeliveryTest, AnAddressThatDoesNotParseEndsSilently) {
    const std::string origin = server.origin();
    for (const std::string& url :
         {std::string(""), std::string("not a url"), std::string("https://"),
          "ftp" + origin.substr(4) + "/a.zip", origin + "/a b.zip", origin + "/a\"b.zip",
          origin + "/a\nb.zip", std::string("http://[::1/a.zip")}) {
        delivery->startDownload(UpdateInfo{"2.0", std::nullopt, url, std::string(64, '0'), std::nullopt});
        EXPECT_EQ(delivery->progressWindow(), nullptr) << url;
        EXPECT_FALSE(delivery->underWay()) << url;
    }
    runFor(300ms);
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(workFolders().empty());
}

struct FailureCase {
    const char* name;
    int status;
    bool tamper;
    const char* message;
};

class DownloadFailure : public UpdateDeliveryTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailure, OneAlertAndNothingReplaced) {
    UpdateInfo info = serve(bundleEntries());
    if (GetParam().status != 200) {
        server.route("/download/a.zip", [status = GetParam().status](const RecordedRequest&) {
            return LocalHttpServer::Response{status, "text/plain", "no archive here"};
        });
    }
    if (GetParam().tamper) {
        info.sha256[0] = info.sha256[0] == '0' ? '1' : '0';
    }
    delivery->startDownload(info);
    ASSERT_TRUE(runUntil([&] { return settled(); }, 30s));
    runFor(300ms);
    ASSERT_EQ(alerts.shown.size(), 1U);
    EXPECT_EQ(alerts.shown[0].message, "Update failed");
    EXPECT_EQ(alerts.shown[0].detail,
              std::string(GetParam().message) + "\n\nYou can download the new version from localhost.");
    EXPECT_EQ(alerts.shown[0].buttons, (std::vector<std::string>{"Open website", "OK"}));
    EXPECT_EQ(delivery->progressWindow(), nullptr);
    EXPECT_FALSE(delivery->underWay());
    expectLauncherUntouched();
    for (const fs::path& w : workFolders()) {
        EXPECT_FALSE(fs::exists(w / "Vorlia.app")) << "unpacked although it failed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadFailure,
    ::testing::Values(FailureCase{"NotFound", 404, false, "The download did not finish."},
                      FailureCase{"Partial", 206, false, "The download did not finish."},
                      FailureCase{"ServerError", 500, false, "The download did not finish."},
                      FailureCase{"OtherDigest", 200, true, "The downloaded file is not genuine."}),
    [](const auto& info) { return info.param.name; });

TEST_F(UpdateDeliveryTest, FailureAlertOpensTheDownloadPageOnlyFromItsFirstButton) {
    server.route("/download/a.zip", [](const RecordedRequest&) {
        return LocalHttpServer::Response{404, "text/plain", "gone"};
    });
    const UpdateInfo info{"2.0", std::nullopt, server.origin() + "/download/a.zip", "00", std::nullopt};
    delivery->startDownload(info);
    ASSERT_TRUE(runUntil([&] { return settled(); }, 30s));
    alerts.answer(1);
    EXPECT_TRUE(opened.empty());

    // The next attempt shows a fresh window and may be answered the other way.
    delivery->startDownload(info);
    EXPECT_NE(delivery->progressWindow(), nullptr);
    ASSERT_TRUE(runUntil([&] { return alerts.shown.size() == 2; }, 30s));
    alerts.answer(0);
    EXPECT_EQ(opened, (std::vector<std::string>{"https://localhost/?download=1"}));
}

struct UnpackCase {
    const char* name;
    std::vector<ZipEntry> entries;
};

class UnpackFailure : public UpdateDeliveryTest, public ::testing::WithParamInterface<UnpackCase> {};

TEST_P(UnpackFailure, CouldNotBeUnpackedAndNothingReplaced) {
    delivery->startDownload(serve(GetParam().entries));
    ASSERT_TRUE(runUntil([&] { return settled(); }, 30s));
    ASSERT_EQ(alerts.shown.size(), 1U);
    EXPECT_EQ(alerts.shown[0].detail,
              "The update could not be unpacked.\n\nYou can download the new version from localhost.");
    expectLauncherUntouched();
    EXPECT_FALSE(fs::exists(folders.path() / "escaped"));
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
                      UnpackCase{"EscapingEntry",
                                 [] {
                                     std::vector<ZipEntry> e = bundleEntries();
                                     e.push_back({"../../escaped", AE_IFREG, 0644, "x"});
                                     return e;
                                 }()}),
    [](const auto& info) { return info.param.name; });

// A launcher that does not run from an application folder (a build tree, a
// system folder) never has that folder moved: the new one is shown instead.
TEST_F(UpdateDeliveryTest, LauncherOutsideAnApplicationFolderIsAlmostDone) {
    const fs::path buildTree = folders.path() / "build";
    makeLauncher(buildTree);
    makeDelivery(buildTree);
    delivery->startDownload(serve(bundleEntries()));
    Gtk::Window* progress = delivery->progressWindow();
    ASSERT_TRUE(runUntil([&] { return settled(); }, 30s));
    ASSERT_EQ(alerts.shown.size(), 1U);
    EXPECT_EQ(alerts.shown[0].message, "Almost done");
    EXPECT_EQ(alerts.shown[0].detail,
              "The launcher cannot replace itself in this folder. Move the new \"Vorlia\" "
              "(shown in your file manager) over the old one.");
    EXPECT_TRUE(alerts.shown[0].buttons.empty());
    // Closed, but still the one referenced.
    EXPECT_EQ(delivery->progressWindow(), progress);
    EXPECT_FALSE(progress->get_visible());
    EXPECT_TRUE(shownItems.empty()) << "the file manager waits for the alert";
    alerts.answer(0);
    const std::vector<fs::path> work = workFolders();
    ASSERT_EQ(work.size(), 1U);
    EXPECT_EQ(shownItems, (std::vector<fs::path>{work[0] / "Vorlia.app"}));
    EXPECT_TRUE(fs::exists(work[0] / "update.zip"));
    EXPECT_EQ(terminated, 0);
    EXPECT_TRUE(fs::exists(buildTree / "vorlia"));
    EXPECT_FALSE(fs::exists(folders.path() / "shell-script"));
}

} // namespace
} // namespace vorlia::test
