// The fixed texts of the download, install and failure alerts.
#pragma once

#include <string>
#include <string_view>

namespace vorlia::updateText {

inline constexpr std::string_view downloadDidNotFinish = "The download did not finish.";
inline constexpr std::string_view notGenuine = "The downloaded file is not genuine.";
inline constexpr std::string_view couldNotBeUnpacked = "The update could not be unpacked.";

inline constexpr std::string_view progressTitle = "Updating";
inline constexpr std::string_view failureTitle = "Update failed";
inline constexpr std::string_view openWebsiteButton = "Open website";
inline constexpr std::string_view okButton = "OK";
inline constexpr std::string_view almostDoneTitle = "Almost done";
inline constexpr std::string_view almostDoneText =
    "The launcher cannot replace itself in this folder. Move the new \"Vorlia\" (shown in your file manager) "
    "over the old one.";

// "Downloading version 2.1…", ending in one U+2026 character.
std::string progressLabel(std::string_view version);

// The failure message followed by the pointer to the site's download page.
std::string failureText(std::string_view message, std::string_view siteHost);

// The page the failure alert's first button opens.
std::string downloadPageURL(std::string_view siteHost);

} // namespace vorlia::updateText
