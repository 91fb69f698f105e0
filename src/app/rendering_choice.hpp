// The launcher's one rendering decision: what OpenGL the machine has, found
// before any thread starts, and the process settings that follow from it.
#pragma once

#include "rules/rendering.hpp"

#include <map>
#include <string>
#include <vector>

namespace vorlia {

// OpenGL on the display GTK will open (EGL through libepoxy, where the
// machine has a render device), and whether NVIDIA's proprietary driver is
// loaded. Call it before the toolkit starts: it leaves no thread behind, so
// that the settings made from its answer race with no reader of the
// environment.
GlFound probeGl();

// The probe's look at OpenGL itself: a context on the display GTK will open.
GlFound displayGl(bool nvidiaDriver);

// The player's own rendering settings in the environment (name to value).
std::map<std::string, std::string> playerRendering();

// Makes the choice's process settings. Before any thread starts.
void makeProcessSettings(const RenderingChoice& choice);

// The names of the environment settings the choice makes: the launcher's
// own, which nothing it starts inherits.
std::vector<std::string> settingNames(const RenderingChoice& choice);

} // namespace vorlia
