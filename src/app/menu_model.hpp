// The main menu as plain data: titles, order, actions and keys.
// LauncherApp::buildMenuBar (launcher_app.cpp) turns it into a Gio::Menu and
// accelerators.
#pragma once

#include <string>
#include <vector>

namespace vorlia {

struct MenuEntry {
    std::string title;               // empty for a separator
    std::string action;              // detailed action name, e.g. "app.reload"
    std::vector<std::string> accels; // GTK accelerator strings
    bool isSeparator() const { return title.empty(); }
};

struct Menu {
    std::string title;
    std::vector<MenuEntry> entries;
};

// The four menus of the menu bar, in order.
std::vector<Menu> mainMenuModel();

} // namespace vorlia
