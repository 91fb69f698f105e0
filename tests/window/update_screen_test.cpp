// The update's screen as a player meets it: the real GTK dialogs over a real
// window, the progress window, the download page and the file manager
// through their seams. The last test runs the real flow behind it, with a
// real download from a loopback server and a recording relaunch shell.
#include "app/launcher_app.hpp"
#include "support/digest.hpp"
#include "support/zip_writer.hpp"
#include "update/gtk/gtk_update_ui.hpp"
#include "update/update_flow.hpp"
#include "window/support/update_dialogs.hpp"
#include "window/support/window_test.hpp"

#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/messagedialog.h>
#include <gtkmm/progressbar.h>

#include <fstream>

namespace vorlia::test {
namespace {
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

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

class UpdateScreen : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        game = std::make_unique<Gtk::Window>();
        game->set_default_size(400, 300);
        game->present();
        GtkUpdateUi::Desktop desktop;
        desktop.parentWindow = [this] { return game.get(); };
        desktop.showInFileManager = [this](const fs::path& item) { shownItems.push_back(item); };
        desktop.alertShown = [this](const Alert& alert) { shown.push_back(alert); };
        ui = std::make_unique<GtkUpdateUi>("localhost", opener, std::move(desktop));
    }
    void TearDown() override {
        ui.reset();
        game.reset();
        WindowTest::TearDown();
    }

    // The dialog on screen, once it is.
    Gtk::MessageDialog& dialog() {
        EXPECT_TRUE(runUntil([] { return visibleDialog() != nullptr && visibleDialog()->get_mapped(); }));
        return *visibleDialog();
    }
    void answer(int response) {
        dialog().response(response);
        ASSERT_TRUE(runUntil([] { return visibleDialog() == nullptr; }));
    }

    std::unique_ptr<Gtk::Window> game; // made once the toolkit is up
    RecordingOpener opener;
    std::vector<fs::path> shownItems;
    std::vector<Alert> shown;
    std::unique_ptr<GtkUpdateUi> ui;
};

TEST_F(UpdateScreen, ProgressWindowShowsTheDownload) {
    ui->downloadStarted("2.0");
    Gtk::Window* progress = ui->progressWindow();
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(std::string(progress->get_title()), updateText::progressTitle);
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
    EXPECT_EQ(std::string(label->get_text()), updateText::progressLabel("2.0"));
    auto* bar = findChild<Gtk::ProgressBar>(progress);
    ASSERT_NE(bar, nullptr);
    ASSERT_TRUE(runUntil([&] { return progress->get_mapped(); }));

    // Indeterminate from the start (GTK marks the moving block "pulse"), and
    // no count ever becomes a share or a text.
    const auto pulsing = [bar] {
        Gtk::Widget* trough = bar->get_first_child();
        return trough != nullptr && trough->get_first_child() != nullptr &&
               trough->get_first_child()->has_css_class("pulse");
    };
    EXPECT_TRUE(pulsing());
    ui->downloadProgress(50, 200);
    ui->downloadProgress(400, 200);
    EXPECT_TRUE(pulsing());
    EXPECT_DOUBLE_EQ(bar->get_fraction(), 0.0);
    EXPECT_FALSE(bar->get_show_text());
    saveScreenshot("update-progress-window");

    // Nothing but the end of the update closes it.
    progress->close();
    runFor(200ms);
    EXPECT_TRUE(progress->get_visible());
}

TEST_F(UpdateScreen, FailureClosesTheProgressWindowAndOffersTheDownloadPage) {
    ui->downloadStarted("2.0");
    ASSERT_TRUE(runUntil([&] { return ui->progressWindow()->get_mapped(); }));
    ui->updateFailed(UpdateFailure{FailureReason::notGenuine, {}});
    EXPECT_EQ(ui->progressWindow(), nullptr);

    Gtk::MessageDialog& failure = dialog();
    EXPECT_EQ(failure.get_transient_for(), game.get());
    EXPECT_TRUE(failure.get_modal());
    EXPECT_TRUE(
        showsAlert(failure, updateText::failure(UpdateFailure{FailureReason::notGenuine, {}}, "localhost")));
    EXPECT_EQ(failure.get_default_widget(), failure.get_widget_for_response(1000));
    // GNOME's order, "OK | Open website": the default stands last.
    EXPECT_EQ(failure.get_widget_for_response(1001)->get_next_sibling(),
              failure.get_widget_for_response(1000));
    EXPECT_EQ(failure.get_widget_for_response(1000)->get_next_sibling(), nullptr);
    EXPECT_EQ(std::string(failure.get_title()), updateText::dialogTitle);
    saveScreenshot("update-failed");
    answer(1001);
    EXPECT_TRUE(opener.opened.empty());

    // The next failure, answered from the keyboard with its default button.
    ui->downloadStarted("2.0");
    EXPECT_NE(ui->progressWindow(), nullptr);
    const UpdateFailure noSpace = systemFailure("Failed to create file: No space left");
    ui->updateFailed(noSpace);
    EXPECT_TRUE(showsAlert(dialog(), updateText::failure(noSpace, "localhost")));
    pressKeys(dialog(), "Return");
    ASSERT_TRUE(runUntil([] { return visibleDialog() == nullptr; }));
    EXPECT_EQ(opener.opened, Strings{updateText::downloadPageURL("localhost")});
    ASSERT_EQ(shown.size(), 2U);
    EXPECT_EQ(shown[0], updateText::failure(UpdateFailure{FailureReason::notGenuine, {}}, "localhost"));
}

TEST_F(UpdateScreen, AlmostDoneHidesTheProgressWindowThenShowsTheNewFolder) {
    ui->downloadStarted("2.0");
    Gtk::Window* progress = ui->progressWindow();
    ASSERT_TRUE(runUntil([&] { return progress->get_mapped(); }));
    ui->almostDone("/tmp/vrl-update-X/Vorlia.app");
    // Closed, but still the one held.
    EXPECT_EQ(ui->progressWindow(), progress);
    EXPECT_FALSE(progress->get_visible());

    Gtk::MessageDialog& almostDone = dialog();
    EXPECT_EQ(almostDone.get_transient_for(), game.get());
    EXPECT_TRUE(showsAlert(almostDone, updateText::almostDone()));
    EXPECT_TRUE(shownItems.empty()) << "the file manager waits for the alert";
    answer(1000);
    EXPECT_EQ(shownItems, std::vector<fs::path>{"/tmp/vrl-update-X/Vorlia.app"});
}

TEST_F(UpdateScreen, EachAnswerToAnOfferIsReplied) {
    std::vector<OfferReply> replies;
    const Offer required{"2.0", "Faster loading.", 48700000, true};
    for (const int response : {1000, 1001}) {
        ui->offerUpdate(required, [&](OfferReply r) { replies.push_back(r); });
        Gtk::MessageDialog& offer = dialog();
        EXPECT_TRUE(showsAlert(offer, updateText::offer(required)));
        answer(response);
    }
    // Closed without a button.
    ui->offerUpdate(required, [&](OfferReply r) { replies.push_back(r); });
    dialog().close();
    ASSERT_TRUE(runUntil([] { return visibleDialog() == nullptr; }));
    EXPECT_EQ(replies,
              (std::vector<OfferReply>{OfferReply::updateNow, OfferReply::declined, OfferReply::dismissed}));

    ui->showUpToDate("1.0");
    EXPECT_TRUE(showsAlert(dialog(), updateText::upToDate("1.0")));
    answer(1000);
    EXPECT_EQ(shown.size(), 4U);
}

// The real flow behind the real screen: the progress window stands through
// the download and the unpacking, and stays when the relaunch begins.
TEST_F(UpdateScreen, TheFlowsProgressWindowStaysForTheRelaunch) {
    const fs::path bundle = folders.path() / "apps" / "Vorlia.app";
    fs::create_directories(bundle);
    std::ofstream(bundle / "vorlia") << "#!/bin/sh\n";
    fs::permissions(bundle / "vorlia", fs::perms(0755));
    std::ofstream(bundle / "Info.json") << "{}";
    fs::create_directories(folders.path() / "tmp");
    std::ofstream(folders.path() / "shell")
        << "#!/bin/sh\necho \"$1\" > '" << (folders.path() / "ran").string() << "'\n";
    fs::permissions(folders.path() / "shell", fs::perms(0755));

    vorlia::test::writeZip(folders.path() / "served.zip", vorlia::test::bundleEntries());
    std::ifstream in(folders.path() / "served.zip", std::ios::binary);
    const std::string archive(std::istreambuf_iterator<char>(in), {});
    HttpServer server;
    server.serve("/download/a.zip", HttpServer::Response{200, "application/zip", archive, 300ms});

    UpdateSettings settings;
    settings.siteHost = "localhost";
    InstallEnvironment environment;
    environment.applicationFolder = [bundle] { return bundle; };
    environment.temporaryFolder = [this] { return folders.path() / "tmp"; };
    environment.shell = (folders.path() / "shell").string();
    int quits = 0;
    UpdateFlow flow(
        settings, *ui, [&] { ++quits; }, environment);
    flow.startDownload(UpdateInfo{"2.0", std::nullopt, server.origin() + "/download/a.zip",
                                  vorlia::test::sha256Hex(archive), std::nullopt});
    Gtk::Window* progress = ui->progressWindow();
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(runUntil([&] { return progress->get_mapped(); }));
    ASSERT_TRUE(runUntil([&] { return quits > 0; }, 30s));
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(ui->progressWindow(), progress);
    EXPECT_TRUE(progress->get_visible());
    EXPECT_TRUE(runUntil([&] { return fs::exists(folders.path() / "ran"); }));
}

} // namespace
} // namespace vorlia::test
