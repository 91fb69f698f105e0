// How the launcher draws, decided once at start from the OpenGL the machine
// has and the settings the player made, as plain values.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorlia {

// Whether an OpenGL GL_RENDERER string names a rasterizer that runs on the
// CPU (Mesa's llvmpipe, softpipe and swrast, Google's SwiftShader, and
// lavapipe behind a Vulkan-on-GL layer), compared without regard to case.
bool isSoftwareRasterizer(std::string_view glRenderer);

// What the start-up probe found.
struct GlFound {
    bool context = false;      // an OpenGL context could be made on the display
    std::string renderer;      // GL_RENDERER
    std::string vendor;        // GL_VENDOR
    bool nvidiaDriver = false; // NVIDIA's proprietary kernel driver is loaded
};

enum class RenderingRoad {
    processor, // software OpenGL or none: the page and the window drawn by the CPU
    gpu,       // the engine's and the toolkit's defaults: accelerated, DMA-BUF frames
    nvidia,    // NVIDIA's proprietary driver: accelerated, frames through shared memory
};

struct RenderingChoice {
    RenderingRoad road = RenderingRoad::gpu;
    // False: the web view's hardware acceleration policy is "never".
    bool engineAcceleration = true;
    // Environment settings the launcher makes for its own process, before
    // any thread starts; nothing it starts inherits them.
    std::vector<std::pair<std::string, std::string>> settings;
    // Whether GTK draws with cairo, whose frame-sized buffers then stay in the heap.
    bool frameBuffersInHeap = false;
};

// The environment settings of the engine and the toolkit that a player may
// make to choose the rendering; a player's setting always wins.
const std::vector<std::string>& playerRenderingSettings();

// The choice for what the probe found, given the player's settings of
// playerRenderingSettings() (name to value, only those set).
RenderingChoice chooseRendering(const GlFound& found, const std::map<std::string, std::string>& player);

} // namespace vorlia
