#include "window/window_state.hpp"

#include "base/files.hpp"
#include "base/handle.hpp"

#include <glib.h>

#include <algorithm>
#include <memory>

namespace vorlia {
namespace {

constexpr const char* group = "VRLMainWindow";

} // namespace

WindowState windowStateFromKeyFile(const std::string& text) {
    const WindowState defaults;
    Handle<GKeyFile> kf(g_key_file_new());
    if (!g_key_file_load_from_data(kf.get(), text.data(), text.size(), G_KEY_FILE_NONE, nullptr)) {
        return defaults;
    }
    WindowState s;
    GError* raw = nullptr;
    const auto readInt = [&](const char* key, int fallback) {
        const int v = g_key_file_get_integer(kf.get(), group, key, &raw);
        if (raw != nullptr) {
            g_clear_error(&raw);
            return fallback;
        }
        return v;
    };
    const auto readBool = [&](const char* key) {
        const bool v = g_key_file_get_boolean(kf.get(), group, key, &raw) != FALSE;
        if (raw != nullptr) {
            g_clear_error(&raw);
            return false;
        }
        return v;
    };
    s.width = readInt("width", defaults.width);
    s.height = readInt("height", defaults.height);
    if (s.width <= 0 || s.height <= 0) {
        s.width = defaults.width;
        s.height = defaults.height;
    }
    // No screen is this large; a value beyond it is damage, not a choice.
    constexpr int largest = 32768;
    if (s.width > largest || s.height > largest) {
        s.width = defaults.width;
        s.height = defaults.height;
    }
    s.width = std::max(s.width, minimumWindowWidth);
    s.height = std::max(s.height, minimumWindowHeight);
    s.maximized = readBool("maximized");
    s.fullscreen = readBool("fullscreen");
    return s;
}

std::string keyFileFromWindowState(const WindowState& state) {
    Handle<GKeyFile> kf(g_key_file_new());
    g_key_file_set_integer(kf.get(), group, "width", state.width);
    g_key_file_set_integer(kf.get(), group, "height", state.height);
    g_key_file_set_boolean(kf.get(), group, "maximized", state.maximized);
    g_key_file_set_boolean(kf.get(), group, "fullscreen", state.fullscreen);
    gsize length = 0;
    GText data(g_key_file_to_data(kf.get(), &length, nullptr));
    return std::string(data.get(), length);
}

std::filesystem::path windowStateFile(const std::filesystem::path& stateFolder) {
    return stateFolder / "window.ini";
}

WindowState loadWindowState(const std::filesystem::path& stateFolder) {
    return windowStateFromKeyFile(readFile(windowStateFile(stateFolder)).value_or(""));
}

void saveWindowState(const std::filesystem::path& stateFolder, const WindowState& state) {
    if (!makeFolders(stateFolder)) {
        return;
    }
    const std::string text = keyFileFromWindowState(state);
    // Written whole or not at all: a cut write must not leave a file the next start rejects.
    (void)writeFileAtomically(windowStateFile(stateFolder), text);
}

} // namespace vorlia
