// The update as the player sees it on a GTK desktop: modal message dialogs
// over the game window, the progress window, the download page opened in the
// browser and the new folder shown in the file manager.
#pragma once

#include "update/gtk/update_texts.hpp"
#include "update/update_ui.hpp"
#include "window/uri_opener.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Gtk {
class MessageDialog;
class ProgressBar;
class Window;
} // namespace Gtk

namespace vorlia {

// Shows an item selected in the desktop's file manager (FileManager1 over
// D-Bus); where none answers, opens the folder that holds it with the
// folder's handler, which does not inherit the settings `notPassedOn`.
void showInFileManager(const std::filesystem::path& item, std::vector<std::string> notPassedOn = {});

class GtkUpdateUi final : public UpdateUi {
  public:
    struct Desktop {
        // The window the dialogs are modal to and the progress window stands over, when there is one.
        std::function<Gtk::Window*()> parentWindow;
        std::function<void(const std::filesystem::path&)> showInFileManager =
            [](const std::filesystem::path& item) { vorlia::showInFileManager(item); };
        // Hears of each dialog as it shows.
        std::function<void(const Alert&)> alertShown;
    };

    // `siteHost` names the site the failure dialog points to; `opener` opens
    // its download page.
    GtkUpdateUi(std::string siteHost, UriOpener& opener, Desktop desktop);
    ~GtkUpdateUi() override;
    GtkUpdateUi(const GtkUpdateUi&) = delete;
    GtkUpdateUi& operator=(const GtkUpdateUi&) = delete;

    void offerUpdate(const Offer& offer, std::function<void(OfferReply)> reply) override;
    void showUpToDate(std::string_view runningVersion) override;
    void downloadStarted(std::string_view version) override;
    void downloadProgress(std::uint64_t received, std::optional<std::uint64_t> total) override;
    void updateFailed(const UpdateFailure& failure) override;
    void almostDone(const std::filesystem::path& newFolder) override;

    // The progress window of the last download, while one is held: closed
    // by a failure, hidden but held by "Almost done", on screen until the
    // process ends on the relaunch.
    Gtk::Window* progressWindow() const { return progressWindow_.get(); }

  private:
    // Shows the alert modally and returns at once; `answer` later receives
    // the index of the chosen button, or -1 when it was dismissed.
    void show(const Alert& alert, std::function<void(int answer)> answer);
    void hideProgressWindow();

    std::string siteHost_;
    UriOpener& opener_;
    Desktop desktop_;
    std::unique_ptr<Gtk::Window> progressWindow_;
    Gtk::ProgressBar* bar_ = nullptr;
    // Dialogs on screen, and answered ones waiting to be freed outside their own signal.
    struct Shown {
        std::unique_ptr<Gtk::MessageDialog> dialog;
        std::shared_ptr<bool> over; // answered, and its answer has returned
    };
    std::vector<Shown> dialogs_;
};

} // namespace vorlia
