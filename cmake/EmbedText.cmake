# Embeds the page script's fixed part into the binary as vorlia::embedded::bridgeJs.
#   IN      the script file: a whole script whose head holds empty values
#   AFTER   the text that ends the head; what follows it is embedded
#   OUT     the .cpp file to write
file(READ "${IN}" _text)
string(FIND "${_text}" "${AFTER}" _head)
if(_head EQUAL -1)
  message(FATAL_ERROR "${IN} lacks its head, ending in: ${AFTER}")
endif()
string(LENGTH "${AFTER}" _after)
math(EXPR _start "${_head} + ${_after}")
string(SUBSTRING "${_text}" ${_start} -1 _text)
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
