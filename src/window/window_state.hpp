// The game window's size and state, kept between launches in a key file under
// the group "VRLMainWindow". Position belongs to the window manager.
#pragma once

#include <filesystem>
#include <string>

namespace vorlia {

struct WindowState {
    int width = 1280;
    int height = 800;
    bool maximized = false;
    bool fullscreen = false;

    bool operator==(const WindowState&) const = default;
};

inline constexpr int minimumWindowWidth = 960;
inline constexpr int minimumWindowHeight = 600;

// A missing, unreadable or corrupt text gives the defaults; a size below the
// minimum is raised to it.
WindowState windowStateFromKeyFile(const std::string& text);
std::string keyFileFromWindowState(const WindowState& state);

// The file under the state folder.
std::filesystem::path windowStateFile(const std::filesystem::path& stateFolder);
WindowState loadWindowState(const std::filesystem::path& stateFolder);
// Best effort: a state that cannot be written is simply not kept.
void saveWindowState(const std::filesystem::path& stateFolder, const WindowState& state);

} // namespace vorlia
