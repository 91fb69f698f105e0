// The pure work the launcher repeats while a player plays: a token at every
// refresh tick and page load, the page script for every new web view, and the
// manifest's signature check and decoding at every update check.
#include "app/builtin.hpp"
#include "base/hex.hpp"
#include "rules/bridge_script.hpp"
#include "rules/manifest.hpp"
#include "rules/token.hpp"
#include "rules/token_tables.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

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
        benchmark::DoNotOptimize(vorlia::bridgeScript(config.launcherVersion, config.gameHost, token));
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

// A manifest of a realistic size, signed with a key made for the run; the
// launcher trusts it after `otherKeys` keys that do not verify it, as during
// a move to a new signing key.
struct SignedManifest {
    vorlia::PublicKeys publicKeys; // base64
    std::string updateBaseURL;
    std::optional<std::string> manifest;
    std::optional<std::string> signature;
};

SignedManifest signedManifest(std::int64_t otherKeys) {
    if (sodium_init() < 0) {
        std::abort();
    }
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> pk{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> sk{};
    SignedManifest m;
    for (std::int64_t i = 0; i <= otherKeys; ++i) {
        crypto_sign_keypair(pk.data(), sk.data());
        m.publicKeys.push_back(vorlia::encodeBase64(pk.data(), pk.size()));
    }
    m.updateBaseURL = vorlia::builtInConfig().updateBaseURL;
    nlohmann::json entry = {
        {"version", "2.4.1"},
        {"min", "1.0.0"},
        {"url", m.updateBaseURL + "Vorlia-2.4.1-linux-x86_64.zip"},
        {"sha256", std::string(64, 'a')},
        {"size", 48'123'456},
    };
    nlohmann::json manifest = {{"notes", std::string(600, 'n')}};
    for (const char* platform : {"macos", "windows", "linux-aarch64"}) {
        manifest[platform] = entry;
    }
    manifest[std::string(vorlia::platformEntryKey)] = entry;
    m.manifest = manifest.dump(2);
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(m.manifest->data()), m.manifest->size(),
                         sk.data());
    m.signature = vorlia::encodeBase64(signature.data(), signature.size()) + "\n";
    return m;
}

void manifestVerification(benchmark::State& state) {
    const SignedManifest m = signedManifest(state.range(0));
    if (!vorlia::verifiedManifest(m.signature, m.manifest, m.publicKeys, m.updateBaseURL)) {
        state.SkipWithError("the benchmark's own manifest was refused");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            vorlia::verifiedManifest(m.signature, m.manifest, m.publicKeys, m.updateBaseURL));
    }
}
BENCHMARK(manifestVerification)->ArgName("otherKeys")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
