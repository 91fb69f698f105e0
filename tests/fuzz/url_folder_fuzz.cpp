// An archive address the launcher takes stays under the download folder as
// GLib itself reads it: parsed with each of its flag sets (the strict one
// decodes every %-escape, "%2F" included, before removing dot segments), the
// path lies under the base's path and the scheme, host and port are the base's.
//
// Input: one byte choosing the base and whether the text is put after it,
// then the text.
#include "base/handle.hpp"
#include "rules/url_text.hpp"

#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view bases[] = {
    "https://vorlia.example/download/",
    "https://vorlia.example/",
    "http://127.0.0.1:8443/a/b/",
    "https://vorlia.example/down%20load/",
};

void require(bool property, const char* what, const std::string& url) {
    if (!property) {
        std::fprintf(stderr, "%s: %s\n", what, url.c_str());
        std::abort();
    }
}

std::string mergedSlashes(std::string_view path) {
    std::string merged;
    for (const char c : path) {
        if (c != '/' || !merged.ends_with('/')) {
            merged += c;
        }
    }
    return merged;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string base(bases[data[0] % std::size(bases)]);
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string url = (data[0] & 0x80) != 0 ? std::string(text) : base + std::string(text);
    if (!vorlia::isArchiveURL(url, base)) {
        return 0;
    }
    for (const GUriFlags flags : {G_URI_FLAGS_NONE, G_URI_FLAGS_ENCODED, G_URI_FLAGS_ENCODED_PATH,
                                  G_URI_FLAGS_PARSE_RELAXED, G_URI_FLAGS_ENCODED_QUERY}) {
        const vorlia::Handle<GUri> parsedBase(g_uri_parse(base.c_str(), flags, nullptr));
        const vorlia::Handle<GUri> parsed(g_uri_parse(url.c_str(), flags, nullptr));
        require(parsedBase != nullptr, "the base parses", base);
        // A reading that decodes refuses a %-escape of a NUL or of bytes that
        // are not UTF-8: an address a server can still be asked for, unread here.
        require(parsed != nullptr || flags != G_URI_FLAGS_ENCODED, "an admitted address parses", url);
        if (!parsed) {
            continue;
        }
        require(g_strcmp0(g_uri_get_scheme(parsed.get()), g_uri_get_scheme(parsedBase.get())) == 0 &&
                    g_strcmp0(g_uri_get_host(parsed.get()), g_uri_get_host(parsedBase.get())) == 0 &&
                    g_uri_get_port(parsed.get()) == g_uri_get_port(parsedBase.get()),
                "an admitted address goes to the base's server", url);
        require(g_uri_get_userinfo(parsed.get()) == nullptr, "an admitted address names no user", url);
        // The launcher takes "//" as "/", as servers and file systems do;
        // GLib keeps the empty segment, which leaves a path deeper, not higher.
        require(mergedSlashes(g_uri_get_path(parsed.get()))
                    .starts_with(mergedSlashes(g_uri_get_path(parsedBase.get()))),
                "GLib's dot-segment removal keeps an admitted path under the base's", url);
    }
    return 0;
}
