// The result type of every layer: a value, or the reason there is none.
// tl::expected stands in for std::expected until the toolchain has C++23.
#pragma once

#include <tl/expected.hpp>

namespace vorlia {

using tl::expected;
using tl::unexpected;

} // namespace vorlia
