#include "app/menu_model.hpp"

namespace vorlia {

std::vector<Menu> mainMenuModel() {
    // The first menu is the application's own, titled with its name.
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
