# Embeds a text file into the binary as vorlia::embedded::<name>.
#   IN   the text file
#   OUT  the .cpp file to write
file(READ "${IN}" _text)
set(_delim "vrl_embed")
string(FIND "${_text}" ")${_delim}\"" _clash)
if(NOT _clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw-string delimiter")
endif()
file(WRITE "${OUT}" "// Generated from ${IN}; do not edit.
#include <string_view>

namespace vorlia::embedded {

extern const std::string_view bridgeJs;
const std::string_view bridgeJs = R\"${_delim}(${_text})${_delim}\";

} // namespace vorlia::embedded
")
