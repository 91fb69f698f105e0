#include "update/updater.hpp"

namespace vorlia {

Updater::Updater(const Config& config) : config_(config) {}
Updater::~Updater() = default;

// Placeholder until the signed update check lands.
void Updater::check(bool) {}

} // namespace vorlia
