#include "rules/manifest.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <optional>
#include <string>
#include <vector>

namespace vorlia {
namespace {

const std::string base = "https://vorlia.example/download/";
const std::string entryKey(platformEntryKey);

struct KeyPair {
    std::string publicKey; // base64
    std::vector<unsigned char> secret;
};

KeyPair keyPair(unsigned char seedByte) {
    EXPECT_GE(sodium_init(), 0);
    unsigned char seed[crypto_sign_SEEDBYTES];
    std::fill(std::begin(seed), std::end(seed), seedByte);
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    std::vector<unsigned char> sk(crypto_sign_SECRETKEYBYTES);
    crypto_sign_seed_keypair(pk, sk.data(), seed);
    return {encodeBase64(pk, sizeof pk), sk};
}

const KeyPair& publisher() {
    static const KeyPair key = keyPair(7);
    return key;
}

std::vector<unsigned char> rawSignature(const std::string& body, const KeyPair& key = publisher()) {
    std::vector<unsigned char> signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(body.data()),
                         body.size(), key.secret.data());
    return signature;
}

std::string sign(const std::string& body, const KeyPair& key = publisher()) {
    const auto signature = rawSignature(body, key);
    return encodeBase64(signature.data(), signature.size());
}

// A manifest with the running platform's entry; `entry` is the entry's JSON.
std::string manifestWith(const std::string& entry, const std::string& extra = "") {
    return "{" + extra + "\"" + entryKey + "\": " + entry + "}";
}

const std::string goodEntry =
    R"({"version": "2.1", "min": "1.5", "url": "https://vorlia.example/download/Vorlia-2.1.zip",
  "sha256": "ab12", "size": 48700000})";
const std::string goodManifest = manifestWith(goodEntry, R"("notes": "Faster loading.", )") + "\n";

const UpdateManifest goodDecoded{
    UpdateInfo{"2.1", "1.5", "https://vorlia.example/download/Vorlia-2.1.zip", "ab12", 48700000},
    "Faster loading."};

std::optional<UpdateManifest> check(const std::optional<std::string>& signature,
                                    const std::optional<std::string>& manifest) {
    return verifiedManifest(signature, manifest, {publisher().publicKey}, base);
}

TEST(SignedManifest, AcceptsAGoodPairAndDecodesIt) {
    EXPECT_EQ(check(sign(goodManifest) + "\n", goodManifest), goodDecoded);
}

struct SignatureCase {
    const char* name;
    std::optional<std::string> signature;
    bool accepted;
};

TEST(SignedManifest, SignatureTextIsTrimmedAtBothEndsOnlyAndStrictlyBase64) {
    const std::string sig = sign(goodManifest);
    ASSERT_EQ(sig.size(), 88u);
    std::string urlSafe = sig;
    for (char& c : urlSafe) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    const auto shortSignature = rawSignature(goodManifest);
    const SignatureCase cases[] = {
        {"bare", sig, true},
        {"line feed", sig + "\n", true},
        {"carriage return and line feed", sig + "\r\n", true},
        {"spaces around", "   " + sig + "  ", true},
        {"tabs and blank lines around", "\n\t\n" + sig + "\n\n", true},
        {"vertical tab and form feed", "\v" + sig + "\f", true},
        {"Unicode spaces around (NBSP, NEL, LINE SEPARATOR, IDEOGRAPHIC SPACE)",
         "\xc2\xa0\xc2\x85" + sig + "\xe2\x80\xa8\xe3\x80\x80", true},
        {"split over two lines", sig.substr(0, 60) + "\n" + sig.substr(60) + "\n", false},
        {"split by a space", sig.substr(0, 60) + " " + sig.substr(60), false},
        {"header line", "-----BEGIN SIGNATURE-----\n" + sig + "\n", false},
        {"label before", "sig: " + sig, false},
        {"padding removed", sig.substr(0, 86), false},
        {"padding doubled", sig + "==", false},
        {"URL-safe alphabet", urlSafe, urlSafe == sig},
        {"zero-width space after (not white space)", sig + "\xe2\x80\x8b", false},
        {"NUL after", sig + std::string(1, '\0'), false},
        {"invalid UTF-8 after", sig + "\xff", false},
        {"empty", std::string(), false},
        {"only white space", std::string(" \r\n"), false},
        {"63 bytes", encodeBase64(shortSignature.data(), 63), false},
        {"65 bytes",
         [&] {
             auto longer = shortSignature;
             longer.push_back(0);
             return encodeBase64(longer.data(), longer.size());
         }(),
         false},
        {"signature of other bytes", sign(goodManifest + " "), false},
        {"signature by another key", sign(goodManifest, keyPair(8)), false},
        {"a not-found page", std::string("<html><body><h1>404 Not Found</h1></body></html>\n"), false},
        {"no body", std::nullopt, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(check(c.signature, goodManifest).has_value(), c.accepted) << c.name;
    }
}

TEST(SignedManifest, VerifiesTheExactBytesServed) {
    const std::string sig = sign(goodManifest);
    const std::string changed[] = {
        goodManifest.substr(0, goodManifest.size() - 1), // final line break dropped
        goodManifest + "\n",                             // one added
        "\xef\xbb\xbf" + goodManifest,                   // a byte order mark added
        " " + goodManifest,
        [] {
            std::string crlf;
            for (char c : goodManifest) {
                crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
            }
            return crlf;
        }(),
        [] { // one byte of the archive URL
            std::string s = goodManifest;
            s[s.find("2.1.zip")] = '3';
            return s;
        }(),
    };
    for (const auto& body : changed) {
        EXPECT_FALSE(check(sig, body)) << body;
    }
    EXPECT_FALSE(check(sig, std::nullopt));
    EXPECT_FALSE(check(std::nullopt, std::nullopt));
    EXPECT_FALSE(check(sig, "<html><body><h1>404 Not Found</h1></body></html>\n"));
}

TEST(SignedManifest, RefusesAPublicKeyThatIsNotThirtyTwoBytesOfBase64) {
    const std::string sig = sign(goodManifest);
    const std::string pk = publisher().publicKey;
    for (const std::string& key :
         {std::string(), pk.substr(0, 43), pk + "AAAA", " " + pk, std::string("not a key")}) {
        EXPECT_FALSE(verifiedManifest(sig, goodManifest, {key}, base)) << key;
    }
}

// A launcher trusts several keys while its publisher moves to a new one.
TEST(SignedManifest, TrustsAManifestSignedByAnyOfItsKeys) {
    const std::string sig = sign(goodManifest);
    const std::string signer = publisher().publicKey;
    const std::string other = keyPair(8).publicKey;
    const std::string third = keyPair(9).publicKey;
    const struct {
        const char* name;
        PublicKeys keys;
        std::optional<ManifestFault> fault; // nothing: accepted
    } cases[] = {
        {"signed by the second of two keys", {other, signer}, std::nullopt},
        {"signed by the first of two keys", {signer, other}, std::nullopt},
        {"the signer's key listed twice", {signer, signer}, std::nullopt},
        {"signed by neither of two keys", {other, third}, ManifestFault::signatureMismatch},
        // Trusting nothing and a broken list both refuse, whoever signed.
        {"no key", {}, ManifestFault::badPublicKey},
        {"a malformed key after the signer's", {signer, signer.substr(0, 43)}, ManifestFault::badPublicKey},
        {"an empty key before the signer's", {std::string(), signer}, ManifestFault::badPublicKey},
        {"two keys joined in one text", {other + "," + signer}, ManifestFault::badPublicKey},
    };
    for (const auto& c : cases) {
        const auto result = checkManifest(sig, goodManifest, c.keys, base);
        EXPECT_EQ(result ? std::nullopt : std::optional(result.error().fault), c.fault) << c.name;
        if (result) {
            EXPECT_EQ(*result, goodDecoded) << c.name;
        }
    }
}

struct DecodeCase {
    const char* name;
    std::string manifest;
    std::optional<UpdateManifest> decoded; // nothing: refused
};

UpdateInfo info(std::optional<std::string> min, std::optional<std::int64_t> size,
                std::string url = "https://vorlia.example/download/V.zip") {
    return UpdateInfo{"2.1", std::move(min), std::move(url), "ab12", size};
}

std::string entry(const std::string& fields) {
    return R"({"version": "2.1", "url": "https://vorlia.example/download/V.zip", "sha256": "ab12")" +
           (fields.empty() ? "" : ", " + fields) + "}";
}

TEST(SignedManifest, DecodesOnlyWhatTheLauncherReads) {
    const auto entryOnly = [](UpdateInfo i) { return UpdateManifest{std::move(i), std::nullopt}; };
    const DecodeCase cases[] = {
        {"min and size absent", manifestWith(entry("")), entryOnly(info(std::nullopt, std::nullopt))},
        {"min and size null", manifestWith(entry(R"("min": null, "size": null)")),
         entryOnly(info(std::nullopt, std::nullopt))},
        {"largest size", manifestWith(entry(R"("size": 9223372036854775807)")),
         entryOnly(info(std::nullopt, 9223372036854775807))},
        {"negative size", manifestWith(entry(R"("size": -5)")), entryOnly(info(std::nullopt, -5))},
        {"size past 64 bits", manifestWith(entry(R"("size": 9223372036854775808)")), std::nullopt},
        {"size 12.5", manifestWith(entry(R"("size": 12.5)")), std::nullopt},
        {"size 12.0, a whole number", manifestWith(entry(R"("size": 12.0)")),
         entryOnly(info(std::nullopt, 12))},
        {"size 1e3, a whole number", manifestWith(entry(R"("size": 1e3)")),
         entryOnly(info(std::nullopt, 1000))},
        {"size 1e19", manifestWith(entry(R"("size": 1e19)")), std::nullopt},
        {"size 9223372036854775807.0 (rounds past 64 bits)",
         manifestWith(entry(R"("size": 9223372036854775807.0)")), std::nullopt},
        {"size 99999999999999999999", manifestWith(entry(R"("size": 99999999999999999999)")), std::nullopt},
        {"size \"12\"", manifestWith(entry(R"("size": "12")")), std::nullopt},
        {"size true", manifestWith(entry(R"("size": true)")), std::nullopt},
        {"min a number", manifestWith(entry(R"("min": 1.5)")), std::nullopt},
        {"version a number",
         manifestWith(R"({"version": 2, "url": "https://vorlia.example/download/V.zip", "sha256": "ab12"})"),
         std::nullopt},
        {"version null",
         manifestWith(
             R"({"version": null, "url": "https://vorlia.example/download/V.zip", "sha256": "ab12"})"),
         std::nullopt},
        {"version missing",
         manifestWith(R"({"url": "https://vorlia.example/download/V.zip", "sha256": "ab12"})"), std::nullopt},
        {"sha256 missing",
         manifestWith(R"({"version": "2.1", "url": "https://vorlia.example/download/V.zip"})"), std::nullopt},
        {"url missing", manifestWith(R"({"version": "2.1", "sha256": "ab12"})"), std::nullopt},
        {"keys in another letter case",
         manifestWith(
             R"({"Version": "2.1", "url": "https://vorlia.example/download/V.zip", "sha256": "ab12"})"),
         std::nullopt},
        {"entry missing", R"({"notes": "hello"})", std::nullopt},
        {"entry null", manifestWith("null"), std::nullopt},
        {"entry an array", manifestWith("[]"), std::nullopt},
        {"entry a string", manifestWith("\"2.1\""), std::nullopt},
        {"entry under another letter case",
         "{\"LINUX-X86_64\": " + entry("") + ", \"Linux-aarch64\": " + entry("") + "}", std::nullopt},
        {"other platforms and unknown keys ignored",
         manifestWith(
             entry(R"("channel": "beta", "extra": {"deep": [1, 2, {"x": null}]}, "min": "1.0")"),
             R"("mac": {"version": 99}, "linux-other": 5, "windows": null, "notes": null, "v": [true], )"),
         entryOnly(info("1.0", std::nullopt))},
        {"empty notes", manifestWith(entry(""), R"("notes": "", )"),
         UpdateManifest{info(std::nullopt, std::nullopt), ""}},
        {"notes a number", manifestWith(entry(""), R"("notes": 3, )"), std::nullopt},
        {"notes an object", manifestWith(entry(""), R"("notes": {"en": "hi"}, )"), std::nullopt},
        {"top level an array", "[" + manifestWith(entry("")) + "]", std::nullopt},
        {"top level a string", "\"{}\"", std::nullopt},
        {"not JSON", "version=2.1", std::nullopt},
        {"empty", "", std::nullopt},
        {"trailing text", manifestWith(entry("")) + " x", std::nullopt},
        {"two documents", manifestWith(entry("")) + manifestWith(entry("")), std::nullopt},
        {"cut short", manifestWith(entry("")).substr(0, 40), std::nullopt},
        {"invalid UTF-8 in a string", manifestWith(entry(""), "\"notes\": \"\xff\", "), std::nullopt},
        {"exactly the base URL",
         manifestWith(R"({"version": "2.1", "url": ")" + base + R"(", "sha256": "ab12"})"),
         entryOnly(info(std::nullopt, std::nullopt, base))},
        {"url over http",
         manifestWith(
             R"({"version": "2.1", "url": "http://vorlia.example/download/V.zip", "sha256": "ab12"})"),
         std::nullopt},
        {"url on another host",
         manifestWith(
             R"({"version": "2.1", "url": "https://vorlia.example.evil/download/V.zip", "sha256": "ab12"})"),
         std::nullopt},
        {"url in another letter case",
         manifestWith(
             R"({"version": "2.1", "url": "https://Vorlia.example/download/V.zip", "sha256": "ab12"})"),
         std::nullopt},
        {"url in another folder",
         manifestWith(
             R"({"version": "2.1", "url": "https://vorlia.example/downloads/V.zip", "sha256": "ab12"})"),
         std::nullopt},
        {"url relative", manifestWith(R"({"version": "2.1", "url": "/download/V.zip", "sha256": "ab12"})"),
         std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(check(sign(c.manifest), c.manifest), c.decoded) << c.name << ": " << c.manifest;
    }
}

// The plain-text prefix test alone lets a URL climb out of the download
// folder through dot segments, which the server resolves, written plainly or
// encoded.
TEST(SignedManifest, RefusesAnArchiveURLThatClimbsOutOfTheDownloadFolder) {
    const auto withURL = [](const std::string& url) {
        return manifestWith(R"({"version": "2.1", "url": ")" + url + R"(", "sha256": "ab12"})");
    };
    const std::pair<std::string, bool> cases[] = {
        {"https://vorlia.example/download/../evil.zip", false},
        {"https://vorlia.example/download/%2e%2e/evil.zip", false},
        {"https://vorlia.example/download/%2E%2e/evil.zip", false},
        {"https://vorlia.example/download/.%2e/evil.zip", false},
        {"https://vorlia.example/download/..%2fevil.zip", false},
        {"https://vorlia.example/download/..%5Cevil.zip", false},
        {"https://vorlia.example/download/a/../../evil.zip", false},
        {"https://vorlia.example/download/..", false},
        {"https://vorlia.example/download/../download/V.zip", true},
        {"https://vorlia.example/download/a/../V.zip", true},
        {"https://vorlia.example/download/./V.zip", true},
        {"https://vorlia.example/download/V..zip", true},
        {"https://vorlia.example/download/%2e%2eV.zip", true},
        {"https://vorlia.example/download/V.zip?from=../../x", true},
        // A ".." hidden behind an escaped separator from a parse that removes
        // dot segments before decoding.
        {"https://vorlia.example/download/..%2F*./../%2F.%2F&.%2Fx.zip", false},
        // Escaped separators that a server may not take for separators: the
        // ".." steps then climb over fewer segments.
        {"https://vorlia.example/download/a%2Fb/../../evil.zip", false},
        {"https://vorlia.example/download/i/c99.%5c99.%5cc5cc/../../b/../..//..//z../", false},
        {"https://vorlia.example/download/a%2Fb/../V.zip", true},
        // A ".." that takes back an empty segment in one reading and a name
        // in another.
        {"https://vorlia.example/download/..%2F..2F..//../download/V.zip", false},
        {"https://vorlia.example/download/a//../V.zip", true},
        // Addresses the download could never start: the offer is refused too.
        {"https://vorlia.example/download/Vkorlia%2.1.zip", false},
        {"https://vorlia.example/download/V 2.zip", false},
        {"https://vorlia.example/download/V|2.zip", false},
    };
    for (const auto& [url, accepted] : cases) {
        const std::string manifest = withURL(url);
        EXPECT_EQ(check(sign(manifest), manifest).has_value(), accepted) << url;
    }
    const std::string climbing = withURL("https://vorlia.example/download/%2e%2e/evil.zip");
    const auto refused = checkManifest(sign(climbing), climbing, {publisher().publicKey}, base);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().fault, ManifestFault::urlOutsideBase);
}

// Two readers of one signed text must not see two manifests: a repeated key
// is refused wherever it stands, not read as "last wins".
TEST(SignedManifest, RefusesRepeatedKeysAtAnyLevel) {
    const std::pair<std::string, std::string> refused[] = {
        {"two platform entries", "{\"" + std::string(entryKey) + "\": " + entry("") + ", \"" +
                                     std::string(entryKey) + "\": " + entry(R"("min": "9")") + "}"},
        {"two digests", manifestWith(entry(R"("sha256": "cd34")"))},
        {"two notes", manifestWith(entry(""), R"("notes": "a", "notes": "b", )")},
        {"a key repeated in an ignored object", manifestWith(entry(R"("extra": {"a": 1, "a": 2})"))},
        {"a key repeated in an object in an array", manifestWith(entry(R"("extra": [{"a": 1, "a": 2}])"))},
    };
    for (const auto& [name, manifest] : refused) {
        EXPECT_FALSE(check(sign(manifest), manifest)) << name << ": " << manifest;
        EXPECT_FALSE(decodeManifest(manifest, entryKey)) << name;
    }
    // The same key in different objects is no repetition.
    const std::string nested =
        manifestWith(entry(R"("extra": {"version": "x", "url": 1})"), R"("version": 1, )");
    EXPECT_TRUE(check(sign(nested), nested)) << nested;
}

TEST(SignedManifest, TellsThePublisherWhy) {
    const auto fault = [](const std::optional<std::string>& sig, const std::string& body) {
        auto result = checkManifest(sig, body, {publisher().publicKey}, base);
        return result ? std::optional<ManifestFault>() : std::optional<ManifestFault>(result.error().fault);
    };
    EXPECT_EQ(fault(std::nullopt, goodManifest), ManifestFault::missingBody);
    EXPECT_EQ(fault("not base64!", goodManifest), ManifestFault::signatureNotBase64);
    EXPECT_EQ(fault(sign(goodManifest + "x"), goodManifest), ManifestFault::signatureMismatch);
    // Not parsed before it verifies: broken JSON with a bad signature is a signature fault.
    EXPECT_EQ(fault(sign("{"), "}"), ManifestFault::signatureMismatch);
    EXPECT_EQ(fault(sign("{"), "{"), ManifestFault::badManifest);
    EXPECT_EQ(fault(sign("{}"), "{}"), ManifestFault::noPlatformEntry);
    const std::string outside =
        manifestWith(R"({"version": "2", "url": "https://x.example/a", "sha256": ""})");
    EXPECT_EQ(fault(sign(outside), outside), ManifestFault::urlOutsideBase);
    EXPECT_EQ(fault(sign(goodManifest), goodManifest), std::nullopt);
}

TEST(ManifestRequest, BothURLsCarryTheSameTimeStamp) {
    const auto urls = manifestRequestURLs(base, 1765368000);
    ASSERT_TRUE(urls);
    EXPECT_EQ(urls->manifest, "https://vorlia.example/download/version.json?t=1765368000");
    EXPECT_EQ(urls->signature, "https://vorlia.example/download/version.json.sig?t=1765368000");
    // Two checks in the same second ask for identical URLs.
    EXPECT_EQ(manifestRequestURLs(base, 1765368000)->manifest, urls->manifest);
    EXPECT_EQ(manifestRequestURLs(base, 0)->manifest, "https://vorlia.example/download/version.json?t=0");
}

TEST(ManifestRequest, FormsNoURLsFromABaseThatIsNoURL) {
    for (const char* bad :
         {"", "vorlia.example/download/", "https://vor lia.example/download/", "https://[::1/d/"}) {
        EXPECT_FALSE(manifestRequestURLs(bad, 1)) << bad;
    }
}

} // namespace
} // namespace vorlia
