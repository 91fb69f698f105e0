#include "app/rendering_choice.hpp"

#include "base/handle.hpp"

#include <epoxy/egl.h>
#include <epoxy/gl.h>
#include <glib.h>
#include <malloc.h>

#include <cstring>

namespace vorlia {

namespace {

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

// The EGL platform of the display GTK opens: Wayland first where it is
// allowed and there, as GTK tries it.
EGLenum displayPlatform() {
    const char* backend = g_getenv("GDK_BACKEND");
    const auto allows = [backend](const char* name) {
        return backend == nullptr || *backend == '\0' || std::strstr(backend, name) != nullptr ||
               std::strstr(backend, "*") != nullptr;
    };
    if (allows("wayland") && g_getenv("WAYLAND_DISPLAY") != nullptr) {
        return EGL_PLATFORM_WAYLAND_KHR;
    }
    if (allows("x11") && g_getenv("DISPLAY") != nullptr) {
        return EGL_PLATFORM_X11_KHR;
    }
    return EGL_PLATFORM_SURFACELESS_MESA;
}

// GL_RENDERER and GL_VENDOR of a context on an EGL display, made current
// without a surface.
bool readRenderer(EGLDisplay display, GlFound& found) {
    if (!eglBindAPI(EGL_OPENGL_ES_API)) {
        return false;
    }
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_ES2_BIT, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint count = 0;
    if (!eglChooseConfig(display, configAttributes, &config, 1, &count) || count < 1) {
        config = nullptr; // a context without a configuration, where the display allows it
    }
    const EGLint contextAttributes[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
    const EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, contextAttributes);
    if (context == EGL_NO_CONTEXT) {
        return false;
    }
    if (eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        const auto* vendor = reinterpret_cast<const char*>(glGetString(GL_VENDOR));
        found.context = renderer != nullptr;
        found.renderer = renderer != nullptr ? renderer : "";
        found.vendor = vendor != nullptr ? vendor : "";
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    }
    eglDestroyContext(display, context);
    return found.context;
}

} // namespace

bool hasRenderNode() {
    GError* raw = nullptr;
    const Handle<GDir> dir(g_dir_open("/dev/dri", 0, &raw));
    const Handle<GError> error(raw);
    if (!dir) {
        return false;
    }
    for (const char* name = g_dir_read_name(dir.get()); name != nullptr; name = g_dir_read_name(dir.get())) {
        if (g_str_has_prefix(name, "renderD")) {
            return true;
        }
    }
    return false;
}

GlFound probeGl() {
    GlFound found;
    found.nvidiaDriver = g_file_test("/proc/driver/nvidia/version", G_FILE_TEST_EXISTS);
    // Without a render device only the processor can draw OpenGL: the
    // answer is known without loading the driver, which costs a software
    // rasterizer a few hundred milliseconds of start-up.
    if (!found.nvidiaDriver && !hasRenderNode()) {
        return found;
    }
    return displayGl(found.nvidiaDriver);
}

GlFound displayGl(bool nvidiaDriver) {
    GlFound found;
    found.nvidiaDriver = nvidiaDriver;
    if (!epoxy_has_egl()) {
        return found;
    }
    // Through the client extension, which the EGL of every driver has, and
    // looked up by hand: libepoxy resolves EGL 1.5 calls only against a
    // current display, and there is none yet.
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    const auto getPlatformDisplay =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (clientExtensions == nullptr || std::strstr(clientExtensions, "EGL_EXT_platform_base") == nullptr ||
        getPlatformDisplay == nullptr) {
        return found;
    }
    const EGLDisplay display = getPlatformDisplay(displayPlatform(), EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY) {
        return found;
    }
    if (eglInitialize(display, nullptr, nullptr)) {
        readRenderer(display, found);
        // Ends the driver's threads (llvmpipe's rasterizers) with the display.
        eglTerminate(display);
    }
    eglReleaseThread();
    return found;
}

std::map<std::string, std::string> playerRendering() {
    std::map<std::string, std::string> player;
    for (const std::string& name : playerRenderingSettings()) {
        if (const char* value = g_getenv(name.c_str()); value != nullptr) {
            player.emplace(name, value);
        }
    }
    return player;
}

void makeProcessSettings(const RenderingChoice& choice) {
    for (const auto& [name, value] : choice.settings) {
        g_setenv(name.c_str(), value.c_str(), TRUE);
    }
    if (choice.frameBuffersInHeap) {
        keepFrameBuffersInHeap();
    }
}

std::vector<std::string> settingNames(const RenderingChoice& choice) {
    std::vector<std::string> names;
    for (const auto& setting : choice.settings) {
        names.push_back(setting.first);
    }
    return names;
}

} // namespace vorlia
