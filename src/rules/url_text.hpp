// Checks on URL text that GLib's URI parser leaves out.
#pragma once

#include <string_view>

namespace vorlia {

// False when the text holds a character no URL may hold (spaces, controls,
// non-ASCII bytes, "<>\^`{|} and the double quote); GUri lets them through.
bool holdsOnlyURLCharacters(std::string_view text);

// Whether the path of `url` still lies under the path of `baseURL` once its
// dot segments are removed as a server would remove them: "%2e" counts as a
// dot, and "%2f" and "%5c" as separators or not, since some servers decode
// them first and others never do, and "//" as an empty segment that a ".."
// takes back or as one "/"; the path has to stay under in every reading.
// "/download/../evil.zip", "/download/%2e%2e/evil.zip" and
// "/download/a%2fb/../../evil.zip" do not lie under "/download/". False when
// either text is not an absolute URL.
bool pathStaysUnder(std::string_view url, std::string_view baseURL);

// The one check of an update archive's address, made alike when the manifest
// is decoded, when the download starts and in the publisher's tool: only URL
// characters, an http(s) URL with a host that GLib parses (a malformed
// %-escape does not), and, for a non-empty `baseURL`, beginning with its text
// and with a path that stays under its path.
bool isArchiveURL(std::string_view url, std::string_view baseURL);

} // namespace vorlia
