// vorlia-publish: the publisher's tool for the signed update manifest.
//
//   keygen SECRET-KEY-FILE PUBLIC-KEY-FILE
//   public-key SECRET-KEY-FILE
//   manifest --archive FILE --version V --url URL [--min V] [--notes TEXT | --notes-file FILE]
//            [--size-unknown] [--platform NAME] [--base-url URL] [--merge] --out version.json
//   sign SECRET-KEY-FILE version.json [--out version.json.sig]
//   verify PUBLIC-KEY[,PUBLIC-KEY...] version.json version.json.sig [--platform NAME]... [--base-url URL]
//
// Exit status: 0 done, 1 refused (bad input, a file that does not verify), 2 wrong usage.
#include "base/expected.hpp"
#include "base/files.hpp"
#include "base/handle.hpp"
#include "rules/manifest.hpp"
#include "rules/url_text.hpp"
#include "rules/version.hpp"

#include <glib.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using vorlia::decodeBase64Strict;
using vorlia::encodeBase64;

namespace {

constexpr int exitDone = 0;
constexpr int exitRefused = 1;
constexpr int exitUsage = 2;
constexpr std::string_view platformPrefix = "linux-";
constexpr const char* exitStatusText = "Exit status: 0 done, 1 refused, 2 wrong usage.";

// Why a command ends before its work: the exit status and what to tell the
// publisher. A help asked for ends a command too, with status 0 and the help.
struct Stop {
    int status;
    std::string message;
};

template <class T = void> using Result = vorlia::expected<T, Stop>;

vorlia::unexpected<Stop> refused(std::string message) {
    return vorlia::unexpected(Stop{exitRefused, std::move(message)});
}
vorlia::unexpected<Stop> usage(std::string message) {
    return vorlia::unexpected(Stop{exitUsage, std::move(message)});
}

// One command's command line, parsed by GLib into the command's own values.
class CommandLine {
  public:
    CommandLine(std::string command, const char* parameters, const char* summary)
        : command_(std::move(command)), parameters_(parameters), summary_(summary) {}

    // Values are taken as the bytes given (GLib's "filename" kind): its "string" kind converts from the
    // locale's character set, which for this tool is plain ASCII, and would refuse notes such as "café".
    // What must be UTF-8 is checked by the command itself.
    void text(const char* name, const char* value, std::string help, std::optional<std::string>& into) {
        options_.push_back(
            Option{name, G_OPTION_ARG_FILENAME, value, std::move(help), &into, nullptr, nullptr});
    }
    void list(const char* name, const char* value, std::string help, std::vector<std::string>& into) {
        options_.push_back(
            Option{name, G_OPTION_ARG_FILENAME_ARRAY, value, std::move(help), nullptr, &into, nullptr});
    }
    void flag(const char* name, std::string help, bool& into) {
        options_.push_back(
            Option{name, G_OPTION_ARG_NONE, nullptr, std::move(help), nullptr, nullptr, &into});
    }

    // The `count` positional arguments, once the options are in their places; any other count is
    // the usage error `wrongCount`. `arguments` starts with the command's name and ends with a null
    // pointer, as main's argv does.
    Result<std::vector<std::string>> parse(char** arguments, std::size_t count, std::string_view wrongCount) {
        gboolean help = FALSE;
        gchar** positional = nullptr;
        std::vector<GOptionEntry> entries;
        for (Option& o : options_) {
            gpointer data = o.text != nullptr   ? static_cast<gpointer>(&o.rawText)
                            : o.list != nullptr ? static_cast<gpointer>(&o.rawList)
                                                : static_cast<gpointer>(&o.rawFlag);
            entries.push_back(GOptionEntry{o.name, 0, 0, o.kind, data, o.help.c_str(), o.value});
        }
        entries.push_back(GOptionEntry{"help", 'h', 0, G_OPTION_ARG_NONE, &help, "Show this help", nullptr});
        entries.push_back(GOptionEntry{G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &positional,
                                       nullptr, nullptr});
        entries.push_back(GOptionEntry{});

        const vorlia::Handle<GOptionContext> context = vorlia::adopt(g_option_context_new(parameters_));
        // The help is printed by main like every other outcome, not by GLib ending the process.
        g_option_context_set_help_enabled(context.get(), FALSE);
        g_option_context_set_summary(context.get(), summary_);
        g_option_context_set_description(context.get(), exitStatusText);
        g_option_context_add_main_entries(context.get(), entries.data(), nullptr);
        // The help's usage line names the program; here that is the tool and its command.
        g_set_prgname(("vorlia-publish " + command_).c_str());

        gchar** strv = g_strdupv(arguments);
        GError* raw = nullptr;
        const bool parsed = g_option_context_parse_strv(context.get(), &strv, &raw);
        const vorlia::Handle<char*> left = vorlia::adopt(strv);
        const vorlia::Handle<GError> error = vorlia::adopt(raw);
        // GLib leaves nothing of its own behind when parsing fails, and hands over what it filled in.
        const vorlia::Handle<char*> rest = vorlia::adopt(positional);
        for (Option& o : options_) {
            const vorlia::GText text = vorlia::adopt(std::exchange(o.rawText, nullptr));
            const vorlia::Handle<char*> list = vorlia::adopt(std::exchange(o.rawList, nullptr));
            if (text) {
                *o.text = text.get();
            }
            for (gchar** item = list.get(); item != nullptr && *item != nullptr; ++item) {
                o.list->push_back(*item);
            }
            if (o.flag != nullptr) {
                *o.flag = o.rawFlag != FALSE;
            }
        }
        if (!parsed) {
            return usage(error->message);
        }
        if (help) {
            const vorlia::GText text = vorlia::adopt(g_option_context_get_help(context.get(), TRUE, nullptr));
            return vorlia::unexpected(Stop{exitDone, text.get()});
        }
        std::vector<std::string> result;
        for (gchar** item = rest.get(); item != nullptr && *item != nullptr; ++item) {
            result.emplace_back(*item);
        }
        if (result.size() != count) {
            return usage(std::string(wrongCount));
        }
        return result;
    }

  private:
    struct Option {
        const char* name;
        GOptionArg kind;
        const char* value;
        std::string help;
        std::optional<std::string>* text;
        std::vector<std::string>* list;
        bool* flag;
        // What GLib fills in.
        gchar* rawText = nullptr;
        gchar** rawList = nullptr;
        gboolean rawFlag = FALSE;
    };

    std::string command_;
    const char* parameters_;
    const char* summary_;
    std::vector<Option> options_;
};

Result<std::string> readNamed(const fs::path& path, std::string_view what) {
    auto text = vorlia::readFile(path);
    if (!text) {
        return refused("cannot read the " + std::string(what) + ": " + text.error());
    }
    return std::move(*text);
}

// Through a temporary file and a rename, so that a failed write never leaves a
// half-written file in place of a good one. Files for publishing get the usual
// mode (0666 less the umask); the secret key is its owner's alone.
Result<> writeNamed(const fs::path& path, std::string_view text, int mode = 0666) {
    if (auto written = vorlia::writeFileAtomically(path, text, mode); !written) {
        return refused("cannot write " + path.string() + ": " + written.error());
    }
    return {};
}

// A key file made new and written whole, or not at all: the file must not
// exist yet, not even as a dangling link, at the moment it is made, so that
// one that appeared since any check is never replaced. A file this made and
// could not fill is removed again.
Result<> writeNewKeyFile(const fs::path& path, std::string_view text, int mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST) {
            return refused(path.string() + " already exists; keygen never overwrites a key");
        }
        return refused("cannot write " + path.string() + ": " + g_strerror(error));
    }
    std::string_view left = text;
    int error = 0;
    while (!left.empty() && error == 0) {
        const ssize_t n = ::write(fd, left.data(), left.size());
        if (n < 0 && errno != EINTR) {
            error = errno;
        } else if (n > 0) {
            left.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    if (::fsync(fd) != 0 && error == 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(path.c_str());
        return refused("cannot write " + path.string() + ": " + g_strerror(error));
    }
    return {};
}

// The lines that are neither empty nor comments, without surrounding white space.
std::vector<std::string> keyLines(const std::string& text) {
    std::istringstream lines(text);
    std::vector<std::string> found;
    std::string line;
    while (std::getline(lines, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        found.push_back(line.substr(first, last - first + 1));
    }
    return found;
}

// The first of them, or nothing.
std::string keyLine(const std::string& text) {
    auto lines = keyLines(text);
    return lines.empty() ? std::string() : std::move(lines.front());
}

struct SecretKey {
    std::vector<unsigned char> bytes; // libsodium's 64-byte form: seed, then public key
    std::string publicKeyBase64() const {
        return encodeBase64(bytes.data() + crypto_sign_SEEDBYTES, crypto_sign_PUBLICKEYBYTES);
    }
};

Result<SecretKey> secretKeyOf(const fs::path& path, const std::string& text) {
    const auto bytes = decodeBase64Strict(keyLine(text));
    if (!bytes || bytes->size() != crypto_sign_SECRETKEYBYTES) {
        return refused(path.string() +
                       " is not a manifest signing key (one line: base64 of 64 bytes, as keygen writes)");
    }
    // The public half must belong to the seed, or signatures would not verify.
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secret, bytes->data());
    const bool matches = sodium_memcmp(secret, bytes->data(), sizeof secret) == 0;
    sodium_memzero(secret, sizeof secret);
    if (!matches) {
        return refused(path.string() + " is damaged: its public half does not belong to its secret half");
    }
    return SecretKey{*bytes};
}

Result<SecretKey> loadSecretKey(const fs::path& path) {
    return readNamed(path, "secret key").and_then([&path](const std::string& text) {
        return secretKeyOf(path, text);
    });
}

// The one key line of a public key file.
Result<std::string> publicKeyLine(const std::string& file, const std::string& text) {
    const auto lines = keyLines(text);
    // A second key would otherwise be passed over unseen.
    if (lines.size() > 1) {
        return refused(file + " holds more than one key; give one file per key, separated by commas");
    }
    return lines.empty() ? std::string() : lines.front();
}

Result<std::string> loadPublicKey(const std::string& argument) {
    std::error_code error;
    const Result<std::string> text =
        fs::is_regular_file(argument, error)
            ? readNamed(argument, "public key").and_then([&argument](const std::string& file) {
                  return publicKeyLine(argument, file);
              })
            : argument;
    return text.and_then([&argument](const std::string& key) -> Result<std::string> {
        const auto bytes = decodeBase64Strict(key);
        if (!bytes || bytes->size() != crypto_sign_PUBLICKEYBYTES) {
            return refused(argument + " is neither a public key file nor a public key (base64 of 32 bytes)");
        }
        return key;
    });
}

// Several keys are separated by commas, as in the build's
// VORLIA_MANIFEST_PUBLIC_KEY: the keys of a launcher that trusts an old and a
// new key while its publisher moves to the new one.
Result<vorlia::PublicKeys> loadPublicKeys(const std::string& argument) {
    vorlia::PublicKeys keys;
    std::size_t start = 0;
    while (start <= argument.size()) {
        const std::size_t comma = std::min(argument.find(',', start), argument.size());
        const std::string item = argument.substr(start, comma - start);
        if (item.empty()) {
            return refused("the public keys \"" + argument + "\" hold an empty item between commas");
        }
        auto key = loadPublicKey(item);
        if (!key) {
            return vorlia::unexpected(key.error());
        }
        keys.push_back(std::move(*key));
        start = comma + 1;
    }
    return keys;
}

// Dotted decimal numbers only, so that the launcher reads the version exactly
// as the publisher meant it ("v1.2" would read as 0.2).
Result<> checkVersionText(const std::string& text, std::string_view option) {
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
        return refused(std::string(option) + " \"" + text +
                       "\" is not a dotted version of decimal numbers (e.g. 1.4.2)");
    }
    return {};
}

Result<> checkPlatform(const std::string& platform) {
    if (!platform.starts_with(platformPrefix) || platform.size() == platformPrefix.size() ||
        platform.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-") != std::string::npos) {
        return refused("--platform \"" + platform + "\" is not a platform entry name such as linux-x86_64");
    }
    return {};
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

struct ArchiveDigest {
    std::string sha256; // lower-case hex
    std::int64_t size = 0;
};

// Streamed: an archive need not fit in memory.
Result<ArchiveDigest> digestArchive(const fs::path& archive) {
    std::ifstream in(archive, std::ios::binary);
    if (!in) {
        return refused("cannot read the archive " + archive.string() + ": " + std::strerror(errno));
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<char> buffer(1 << 16);
    ArchiveDigest result;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(buffer.data()),
                                  static_cast<unsigned long long>(got));
        result.size += got;
    }
    if (in.bad()) {
        return refused("cannot read the archive " + archive.string());
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    result.sha256.assign(sizeof digest * 2 + 1, '\0');
    sodium_bin2hex(result.sha256.data(), result.sha256.size(), digest, sizeof digest);
    result.sha256.pop_back();
    return result;
}

Result<> writeKeyPair(const fs::path& secretPath, const fs::path& publicPath) {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secret);
    std::string secretText = "# Vorlia manifest signing key (secret). Keep it offline; never publish it.\n" +
                             encodeBase64(secret, sizeof secret) + "\n";
    sodium_memzero(secret, sizeof secret);
    const auto secretWritten = writeNewKeyFile(secretPath, secretText, 0600);
    sodium_memzero(secretText.data(), secretText.size());
    if (!secretWritten) {
        return secretWritten;
    }
    // A pair or nothing: a secret key without its public half is no use.
    if (auto written = writeNewKeyFile(publicPath, encodeBase64(publicKey, sizeof publicKey) + "\n", 0666);
        !written) {
        ::unlink(secretPath.c_str());
        return written;
    }
    std::cout << "public key (build with -DVORLIA_MANIFEST_PUBLIC_KEY=...): "
              << encodeBase64(publicKey, sizeof publicKey) << "\n";
    return {};
}

Result<> keygen(char** arguments) {
    CommandLine line("keygen", "SECRET-KEY-FILE PUBLIC-KEY-FILE",
                     "Makes a new manifest signing key pair: the secret key, readable by its owner\n"
                     "only (keep it offline), and the public key the launcher is built with.\n"
                     "An existing file is never overwritten.");
    return line.parse(arguments, 2, "keygen needs SECRET-KEY-FILE PUBLIC-KEY-FILE")
        .and_then([](const std::vector<std::string>& files) { return writeKeyPair(files[0], files[1]); });
}

Result<> publicKey(char** arguments) {
    CommandLine line("public-key", "SECRET-KEY-FILE", "Prints the public key that belongs to a secret key.");
    return line.parse(arguments, 1, "public-key needs SECRET-KEY-FILE")
        .and_then([](const std::vector<std::string>& files) { return loadSecretKey(files[0]); })
        .map([](const SecretKey& key) { std::cout << key.publicKeyBase64() << "\n"; });
}

struct ManifestOptions {
    std::optional<std::string> archive, version, url, out, min, notes, notesFile, platform, base;
    bool merge = false;
    bool sizeUnknown = false;
};

// The release notes to publish: --notes, or the text of --notes-file; UTF-8.
Result<std::optional<std::string>> releaseNotes(const ManifestOptions& o) {
    if (o.notes && o.notesFile) {
        return usage("give --notes or --notes-file, not both");
    }
    const Result<std::optional<std::string>> notes =
        o.notesFile ? readNamed(*o.notesFile, "notes file").map([](std::string text) {
            return std::optional<std::string>(std::move(text));
        })
                    : o.notes;
    return notes.and_then([](const std::optional<std::string>& text) -> Result<std::optional<std::string>> {
        if (text && !g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) {
            return refused("the notes are not UTF-8 text");
        }
        return text;
    });
}

// What the new entry goes into: an empty manifest, or with --merge the one at --out.
Result<nlohmann::ordered_json> manifestToMergeInto(const ManifestOptions& o) {
    std::error_code error;
    if (!o.merge || !fs::exists(*o.out, error)) {
        return nlohmann::ordered_json::object();
    }
    return readNamed(*o.out, "manifest")
        .and_then([&o](const std::string& text) -> Result<nlohmann::ordered_json> {
            auto document = nlohmann::ordered_json::parse(text, nullptr, false);
            if (document.is_discarded() || !document.is_object()) {
                return refused(*o.out + " is not a JSON object; nothing to merge into");
            }
            return document;
        });
}

// The manifest with the platform's entry (and the notes) put in, checked as the launcher reads it,
// written to --out.
Result<> writeEntry(const ManifestOptions& o, const std::string& platform,
                    const std::optional<std::string>& notes, const ArchiveDigest& digest,
                    nlohmann::ordered_json document) {
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["version"] = *o.version;
    if (o.min) {
        entry["min"] = *o.min;
    }
    entry["url"] = *o.url;
    entry["sha256"] = digest.sha256;
    if (!o.sizeUnknown) {
        entry["size"] = digest.size;
    }
    if (notes) {
        document["notes"] = *notes;
    }
    document[platform] = entry;
    const std::string text = document.dump(2) + "\n";
    // The launcher must read back exactly what was meant.
    for (const std::string& key : platformKeys(document)) {
        if (auto decoded = vorlia::decodeManifest(text, key); !decoded) {
            return refused("the manifest would not decode: " + decoded.error());
        }
    }
    if (auto written = writeNamed(*o.out, text); !written) {
        return written;
    }
    std::cout << "wrote " << *o.out << " (" << platform << " " << *o.version << ", " << digest.size
              << " bytes, sha256 " << digest.sha256 << ")\n";
    return {};
}

Result<> writeManifest(const ManifestOptions& o) {
    for (const auto& [value, name] : {std::pair{&o.archive, "--archive"}, std::pair{&o.version, "--version"},
                                      std::pair{&o.url, "--url"}, std::pair{&o.out, "--out"}}) {
        if (!*value) {
            return usage(std::string("missing ") + name);
        }
    }
    const std::string& version = *o.version;
    const std::string& url = *o.url;
    const std::string platform = o.platform.value_or(std::string(vorlia::platformEntryKey));
    if (auto ok = checkPlatform(platform); !ok) {
        return ok;
    }
    if (auto ok = checkVersionText(version, "--version"); !ok) {
        return ok;
    }
    if (o.min) {
        if (auto ok = checkVersionText(*o.min, "--min"); !ok) {
            return ok;
        }
        if (vorlia::isNewer(*o.min, version)) {
            return refused("--min " + *o.min + " is newer than --version " + version);
        }
    }
    const vorlia::Handle<GUri> parsed = vorlia::adopt(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr));
    const bool https = parsed && g_strcmp0(g_uri_get_scheme(parsed.get()), "https") == 0 &&
                       g_uri_get_host(parsed.get()) != nullptr && *g_uri_get_host(parsed.get()) != '\0';
    if (!https) {
        return refused("--url \"" + url + "\" is not an https URL");
    }
    if (o.base && !url.starts_with(*o.base)) {
        return refused("--url does not begin with --base-url " + *o.base +
                       "; the launcher would refuse the manifest");
    }
    if (!vorlia::isArchiveURL(url, o.base.value_or(""))) {
        return refused(o.base
                           ? "--url climbs out of --base-url " + *o.base +
                                 " through dot segments, or is not an address the launcher can download; the "
                                 "launcher would refuse the manifest"
                           : "--url \"" + url + "\" is not an address the launcher can download");
    }
    return releaseNotes(o).and_then([&](const std::optional<std::string>& notes) {
        return digestArchive(*o.archive).and_then([&](const ArchiveDigest& digest) {
            return manifestToMergeInto(o).and_then([&](nlohmann::ordered_json document) {
                return writeEntry(o, platform, notes, digest, std::move(document));
            });
        });
    });
}

Result<> manifest(char** arguments) {
    ManifestOptions o;
    CommandLine line("manifest", nullptr,
                     "Writes the manifest entry of one platform for a release archive: its version,\n"
                     "URL, SHA-256 digest and size, with the release notes. --archive, --version,\n"
                     "--url and --out are required. The launcher's own reading checks the manifest\n"
                     "before it is written.");
    line.text("archive", "FILE", "The release archive", o.archive);
    line.text("version", "V", "Its version: dotted decimal numbers, such as 2.1", o.version);
    line.text("url", "URL", "The https URL the archive is published at", o.url);
    line.text("out", "FILE", "The manifest to write (version.json)", o.out);
    line.text("min", "V", "The lowest version still allowed to play: below it, the update is required",
              o.min);
    line.text("notes", "TEXT", "Release notes shown with the update", o.notes);
    line.text("notes-file", "FILE", "Read the release notes from FILE (UTF-8 text)", o.notesFile);
    line.flag("size-unknown", "Leave the archive's size out of the entry", o.sizeUnknown);
    line.text("platform", "NAME",
              "The platform entry to write (default: " + std::string(vorlia::platformEntryKey) + ")",
              o.platform);
    line.text("base-url", "URL", "Refuse a --url outside this download folder, as the launcher would",
              o.base);
    line.flag("merge", "Keep the other entries of an existing --out file", o.merge);
    return line.parse(arguments, 0, "manifest takes only options")
        .and_then([&o](const std::vector<std::string>&) { return writeManifest(o); });
}

// The signature of the manifest's bytes, written to `outPath` once it verifies.
Result<> writeSignature(const SecretKey& key, const std::string& manifestPath, const std::string& body,
                        const fs::path& outPath) {
    const auto document = nlohmann::ordered_json::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return refused(manifestPath + " is not a JSON object");
    }
    const auto keys = platformKeys(document);
    if (keys.empty()) {
        return refused(manifestPath + " has no platform entry (a key such as \"linux-x86_64\")");
    }
    for (const std::string& platform : keys) {
        if (auto decoded = vorlia::decodeManifest(body, platform); !decoded) {
            return refused(manifestPath + " would not decode: " + decoded.error());
        }
    }
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                         key.bytes.data());
    const std::string text = encodeBase64(signature, sizeof signature) + "\n";
    if (vorlia::signatureFault(text, body, {key.publicKeyBase64()})) {
        return refused("the new signature does not verify; nothing written");
    }
    if (auto written = writeNamed(outPath, text); !written) {
        return written;
    }
    std::cout << "wrote " << outPath.string() << " (verifies with " << key.publicKeyBase64() << ")\n";
    return {};
}

Result<> sign(char** arguments) {
    std::optional<std::string> out;
    CommandLine line("sign", "SECRET-KEY-FILE MANIFEST-FILE",
                     "Writes the signature of the manifest's exact bytes. Sign last: any later\n"
                     "change to the manifest makes every launcher ignore it.");
    line.text("out", "FILE", "Where to write the signature (default: MANIFEST-FILE.sig)", out);
    return line.parse(arguments, 2, "sign needs SECRET-KEY-FILE MANIFEST-FILE")
        .and_then([&out](const std::vector<std::string>& files) {
            return loadSecretKey(files[0]).and_then([&](const SecretKey& key) {
                return readNamed(files[1], "manifest").and_then([&](const std::string& body) {
                    return writeSignature(key, files[1], body, out.value_or(files[1] + ".sig"));
                });
            });
        });
}

// The manifest and its signature checked as the launcher does, each platform's entry printed.
Result<> checkSigned(const vorlia::PublicKeys& publicKeys, const std::string& body,
                     const std::string& signature, std::vector<std::string> platforms,
                     const std::string& base) {
    if (const auto fault = vorlia::signatureFault(signature, body, publicKeys)) {
        return refused("refused: " + fault->detail);
    }
    // Which key signed: while a publisher moves to a new key, that is the question.
    for (const std::string& key : publicKeys) {
        if (!vorlia::signatureFault(signature, body, {key})) {
            std::cout << "signed with " << key << "\n";
            break;
        }
    }
    if (platforms.empty()) {
        const auto document = nlohmann::ordered_json::parse(body, nullptr, false);
        if (!document.is_discarded() && document.is_object()) {
            platforms = platformKeys(document);
        }
        if (platforms.empty()) {
            platforms.push_back(std::string(vorlia::platformEntryKey));
        }
    }
    for (const std::string& platform : platforms) {
        const auto result = vorlia::checkManifest(signature, body, publicKeys, base, platform);
        if (!result) {
            return refused("refused for " + platform + ": " + result.error().detail);
        }
        const vorlia::UpdateInfo& info = *result->platform;
        std::cout << platform << ": version " << info.version << (info.min ? ", min " + *info.min : "")
                  << ", url " << info.url << ", sha256 " << info.sha256
                  << (info.size ? ", size " + std::to_string(*info.size) : "") << "\n";
    }
    std::cout << "verified" << (base.empty() ? " (archive URLs not checked: no --base-url)" : "") << "\n";
    return {};
}

Result<> verify(char** arguments) {
    std::vector<std::string> platforms;
    std::optional<std::string> baseOption;
    CommandLine line("verify", "PUBLIC-KEY[,PUBLIC-KEY...] MANIFEST-FILE SIGNATURE-FILE",
                     "Checks a manifest and its signature as the launcher does, and prints the entry\n"
                     "of each platform. PUBLIC-KEY is a public key file or the key itself. A launcher\n"
                     "built with several keys trusts a manifest signed by any one of them: give them\n"
                     "all, separated by commas (old.pub,new.pub).");
    line.list("platform", "NAME", "Check this platform's entry; repeat it for more (default: every entry)",
              platforms);
    line.text("base-url", "URL", "Check also that the archive URLs lie in this download folder", baseOption);
    return line.parse(arguments, 3, "verify needs PUBLIC-KEY[,PUBLIC-KEY...] MANIFEST-FILE SIGNATURE-FILE")
        .and_then([&](const std::vector<std::string>& files) {
            return loadPublicKeys(files[0]).and_then([&](const vorlia::PublicKeys& publicKeys) {
                return readNamed(files[1], "manifest").and_then([&](const std::string& body) {
                    return readNamed(files[2], "signature").and_then([&](const std::string& signature) {
                        return checkSigned(publicKeys, body, signature, platforms, baseOption.value_or(""));
                    });
                });
            });
        });
}

void printUsage(std::ostream& out) {
    out << "usage:\n"
           "  vorlia-publish keygen SECRET-KEY-FILE PUBLIC-KEY-FILE\n"
           "  vorlia-publish public-key SECRET-KEY-FILE\n"
           "  vorlia-publish manifest --archive FILE --version V --url URL --out version.json\n"
           "                 [--min V] [--notes TEXT | --notes-file FILE] [--size-unknown]\n"
           "                 [--platform NAME] [--base-url URL] [--merge]\n"
           "  vorlia-publish sign SECRET-KEY-FILE version.json [--out version.json.sig]\n"
           "  vorlia-publish verify PUBLIC-KEY[,PUBLIC-KEY...] version.json version.json.sig\n"
           "                 [--platform NAME]... [--base-url URL]\n"
           "  vorlia-publish COMMAND --help describes a command and its options\n"
           "exit status: 0 done, 1 refused, 2 wrong usage\n";
}

Result<> run(std::string_view command, char** arguments) {
    constexpr std::array<std::pair<std::string_view, Result<> (*)(char**)>, 5> commands{{
        {"keygen", keygen},
        {"public-key", publicKey},
        {"manifest", manifest},
        {"sign", sign},
        {"verify", verify},
    }};
    for (const auto& [name, function] : commands) {
        if (name == command) {
            return function(arguments);
        }
    }
    return usage("unknown command " + std::string(command));
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
    const std::string_view command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") {
        printUsage(std::cout);
        return exitDone;
    }
    try {
        const Result<> done = run(command, argv + 1);
        if (done) {
            return exitDone;
        }
        const Stop& stop = done.error();
        if (stop.status == exitDone) {
            std::cout << stop.message;
            return exitDone;
        }
        std::cerr << "vorlia-publish: " << stop.message << "\n";
        if (stop.status == exitUsage) {
            printUsage(std::cerr);
        }
        return stop.status;
    } catch (const std::exception& error) {
        // The libraries' own failures (memory, a JSON text that cannot be written) refuse, never abort.
        std::cerr << "vorlia-publish: " << error.what() << "\n";
        return exitRefused;
    }
}
