// Spinning the default main context while a test waits for the launcher, the
// engine or an in-process server.
#pragma once

#include <chrono>
#include <functional>

namespace vorlia::test {

using namespace std::chrono_literals;

// Spins the default main context until pred() holds or the timeout passes.
bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s);
void runFor(std::chrono::milliseconds duration);

} // namespace vorlia::test
