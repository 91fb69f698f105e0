// Which GL renderers draw in software, as real drivers name themselves.
#include "rules/rendering.hpp"

#include <gtest/gtest.h>

namespace vorlia {
namespace {

TEST(SoftwareRasterizer, KnownByTheNamesDriversGive) {
    const std::pair<const char*, bool> cases[] = {
        {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
        {"softpipe", true},
        {"Mesa OffScreen (swrast)", true},
        {"Software Rasterizer", true},
        {"Google SwiftShader", true},
        {"zink (Lavapipe (LLVM 15.0.6, 256 bits))", true},
        {"LLVMPIPE", true},
        {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", false},
        {"AMD Radeon RX 6700 XT (navi22, LLVM 15.0.7, DRM 3.49, 6.1.0-13-amd64)", false},
        {"NVIDIA GeForce RTX 3060/PCIe/SSE2", false},
        {"virgl (Mesa)", false},
        {"", false},
    };
    for (const auto& [renderer, software] : cases) {
        EXPECT_EQ(isSoftwareRasterizer(renderer), software) << renderer;
    }
}

} // namespace
} // namespace vorlia
