// Info.json is the one file the launcher reads at start: whatever it holds,
// the version comes out as the string value, or "1.0".
#include "rules/constants.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string version = vorlia::launcherVersionFromInfo(text);

    const auto info = nlohmann::json::parse(text, nullptr, false);
    std::string expected = "1.0";
    if (info.is_object()) {
        const auto it = info.find("CFBundleShortVersionString");
        if (it != info.end() && it->is_string()) {
            expected = it->get<std::string>();
        }
    }
    if (version != expected) {
        std::abort();
    }
    return 0;
}
