// Checks on URL text that GLib's URI parser leaves out.
#pragma once

#include <string_view>

namespace vorlia {

// False when the text holds a character no URL may hold (spaces, controls,
// non-ASCII bytes, "<>\^`{|} and the double quote); GUri lets them through.
bool holdsOnlyURLCharacters(std::string_view text);

// Whether the path of `url` still lies under the path of `baseURL` once its
// dot segments are removed as a server would remove them: "%2e" counts as a
// dot, and "%2f" and "%5c" as separators, since some servers decode them
// first. "/download/../evil.zip" and "/download/%2e%2e/evil.zip" do not lie
// under "/download/". False when either text is not an absolute URL.
bool pathStaysUnder(std::string_view url, std::string_view baseURL);

} // namespace vorlia
