#include "app/rendering_fallbacks.hpp"

#include "base/handle.hpp"
#include "rules/rendering.hpp"

#include <epoxy/gl.h>
#include <gdk/gdk.h>

namespace vorlia {

void avoidEngineDmabufRenderer() {
    // Works around WebKitGTK's DMA-BUF renderer, which leaves a blank window
    // on many NVIDIA and some Wayland setups and costs the web process about
    // 80 MiB more; the shared-memory path works everywhere. It can go once
    // the engine falls back by itself.
    g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", FALSE);
}

void chooseToolkitRenderer() {
    // Works around GTK's GL renderer compiling its shaders on the CPU when
    // OpenGL is a software rasterizer: the first frame then waits about
    // 700 ms. It can go once GTK picks its renderer by the GL it finds.
    if (g_getenv("GSK_RENDERER") != nullptr) {
        return; // the player's own choice
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
        g_setenv("GSK_RENDERER", "cairo", TRUE);
    }
}

} // namespace vorlia
