// The menu entry the launcher writes starts exactly its own program, read back
// the way a desktop reads it: GKeyFile for the Exec= string, g_shell_parse_argv
// for the command line, then the field codes ("%%" is a percent sign; any
// other code would be replaced). A folder path it cannot carry is refused
// whole: no entry at all.
//
// Input: the application folder's path; the program is "vorlia" inside it.
#include "base/handle.hpp"
#include "rules/desktop_entry.hpp"

#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view folderEntry = "[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Vorlia\n"
                                         "Exec=vorlia\n"
                                         "Icon=io.vorlia.Launcher\n"
                                         "Terminal=false\n";

void require(bool property, const char* what, const std::string& path) {
    if (!property) {
        std::fprintf(stderr, "%s: \"%s\"\n", what, path.c_str());
        std::abort();
    }
}

// The one argument a desktop runs, or nothing when the line is not exactly
// one argument free of field codes.
std::optional<std::string> programStarted(const std::string& entry) {
    const vorlia::Handle<GKeyFile> file(g_key_file_new());
    if (!g_key_file_load_from_data(file.get(), entry.data(), entry.size(), G_KEY_FILE_NONE, nullptr)) {
        return std::nullopt;
    }
    const vorlia::GText exec(g_key_file_get_string(file.get(), "Desktop Entry", "Exec", nullptr));
    int argc = 0;
    char** argv = nullptr;
    if (!exec || !g_shell_parse_argv(exec.get(), &argc, &argv, nullptr)) {
        return std::nullopt;
    }
    const std::string argument = argv[0];
    g_strfreev(argv);
    if (argc != 1) {
        return std::nullopt;
    }
    std::string program;
    for (std::size_t i = 0; i < argument.size(); ++i) {
        if (argument[i] == '%') {
            if (i + 1 == argument.size() || argument[i + 1] != '%') {
                return std::nullopt;
            }
            ++i;
        }
        program += argument[i];
    }
    return program;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) {
        return 0;
    }
    const std::string folder(reinterpret_cast<const char*>(data), size);
    const std::string program = folder + "/vorlia";
    const auto entry = vorlia::userDesktopEntry(folderEntry, program);
    bool carried = g_utf8_validate(program.data(), static_cast<gssize>(program.size()), nullptr);
    for (const char c : program) {
        carried = carried && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
    }
    require(entry.has_value() == carried, "a path is refused only when an entry cannot carry it", folder);
    if (!entry) {
        return 0;
    }
    require(programStarted(*entry) == program, "the entry starts exactly the program", folder);
    require(vorlia::desktopEntryStarts(*entry, program), "the entry is known as the launcher's own", folder);
    require(!vorlia::desktopEntryStarts(*entry, program + "x"), "the entry starts no other program", folder);
    return 0;
}
