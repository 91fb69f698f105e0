#include "app/test_log.hpp"

namespace vorlia {

void logShownAlert(const Alert&) {}
void logShownItem(const std::filesystem::path&) {}

} // namespace vorlia
