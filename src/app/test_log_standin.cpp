#include "app/test_log.hpp"

#include <glib.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace vorlia {
namespace {

void append(const nlohmann::json& line) {
    const char* file = g_getenv("VORLIA_TEST_LOG");
    if (file == nullptr || *file == '\0') {
        return;
    }
    std::ofstream(file, std::ios::app) << line.dump() << '\n';
}

} // namespace

void logShownAlert(const Alert& alert) {
    append({{"alert", alert.message}, {"detail", alert.detail}, {"buttons", alert.buttons}});
}

void logShownItem(const std::filesystem::path& item) {
    append({{"fileManager", item.string()}});
}

} // namespace vorlia
