// The pure work the launcher repeats while a player plays: a token at every
// refresh tick and page load, the page script for every new web view.
#include "app/builtin.hpp"
#include "bridge/bridge_script.hpp"
#include "bridge/token.hpp"
#include "bridge/token_tables.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

namespace {

// A fixed instant, so every iteration hashes the same hour.
constexpr double someTime = 1'765'000'000.5;

void tokenKeyRebuild(benchmark::State& state) {
    const vorlia::TokenKeyTables tables = vorlia::builtInTokenKeyTables();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorlia::tokenKey(tables));
    }
}
BENCHMARK(tokenKeyRebuild);

void accessToken(benchmark::State& state) {
    const vorlia::TokenKeyTables tables = vorlia::builtInTokenKeyTables();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorlia::accessToken(someTime, tables));
    }
}
BENCHMARK(accessToken);

void hexOfTokenBytes(benchmark::State& state) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorlia::hexString(bytes));
    }
}
BENCHMARK(hexOfTokenBytes);

void bridgeScript(benchmark::State& state) {
    const vorlia::Config config = vorlia::builtInConfig();
    const std::string token = vorlia::accessToken(someTime, config.tokenKey);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorlia::bridgeScript(config, token));
    }
}
BENCHMARK(bridgeScript);

void refreshSnippet(benchmark::State& state) {
    const std::string token = vorlia::accessToken(someTime, vorlia::builtInTokenKeyTables());
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorlia::refreshSnippet(token));
    }
}
BENCHMARK(refreshSnippet);

} // namespace

BENCHMARK_MAIN();
