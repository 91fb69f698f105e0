// Which OpenGL renderers draw in software, as plain text rules.
#pragma once

#include <string_view>

namespace vorlia {

// Whether an OpenGL GL_RENDERER string names a rasterizer that runs on the
// CPU (Mesa's llvmpipe, softpipe and swrast, Google's SwiftShader, and
// lavapipe behind a Vulkan-on-GL layer), compared without regard to case.
bool isSoftwareRasterizer(std::string_view glRenderer);

} // namespace vorlia
