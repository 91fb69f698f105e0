// A check GLib's URI parser leaves out.
#pragma once

#include <string_view>

namespace vorlia {

// False when the text holds a character no URL may hold (spaces, controls,
// non-ASCII bytes, "<>\^`{|} and the double quote); GUri lets them through.
bool holdsOnlyURLCharacters(std::string_view text);

} // namespace vorlia
