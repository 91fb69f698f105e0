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

    // The positional arguments, once the options are in their places. `arguments` starts with the
    // command's name and ends with a null pointer, as main's argv does.
    Result<std::vector<std::string>> parse(char** arguments) {
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

Result<SecretKey> loadSecretKey(const fs::path& path) {
    const auto text = readNamed(path, "secret key");
    if (!text) {
        return vorlia::unexpected(text.error());
    }
    const auto bytes = decodeBase64Strict(keyLine(*text));
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

Result<std::string> loadPublicKey(const std::string& argument) {
    std::string text = argument;
    std::error_code error;
    if (fs::is_regular_file(argument, error)) {
        const auto file = readNamed(argument, "public key");
        if (!file) {
            return vorlia::unexpected(file.error());
        }
        const auto lines = keyLines(*file);
        // A second key would otherwise be passed over unseen.
        if (lines.size() > 1) {
            return refused(argument + " holds more than one key; give one file per key, separated by commas");
        }
        text = lines.empty() ? std::string() : lines.front();
    }
    const auto bytes = decodeBase64Strict(text);
    if (!bytes || bytes->size() != crypto_sign_PUBLICKEYBYTES) {
        return refused(argument + " is neither a public key file nor a public key (base64 of 32 bytes)");
    }
    return text;
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

Result<> keygen(char** arguments) {
    CommandLine line("keygen", "SECRET-KEY-FILE PUBLIC-KEY-FILE",
                     "Makes a new manifest signing key pair: the secret key, readable by its owner\n"
                     "only (keep it offline), and the public key the launcher is built with.\n"
                     "An existing file is never overwritten.");
    const auto positional = line.parse(arguments);
    if (!positional) {
        return vorlia::unexpected(positional.error());
    }
    if (positional->size() != 2) {
        return usage("keygen needs SECRET-KEY-FILE PUBLIC-KEY-FILE");
    }
    const fs::path secretPath = (*positional)[0];
    const fs::path publicPath = (*positional)[1];
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

Result<> publicKey(char** arguments) {
    CommandLine line("public-key", "SECRET-KEY-FILE", "Prints the public key that belongs to a secret key.");
    const auto positional = line.parse(arguments);
    if (!positional) {
        return vorlia::unexpected(positional.error());
    }
    if (positional->size() != 1) {
        return usage("public-key needs SECRET-KEY-FILE");
    }
    const auto key = loadSecretKey((*positional)[0]);
    if (!key) {
        return vorlia::unexpected(key.error());
    }
    std::cout << key->publicKeyBase64() << "\n";
    return {};
}

Result<> manifest(char** arguments) {
    std::optional<std::string> archive, version, url, out, min, notes, notesFile, platformOption, base;
    bool merge = false;
    bool sizeUnknown = false;
    CommandLine line("manifest", nullptr,
                     "Writes the manifest entry of one platform for a release archive: its version,\n"
                     "URL, SHA-256 digest and size, with the release notes. --archive, --version,\n"
                     "--url and --out are required. The launcher's own reading checks the manifest\n"
                     "before it is written.");
    line.text("archive", "FILE", "The release archive", archive);
    line.text("version", "V", "Its version: dotted decimal numbers, such as 2.1", version);
    line.text("url", "URL", "The https URL the archive is published at", url);
    line.text("out", "FILE", "The manifest to write (version.json)", out);
    line.text("min", "V", "The lowest version still allowed to play: below it, the update is required", min);
    line.text("notes", "TEXT", "Release notes shown with the update", notes);
    line.text("notes-file", "FILE", "Read the release notes from FILE (UTF-8 text)", notesFile);
    line.flag("size-unknown", "Leave the archive's size out of the entry", sizeUnknown);
    line.text("platform", "NAME",
              "The platform entry to write (default: " + std::string(vorlia::platformEntryKey) + ")",
              platformOption);
    line.text("base-url", "URL", "Refuse a --url outside this download folder, as the launcher would", base);
    line.flag("merge", "Keep the other entries of an existing --out file", merge);
    const auto positional = line.parse(arguments);
    if (!positional) {
        return vorlia::unexpected(positional.error());
    }
    if (!positional->empty()) {
        return usage("manifest takes only options");
    }
    for (const auto& [value, name] : {std::pair{&archive, "--archive"}, std::pair{&version, "--version"},
                                      std::pair{&url, "--url"}, std::pair{&out, "--out"}}) {
        if (!*value) {
            return usage(std::string("missing ") + name);
        }
    }
    const std::string platform = platformOption.value_or(std::string(vorlia::platformEntryKey));
    if (auto ok = checkPlatform(platform); !ok) {
        return ok;
    }
    if (auto ok = checkVersionText(*version, "--version"); !ok) {
        return ok;
    }
    if (min) {
        if (auto ok = checkVersionText(*min, "--min"); !ok) {
            return ok;
        }
        if (vorlia::isNewer(*min, *version)) {
            return refused("--min " + *min + " is newer than --version " + *version);
        }
    }
    const vorlia::Handle<GUri> parsed = vorlia::adopt(g_uri_parse(url->c_str(), G_URI_FLAGS_NONE, nullptr));
    const bool https = parsed && g_strcmp0(g_uri_get_scheme(parsed.get()), "https") == 0 &&
                       g_uri_get_host(parsed.get()) != nullptr && *g_uri_get_host(parsed.get()) != '\0';
    if (!https) {
        return refused("--url \"" + *url + "\" is not an https URL");
    }
    if (base && !url->starts_with(*base)) {
        return refused("--url does not begin with --base-url " + *base +
                       "; the launcher would refuse the manifest");
    }
    if (!vorlia::isArchiveURL(*url, base.value_or(""))) {
        return refused(base
                           ? "--url climbs out of --base-url " + *base +
                                 " through dot segments, or is not an address the launcher can download; the "
                                 "launcher would refuse the manifest"
                           : "--url \"" + *url + "\" is not an address the launcher can download");
    }
    if (notes && notesFile) {
        return usage("give --notes or --notes-file, not both");
    }
    if (notesFile) {
        auto text = readNamed(*notesFile, "notes file");
        if (!text) {
            return vorlia::unexpected(text.error());
        }
        notes = std::move(*text);
    }
    if (notes && !g_utf8_validate(notes->data(), static_cast<gssize>(notes->size()), nullptr)) {
        return refused("the notes are not UTF-8 text");
    }
    const auto digest = digestArchive(*archive);
    if (!digest) {
        return vorlia::unexpected(digest.error());
    }

    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    std::error_code error;
    if (merge && fs::exists(*out, error)) {
        const auto existing = readNamed(*out, "manifest");
        if (!existing) {
            return vorlia::unexpected(existing.error());
        }
        document = nlohmann::ordered_json::parse(*existing, nullptr, false);
        if (document.is_discarded() || !document.is_object()) {
            return refused(*out + " is not a JSON object; nothing to merge into");
        }
    }
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["version"] = *version;
    if (min) {
        entry["min"] = *min;
    }
    entry["url"] = *url;
    entry["sha256"] = digest->sha256;
    if (!sizeUnknown) {
        entry["size"] = digest->size;
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
    if (auto written = writeNamed(*out, text); !written) {
        return written;
    }
    std::cout << "wrote " << *out << " (" << platform << " " << *version << ", " << digest->size
              << " bytes, sha256 " << digest->sha256 << ")\n";
    return {};
}

Result<> sign(char** arguments) {
    std::optional<std::string> out;
    CommandLine line("sign", "SECRET-KEY-FILE MANIFEST-FILE",
                     "Writes the signature of the manifest's exact bytes. Sign last: any later\n"
                     "change to the manifest makes every launcher ignore it.");
    line.text("out", "FILE", "Where to write the signature (default: MANIFEST-FILE.sig)", out);
    const auto positional = line.parse(arguments);
    if (!positional) {
        return vorlia::unexpected(positional.error());
    }
    if (positional->size() != 2) {
        return usage("sign needs SECRET-KEY-FILE MANIFEST-FILE");
    }
    const auto key = loadSecretKey((*positional)[0]);
    if (!key) {
        return vorlia::unexpected(key.error());
    }
    const std::string& manifestPath = (*positional)[1];
    const fs::path outPath = out.value_or(manifestPath + ".sig");
    const auto body = readNamed(manifestPath, "manifest");
    if (!body) {
        return vorlia::unexpected(body.error());
    }
    const auto document = nlohmann::ordered_json::parse(*body, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return refused(manifestPath + " is not a JSON object");
    }
    const auto keys = platformKeys(document);
    if (keys.empty()) {
        return refused(manifestPath + " has no platform entry (a key such as \"linux-x86_64\")");
    }
    for (const std::string& platform : keys) {
        if (auto decoded = vorlia::decodeManifest(*body, platform); !decoded) {
            return refused(manifestPath + " would not decode: " + decoded.error());
        }
    }
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body->data()),
                         body->size(), key->bytes.data());
    const std::string text = encodeBase64(signature, sizeof signature) + "\n";
    if (vorlia::signatureFault(text, *body, {key->publicKeyBase64()})) {
        return refused("the new signature does not verify; nothing written");
    }
    if (auto written = writeNamed(outPath, text); !written) {
        return written;
    }
    std::cout << "wrote " << outPath.string() << " (verifies with " << key->publicKeyBase64() << ")\n";
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
    const auto positional = line.parse(arguments);
    if (!positional) {
        return vorlia::unexpected(positional.error());
    }
    if (positional->size() != 3) {
        return usage("verify needs PUBLIC-KEY[,PUBLIC-KEY...] MANIFEST-FILE SIGNATURE-FILE");
    }
    const auto publicKeys = loadPublicKeys((*positional)[0]);
    if (!publicKeys) {
        return vorlia::unexpected(publicKeys.error());
    }
    const auto body = readNamed((*positional)[1], "manifest");
    if (!body) {
        return vorlia::unexpected(body.error());
    }
    const auto signature = readNamed((*positional)[2], "signature");
    if (!signature) {
        return vorlia::unexpected(signature.error());
    }
    const std::string base = baseOption.value_or("");
    if (const auto fault = vorlia::signatureFault(*signature, *body, *publicKeys)) {
        return refused("refused: " + fault->detail);
    }
    // Which key signed: while a publisher moves to a new key, that is the question.
    for (const std::string& key : *publicKeys) {
        if (!vorlia::signatureFault(*signature, *body, {key})) {
            std::cout << "signed with " << key << "\n";
            break;
        }
    }
    if (platforms.empty()) {
        const auto document = nlohmann::ordered_json::parse(*body, nullptr, false);
        if (!document.is_discarded() && document.is_object()) {
            platforms = platformKeys(document);
        }
        if (platforms.empty()) {
            platforms.push_back(std::string(vorlia::platformEntryKey));
        }
    }
    for (const std::string& platform : platforms) {
        const auto result = vorlia::checkManifest(*signature, *body, *publicKeys, base, platform);
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
