#include "rules/page_state.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace vorlia {
namespace {

using enum PageState;
using enum PageAction;
using E = PageEvent;

TEST(PageTransition, EveryStateAndEvent) {
    const struct {
        PageState state;
        PageEvent event;
        PageStep step;
    } cases[] = {
        // The game: a failure shows the offline page; nothing retries on its own.
        {page, E::loadFailed, {offlineLoading, showOfflinePage}},
        {page, E::retryDue, {page, none}},
        {page, E::reloadAsked, {page, reload}},
        {page, E::pageCommitted, {page, none}},
        {page, E::offlineCommitted, {page, none}}, // an about:blank of the page's own
        // The offline page on its way: retries wait for it, Reload does not.
        {offlineLoading, E::offlineCommitted, {offline, scheduleRetry}},
        {offlineLoading, E::retryDue, {offlineLoading, none}},
        {offlineLoading, E::reloadAsked, {page, retry}},
        {offlineLoading, E::loadFailed, {offlineLoading, showOfflinePage}},
        {offlineLoading, E::pageCommitted, {page, none}},
        // The offline page: the back-off, the network or Reload retry behind it.
        {offline, E::retryDue, {retrying, retry}},
        {offline, E::reloadAsked, {retrying, retry}},
        {offline, E::loadFailed, {offline, scheduleRetry}},
        {offline, E::pageCommitted, {page, none}},
        // A retry: the offline page stays until it commits; a failure waits for the next.
        {retrying, E::loadFailed, {offline, scheduleRetry}},
        {retrying, E::pageCommitted, {page, none}},
        {retrying, E::retryDue, {retrying, retry}}, // the network came back: start afresh
        {retrying, E::reloadAsked, {retrying, retry}},
        {retrying, E::offlineCommitted, {page, none}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pageTransition(c.state, c.event), c.step)
            << "state " << static_cast<int>(c.state) << " event " << static_cast<int>(c.event);
    }
}

TEST(RetryDelay, TenThirtySixtyThenFiveMinutesWithinAFifth) {
    using std::chrono::milliseconds;
    const struct {
        std::uint32_t attempt;
        double unit;
        milliseconds delay;
    } cases[] = {
        {0, 0.5, milliseconds(10'000)},
        {1, 0.5, milliseconds(30'000)},
        {2, 0.5, milliseconds(60'000)},
        {3, 0.5, milliseconds(300'000)},
        {4, 0.5, milliseconds(300'000)},
        {4'000'000'000U, 0.5, milliseconds(300'000)},
        {0, 0.0, milliseconds(8'000)},
        {0, 0.999999, milliseconds(12'000)},
        {3, 0.0, milliseconds(240'000)},
        {3, 0.999999, milliseconds(360'000)},
        // A unit outside [0, 1) cannot come from the generator; it stays within bounds all the same.
        {1, -3.0, milliseconds(24'000)},
        {1, 7.0, milliseconds(36'000)},
        {1, std::numeric_limits<double>::quiet_NaN(), milliseconds(30'000)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(retryDelay(c.attempt, c.unit), c.delay) << c.attempt << " " << c.unit;
    }
}

} // namespace
} // namespace vorlia
