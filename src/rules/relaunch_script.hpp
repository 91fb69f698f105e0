// The shell script that finishes an update after the launcher has exited:
// it waits for the launcher's process to end, swaps the application folders,
// and starts whichever launcher then stands at the old path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorlia {

// A path as one single-quoted shell word: every byte stands for itself, and a
// single quote is closed, escaped and reopened ('\'').
std::string shellQuote(std::string_view path);

// The script text: seven lines joined by line feeds, no final line feed.
// `folder` is the running application folder, `newFolder` the unpacked one.
std::string relaunchScript(std::int32_t pid, std::string_view folder, std::string_view newFolder);

} // namespace vorlia
