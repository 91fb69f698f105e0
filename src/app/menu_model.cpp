#include "app/menu_model.hpp"

namespace vorlia {

std::vector<Menu> mainMenuModel() {
    // The application menu has no title of its own on macOS, where the system
    // shows the application's name; a GTK menu bar needs one, so it is that name.
    return {
        {"Vorlia",
         {
             {"About Vorlia", "app.about", {}},
             {"Check for Updates\u2026", "app.check-updates", {}},
             {"Website\u2026", "app.website", {}},
             {"", "", {}},
             {"Hide Vorlia", "app.hide", {"<Primary>h"}},
             {"Quit Vorlia", "app.quit", {"<Primary>q"}},
         }},
        {"Edit",
         {
             {"Cut", "app.cut", {"<Primary>x"}},
             {"Copy", "app.copy", {"<Primary>c"}},
             {"Paste", "app.paste", {"<Primary>v"}},
             {"Select All", "app.select-all", {"<Primary>a"}},
         }},
        {"View",
         {
             {"Reload Game", "app.reload", {"<Primary>r"}},
             {"Back to Login (F5)", "app.back-to-login", {"F5"}},
             {"Toggle Full Screen", "app.fullscreen", {"<Primary>f", "F11"}},
         }},
        {"Window",
         {
             {"Minimize", "app.minimize", {"<Primary>m"}},
         }},
    };
}

} // namespace vorlia
