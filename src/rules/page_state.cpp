#include "rules/page_state.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace vorlia {

namespace {

constexpr const char* offlinePageAddress = "about:blank";

// An address worth loading again: the offline page is none.
bool isPageAddress(const std::string& uri) {
    return !uri.empty() && uri != offlinePageAddress;
}

struct PhaseStep {
    PagePhase next;
    PageAction action;
};

PhaseStep phaseStep(const PageState& state, const PageEvent& event) {
    using enum PagePhase;
    using enum PageAction;
    const PagePhase phase = state.phase;
    switch (event.kind) {
    case PageEventKind::loadFailed:
        // A failed retry leaves the offline page as it is: no flicker between attempts.
        if (phase == retrying || phase == offline) {
            return {offline, scheduleRetry};
        }
        return {offlineLoading, showOfflinePage};
    case PageEventKind::committed:
        if (phase == offlineLoading && event.uri == offlinePageAddress) {
            return {offline, scheduleRetry};
        }
        // Any other document, an about:blank of the page's own among them.
        return {page, none};
    case PageEventKind::retryDue:
        // Nothing retries while the game page is up, nor before the offline page shows.
        if (phase == offline || phase == retrying) {
            return {retrying, retry};
        }
        return {phase, none};
    case PageEventKind::reloadAsked:
        switch (phase) {
        case page:
            return {page, reload};
        case offlineLoading:
            // The offline page has not shown: a failure of this attempt asks for it again.
            return {page, reloadFailed};
        case offline:
        case retrying:
            return {retrying, reloadFailed};
        }
    }
    return {phase, none};
}

} // namespace

PageStep pageTransition(const PageState& state, const PageEvent& event, const std::string& startURL) {
    const PhaseStep phase = phaseStep(state, event);
    PageStep step{{phase.next, state.retryURI, state.retriesArmed}, phase.action, "", 0};
    PageState& next = step.next;
    if (event.kind == PageEventKind::loadFailed) {
        // The page that failed, or else the page that showed, or else the start page.
        if (isPageAddress(event.uri)) {
            next.retryURI = event.uri;
        } else if (state.phase == PagePhase::page) {
            next.retryURI = isPageAddress(event.shownURI) ? event.shownURI : startURL;
        }
    }
    if (step.action == PageAction::retry || step.action == PageAction::reloadFailed) {
        step.load = next.retryURI.empty() ? startURL : next.retryURI;
    }
    if (step.action == PageAction::scheduleRetry) {
        step.backOffStep = state.retriesArmed;
        if (next.retriesArmed < std::numeric_limits<std::uint32_t>::max()) {
            ++next.retriesArmed;
        }
    }
    if (next.phase == PagePhase::page) {
        next = PageState{};
    }
    return step;
}

std::chrono::milliseconds retryDelay(std::uint32_t attempt, double unit) {
    constexpr std::array<double, 4> seconds{10, 30, 60, 300};
    const double base = seconds[std::min<std::size_t>(attempt, seconds.size() - 1)];
    const double spread = std::clamp(std::isfinite(unit) ? unit : 0.5, 0.0, 1.0);
    return std::chrono::milliseconds(std::llround(base * 1000.0 * (0.8 + 0.4 * spread)));
}

} // namespace vorlia
