// Every word the player reads during an update: the dialogs' titles, texts
// and buttons, and the progress window's.
#pragma once

#include "update/update_ui.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// One modal dialog as the player reads it.
struct Alert {
    std::string message;              // the bold title line
    std::string detail;               // the informative text below it
    std::vector<std::string> buttons; // first is the default; none gives a single "OK"

    friend bool operator==(const Alert&, const Alert&) = default;
};

namespace updateText {

inline constexpr std::string_view okButton = "OK";
inline constexpr std::string_view progressTitle = "Updating";
// The title of every updater dialog's window, as window lists show it.
inline constexpr std::string_view dialogTitle = "Vorlia";

// Whole decimal megabytes, never below 1; 1 when the size is unknown.
std::int64_t sizeEstimateMB(std::optional<std::int64_t> size);

// "Update now" first (the default), then "Quit" when required, else "Later".
Alert offer(const Offer& offer);

Alert upToDate(std::string_view runningVersion);

// "Downloading version 2.1…", ending in one U+2026 character.
std::string progressLabel(std::string_view version);

// The sentence for a failure: the one place a reason becomes words. A system
// error is told in the system's own words.
std::string failureMessage(const UpdateFailure& failure);

// "Update failed": the sentence, then the pointer to the site's download
// page; "Open website" first, then "OK".
Alert failure(const UpdateFailure& failure, std::string_view siteHost);

// The page the failure alert's first button opens.
std::string downloadPageURL(std::string_view siteHost);

Alert almostDone();

} // namespace updateText
} // namespace vorlia
