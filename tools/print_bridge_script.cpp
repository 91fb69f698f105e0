// Prints the page script exactly as the launcher builds it, so the page-script
// tests run the launcher's own text.
//   print-bridge-script VERSION TOKEN GAME_HOST
#include "base/handle.hpp"
#include "rules/bridge_script.hpp"

#include <glib.h>

#include <iostream>

int main(int argc, char** argv) {
    // Taken as the bytes given (GLib's "filename" kind), since the tests pass any text as the version;
    // GLib's "string" kind would convert it from the locale's character set.
    gchar** values = nullptr;
    const GOptionEntry entries[] = {
        {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &values, nullptr, nullptr},
        {},
    };
    const vorlia::Handle<GOptionContext> context =
        vorlia::adopt(g_option_context_new("VERSION TOKEN GAME_HOST"));
    g_option_context_set_summary(
        context.get(), "Prints the page script the launcher puts in front of every page, for these\n"
                       "values. A value that begins with \"-\" goes after \"--\".");
    g_option_context_add_main_entries(context.get(), entries, nullptr);
    GError* raw = nullptr;
    const bool parsed = g_option_context_parse(context.get(), &argc, &argv, &raw);
    const vorlia::Handle<GError> error = vorlia::adopt(raw);
    const vorlia::Handle<char*> owned = vorlia::adopt(values);
    if (!parsed || values == nullptr || g_strv_length(values) != 3) {
        std::cerr << "print-bridge-script: " << (error ? error->message : "needs VERSION TOKEN GAME_HOST")
                  << "\nusage: print-bridge-script VERSION TOKEN GAME_HOST\n";
        return 2;
    }
    std::cout << vorlia::bridgeScript(values[0], values[2], values[1]) << std::flush;
    return std::cout ? 0 : 1;
}
