#include "update/update_texts.hpp"

namespace vorlia::updateText {

std::string progressLabel(std::string_view version) {
    return "Downloading version " + std::string(version) + "\u2026";
}

std::string failureText(std::string_view message, std::string_view siteHost) {
    return std::string(message) + "\n\nYou can download the new version from " + std::string(siteHost) + ".";
}

std::string downloadPageURL(std::string_view siteHost) {
    return "https://" + std::string(siteHost) + "/?download=1";
}

} // namespace vorlia::updateText
