#include "rules/rendering.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace vorlia {

namespace {

std::string lowered(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

constexpr const char* engineDmabufOff = "WEBKIT_DISABLE_DMABUF_RENDERER";
constexpr const char* engineSharedMemory = "WEBKIT_DMABUF_RENDERER_FORCE_SHM";
constexpr const char* engineCompositingOff = "WEBKIT_DISABLE_COMPOSITING_MODE";
constexpr const char* toolkitRenderer = "GSK_RENDERER";

} // namespace

bool isSoftwareRasterizer(std::string_view glRenderer) {
    const std::string lower = lowered(glRenderer);
    constexpr std::array<std::string_view, 6> names = {
        "llvmpipe", "softpipe", "swrast", "software rasterizer", "swiftshader", "lavapipe"};
    return std::any_of(names.begin(), names.end(),
                       [&lower](std::string_view name) { return lower.find(name) != std::string::npos; });
}

const std::vector<std::string>& playerRenderingSettings() {
    static const std::vector<std::string> names = {engineDmabufOff, engineSharedMemory, engineCompositingOff,
                                                   toolkitRenderer};
    return names;
}

RenderingChoice chooseRendering(const GlFound& found, const std::map<std::string, std::string>& player) {
    RenderingChoice choice;
    const bool nvidiaVendor = lowered(found.vendor).find("nvidia") != std::string::npos;
    if (!found.context) {
        // No OpenGL to be had: only the processor can draw, except under
        // NVIDIA's driver, whose EGL the probe may not reach where the
        // engine's GL does.
        choice.road = found.nvidiaDriver ? RenderingRoad::nvidia : RenderingRoad::processor;
    } else if (isSoftwareRasterizer(found.renderer)) {
        choice.road = RenderingRoad::processor;
    } else if (nvidiaVendor) {
        choice.road = RenderingRoad::nvidia;
    } else {
        choice.road = RenderingRoad::gpu;
    }

    const bool engineIsThePlayers = player.contains(engineDmabufOff) || player.contains(engineSharedMemory) ||
                                    player.contains(engineCompositingOff);
    if (!engineIsThePlayers) {
        if (choice.road == RenderingRoad::processor) {
            // Works around the engine compositing in software OpenGL and
            // then copying every frame out of it: under llvmpipe that costs
            // about 1.6 times the processor time of drawing in the
            // processor. It can go once the engine leaves software GL alone.
            choice.engineAcceleration = false;
        } else if (choice.road == RenderingRoad::nvidia) {
            // Works around DMA-BUF frames that NVIDIA's proprietary driver
            // leaves blank or garbled; shared memory keeps acceleration. It
            // can go once the engine or the driver handles those buffers.
            choice.settings.emplace_back(engineSharedMemory, "1");
        }
    }

    if (const auto chosen = player.find(toolkitRenderer); chosen != player.end()) {
        choice.frameBuffersInHeap = lowered(chosen->second) == "cairo";
    } else if (choice.road == RenderingRoad::processor) {
        // Works around GTK's GL renderer compiling its shaders and drawing
        // on the CPU when OpenGL is a software rasterizer: the first frame
        // waits about 700 ms, and every frame costs more than cairo's. It
        // can go once GTK picks its renderer by the GL it finds.
        choice.settings.emplace_back(toolkitRenderer, "cairo");
        choice.frameBuffersInHeap = true;
    }
    return choice;
}

} // namespace vorlia
