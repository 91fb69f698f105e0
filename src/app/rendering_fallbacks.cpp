#include "app/rendering_fallbacks.hpp"

#include "base/handle.hpp"
#include "rules/rendering.hpp"

#include <epoxy/gl.h>
#include <gdk/gdk.h>
#include <malloc.h>

namespace vorlia {

namespace {

constexpr const char* engineRendererSetting = "WEBKIT_DISABLE_DMABUF_RENDERER";
constexpr const char* toolkitRendererSetting = "GSK_RENDERER";

void keepFrameBuffersInHeap() {
    // Works around glibc giving back to the kernel, as soon as they are
    // freed, the frame-sized buffers GTK's cairo renderer takes for every
    // frame of the page: each frame then faults its pages in afresh, tens of
    // thousands of faults a second, a whole core while the game animates. Kept in
    // the heap, the next frame reuses them. It can go once that renderer
    // keeps its buffers across frames. Large enough for two 4K frames.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

} // namespace

std::vector<std::string> fallbackSettingsLeftToTheLauncher() {
    std::vector<std::string> left;
    for (const char* name : {engineRendererSetting, toolkitRendererSetting}) {
        if (g_getenv(name) == nullptr) {
            left.emplace_back(name);
        }
    }
    return left;
}

void avoidEngineDmabufRenderer() {
    // Works around WebKitGTK's DMA-BUF renderer, which leaves a blank window
    // on many NVIDIA and some Wayland setups and costs the web process about
    // 80 MiB more; the shared-memory path works everywhere. It can go once
    // the engine falls back by itself.
    g_setenv(engineRendererSetting, "1", FALSE);
}

void chooseToolkitRenderer() {
    // Works around GTK's GL renderer compiling its shaders on the CPU when
    // OpenGL is a software rasterizer: the first frame then waits about
    // 700 ms. It can go once GTK picks its renderer by the GL it finds.
    if (const char* chosen = g_getenv(toolkitRendererSetting); chosen != nullptr) {
        // The player's own choice.
        if (g_ascii_strcasecmp(chosen, "cairo") == 0) {
            keepFrameBuffersInHeap();
        }
        return;
    }
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) {
        return;
    }
    GError* raw = nullptr;
    const Handle<GdkGLContext> context = adopt(gdk_display_create_gl_context(display, &raw));
    bool software = true;
    if (context && gdk_gl_context_realize(context.get(), &raw)) {
        gdk_gl_context_make_current(context.get());
        const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        software = renderer == nullptr || isSoftwareRasterizer(renderer);
        gdk_gl_context_clear_current();
    }
    const Handle<GError> error(raw);
    if (software) {
        g_setenv(toolkitRendererSetting, "cairo", TRUE);
        keepFrameBuffersInHeap();
    }
}

} // namespace vorlia
