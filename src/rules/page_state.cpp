#include "rules/page_state.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vorlia {

PageStep pageTransition(PageState state, PageEvent event) {
    using enum PageState;
    using enum PageAction;
    switch (event) {
    case PageEvent::loadFailed:
        // A failed retry leaves the offline page as it is: no flicker between attempts.
        if (state == retrying || state == offline) {
            return {offline, scheduleRetry};
        }
        return {offlineLoading, showOfflinePage};
    case PageEvent::offlineCommitted:
        if (state == offlineLoading) {
            return {offline, scheduleRetry};
        }
        return {page, none};
    case PageEvent::pageCommitted:
        return {page, none};
    case PageEvent::retryDue:
        // Nothing retries while the game page is up, nor before the offline page shows.
        if (state == offline || state == retrying) {
            return {retrying, retry};
        }
        return {state, none};
    case PageEvent::reloadAsked:
        switch (state) {
        case page:
            return {page, reload};
        case offlineLoading:
            // The offline page has not shown: a failure of this retry asks for it again.
            return {page, retry};
        case offline:
        case retrying:
            return {retrying, retry};
        }
    }
    return {state, none};
}

std::chrono::milliseconds retryDelay(std::uint32_t attempt, double unit) {
    constexpr std::array<double, 4> seconds{10, 30, 60, 300};
    const double base = seconds[std::min<std::size_t>(attempt, seconds.size() - 1)];
    const double spread = std::clamp(std::isfinite(unit) ? unit : 0.5, 0.0, 1.0);
    return std::chrono::milliseconds(std::llround(base * 1000.0 * (0.8 + 0.4 * spread)));
}

} // namespace vorlia
