#include "update/alerts.hpp"

#include <glibmm/main.h>
#include <gtkmm/messagedialog.h>

#include <memory>

namespace vorlia {
namespace {

// Button responses must be positive; the first button answers 1000.
constexpr int firstResponse = 1000;

} // namespace

GtkAlerts::GtkAlerts(std::function<Gtk::Window*()> parent, std::function<void(const Alert&)> shown)
    : parent_(std::move(parent)), shown_(std::move(shown)) {}

void GtkAlerts::show(const Alert& alert, std::function<void(int)> answer) {
    auto* dialog =
        new Gtk::MessageDialog(alert.message, false, Gtk::MessageType::INFO, Gtk::ButtonsType::NONE, true);
    if (Gtk::Window* parent = parent_ ? parent_() : nullptr) {
        dialog->set_transient_for(*parent);
    }
    dialog->set_modal(true);
    dialog->set_hide_on_close(true);
    dialog->set_secondary_text(alert.detail);
    const std::vector<std::string> buttons =
        alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        dialog->add_button(buttons[i], firstResponse + static_cast<int>(i));
    }
    dialog->set_default_response(firstResponse);
    const int count = static_cast<int>(buttons.size());
    auto answered = std::make_shared<bool>(false);
    dialog->signal_response().connect([dialog, count, answered, answer = std::move(answer)](int response) {
        if (*answered) {
            return;
        }
        *answered = true;
        const int index = response >= firstResponse && response < firstResponse + count
                              ? response - firstResponse
                              : Alerts::dismissed;
        dialog->hide();
        // Not deleted inside its own signal.
        Glib::signal_idle().connect_once([dialog] { delete dialog; });
        if (answer) {
            answer(index);
        }
    });
    dialog->present();
    if (shown_) {
        shown_(alert);
    }
}

} // namespace vorlia
