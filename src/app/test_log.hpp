// What a demo or test build notes for tests that watch the launcher from
// outside: each alert shown and each item handed to the file manager, one
// JSON line each, appended to the file named by VORLIA_TEST_LOG. The
// production executable links the version that does nothing.
#pragma once

#include "update/alerts.hpp"

#include <filesystem>

namespace vorlia {

void logShownAlert(const Alert& alert);
void logShownItem(const std::filesystem::path& item);

} // namespace vorlia
