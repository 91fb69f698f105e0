// The update prompt as a player meets it: the real check through the demo
// route to the stand-in site host, a real GTK dialog over the real game
// window, answered with the real pointer and keyboard.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "rules/manifest.hpp"
#include "support/signing.hpp"
#include "support/standin.hpp"
#include "window/support/update_dialogs.hpp"
#include "window/support/window_test.hpp"

#include <glib.h>
#include <glibmm/main.h>
#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/messagedialog.h>
#include <sodium.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace vorlia::test {
namespace {

// A site folder whose download folder offers `version`.
void publish(const std::filesystem::path& site, const Config& config, const std::string& version,
             const std::string& min) {
    const std::string manifest =
        manifestText({.version = version,
                      .url = config.updateBaseURL + "Vorlia.zip",
                      .min = min.empty() ? std::nullopt : std::optional<std::string>(min),
                      .size = 48700000,
                      .notes = "Faster loading."});
    std::filesystem::create_directories(site / "download");
    std::ofstream(site / "download" / "version.json", std::ios::binary) << manifest;
    std::ofstream(site / "download" / "version.json.sig", std::ios::binary) << signWithDevKey(manifest);
}

// xdotool, bounded by the kit: a focus that never comes must fail the test, not hang it.
bool xdotool(const std::string& arguments) {
    return runCommand("xdotool " + arguments).succeeded();
}

// Clicks the dialog's button for `response` with the real pointer.
void clickButton(Gtk::MessageDialog& dialog, int response) {
    Gtk::Widget* button = dialog.get_widget_for_response(response);
    ASSERT_NE(button, nullptr);
    graphene_rect_t bounds;
    ASSERT_TRUE(gtk_widget_compute_bounds(button->gobj(), GTK_WIDGET(dialog.gobj()), &bounds));
    double dx = 0;
    double dy = 0;
    gtk_native_get_surface_transform(GTK_NATIVE(dialog.gobj()), &dx, &dy);
    clickAt(dialog, static_cast<int>(dx + bounds.origin.x + bounds.size.width / 2),
            static_cast<int>(dy + bounds.origin.y + bounds.size.height / 2));
}

class UpdatePromptTest : public ::testing::Test {
  protected:
    // The stand-in site offering `version`, and the launcher made but not started.
    void prepare(const std::string& version, const std::string& min) {
        publish(folders.path() / "site", test::StandIn().config(), version, min);
        test::StandInOptions options;
        options.siteDir = folders.path() / "site";
        hosts = std::make_unique<test::StandIn>(options);
        config = hosts->config();
        config.applicationId = "io.vorlia.UpdatePromptTest";
        config.timing.automaticCheckDelay = 300ms;
        app = Gtk::Application::create(config.applicationId, Gio::Application::Flags::NON_UNIQUE);
        app->signal_shutdown().connect([this] { shutDown = true; });
        launcher = std::make_unique<LauncherApp>(app, config, opener, demo::standInHooks(config));
    }

    void start(const std::string& version, const std::string& min) {
        prepare(version, min);
        app->register_application();
        app->activate();
        ASSERT_NE(launcher->game(), nullptr);
        ASSERT_TRUE(runUntil([&] { return launcher->game()->window().get_mapped(); }));
    }

    void TearDown() override {
        launcher.reset();
        runFor(100ms);
    }

    std::size_t manifestRequests() const {
        std::size_t n = 0;
        for (const auto& r : hosts->requests()) {
            n += r.value("path", "") == "/download/version.json" ? 1 : 0;
        }
        return n;
    }

    TempFolder folders;
    std::unique_ptr<test::StandIn> hosts;
    Config config;
    RecordingOpener opener;
    Glib::RefPtr<Gtk::Application> app;
    std::unique_ptr<LauncherApp> launcher;
    bool shutDown = false;
};

TEST_F(UpdatePromptTest, ThePromptStandsOverTheGameWindowAndLaterChangesNothing) {
    start("1.2", "");
    // The automatic check, shortly after launch.
    ASSERT_TRUE(runUntil([] { return visibleDialog() != nullptr; }, 30s));
    Gtk::MessageDialog& prompt = *visibleDialog();
    EXPECT_EQ(prompt.get_transient_for(), &launcher->game()->window());
    EXPECT_TRUE(prompt.get_modal());
    EXPECT_TRUE(showsAlert(prompt, updateText::offer(Offer{"1.2", "Faster loading.", 48700000, false})));
    EXPECT_EQ(prompt.get_default_widget(), prompt.get_widget_for_response(1000));
    runUntil([&] { return prompt.get_mapped(); }, 5s);
    saveScreenshot("update-prompt");

    clickButton(prompt, 1001);
    ASSERT_TRUE(runUntil([] { return visibleDialog() == nullptr; }, 10s));
    runFor(500ms);
    EXPECT_FALSE(shutDown);
    EXPECT_TRUE(launcher->game()->window().get_visible());
    EXPECT_EQ(manifestRequests(), 1u);

    // The menu check offers the same version again.
    launcher->checkForUpdates();
    ASSERT_TRUE(runUntil([] { return visibleDialog() != nullptr; }, 30s));
    EXPECT_TRUE(
        showsAlert(*visibleDialog(), updateText::offer(Offer{"1.2", "Faster loading.", 48700000, false})));
    EXPECT_EQ(manifestRequests(), 2u);
    pressKeys(*visibleDialog(), "Escape");
    ASSERT_TRUE(runUntil([] { return visibleDialog() == nullptr; }, 10s));
    runFor(300ms);
    EXPECT_FALSE(shutDown);
}

TEST_F(UpdatePromptTest, TheMenuCheckSaysWhenTheLauncherIsUpToDate) {
    start("1.0", "");
    ASSERT_TRUE(runUntil([&] { return manifestRequests() == 1; }, 30s));
    // Ended, answer and all: the automatic check says nothing.
    ASSERT_TRUE(runUntil([&] { return launcher->updater().checksInFlight() == 0; }, 30s));
    EXPECT_EQ(visibleDialog(), nullptr);

    launcher->checkForUpdates();
    ASSERT_TRUE(runUntil([] { return visibleDialog() != nullptr; }, 30s));
    Gtk::MessageDialog& notice = *visibleDialog();
    EXPECT_EQ(notice.get_transient_for(), &launcher->game()->window());
    EXPECT_TRUE(showsAlert(notice, updateText::upToDate(config.launcherVersion)));
    runUntil([&] { return notice.get_mapped(); }, 5s);
    saveScreenshot("latest-version-notice");
    pressKeys(notice, "Return");
    ASSERT_TRUE(runUntil([] { return visibleDialog() == nullptr; }, 10s));
    EXPECT_FALSE(shutDown);
}

TEST_F(UpdatePromptTest, QuitInARequiredPromptEndsTheApplication) {
    // The application runs its own loop, as main does; only clicking Quit may end it.
    prepare("1.2", "1.1");
    bool sawPrompt = false;
    bool gaveUp = false;
    sigc::connection watch = Glib::signal_timeout().connect(
        [&] {
            Gtk::MessageDialog* prompt = visibleDialog();
            if (prompt == nullptr || !prompt->get_mapped()) {
                return true;
            }
            sawPrompt = true;
            EXPECT_EQ(prompt->get_transient_for(), &launcher->game()->window());
            EXPECT_TRUE(
                showsAlert(*prompt, updateText::offer(Offer{"1.2", "Faster loading.", 48700000, true})));
            saveScreenshot("required-update-prompt");
            clickButton(*prompt, 1001);
            return false;
        },
        100);
    Glib::signal_timeout().connect_once(
        [&] {
            gaveUp = true;
            app->quit();
        },
        60'000);
    const int status = app->run();
    watch.disconnect();
    EXPECT_TRUE(sawPrompt);
    EXPECT_FALSE(gaveUp);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(shutDown);
}

// The whole launcher as a player starts it: the demo executable, its own
// automatic check through the route, and Quit chosen from the keyboard.
TEST(UpdatePromptProcess, QuitInARequiredPromptEndsTheLauncherProcess) {
    if (onWayland()) {
        GTEST_SKIP() << "finds and types into another process's dialog with xdotool; on Wayland only "
                        "QuitInARequiredPromptEndsTheApplication, in process, answers the prompt";
    }
    TempFolder folders;
    publish(folders.path() / "site", test::StandIn().config(), "1.2", "1.1");
    test::StandInOptions options;
    options.siteDir = folders.path() / "site";
    test::StandIn hosts(options);

    const Process launcher = startDemoLauncher(hosts, folders.path() / "home");
    ASSERT_TRUE(launcher.started()) << launcher.failure();

    // The prompt is the launcher's small window beside the game window.
    std::string prompt;
    runUntil(
        [&] {
            std::istringstream ids(
                commandOutput("xdotool search --onlyvisible --pid " + std::to_string(launcher.pid()), 10s));
            for (std::string id; std::getline(ids, id);) {
                const std::string geometry = commandOutput("xdotool getwindowgeometry " + id, 10s);
                const auto at = geometry.find("Geometry: ");
                if (at != std::string::npos && std::stoi(geometry.substr(at + 10)) < 900) {
                    prompt = id;
                    return true;
                }
            }
            return false;
        },
        60s);
    if (!prompt.empty()) {
        saveScreenshot("required-update-prompt-process");
        // Focus starts on the default button, "Update now"; Tab moves to "Quit".
        EXPECT_TRUE(xdotool("windowfocus --sync " + prompt));
        EXPECT_TRUE(xdotool("key --clearmodifiers Tab space"));
    }
    ASSERT_FALSE(prompt.empty()) << "no prompt appeared";
    ASSERT_TRUE(launcher.waitForEnd(30s)) << "the launcher did not end";
    EXPECT_TRUE(launcher.endedCleanly());
    for (const auto& request : hosts.requests()) {
        EXPECT_EQ(request.value("path", "").find(".zip"), std::string::npos) << "an archive was requested";
    }
}

} // namespace
} // namespace vorlia::test
