#include "window/game_window.hpp"

#include <gdkmm/display.h>
#include <gtkmm/box.h>
#include <gtkmm/cssprovider.h>
#include <gtkmm/eventcontrollerscroll.h>
#include <gtkmm/gesturezoom.h>
#include <gtkmm/label.h>
#include <gtkmm/overlay.h>
#include <gtkmm/spinner.h>
#include <gtkmm/stylecontext.h>

namespace vorlia {

GameWindow::GameWindow(const Glib::RefPtr<Gtk::Application>& app, GameWindowSettings settings,
                       GameEngine& engine)
    : settings_(std::move(settings)) {
    build(engine);
    app->add_window(*window_);
    connectingChanged_ =
        engine.signalConnecting().connect([this](bool shown) { connecting_->set_visible(shown); });
    // Every road out of the application (Quit, its key, a required update
    // declined, the relaunch after an update) ends here, not only the close button.
    shutdown_ = app->signal_shutdown().connect([this] { saveState(); });
}

GameWindow::~GameWindow() {
    shutdown_.disconnect();
    connectingChanged_.disconnect();
}

namespace {

// Only the game's black frame: the menu bar and dialogs take the
// application's dark style from GTK.
void paintTheFrameBlack(Gtk::Window& window) {
    auto css = Gtk::CssProvider::create();
    css->load_from_data("window.vorlia-game { background-color: black; }");
    Gtk::StyleContext::add_provider_for_display(window.get_display(), css,
                                                GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    window.add_css_class("vorlia-game");
}

// A game has no page zoom: Ctrl+scroll and pinch are swallowed before the engine sees them.
void swallowPageZoom(Gtk::Widget& view) {
    auto scroll = Gtk::EventControllerScroll::create();
    scroll->set_flags(Gtk::EventControllerScroll::Flags::BOTH_AXES);
    scroll->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    scroll->signal_scroll().connect(
        [scroll = scroll.get()](double, double) {
            return (scroll->get_current_event_state() & Gdk::ModifierType::CONTROL_MASK) ==
                   Gdk::ModifierType::CONTROL_MASK;
        },
        false);
    view.add_controller(scroll);
    auto pinch = Gtk::GestureZoom::create();
    pinch->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    pinch->signal_begin().connect([pinch = pinch.get()](Gdk::EventSequence* sequence) {
        pinch->set_sequence_state(sequence, Gtk::EventSequenceState::CLAIMED);
    });
    view.add_controller(pinch);
}

// A quiet word over the black while a slow host keeps the player waiting;
// hidden until the engine says so.
Gtk::Widget* makeConnectingWord() {
    auto* connecting = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
    auto* spinner = Gtk::make_managed<Gtk::Spinner>();
    spinner->set_spinning(true);
    auto* label = Gtk::make_managed<Gtk::Label>("Connecting to the game\u2026");
    label->add_css_class("dim-label");
    connecting->append(*spinner);
    connecting->append(*label);
    connecting->set_halign(Gtk::Align::CENTER);
    connecting->set_valign(Gtk::Align::CENTER);
    connecting->set_can_target(false);
    connecting->set_visible(false);
    return connecting;
}

} // namespace

void GameWindow::build(GameEngine& engine) {
    window_ = std::make_unique<Gtk::ApplicationWindow>();
    window_->set_title("Vorlia");
    const WindowState state = loadWindowState(settings_.stateFolder);
    window_->set_default_size(state.width, state.height);
    window_->set_size_request(minimumWindowWidth, minimumWindowHeight);
    window_->set_resizable(true);
    window_->set_show_menubar(true);
    paintTheFrameBlack(*window_);

    Gtk::Widget* view = Glib::wrap(GTK_WIDGET(engine.web()));
    view->set_hexpand(true);
    view->set_vexpand(true);
    swallowPageZoom(*view);
    connecting_ = makeConnectingWord();
    auto* layers = Gtk::make_managed<Gtk::Overlay>();
    layers->set_child(*view);
    layers->add_overlay(*connecting_);
    window_->set_child(*layers);

    if (state.maximized) {
        window_->maximize();
    }
    if (state.fullscreen) {
        window_->fullscreen();
        window_->set_show_menubar(false);
    }
    // Full screen is the game alone: the menu bar goes while the shortcuts,
    // leaving full screen among them, keep working.
    window_->property_fullscreened().signal_changed().connect(
        [this] { window_->set_show_menubar(!window_->is_fullscreen()); });
    window_->signal_close_request().connect(
        [this] {
            saveState();
            return false;
        },
        false);
}

void GameWindow::toggleFullscreen() {
    if (window_->is_fullscreen()) {
        window_->unfullscreen();
    } else {
        window_->fullscreen();
    }
}

bool GameWindow::connectingShown() const {
    return connecting_->get_visible();
}

WindowState GameWindow::currentState() const {
    WindowState state;
    window_->get_default_size(state.width, state.height);
    if (state.width <= 0 || state.height <= 0) {
        state = WindowState{};
    }
    state.maximized = window_->is_maximized();
    state.fullscreen = window_->is_fullscreen();
    return state;
}

void GameWindow::withdraw() {
    // Read while the window still shows (a hidden one need not report itself
    // maximized), written once it has gone: the file may wait for the disk.
    const WindowState state = currentState();
    shutdown_.disconnect();
    window_->set_visible(false);
    // The display server hears of it now, not when the teardown next speaks to it.
    window_->get_display()->flush();
    saveWindowState(settings_.stateFolder, state);
}

void GameWindow::saveState() {
    saveWindowState(settings_.stateFolder, currentState());
}

} // namespace vorlia
