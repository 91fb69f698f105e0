// What the game window's page is doing, and what each event makes of it: the
// offline page, the retries from it and the game coming back. The window
// performs the step's action; the rule itself touches nothing.
#pragma once

#include <chrono>
#include <cstdint>

namespace vorlia {

enum class PageState {
    page,           // a page of the game, shown or loading; no offline page
    offlineLoading, // the offline page was asked for and has not committed yet
    offline,        // the offline page shows and a retry waits for its moment
    retrying,       // the offline page shows while a retry loads behind it
};

enum class PageEvent {
    loadFailed,       // a load failed for real or outlasted its limit
    offlineCommitted, // the offline page committed (about:blank while it was asked for)
    pageCommitted,    // any other document committed
    retryDue,         // the back-off's moment came or the system's network came back
    reloadAsked,      // Reload Game (Ctrl+R, F5, the menu)
};

enum class PageAction {
    none,
    showOfflinePage, // load the offline page
    scheduleRetry,   // arm the back-off for the next attempt
    retry,           // load the page that failed again, with the start limit
    reload,          // reload the page that shows
};

struct PageStep {
    PageState next;
    PageAction action;
    friend bool operator==(const PageStep&, const PageStep&) = default;
};

PageStep pageTransition(PageState state, PageEvent event);

// The jittered back-off before automatic retry number `attempt` (0 for the
// first): about 10 s, 30 s, 60 s, then every 5 minutes, each stretched or
// shortened by up to a fifth by `unit` (uniform in [0, 1)), so that players
// who lost the same host do not all come back in the same second.
std::chrono::milliseconds retryDelay(std::uint32_t attempt, double unit);

} // namespace vorlia
