// vorlia-publish: the publisher's tool for the signed update manifest.
//
//   keygen SECRET-KEY-FILE PUBLIC-KEY-FILE
//   public-key SECRET-KEY-FILE
//   manifest --archive FILE --version V --url URL [--min V] [--notes TEXT | --notes-file FILE]
//            [--size-unknown] [--platform NAME] [--base-url URL] [--merge] --out version.json
//   sign SECRET-KEY-FILE version.json [--out version.json.sig]
//   verify PUBLIC-KEY version.json version.json.sig [--platform NAME] [--base-url URL]
//
// Exit status: 0 done, 1 refused (bad input, a file that does not verify), 2 wrong usage.
#include "rules/manifest.hpp"
#include "rules/version.hpp"

#include <glib.h>
#include <nlohmann/json.hpp>
#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using vorlia::decodeBase64Strict;
using vorlia::encodeBase64;

namespace {

constexpr int exitRefused = 1;
constexpr int exitUsage = 2;
constexpr std::string_view platformPrefix = "linux-";

struct Failure {
    int status;
    std::string message;
};

[[noreturn]] void refuse(std::string message) {
    throw Failure{exitRefused, std::move(message)};
}
[[noreturn]] void usage(std::string message) {
    throw Failure{exitUsage, std::move(message)};
}

std::string readFile(const fs::path& path, std::string_view what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        refuse("cannot read the " + std::string(what) + " " + path.string() + ": " + std::strerror(errno));
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) {
        refuse("cannot read the " + std::string(what) + " " + path.string());
    }
    return bytes.str();
}

// Writes through a temporary file and a rename, so that a failed write never
// leaves a half-written file in place of a good one.
void writeFile(const fs::path& path, const std::string& text, bool privateFile = false) {
    const fs::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            refuse("cannot write " + temporary.string() + ": " + std::strerror(errno));
        }
        if (privateFile) {
            fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write);
        }
        out << text;
        out.flush();
        if (!out) {
            fs::remove(temporary);
            refuse("cannot write " + temporary.string());
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary);
        refuse("cannot write " + path.string() + ": " + error.message());
    }
}

// The first line that is not a comment, without surrounding white space.
std::string keyLine(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        return line.substr(first, last - first + 1);
    }
    return {};
}

struct SecretKey {
    std::vector<unsigned char> bytes; // libsodium's 64-byte form: seed, then public key
    std::string publicKeyBase64() const {
        return encodeBase64(bytes.data() + crypto_sign_SEEDBYTES, crypto_sign_PUBLICKEYBYTES);
    }
};

SecretKey loadSecretKey(const fs::path& path) {
    const auto bytes = decodeBase64Strict(keyLine(readFile(path, "secret key")));
    if (!bytes || bytes->size() != crypto_sign_SECRETKEYBYTES) {
        refuse(path.string() +
               " is not a manifest signing key (one line: base64 of 64 bytes, as keygen writes)");
    }
    // The public half must belong to the seed, or signatures would not verify.
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secret, bytes->data());
    if (sodium_memcmp(secret, bytes->data(), sizeof secret) != 0) {
        sodium_memzero(secret, sizeof secret);
        refuse(path.string() + " is damaged: its public half does not belong to its secret half");
    }
    sodium_memzero(secret, sizeof secret);
    return SecretKey{*bytes};
}

std::string loadPublicKey(const std::string& argument) {
    std::string text = argument;
    std::error_code error;
    if (fs::is_regular_file(argument, error)) {
        text = keyLine(readFile(argument, "public key"));
    }
    const auto bytes = decodeBase64Strict(text);
    if (!bytes || bytes->size() != crypto_sign_PUBLICKEYBYTES) {
        refuse(argument + " is neither a public key file nor a public key (base64 of 32 bytes)");
    }
    return text;
}

// Dotted decimal numbers only, so that the launcher reads the version exactly
// as the publisher meant it ("v1.2" would read as 0.2).
void checkVersionText(const std::string& text, std::string_view option) {
    bool ok = !text.empty();
    std::size_t start = 0;
    while (ok && start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string piece = text.substr(start, dot - start);
        ok = !piece.empty() && piece.size() <= 18 &&
             piece.find_first_not_of("0123456789") == std::string::npos;
        start = dot + 1;
    }
    if (!ok) {
        refuse(std::string(option) + " \"" + text +
               "\" is not a dotted version of decimal numbers (e.g. 1.4.2)");
    }
}

void checkPlatform(const std::string& platform) {
    if (!platform.starts_with(platformPrefix) || platform.size() == platformPrefix.size() ||
        platform.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-") != std::string::npos) {
        refuse("--platform \"" + platform + "\" is not a platform entry name such as linux-x86_64");
    }
}

std::vector<std::string> platformKeys(const nlohmann::ordered_json& document) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : document.items()) {
        if (std::string_view(key).starts_with(platformPrefix)) {
            keys.push_back(key);
        }
    }
    return keys;
}

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;
    std::map<std::string, bool> flags;

    std::optional<std::string> option(const std::string& name) const {
        const auto it = options.find(name);
        if (it == options.end()) {
            return std::nullopt;
        }
        return it->second.back();
    }
    std::string required(const std::string& name) const {
        auto value = option(name);
        if (!value) {
            usage("missing " + name);
        }
        return *value;
    }
    bool flag(const std::string& name) const { return flags.contains(name); }
};

Arguments parse(int argc, char** argv, int first, const std::vector<std::string>& valueOptions,
                const std::vector<std::string>& flagOptions) {
    Arguments args;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("--")) {
            if (std::find(flagOptions.begin(), flagOptions.end(), arg) != flagOptions.end()) {
                args.flags[arg] = true;
            } else if (std::find(valueOptions.begin(), valueOptions.end(), arg) != valueOptions.end()) {
                if (i + 1 >= argc) {
                    usage(arg + " needs a value");
                }
                args.options[arg].push_back(argv[++i]);
            } else {
                usage("unknown option " + arg);
            }
        } else {
            args.positional.push_back(arg);
        }
    }
    return args;
}

int keygen(const Arguments& args) {
    if (args.positional.size() != 2) {
        usage("keygen needs SECRET-KEY-FILE PUBLIC-KEY-FILE");
    }
    const fs::path secretPath = args.positional[0];
    const fs::path publicPath = args.positional[1];
    for (const fs::path& path : {secretPath, publicPath}) {
        std::error_code error;
        if (fs::exists(path, error)) {
            refuse(path.string() + " already exists; keygen never overwrites a key");
        }
    }
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secret);
    std::string secretText = "# Vorlia manifest signing key (secret). Keep it offline; never publish it.\n" +
                             encodeBase64(secret, sizeof secret) + "\n";
    sodium_memzero(secret, sizeof secret);
    writeFile(secretPath, secretText, true);
    sodium_memzero(secretText.data(), secretText.size());
    writeFile(publicPath, encodeBase64(publicKey, sizeof publicKey) + "\n");
    std::cout << "public key (build with -DVORLIA_MANIFEST_PUBLIC_KEY=...): "
              << encodeBase64(publicKey, sizeof publicKey) << "\n";
    return 0;
}

int publicKey(const Arguments& args) {
    if (args.positional.size() != 1) {
        usage("public-key needs SECRET-KEY-FILE");
    }
    std::cout << loadSecretKey(args.positional[0]).publicKeyBase64() << "\n";
    return 0;
}

int manifest(const Arguments& args) {
    if (!args.positional.empty()) {
        usage("manifest takes only options");
    }
    const fs::path archive = args.required("--archive");
    const std::string version = args.required("--version");
    const std::string url = args.required("--url");
    const fs::path out = args.required("--out");
    const std::string platform = args.option("--platform").value_or(std::string(vorlia::platformEntryKey));
    checkPlatform(platform);
    checkVersionText(version, "--version");
    const auto min = args.option("--min");
    if (min) {
        checkVersionText(*min, "--min");
        if (vorlia::isNewer(*min, version)) {
            refuse("--min " + *min + " is newer than --version " + version);
        }
    }
    GUri* parsed = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
    const bool https = parsed != nullptr && g_strcmp0(g_uri_get_scheme(parsed), "https") == 0 &&
                       g_uri_get_host(parsed) != nullptr && *g_uri_get_host(parsed) != '\0';
    if (parsed != nullptr) {
        g_uri_unref(parsed);
    }
    if (!https) {
        refuse("--url \"" + url + "\" is not an https URL");
    }
    if (const auto base = args.option("--base-url"); base && !url.starts_with(*base)) {
        refuse("--url does not begin with --base-url " + *base + "; the launcher would refuse the manifest");
    }
    if (args.option("--notes") && args.option("--notes-file")) {
        usage("give --notes or --notes-file, not both");
    }
    std::optional<std::string> notes = args.option("--notes");
    if (const auto file = args.option("--notes-file")) {
        notes = readFile(*file, "notes file");
    }
    if (notes && !g_utf8_validate(notes->data(), static_cast<gssize>(notes->size()), nullptr)) {
        refuse("the notes are not UTF-8 text");
    }

    // Digest and size of the archive, streamed.
    std::ifstream in(archive, std::ios::binary);
    if (!in) {
        refuse("cannot read the archive " + archive.string() + ": " + std::strerror(errno));
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<char> buffer(1 << 16);
    std::int64_t size = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(buffer.data()),
                                  static_cast<unsigned long long>(got));
        size += got;
    }
    if (in.bad()) {
        refuse("cannot read the archive " + archive.string());
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    std::string hex(sizeof digest * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), digest, sizeof digest);
    hex.pop_back();

    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    if (args.flag("--merge")) {
        std::error_code error;
        if (fs::exists(out, error)) {
            const std::string existing = readFile(out, "manifest");
            document = nlohmann::ordered_json::parse(existing, nullptr, false);
            if (document.is_discarded() || !document.is_object()) {
                refuse(out.string() + " is not a JSON object; nothing to merge into");
            }
        }
    }
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["version"] = version;
    if (min) {
        entry["min"] = *min;
    }
    entry["url"] = url;
    entry["sha256"] = hex;
    if (!args.flag("--size-unknown")) {
        entry["size"] = size;
    }
    if (notes) {
        document["notes"] = *notes;
    }
    document[platform] = entry;
    const std::string text = document.dump(2) + "\n";
    // The launcher must read back exactly what was meant.
    for (const std::string& key : platformKeys(document)) {
        if (auto decoded = vorlia::decodeManifest(text, key); !decoded) {
            refuse("the manifest would not decode: " + decoded.error());
        }
    }
    writeFile(out, text);
    std::cout << "wrote " << out.string() << " (" << platform << " " << version << ", " << size
              << " bytes, sha256 " << hex << ")\n";
    return 0;
}

int sign(const Arguments& args) {
    if (args.positional.size() != 2) {
        usage("sign needs SECRET-KEY-FILE MANIFEST-FILE");
    }
    const SecretKey key = loadSecretKey(args.positional[0]);
    const fs::path manifestPath = args.positional[1];
    const fs::path out = args.option("--out").value_or(manifestPath.string() + ".sig");
    const std::string body = readFile(manifestPath, "manifest");
    const auto document = nlohmann::ordered_json::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        refuse(manifestPath.string() + " is not a JSON object");
    }
    const auto keys = platformKeys(document);
    if (keys.empty()) {
        refuse(manifestPath.string() + " has no platform entry (a key such as \"linux-x86_64\")");
    }
    for (const std::string& platform : keys) {
        if (auto decoded = vorlia::decodeManifest(body, platform); !decoded) {
            refuse(manifestPath.string() + " would not decode: " + decoded.error());
        }
    }
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                         key.bytes.data());
    const std::string text = encodeBase64(signature, sizeof signature) + "\n";
    if (vorlia::signatureFault(text, body, key.publicKeyBase64())) {
        refuse("the new signature does not verify; nothing written");
    }
    writeFile(out, text);
    std::cout << "wrote " << out.string() << " (verifies with " << key.publicKeyBase64() << ")\n";
    return 0;
}

int verify(const Arguments& args) {
    if (args.positional.size() != 3) {
        usage("verify needs PUBLIC-KEY MANIFEST-FILE SIGNATURE-FILE");
    }
    const std::string publicKey = loadPublicKey(args.positional[0]);
    const std::string body = readFile(args.positional[1], "manifest");
    const std::string signature = readFile(args.positional[2], "signature");
    const std::string base = args.option("--base-url").value_or("");
    if (const auto fault = vorlia::signatureFault(signature, body, publicKey)) {
        refuse("refused: " + fault->detail);
    }
    std::vector<std::string> platforms;
    if (const auto it = args.options.find("--platform"); it != args.options.end()) {
        platforms = it->second;
    } else {
        const auto document = nlohmann::ordered_json::parse(body, nullptr, false);
        if (!document.is_discarded() && document.is_object()) {
            platforms = platformKeys(document);
        }
        if (platforms.empty()) {
            platforms.push_back(std::string(vorlia::platformEntryKey));
        }
    }
    for (const std::string& platform : platforms) {
        const auto result = vorlia::checkManifest(signature, body, publicKey, base, platform);
        if (!result) {
            refuse("refused for " + platform + ": " + result.error().detail);
        }
        const vorlia::UpdateInfo& info = *result->platform;
        std::cout << platform << ": version " << info.version << (info.min ? ", min " + *info.min : "")
                  << ", url " << info.url << ", sha256 " << info.sha256
                  << (info.size ? ", size " + std::to_string(*info.size) : "") << "\n";
    }
    std::cout << "verified" << (base.empty() ? " (archive URLs not checked: no --base-url)" : "") << "\n";
    return 0;
}

void printUsage(std::ostream& out) {
    out << "usage:\n"
           "  vorlia-publish keygen SECRET-KEY-FILE PUBLIC-KEY-FILE\n"
           "  vorlia-publish public-key SECRET-KEY-FILE\n"
           "  vorlia-publish manifest --archive FILE --version V --url URL --out version.json\n"
           "                 [--min V] [--notes TEXT | --notes-file FILE] [--size-unknown]\n"
           "                 [--platform NAME] [--base-url URL] [--merge]\n"
           "  vorlia-publish sign SECRET-KEY-FILE version.json [--out version.json.sig]\n"
           "  vorlia-publish verify PUBLIC-KEY version.json version.json.sig [--platform NAME] [--base-url "
           "URL]\n"
           "exit status: 0 done, 1 refused, 2 wrong usage\n";
}

} // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) {
        std::cerr << "vorlia-publish: libsodium cannot start\n";
        return exitRefused;
    }
    if (argc < 2) {
        printUsage(std::cerr);
        return exitUsage;
    }
    const std::string command = argv[1];
    try {
        if (command == "keygen") {
            return keygen(parse(argc, argv, 2, {}, {}));
        }
        if (command == "public-key") {
            return publicKey(parse(argc, argv, 2, {}, {}));
        }
        if (command == "manifest") {
            return manifest(parse(argc, argv, 2,
                                  {"--archive", "--version", "--url", "--min", "--notes", "--notes-file",
                                   "--platform", "--base-url", "--out"},
                                  {"--merge", "--size-unknown"}));
        }
        if (command == "sign") {
            return sign(parse(argc, argv, 2, {"--out"}, {}));
        }
        if (command == "verify") {
            return verify(parse(argc, argv, 2, {"--platform", "--base-url"}, {}));
        }
        if (command == "help" || command == "--help" || command == "-h") {
            printUsage(std::cout);
            return 0;
        }
        usage("unknown command " + command);
    } catch (const Failure& failure) {
        std::cerr << "vorlia-publish: " << failure.message << "\n";
        if (failure.status == exitUsage) {
            printUsage(std::cerr);
        }
        return failure.status;
    } catch (const std::exception& error) {
        std::cerr << "vorlia-publish: " << error.what() << "\n";
        return exitRefused;
    }
}
