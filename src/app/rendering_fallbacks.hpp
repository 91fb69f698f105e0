// How the launcher draws on machines where the defaults go wrong. Both are
// workarounds, applied through the environment the engine and the toolkit
// read, and both step aside for a renderer the player has chosen.
#pragma once

#include <string>
#include <vector>

namespace vorlia {

// Of the settings the fallbacks below may make, those the player has not
// made: read before either runs. They are the launcher's own, and what it
// starts (a browser, the relaunched launcher) does not inherit them.
std::vector<std::string> fallbackSettingsLeftToTheLauncher();

// Before the engine starts: keep WebKit off its DMA-BUF renderer.
void avoidEngineDmabufRenderer();

// In the application's startup, before any window is realized: draw the
// launcher's own windows with GTK's cairo renderer when OpenGL is drawn in
// software or cannot be had at all.
void chooseToolkitRenderer();

} // namespace vorlia
