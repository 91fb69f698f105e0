// The updater's dialogs as the window tests find them on screen, and each
// compared with the words update_texts gives it.
#pragma once

#include "update/gtk/update_texts.hpp"

#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/messagedialog.h>
#include <gtkmm/window.h>

#include <string>
#include <vector>

namespace vorlia::test {

// The message dialog on screen, if any.
inline Gtk::MessageDialog* visibleDialog() {
    for (Gtk::Window* w : Gtk::Window::list_toplevels()) {
        if (auto* dialog = dynamic_cast<Gtk::MessageDialog*>(w); dialog != nullptr && dialog->get_visible()) {
            return dialog;
        }
    }
    return nullptr;
}

// The label of the button that answers `response`; "" when there is none.
inline std::string buttonLabel(Gtk::MessageDialog& dialog, int response) {
    auto* button = dynamic_cast<Gtk::Button*>(dialog.get_widget_for_response(response));
    return button != nullptr ? std::string(button->get_label()) : std::string();
}

// Whether the dialog shows `alert`: its title line, its text, and its
// buttons answering 1000, 1001, … in order (a single "OK" for none), and no more.
inline ::testing::AssertionResult showsAlert(Gtk::MessageDialog& dialog, const Alert& alert) {
    const std::vector<std::string> buttons =
        alert.buttons.empty() ? std::vector<std::string>{std::string(updateText::okButton)} : alert.buttons;
    std::vector<std::string> shown;
    for (int response = 1000; !buttonLabel(dialog, response).empty(); ++response) {
        shown.push_back(buttonLabel(dialog, response));
    }
    const std::string message = dialog.property_text().get_value();
    const std::string detail = dialog.property_secondary_text().get_value();
    if (message == alert.message && detail == alert.detail && shown == buttons) {
        return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure() << "shows \"" << message << "\" / \"" << detail << "\" /";
    for (const std::string& b : shown) {
        failure << " [" << b << "]";
    }
    failure << "; expected \"" << alert.message << "\" / \"" << alert.detail << "\" /";
    for (const std::string& b : buttons) {
        failure << " [" << b << "]";
    }
    return failure;
}

} // namespace vorlia::test
