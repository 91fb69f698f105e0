#include "update/gtk/gtk_update_ui.hpp"

#include "base/handle.hpp"

#include <gio/gio.h>
#include <gtkmm/box.h>
#include <gtkmm/label.h>
#include <gtkmm/messagedialog.h>
#include <gtkmm/progressbar.h>
#include <gtkmm/window.h>

#include <algorithm>

namespace vorlia {
namespace fs = std::filesystem;

namespace {

// Button responses must be positive; the first button answers 1000.
constexpr int firstResponse = 1000;
constexpr int dismissed = -1;

// Its own opener, not the screen's: the file manager's answer may come
// after the screen has gone.
struct Shown {
    fs::path item;
    SystemUriOpener opener;
};

void openFolderOf(Shown& shown) {
    const GText uri(g_filename_to_uri(shown.item.parent_path().c_str(), nullptr, nullptr));
    if (uri) {
        shown.opener.open(uri.get());
    }
}

} // namespace

void showInFileManager(const fs::path& item, std::vector<std::string> notPassedOn) {
    auto shown = std::make_unique<Shown>(Shown{item, SystemUriOpener(std::move(notPassedOn))});
    // The application's own connection: already open, so this does not block.
    const auto bus = adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    const GText uri(g_filename_to_uri(item.c_str(), nullptr, nullptr));
    if (!bus || !uri) {
        openFolderOf(*shown);
        return;
    }
    const char* uris[] = {uri.get(), nullptr};
    g_dbus_connection_call(
        bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 10'000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<Shown> shown(static_cast<Shown*>(data));
            const auto reply =
                adopt(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
            if (!reply) {
                // No file manager answers on this desktop: show the folder instead.
                openFolderOf(*shown);
            }
        },
        shown.release());
}

GtkUpdateUi::GtkUpdateUi(std::string siteHost, UriOpener& opener, Desktop desktop)
    : siteHost_(std::move(siteHost)), opener_(opener), desktop_(std::move(desktop)) {}

GtkUpdateUi::~GtkUpdateUi() = default;

void GtkUpdateUi::show(const Alert& alert, std::function<void(int)> answer) {
    // Answered dialogs are freed here, never inside their own signal: an
    // answer may well show the next dialog.
    std::erase_if(dialogs_, [](const Shown& shown) { return *shown.over; });
    auto owned = std::make_unique<Gtk::MessageDialog>(alert.message, false, Gtk::MessageType::INFO,
                                                      Gtk::ButtonsType::NONE, true);
    Gtk::MessageDialog* dialog = owned.get();
    if (Gtk::Window* parent = desktop_.parentWindow ? desktop_.parentWindow() : nullptr) {
        dialog->set_transient_for(*parent);
    }
    dialog->set_modal(true);
    dialog->set_hide_on_close(true);
    dialog->set_title(std::string(updateText::dialogTitle));
    dialog->set_secondary_text(alert.detail);
    // Room around the words: GTK's message area sits tight against the frame.
    if (Gtk::Box* area = dialog->get_message_area()) {
        area->set_margin(12);
        area->set_spacing(12);
    }
    const std::vector<std::string> buttons =
        alert.buttons.empty() ? std::vector<std::string>{std::string(updateText::okButton)} : alert.buttons;
    // GNOME's order: the default (the first of the texts) stands last, at the
    // right, where Return also finds it.
    for (std::size_t i = buttons.size(); i-- > 0;) {
        dialog->add_button(buttons[i], firstResponse + static_cast<int>(i));
    }
    dialog->set_default_response(firstResponse);
    const int count = static_cast<int>(buttons.size());
    auto over = std::make_shared<bool>(false);
    dialog->signal_response().connect([dialog, count, over, answered = false,
                                       answer = std::move(answer)](int response) mutable {
        if (answered) {
            return;
        }
        answered = true;
        dialog->set_visible(false);
        if (answer) {
            answer(response >= firstResponse && response < firstResponse + count ? response - firstResponse
                                                                                 : dismissed);
        }
        *over = true;
    });
    dialogs_.push_back(Shown{std::move(owned), over});
    dialog->present();
    if (desktop_.alertShown) {
        desktop_.alertShown(alert);
    }
}

void GtkUpdateUi::offerUpdate(const Offer& offer, std::function<void(OfferReply)> reply) {
    show(updateText::offer(offer), [reply = std::move(reply)](int answer) {
        reply(answer == 0           ? OfferReply::updateNow
              : answer == dismissed ? OfferReply::dismissed
                                    : OfferReply::declined);
    });
}

void GtkUpdateUi::showUpToDate(std::string_view runningVersion) {
    show(updateText::upToDate(runningVersion), nullptr);
}

void GtkUpdateUi::downloadStarted(std::string_view version) {
    auto window = std::make_unique<Gtk::Window>();
    window->set_title(std::string(updateText::progressTitle));
    window->set_default_size(340, 90);
    window->set_resizable(false);
    window->set_deletable(false);
    // Nothing may close it but the end of the update.
    window->signal_close_request().connect([] { return true; }, false);
    if (Gtk::Window* parent = desktop_.parentWindow ? desktop_.parentWindow() : nullptr) {
        window->set_transient_for(*parent);
    }
    auto* box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 10);
    box->set_margin(20);
    box->set_valign(Gtk::Align::CENTER);
    auto* label = Gtk::make_managed<Gtk::Label>(updateText::progressLabel(version));
    label->set_xalign(0);
    bar_ = Gtk::make_managed<Gtk::ProgressBar>();
    box->append(*label);
    box->append(*bar_);
    window->set_child(*box);
    // Only a window an earlier update already closed can still be held here.
    progressWindow_ = std::move(window);
    progressWindow_->present();
    // Indeterminate from the start: the bar moves, but tells no share done.
    bar_->pulse();
}

// The counts are not shown: the progress window has no percentage. Each
// call only moves the bar on.
void GtkUpdateUi::downloadProgress(std::uint64_t, std::optional<std::uint64_t>) {
    if (bar_ != nullptr) {
        bar_->pulse();
    }
}

void GtkUpdateUi::hideProgressWindow() {
    if (progressWindow_) {
        progressWindow_->set_visible(false);
    }
    bar_ = nullptr;
}

void GtkUpdateUi::updateFailed(const UpdateFailure& failure) {
    hideProgressWindow();
    progressWindow_.reset();
    show(updateText::failure(failure, siteHost_),
         [this, page = updateText::downloadPageURL(siteHost_)](int answer) {
             if (answer == 0) {
                 opener_.open(page);
             }
         });
}

void GtkUpdateUi::almostDone(const fs::path& newFolder) {
    // Closed, but held: the player is still to move the new folder.
    hideProgressWindow();
    show(updateText::almostDone(), [this, newFolder](int) {
        if (desktop_.showInFileManager) {
            desktop_.showInFileManager(newFolder);
        }
    });
}

} // namespace vorlia
