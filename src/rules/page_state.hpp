// What the game engine's page is doing, and what each event makes of it: the
// offline page, the retries from it and the game coming back. The engine
// performs the step's action; the rule itself touches nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vorlia {

enum class PagePhase {
    page,           // a page of the game, shown or loading; no offline page
    offlineLoading, // the offline page was asked for and has not committed yet
    offline,        // the offline page shows and a retry waits for its moment
    retrying,       // the offline page shows while a retry loads behind it
};

// Everything the engine keeps about its page.
struct PageState {
    PagePhase phase = PagePhase::page;
    // Away from the game page: the page that failed, which the retries and
    // Reload Game load again. Empty on the game page.
    std::string retryURI;
    // The automatic retries armed since the offline page was asked for: the
    // back-off's step. Zero on the game page.
    std::uint32_t retriesArmed = 0;
    friend bool operator==(const PageState&, const PageState&) = default;
};

enum class PageEventKind {
    loadFailed,  // a load failed for real or outlasted its limit
    committed,   // a document committed
    retryDue,    // the back-off's moment came or the system's network came back
    reloadAsked, // Reload Game (Ctrl+R, F5, the menu)
};

struct PageEvent {
    PageEventKind kind;
    // loadFailed: the address that failed, as far as it is known; committed:
    // the address of the document (about:blank for the offline page).
    std::string uri;
    // loadFailed: the address the view showed when it failed.
    std::string shownURI;
};

enum class PageAction {
    none,
    showOfflinePage, // load the offline page
    scheduleRetry,   // arm the back-off for the next automatic attempt
    retry,           // load the failed page again, with the start limit; the offline page stays still
    reloadFailed,    // the player's Reload: as retry, with the connecting word as at the start
    reload,          // reload the page that shows
};

struct PageStep {
    PageState next;
    PageAction action;
    // retry, reloadFailed: the address to load.
    std::string load;
    // scheduleRetry: the back-off's step for retryDelay (0 for the first).
    std::uint32_t backOffStep = 0;
    friend bool operator==(const PageStep&, const PageStep&) = default;
};

// `startURL` stands in for a failed page whose address nobody knows.
PageStep pageTransition(const PageState& state, const PageEvent& event, const std::string& startURL);

// The jittered back-off before automatic retry number `attempt` (0 for the
// first): about 10 s, 30 s, 60 s, then every 5 minutes, each stretched or
// shortened by up to a fifth by `unit` (uniform in [0, 1)), so that players
// who lost the same host do not all come back in the same second.
std::chrono::milliseconds retryDelay(std::uint32_t attempt, double unit);

} // namespace vorlia
