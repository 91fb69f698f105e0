#include "update/update_delivery.hpp"

#include "base/files.hpp"
#include "base/handle.hpp"
#include "rules/relaunch_script.hpp"
#include "rules/url_text.hpp"
#include "update/archive_download.hpp"
#include "update/install_steps.hpp"
#include "update/update_texts.hpp"
#include "update/updater_session.hpp"

#include <gio/gio.h>
#include <glibmm/main.h>
#include <gtkmm/application.h>
#include <gtkmm/box.h>
#include <gtkmm/label.h>
#include <gtkmm/progressbar.h>
#include <gtkmm/window.h>
#include <unistd.h>

#include <thread>
#include <variant>

namespace vorlia {
namespace fs = std::filesystem;

namespace {

constexpr auto archiveName = "update.zip";
constexpr auto scriptName = "swap.sh";

// What unpacking found: the new application folder, or the failure message.
using Unpacked = std::variant<fs::path, std::string>;

Unpacked unpackAndFindBundle(const fs::path& workFolder) {
    if (!unpackArchive(workFolder / archiveName, workFolder)) {
        return std::string(updateText::couldNotBeUnpacked);
    }
    auto entries = listFolder(workFolder);
    if (!entries) {
        return entries.error();
    }
    const std::optional<std::string> name = chooseNewBundle(*entries);
    // A folder that could not start must never replace one that can.
    if (!name || !isApplicationFolder(workFolder / *name)) {
        return std::string(updateText::couldNotBeUnpacked);
    }
    return workFolder / *name;
}

// A parsable http(s) address with a host, or nothing.
GUri* downloadURI(const std::string& url) {
    if (!holdsOnlyURLCharacters(url)) {
        return nullptr;
    }
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    if (uri == nullptr) {
        return nullptr;
    }
    const char* scheme = g_uri_get_scheme(uri);
    const char* host = g_uri_get_host(uri);
    if ((g_strcmp0(scheme, "https") != 0 && g_strcmp0(scheme, "http") != 0) || host == nullptr ||
        *host == '\0') {
        g_uri_unref(uri);
        return nullptr;
    }
    return uri;
}

void openFolderOf(const fs::path& item) {
    const GText uri(g_filename_to_uri(item.parent_path().c_str(), nullptr, nullptr));
    if (uri) {
        g_app_info_launch_default_for_uri(uri.get(), nullptr, nullptr);
    }
}

void showOverDBus(const fs::path& item) {
    // The application's own connection: already open, so this does not block.
    const auto bus = adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    const GText uri(g_filename_to_uri(item.c_str(), nullptr, nullptr));
    if (!bus || !uri) {
        openFolderOf(item);
        return;
    }
    const char* uris[] = {uri.get(), nullptr};
    g_dbus_connection_call(
        bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 10'000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<fs::path> shown(static_cast<fs::path*>(data));
            GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            if (reply != nullptr) {
                g_variant_unref(reply);
            } else {
                // No file manager answers on this desktop: show the folder instead.
                openFolderOf(*shown);
            }
        },
        new fs::path(item));
}

Handle<SoupSession> retainSession(SoupSession* session) {
    return Handle<SoupSession>(SOUP_SESSION(g_object_ref(session)));
}

Handle<GCancellable> retainCancellable(GCancellable* cancellable) {
    return Handle<GCancellable>(cancellable != nullptr ? G_CANCELLABLE(g_object_ref(cancellable)) : nullptr);
}

void setNewSession(gpointer) {
    // The script must outlive the launcher and whatever ends its session.
    setsid();
}

} // namespace

InstallEnvironment InstallEnvironment::system() {
    InstallEnvironment e;
    e.applicationFolder = [] { return vorlia::applicationFolder(); };
    e.temporaryFolder = [] { return fs::path(g_get_tmp_dir()); };
    e.parentWindow = []() -> Gtk::Window* {
        auto app = Gtk::Application::get_default();
        auto gtkApp = std::dynamic_pointer_cast<Gtk::Application>(app);
        return gtkApp ? gtkApp->get_active_window() : nullptr;
    };
    e.openURI = [](const std::string& uri) {
        g_app_info_launch_default_for_uri(uri.c_str(), nullptr, nullptr);
    };
    e.showInFileManager = showOverDBus;
    return e;
}

UpdateDelivery::UpdateDelivery(const UpdateSettings& config, Alerts& alerts, UpdaterSession& session,
                               std::function<void()> terminate, InstallEnvironment environment)
    : config_(config), alerts_(alerts), session_(session), terminate_(std::move(terminate)),
      environment_(std::move(environment)), self_(std::make_shared<UpdateDelivery*>(this)) {}

UpdateDelivery::~UpdateDelivery() {
    ticker_.disconnect();
    self_.reset();
}

void UpdateDelivery::startDownload(const UpdateInfo& info) {
    // One update at a time: a second "Update now" would race the first for
    // the same application folder.
    if (underWay_) {
        return;
    }
    GUri* parsed = downloadURI(info.url);
    if (parsed == nullptr) {
        return;
    }
    std::shared_ptr<GUri> uri(parsed, g_uri_unref);
    underWay_ = true;
    showProgressWindow(info.version);

    const fs::path workFolder = newWorkFolderPath(environment_.temporaryFolder());
    if (auto made = createPrivateFolder(workFolder); !made) {
        showUpdateFailure(made.error());
        return;
    }
    std::weak_ptr<UpdateDelivery*> weak = self_;
    std::shared_ptr<Progress> progress = progress_;
    session_.run([weak, uri, workFolder, progress, sha256 = info.sha256](SoupSession* session,
                                                                         GCancellable* cancellable) {
        if (session == nullptr) {
            return; // the updater is shutting down with the application
        }
        // The transfer blocks, so it runs on a thread of its own rather than
        // on the session's, which other checks share.
        std::thread([weak, uri, workFolder, progress, sha256, session = retainSession(session),
                     cancellable = retainCancellable(cancellable)] {
            const DownloadResult result = downloadArchive(session.get(), uri.get(), workFolder / archiveName,
                                                          cancellable.get(), [&](const DownloadProgress& p) {
                                                              progress->received = p.received;
                                                              progress->total = p.total.value_or(0);
                                                          });
            const std::optional<std::string_view> failure = downloadFailure(result, sha256);
            postToMain(
                [weak, workFolder, failure = failure ? std::optional<std::string>(*failure) : std::nullopt] {
                    if (auto self = weak.lock()) {
                        if (failure) {
                            (*self)->showUpdateFailure(*failure);
                        } else {
                            (*self)->installUpdate(workFolder);
                        }
                    }
                });
        }).detach();
    });
}

void UpdateDelivery::showProgressWindow(const std::string& version) {
    auto window = std::make_unique<Gtk::Window>();
    window->set_title(std::string(updateText::progressTitle));
    window->set_default_size(340, 90);
    window->set_resizable(false);
    window->set_deletable(false);
    // Nothing may close it but the end of the update.
    window->signal_close_request().connect([] { return true; }, false);
    if (Gtk::Window* parent = environment_.parentWindow ? environment_.parentWindow() : nullptr) {
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
    progress_ = std::make_shared<Progress>();
    ticker_.disconnect();
    ticker_ = Glib::signal_timeout().connect(sigc::mem_fun(*this, &UpdateDelivery::tickProgress), 100);
    // Only a window an earlier update already closed can still be held here.
    progressWindow_ = std::move(window);
    progressWindow_->present();
}

bool UpdateDelivery::tickProgress() {
    if (bar_ == nullptr || !progress_) {
        return false;
    }
    const std::uint64_t total = progress_->total;
    if (total > 0) {
        bar_->set_fraction(
            std::min(1.0, static_cast<double>(progress_->received) / static_cast<double>(total)));
    } else {
        bar_->pulse();
    }
    return true;
}

void UpdateDelivery::closeProgressWindow() {
    ticker_.disconnect();
    if (progressWindow_) {
        progressWindow_->set_visible(false);
    }
}

void UpdateDelivery::showUpdateFailure(std::string_view message) {
    closeProgressWindow();
    progressWindow_.reset();
    bar_ = nullptr;
    underWay_ = false;
    std::weak_ptr<UpdateDelivery*> weak = self_;
    alerts_.show(Alert{std::string(updateText::failureTitle),
                       updateText::failureText(message, config_.siteHost),
                       {std::string(updateText::openWebsiteButton), std::string(updateText::okButton)}},
                 [weak, page = updateText::downloadPageURL(config_.siteHost)](int answer) {
                     auto self = weak.lock();
                     if (self && answer == 0 && (*self)->environment_.openURI) {
                         (*self)->environment_.openURI(page);
                     }
                 });
}

void UpdateDelivery::installUpdate(const fs::path& workFolder) {
    std::weak_ptr<UpdateDelivery*> weak = self_;
    // Unpacking a large archive takes a while; the window stays responsive.
    std::thread([weak, workFolder] {
        Unpacked found = unpackAndFindBundle(workFolder);
        postToMain([weak, workFolder, found = std::move(found)] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (const auto* failure = std::get_if<std::string>(&found)) {
                (*self)->showUpdateFailure(*failure);
            } else {
                (*self)->finishInstall(workFolder, std::get<fs::path>(found));
            }
        });
    }).detach();
}

void UpdateDelivery::finishInstall(const fs::path& workFolder, const fs::path& newBundle) {
    const fs::path bundle = environment_.applicationFolder();
    // Only a real application folder is swapped: a launcher started from a
    // build tree or a system folder must not have that folder moved away.
    if (!isApplicationFolder(bundle) || !folderIsWritable(bundle.parent_path())) {
        closeProgressWindow();
        underWay_ = false;
        std::weak_ptr<UpdateDelivery*> weak = self_;
        alerts_.show(
            Alert{std::string(updateText::almostDoneTitle), std::string(updateText::almostDoneText), {}},
            [weak, newBundle](int) {
                auto self = weak.lock();
                if (self && (*self)->environment_.showInFileManager) {
                    (*self)->environment_.showInFileManager(newBundle);
                }
            });
        return;
    }
    const fs::path script = workFolder / scriptName;
    if (auto written =
            writeFileAtomically(script, relaunchScript(getpid(), bundle.string(), newBundle.string()));
        !written) {
        showUpdateFailure(written.error());
        return;
    }
    const std::string shell = environment_.shell;
    const std::string scriptPath = script.string();
    char* argv[] = {const_cast<char*>(shell.c_str()), const_cast<char*>(scriptPath.c_str()), nullptr};
    GError* raw = nullptr;
    if (!g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DEFAULT, setNewSession, nullptr, nullptr, &raw)) {
        const Handle<GError> error(raw);
        showUpdateFailure(error->message);
        return;
    }
    terminate_();
}

} // namespace vorlia
