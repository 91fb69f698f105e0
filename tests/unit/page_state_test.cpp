#include "rules/page_state.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vorlia {
namespace {

using enum PagePhase;
using enum PageAction;

const std::string start = "https://play.example/act_web_tiyan/index.html?launcher=1";
const std::string failedPage = "https://play.example/act_web_tiyan/other.html";

PageEvent failed(std::string uri = failedPage, std::string shown = "") {
    return {PageEventKind::loadFailed, std::move(uri), std::move(shown)};
}
PageEvent committed(std::string uri) {
    return {PageEventKind::committed, std::move(uri), ""};
}
const PageEvent retryDue{PageEventKind::retryDue, "", ""};
const PageEvent reloadAsked{PageEventKind::reloadAsked, "", ""};
const PageEvent offlineCommitted = committed("about:blank");
const PageEvent pageCommitted = committed(start);

// The state the engine would be in at each phase, with a page to retry off the game page.
PageState in(PagePhase phase) {
    return phase == page ? PageState{} : PageState{phase, failedPage, 1};
}

TEST(PageTransition, EveryPhaseAndEvent) {
    const struct {
        PagePhase phase;
        PageEvent event;
        PagePhase next;
        PageAction action;
    } cases[] = {
        // The game: a failure shows the offline page; nothing retries on its own.
        {page, failed(), offlineLoading, showOfflinePage},
        {page, retryDue, page, none},
        {page, reloadAsked, page, reload},
        {page, pageCommitted, page, none},
        {page, offlineCommitted, page, none}, // an about:blank of the page's own
        // The offline page on its way: retries wait for it, Reload does not.
        {offlineLoading, offlineCommitted, offline, scheduleRetry},
        {offlineLoading, retryDue, offlineLoading, none},
        {offlineLoading, reloadAsked, page, reloadFailed},
        {offlineLoading, failed(), offlineLoading, showOfflinePage},
        {offlineLoading, pageCommitted, page, none},
        // The offline page: the back-off and the network retry behind it quietly, Reload as at the start.
        {offline, retryDue, retrying, retry},
        {offline, reloadAsked, retrying, reloadFailed},
        {offline, failed(), offline, scheduleRetry},
        {offline, pageCommitted, page, none},
        // A retry: the offline page stays until it commits; a failure waits for the next.
        {retrying, failed(), offline, scheduleRetry},
        {retrying, pageCommitted, page, none},
        {retrying, retryDue, retrying, retry}, // the network came back: start afresh
        {retrying, reloadAsked, retrying, reloadFailed},
        {retrying, offlineCommitted, page, none},
    };
    for (const auto& c : cases) {
        const PageStep step = pageTransition(in(c.phase), c.event, start);
        EXPECT_EQ(step.next.phase, c.next) << "phase " << static_cast<int>(c.phase) << " event "
                                           << static_cast<int>(c.event.kind) << " " << c.event.uri;
        EXPECT_EQ(step.action, c.action) << "phase " << static_cast<int>(c.phase) << " event "
                                         << static_cast<int>(c.event.kind) << " " << c.event.uri;
    }
}

// Which page a retry loads: the one that failed, or else the one that showed,
// or else the start page; never the offline page itself.
TEST(PageTransition, RetriesLoadThePageThatFailed) {
    const std::string shown = "https://play.example/act_web_tiyan/shown.html";
    const std::string retried = "https://play.example/act_web_tiyan/retried.html";
    const struct {
        const char* name;
        PageState state;
        PageEvent event;
        PageStep step;
    } cases[] = {
        {"the game page fails",
         {},
         failed(failedPage, shown),
         {{offlineLoading, failedPage, 0}, showOfflinePage, "", 0}},
        {"no address is known", {}, failed("", shown), {{offlineLoading, shown, 0}, showOfflinePage, "", 0}},
        {"the offline page's own fails",
         {},
         failed("about:blank", shown),
         {{offlineLoading, shown, 0}, showOfflinePage, "", 0}},
        {"the view shows nothing", {}, failed("", ""), {{offlineLoading, start, 0}, showOfflinePage, "", 0}},
        {"the view shows the blank",
         {},
         failed("", "about:blank"),
         {{offlineLoading, start, 0}, showOfflinePage, "", 0}},
        // Away from the game page the view shows the offline page: the page to retry stays.
        {"a retry fails without its address",
         {retrying, retried, 2},
         failed("", "about:blank"),
         {{offline, retried, 3}, scheduleRetry, "", 2}},
        {"a retry fails",
         {retrying, retried, 2},
         failed(failedPage),
         {{offline, failedPage, 3}, scheduleRetry, "", 2}},
        {"the offline page shows",
         {offlineLoading, retried, 0},
         offlineCommitted,
         {{offline, retried, 1}, scheduleRetry, "", 0}},
        {"the back-off's moment",
         {offline, retried, 1},
         retryDue,
         {{retrying, retried, 1}, retry, retried, 0}},
        {"Reload on the offline page",
         {offline, retried, 1},
         reloadAsked,
         {{retrying, retried, 1}, reloadFailed, retried, 0}},
        {"Reload before the offline page shows",
         {offlineLoading, retried, 0},
         reloadAsked,
         {{page, "", 0}, reloadFailed, retried, 0}},
        {"a retry with no page known", {offline, "", 1}, retryDue, {{retrying, "", 1}, retry, start, 0}},
        // The game back: nothing of the retries is kept.
        {"the game commits", {retrying, retried, 3}, pageCommitted, {{page, "", 0}, none, "", 0}},
        {"the count stops at its top",
         {offline, retried, std::numeric_limits<std::uint32_t>::max()},
         failed(),
         {{offline, failedPage, std::numeric_limits<std::uint32_t>::max()},
          scheduleRetry,
          "",
          std::numeric_limits<std::uint32_t>::max()}},
    };
    for (const auto& c : cases) {
        const PageStep step = pageTransition(c.state, c.event, start);
        EXPECT_EQ(step.next.phase, c.step.next.phase) << c.name;
        EXPECT_EQ(step.next.retryURI, c.step.next.retryURI) << c.name;
        EXPECT_EQ(step.next.retriesArmed, c.step.next.retriesArmed) << c.name;
        EXPECT_EQ(step.action, c.step.action) << c.name;
        EXPECT_EQ(step.load, c.step.load) << c.name;
        EXPECT_EQ(step.backOffStep, c.step.backOffStep) << c.name;
    }
}

// A host down for a while: the back-off steps on with each failed retry, and
// a page that fails again after the game came back starts from the first step.
TEST(PageTransition, TheBackOffStepsOnUntilTheGameCommits) {
    PageState state;
    std::vector<std::uint32_t> steps;
    const auto run = [&](const PageEvent& event) {
        const PageStep step = pageTransition(state, event, start);
        if (step.action == scheduleRetry) {
            steps.push_back(step.backOffStep);
        }
        state = step.next;
    };
    for (const PageEvent& event : {failed(start), offlineCommitted, retryDue, failed(start), retryDue,
                                   failed(start), retryDue, pageCommitted, failed(start), offlineCommitted}) {
        run(event);
    }
    EXPECT_EQ(steps, (std::vector<std::uint32_t>{0, 1, 2, 0}));
    EXPECT_EQ(state, (PageState{offline, start, 1}));
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
