#include "rules/user_agent.hpp"

#include <gtest/gtest.h>

namespace vorlia {
namespace {

TEST(UserAgentProduct, VersionJoinsTheNameWithNothingBetween) {
    const std::pair<const char*, const char*> cases[] = {
        {"1.0", "VRLLauncher/1.0"},
        {"2.10.3", "VRLLauncher/2.10.3"},
        {"2.0-beta+7", "VRLLauncher/2.0-beta+7"},
        // Not a header token: the engine would drop the whole suffix.
        {"", "VRLLauncher"},
        {" 2.0 ", "VRLLauncher"},
        {"2.0 beta", "VRLLauncher"},
        {"2\"0", "VRLLauncher"},
        {"2.0\n", "VRLLauncher"},
        {"2.0/3", "VRLLauncher"},
        {"\xC3\xA9", "VRLLauncher"},
    };
    for (const auto& [version, expected] : cases) {
        EXPECT_EQ(userAgentProduct(version), expected) << '"' << version << '"';
    }
}

} // namespace
} // namespace vorlia
