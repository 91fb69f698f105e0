#include "app/menu_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vorlia {
namespace {

using Accels = std::vector<std::string>;

TEST(MainMenu, FourMenusInOrder) {
    const auto menus = mainMenuModel();
    ASSERT_EQ(menus.size(), 4U);
    EXPECT_EQ(menus[0].title, "Vorlia");
    EXPECT_EQ(menus[1].title, "Edit");
    EXPECT_EQ(menus[2].title, "View");
    EXPECT_EQ(menus[3].title, "Window");
}

TEST(MainMenu, EntriesTitlesActionsAndKeys) {
    struct Row {
        std::size_t menu;
        std::string title;
        std::string action;
        Accels accels;
    };
    const std::vector<Row> expected = {
        {0, "About Vorlia", "app.about", {}},
        {0, "Check for Updates\xE2\x80\xA6", "app.check-updates", {}},
        {0, "Website\xE2\x80\xA6", "app.website", {}},
        {0, "", "", {}},
        {0, "Hide Vorlia", "app.hide", {"<Primary>h"}},
        {0, "Quit Vorlia", "app.quit", {"<Primary>q"}},
        {1, "Cut", "app.cut", {"<Primary>x"}},
        {1, "Copy", "app.copy", {"<Primary>c"}},
        {1, "Paste", "app.paste", {"<Primary>v"}},
        {1, "Select All", "app.select-all", {"<Primary>a"}},
        {2, "Reload Game", "app.reload", {"<Primary>r"}},
        {2, "Back to Login (F5)", "app.back-to-login", {"F5"}},
        {2, "Toggle Full Screen", "app.fullscreen", {"<Primary>f", "F11"}},
        {3, "Minimize", "app.minimize", {"<Primary>m"}},
    };
    const auto menus = mainMenuModel();
    std::vector<Row> actual;
    for (std::size_t m = 0; m < menus.size(); ++m) {
        for (const auto& e : menus[m].entries) {
            actual.push_back({m, e.title, e.action, e.accels});
        }
    }
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].title);
        EXPECT_EQ(actual[i].menu, expected[i].menu);
        EXPECT_EQ(actual[i].title, expected[i].title);
        EXPECT_EQ(actual[i].action, expected[i].action);
        EXPECT_EQ(actual[i].accels, expected[i].accels);
    }
}

TEST(MainMenu, ExactlyOneSeparatorBetweenWebsiteAndHide) {
    const auto menus = mainMenuModel();
    std::size_t separators = 0;
    for (const auto& menu : menus) {
        separators += static_cast<std::size_t>(std::count_if(menu.entries.begin(), menu.entries.end(),
                                                             [](const auto& e) { return e.isSeparator(); }));
    }
    EXPECT_EQ(separators, 1U);
    EXPECT_TRUE(menus[0].entries[3].isSeparator());
}

} // namespace
} // namespace vorlia
