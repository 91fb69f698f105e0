// The publisher's tool, run as the real executable, and the launcher's own
// check over what it writes.
#include "base/files.hpp"
#include "rules/manifest.hpp"
#include "support/temp_folder.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vorlia {
namespace {

namespace fs = std::filesystem;

const std::string base = "https://vorlia.example/download/";
// Not ASCII, so that a command line read through the locale's character set would lose it.
const std::string notes = "Faster loading \xe2\x80\x94 caf\xc3\xa9 \xe2\x9c\x93";

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun publish(const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(VORLIA_BINARY_DIR) + "/tools/vorlia-publish"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) {
        raw.push_back(a.data());
    }
    raw.push_back(nullptr);
    char* out = nullptr;
    char* err = nullptr;
    int wait = 0;
    GError* error = nullptr;
    ToolRun run;
    if (!g_spawn_sync(nullptr, raw.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &wait,
                      &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return run;
    }
    run.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    run.out = out;
    run.err = err;
    g_free(out);
    g_free(err);
    return run;
}

std::string readAll(const fs::path& path) {
    return readFile(path).value_or("");
}

void writeAll(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string firstKeyLine(const fs::path& path) {
    std::istringstream lines(readAll(path));
    std::string line;
    while (std::getline(lines, line) && (line.empty() || line[0] == '#')) {
    }
    return line;
}

class PublishTool : public ::testing::Test {
  protected:
    PublishTool() {
        secret = dir / "manifest.key";
        publicKey = dir / "manifest.pub";
        archive = dir / "Vorlia-2.0.zip";
        manifest = dir / "version.json";
        signature = dir / "version.json.sig";
        writeAll(archive, std::string("PK\x03\x04 not really an archive, but bytes to digest", 48));
    }

    void makeSignedPair() {
        ASSERT_EQ(publish({"keygen", secret, publicKey}).status, 0);
        const ToolRun made =
            publish({"manifest", "--archive", archive, "--version", "2.0", "--min", "1.5", "--url",
                     base + "Vorlia-2.0.zip", "--notes", notes, "--base-url", base, "--out", manifest});
        ASSERT_EQ(made.status, 0) << made.err;
        const ToolRun signedRun = publish({"sign", secret, manifest});
        ASSERT_EQ(signedRun.status, 0) << signedRun.err;
    }

    std::optional<UpdateManifest> launcherReads(const std::string& sig, const std::string& body) {
        return verifiedManifest(sig, body, {firstKeyLine(publicKey)}, base);
    }

    test::TempFolder folder;
    const fs::path dir = folder.path();
    fs::path secret, publicKey, archive, manifest, signature;
};

// A name that looks free to a check but is taken when the file is made (a
// dangling link here) is never written through or replaced, and no half of a
// pair stays behind.
TEST_F(PublishTool, KeygenMakesItsFilesNewOrNotAtAll) {
    const fs::path elsewhere = dir / "elsewhere";
    for (const bool secretTaken : {true, false}) {
        const fs::path taken = secretTaken ? secret : publicKey;
        fs::create_symlink(elsewhere, taken);
        const ToolRun run = publish({"keygen", secret, publicKey});
        EXPECT_EQ(run.status, 1) << secretTaken;
        EXPECT_NE(run.err.find("already exists; keygen never overwrites a key"), std::string::npos)
            << run.err;
        EXPECT_TRUE(fs::is_symlink(taken));
        EXPECT_FALSE(fs::exists(fs::symlink_status(secretTaken ? publicKey : secret))) << "half a pair left";
        EXPECT_FALSE(fs::exists(elsewhere)) << "written through the link";
        fs::remove(taken);
    }
    ASSERT_EQ(publish({"keygen", secret, publicKey}).status, 0);
    EXPECT_EQ(fs::status(secret).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PublishTool, RoundTripIsAcceptedByTheLauncher) {
    makeSignedPair();
    const ToolRun verified = publish({"verify", publicKey, manifest, signature, "--base-url", base});
    EXPECT_EQ(verified.status, 0) << verified.err;

    // The signature file: 88 base64 characters on one line.
    const std::string sig = readAll(signature);
    ASSERT_EQ(sig.size(), 89u);
    EXPECT_EQ(sig.substr(86), "==\n");

    const auto decoded = launcherReads(sig, readAll(manifest));
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(decoded->platform);
    EXPECT_EQ(decoded->notes, notes);
    EXPECT_EQ(decoded->platform->version, "2.0");
    EXPECT_EQ(decoded->platform->min, "1.5");
    EXPECT_EQ(decoded->platform->url, base + "Vorlia-2.0.zip");
    EXPECT_EQ(decoded->platform->size, 48);
    // The digest is the archive's, computed independently here.
    const std::string bytes = readAll(archive);
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char hex[sizeof digest * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    EXPECT_EQ(decoded->platform->sha256, hex);

    // The secret key is readable by its owner only.
    struct stat info {};
    ASSERT_EQ(stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(PublishTool, AOneByteChangeToEitherFileIsRefusedByBoth) {
    makeSignedPair();
    const std::string body = readAll(manifest);
    const std::string sig = readAll(signature);
    const fs::path changedManifest = dir / "changed.json";
    const fs::path changedSignature = dir / "changed.json.sig";
    const auto refusedByBoth = [&](const std::string& m, const std::string& s) {
        writeAll(changedManifest, m);
        writeAll(changedSignature, s);
        const ToolRun run = publish({"verify", publicKey, changedManifest, changedSignature});
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
        EXPECT_FALSE(launcherReads(s, m));
    };
    for (const std::size_t at : {std::size_t(0), body.size() / 2, body.find("2.0"), body.size() - 1}) {
        std::string m = body;
        m[at] = static_cast<char>(m[at] ^ 0x01);
        SCOPED_TRACE("manifest byte " + std::to_string(at));
        refusedByBoth(m, sig);
    }
    // Within the base64 text (the line break after it is white space, which is trimmed).
    for (const std::size_t at : {std::size_t(0), std::size_t(43), std::size_t(85), std::size_t(87)}) {
        std::string s = sig;
        s[at] = s[at] == 'A' ? 'B' : 'A';
        SCOPED_TRACE("signature byte " + std::to_string(at));
        refusedByBoth(body, s);
    }
}

TEST_F(PublishTool, MergesEntriesForSeveralPlatforms) {
    makeSignedPair();
    const ToolRun other =
        publish({"manifest", "--archive", archive, "--version", "2.0", "--url", base + "Vorlia-2.0-arm.zip",
                 "--platform", "linux-someotherarch", "--merge", "--out", manifest});
    ASSERT_EQ(other.status, 0) << other.err;
    ASSERT_EQ(publish({"sign", secret, manifest}).status, 0);
    const ToolRun verified = publish({"verify", publicKey, manifest, signature, "--base-url", base});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_NE(verified.out.find("linux-someotherarch: version 2.0"), std::string::npos) << verified.out;
    // Each --platform is checked, not only the last one given.
    const std::string native(platformEntryKey);
    const ToolRun both = publish({"verify", publicKey, manifest, signature, "--platform",
                                  "linux-someotherarch", "--platform", native});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_NE(both.out.find("linux-someotherarch: version 2.0"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find(native + ": version 2.0"), std::string::npos) << both.out;
    const auto decoded = launcherReads(readAll(signature), readAll(manifest));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->platform->url, base + "Vorlia-2.0.zip");
    EXPECT_EQ(decoded->notes, notes);
}

// A publisher moving to a new key checks a release against every key its
// launchers trust: the old key and the new one, as the launcher is built.
TEST_F(PublishTool, VerifiesAgainstSeveralKeysAndNamesTheSigner) {
    makeSignedPair();
    const std::string oldSecret = (dir / "old.key").string(), oldPk = (dir / "old.pub").string();
    const std::string strangerPk = (dir / "stranger.pub").string();
    ASSERT_EQ(publish({"keygen", oldSecret, oldPk}).status, 0);
    ASSERT_EQ(publish({"keygen", (dir / "stranger.key").string(), strangerPk}).status, 0);
    const std::string oldSignature = (dir / "old.json.sig").string();
    ASSERT_EQ(publish({"sign", oldSecret, manifest, "--out", oldSignature}).status, 0);
    const std::string newPk = publicKey.string();
    const std::string newKey = firstKeyLine(publicKey), oldKey = firstKeyLine(oldPk);
    const std::string bothInOneFile = (dir / "both.pub").string();
    writeAll(bothInOneFile, readAll(oldPk) + readAll(newPk));

    const struct {
        const char* name;
        std::string keys;
        std::string sig;
        int status;
        std::string said; // on standard output when verified, else on standard error
    } cases[] = {
        {"signed by the second of two key files", oldPk + "," + newPk, signature, 0, "signed with " + newKey},
        {"signed by the first of two key files", oldPk + "," + newPk, oldSignature, 0,
         "signed with " + oldKey},
        {"a key's text beside a key file", oldKey + "," + newPk, signature, 0, "signed with " + newKey},
        {"signed by neither", oldPk + "," + strangerPk, signature, 1,
         "does not match the manifest and any of the 2"},
        {"an empty item at the end", newPk + ",", signature, 1, "empty item"},
        {"an empty item at the start", "," + newPk, signature, 1, "empty item"},
        {"a malformed key beside the signer's", newPk + ",not-a-key", signature, 1,
         "not-a-key is neither a public key file nor a public key"},
        {"two keys in one file", bothInOneFile, signature, 1, "holds more than one key"},
    };
    for (const auto& c : cases) {
        const ToolRun run = publish({"verify", c.keys, manifest, c.sig, "--base-url", base});
        EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
        EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.said), std::string::npos) << c.name << "\n"
                                                                                       << run.out << run.err;
    }
}

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string message;
};

TEST_F(PublishTool, EveryBadInputGetsAClearMessageAndAnExitStatus) {
    makeSignedPair();
    const std::string m = manifest, s = signature, sk = secret, pk = publicKey, a = archive;
    const std::string notJson = (dir / "not.json").string();
    writeAll(notJson, "version: 2.0\n");
    const std::string noEntry = (dir / "noentry.json").string();
    writeAll(noEntry, "{\"mac\": {\"version\": \"2\"}}\n");
    const std::string badEntry = (dir / "badentry.json").string();
    writeAll(badEntry, "{\"linux-x86_64\": {\"version\": 2, \"url\": \"https://x/\", \"sha256\": \"0\"}}\n");
    const std::string repeated = (dir / "repeated.json").string();
    writeAll(repeated, "{\"linux-x86_64\": {\"version\": \"2\", \"url\": \"" + base +
                           "V.zip\", \"sha256\": \"00\", \"sha256\": \"11\"}}\n");
    const std::string climbing = (dir / "climbing.json").string();
    writeAll(climbing, "{\"linux-x86_64\": {\"version\": \"2\", \"url\": \"" + base +
                           "%2e%2e/V.zip\", \"sha256\": \"00\"}}\n");
    const std::string climbingSig = (dir / "climbing.json.sig").string();
    ASSERT_EQ(publish({"sign", secret, climbing, "--out", climbingSig}).status, 0);
    const std::string badNotes = (dir / "notes.txt").string();
    writeAll(badNotes, "caf\xe9\n");
    const std::string otherPk = (dir / "other.pub").string();
    ASSERT_EQ(publish({"keygen", (dir / "other.key").string(), otherPk}).status, 0);
    const std::string out = (dir / "out.json").string();
    const std::string url = base + "V.zip";
    const BadCase cases[] = {
        {"no command", {}, 2, "usage"},
        {"unknown command", {"publish"}, 2, "unknown command publish"},
        {"unknown option", {"sign", sk, m, "--force"}, 2, "Unknown option --force"},
        {"another command's option", {"verify", pk, m, s, "--out", out}, 2, "Unknown option --out"},
        {"option without value", {"manifest", "--archive"}, 2, "Missing argument for --archive"},
        {"positional for manifest", {"manifest", a}, 2, "manifest takes only options"},
        {"too few for verify",
         {"verify", pk, m},
         2,
         "verify needs PUBLIC-KEY[,PUBLIC-KEY...] MANIFEST-FILE SIGNATURE-FILE"},
        {"missing option", {"manifest", "--archive", a, "--version", "2", "--out", out}, 2, "missing --url"},
        {"keygen over an existing key", {"keygen", sk, (dir / "new.pub").string()}, 1, "never overwrites"},
        {"archive missing",
         {"manifest", "--archive", (dir / "none.zip").string(), "--version", "2", "--url", url, "--out", out},
         1,
         "cannot read the archive"},
        {"version with a letter",
         {"manifest", "--archive", a, "--version", "v2.0", "--url", url, "--out", out},
         1,
         "not a dotted version"},
        {"version with an empty piece",
         {"manifest", "--archive", a, "--version", "2..0", "--url", url, "--out", out},
         1,
         "not a dotted version"},
        {"min above version",
         {"manifest", "--archive", a, "--version", "2.0", "--min", "2.1", "--url", url, "--out", out},
         1,
         "newer than --version"},
        {"url over http",
         {"manifest", "--archive", a, "--version", "2", "--url", "http://vorlia.example/download/V.zip",
          "--out", out},
         1,
         "not an https URL"},
        {"url outside the base",
         {"manifest", "--archive", a, "--version", "2", "--url", "https://cdn.example/V.zip", "--base-url",
          base, "--out", out},
         1,
         "does not begin with --base-url"},
        {"url climbing out of the base",
         {"manifest", "--archive", a, "--version", "2", "--url", base + "../V.zip", "--base-url", base,
          "--out", out},
         1,
         "climbs out of --base-url"},
        {"bad platform name",
         {"manifest", "--archive", a, "--version", "2", "--url", url, "--platform", "mac", "--out", out},
         1,
         "not a platform entry name"},
        {"notes not UTF-8",
         {"manifest", "--archive", a, "--version", "2", "--url", url, "--notes-file", badNotes, "--out", out},
         1,
         "not UTF-8"},
        {"sign with the public key", {"sign", pk, m}, 1, "not a manifest signing key"},
        {"sign a file that is not JSON", {"sign", sk, notJson}, 1, "not a JSON object"},
        {"sign a manifest without a platform entry", {"sign", sk, noEntry}, 1, "no platform entry"},
        {"sign a manifest the launcher cannot decode",
         {"sign", sk, badEntry},
         1,
         "\"version\" is not a string"},
        {"sign a manifest with a repeated key", {"sign", sk, repeated}, 1, "appears twice"},
        {"verify an archive URL climbing out of the base",
         {"verify", pk, climbing, climbingSig, "--base-url", base},
         1,
         "climbs out of"},
        {"verify with another key", {"verify", otherPk, m, s}, 1, "does not match"},
        {"verify with no key",
         {"verify", "not-a-key", m, s},
         1,
         "neither a public key file nor a public key"},
        {"verify a swapped pair", {"verify", pk, s, m}, 1, "not one line of standard base64"},
        {"verify an archive outside the base",
         {"verify", pk, m, s, "--base-url", "https://other.example/"},
         1,
         "does not begin with https://other.example/"},
        {"verify a missing file",
         {"verify", pk, m, (dir / "none.sig").string()},
         1,
         "cannot read the signature"},
    };
    for (const auto& c : cases) {
        const ToolRun run = publish(c.args);
        EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << "\n" << run.err;
    }
    // Nothing was written in place of good files.
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(publish({"verify", pk, m, s}).status, 0);
}

TEST(PublishToolHelp, EachCommandDescribesItsArgumentsAndOptions) {
    struct HelpCase {
        std::string command;
        std::vector<std::string> shown;
    };
    const HelpCase cases[] = {
        {"keygen", {"SECRET-KEY-FILE PUBLIC-KEY-FILE", "never overwritten"}},
        {"public-key", {"SECRET-KEY-FILE"}},
        {"manifest",
         {"--archive=FILE", "--version=V", "--url=URL", "--out=FILE", "--min=V", "--notes=TEXT",
          "--notes-file=FILE", "--size-unknown", "--platform=NAME", "--base-url=URL", "--merge"}},
        {"sign", {"SECRET-KEY-FILE MANIFEST-FILE", "--out=FILE"}},
        {"verify",
         {"PUBLIC-KEY[,PUBLIC-KEY...] MANIFEST-FILE SIGNATURE-FILE", "separated by commas", "--platform=NAME",
          "--base-url=URL"}},
    };
    for (const auto& c : cases) {
        for (const char* help : {"--help", "-h"}) {
            SCOPED_TRACE(c.command + " " + help);
            const ToolRun run = publish({c.command, help});
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_NE(run.out.find("vorlia-publish " + c.command + " "), std::string::npos) << run.out;
            for (const std::string& text : c.shown) {
                EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
            }
            EXPECT_NE(run.out.find("Exit status: 0 done, 1 refused, 2 wrong usage"), std::string::npos);
        }
    }
    // The whole tool's usage names every command.
    const ToolRun all = publish({"--help"});
    EXPECT_EQ(all.status, 0);
    for (const auto& c : cases) {
        EXPECT_NE(all.out.find("vorlia-publish " + c.command + " "), std::string::npos) << all.out;
    }
}

} // namespace
} // namespace vorlia
