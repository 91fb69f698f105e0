// Which GL renderers draw in software, as real drivers name themselves.
#include "app/rendering_choice.hpp"
#include "rules/rendering.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <string>

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

// One decision for each machine, and the player's own settings winning over it.
TEST(RenderingChoice, FollowsTheMachineAndStepsAsideForThePlayer) {
    using Settings = std::vector<std::pair<std::string, std::string>>;
    using Player = std::map<std::string, std::string>;
    const GlFound llvmpipe{true, "llvmpipe (LLVM 15.0.6, 256 bits)", "Mesa", false};
    const GlFound intel{true, "Mesa Intel(R) UHD Graphics 620 (KBL GT2)", "Intel", false};
    const GlFound nvidia{true, "NVIDIA GeForce RTX 3060/PCIe/SSE2", "NVIDIA Corporation", true};
    const GlFound nouveau{true, "NV136", "nouveau", false};
    const GlFound none{};
    const GlFound noneButNvidia{false, "", "", true};
    // NVIDIA's driver loaded for an offload GPU while Intel drives the display.
    const GlFound hybrid{true, "Mesa Intel(R) Iris(R) Xe Graphics (TGL GT2)", "Intel", true};
    const GlFound llvmpipeWithNvidiaLoaded{true, "llvmpipe (LLVM 15.0.6, 256 bits)", "Mesa", true};
    const Settings cairo = {{"GSK_RENDERER", "cairo"}};
    const Settings shm = {{"WEBKIT_DMABUF_RENDERER_FORCE_SHM", "1"}};
    const struct Case {
        const char* what;
        GlFound found;
        Player player;
        RenderingRoad road;
        bool acceleration;
        Settings settings;
        bool heap;
    } cases[] = {
        {"software rasterizer", llvmpipe, {}, RenderingRoad::processor, false, cairo, true},
        {"no OpenGL at all", none, {}, RenderingRoad::processor, false, cairo, true},
        {"a GPU", intel, {}, RenderingRoad::gpu, true, {}, false},
        {"nouveau", nouveau, {}, RenderingRoad::gpu, true, {}, false},
        {"NVIDIA's driver", nvidia, {}, RenderingRoad::nvidia, true, shm, false},
        {"NVIDIA's driver, its EGL out of reach", noneButNvidia, {}, RenderingRoad::nvidia, true, shm, false},
        {"NVIDIA's driver beside an Intel display", hybrid, {}, RenderingRoad::gpu, true, {}, false},
        {"software, NVIDIA's driver loaded",
         llvmpipeWithNvidiaLoaded,
         {},
         RenderingRoad::processor,
         false,
         cairo,
         true},
        {"player turns the engine's acceleration back on",
         llvmpipe,
         {{"WEBKIT_DISABLE_DMABUF_RENDERER", "0"}},
         RenderingRoad::processor,
         true,
         cairo,
         true},
        {"player's shared memory in software",
         llvmpipe,
         {{"WEBKIT_DMABUF_RENDERER_FORCE_SHM", "1"}},
         RenderingRoad::processor,
         true,
         cairo,
         true},
        {"player's compositing off",
         llvmpipe,
         {{"WEBKIT_DISABLE_COMPOSITING_MODE", "1"}},
         RenderingRoad::processor,
         true,
         cairo,
         true},
        {"player's GL renderer in software",
         llvmpipe,
         {{"GSK_RENDERER", "gl"}},
         RenderingRoad::processor,
         false,
         {},
         false},
        {"player's cairo on a GPU", intel, {{"GSK_RENDERER", "Cairo"}}, RenderingRoad::gpu, true, {}, true},
        {"player's DMA-BUF under NVIDIA",
         nvidia,
         {{"WEBKIT_DMABUF_RENDERER_FORCE_SHM", "0"}},
         RenderingRoad::nvidia,
         true,
         {},
         false},
        {"player's engine off under NVIDIA",
         nvidia,
         {{"WEBKIT_DISABLE_DMABUF_RENDERER", "1"}},
         RenderingRoad::nvidia,
         true,
         {},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RenderingChoice choice = chooseRendering(c.found, c.player);
        EXPECT_EQ(choice.road, c.road);
        EXPECT_EQ(choice.engineAcceleration, c.acceleration);
        EXPECT_EQ(choice.settings, c.settings);
        EXPECT_EQ(choice.frameBuffersInHeap, c.heap);
    }
}

std::ptrdiff_t threadsOfThisProcess() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                         std::filesystem::directory_iterator());
}

// The probe runs before the toolkit starts its threads, and the settings made
// from its answer rely on its leaving none behind (llvmpipe starts its
// rasterizers with the display). Its look at the display's OpenGL finds this
// machine's, a render device or not.
TEST(GlProbe, FindsOpenGLAndLeavesNoThreadBehind) {
    const std::ptrdiff_t before = threadsOfThisProcess();
    const GlFound found = displayGl(false);
    EXPECT_EQ(threadsOfThisProcess(), before);
    EXPECT_TRUE(found.context);
    EXPECT_FALSE(found.renderer.empty());
    EXPECT_FALSE(found.vendor.empty());
}

} // namespace
} // namespace vorlia
