// The updater's screen as a record of what the player would have seen, one
// short line per moment, and the offers' replies for the test to give:
//
//   "offer 1.1"  "offer 1.1, required"  "up to date 1.0"  "download 2.0"
//   "failure: download did not finish"  "failure: not genuine"
//   "failure: could not be unpacked"  "failure: system error: <detail>"
//   "almost done: <new folder>"
//
// Progress reports are kept apart, since how many arrive depends on timing.
#pragma once

#include "update/update_ui.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorlia::test {

class RecordingUpdateUi final : public UpdateUi {
  public:
    struct Progress {
        std::uint64_t received = 0;
        std::optional<std::uint64_t> total;
    };

    void offerUpdate(const Offer& offer, std::function<void(OfferReply)> reply) override {
        events.push_back("offer " + offer.version + (offer.required ? ", required" : ""));
        offers.push_back(offer);
        replies.push_back(std::move(reply));
    }
    void showUpToDate(std::string_view runningVersion) override {
        events.push_back("up to date " + std::string(runningVersion));
    }
    void downloadStarted(std::string_view version) override {
        events.push_back("download " + std::string(version));
    }
    void downloadProgress(std::uint64_t received, std::optional<std::uint64_t> total) override {
        progress.push_back(Progress{received, total});
    }
    void updateFailed(const UpdateFailure& failure) override {
        events.push_back("failure: " + words(failure));
        if (whenFailed) {
            whenFailed();
        }
    }
    void almostDone(const std::filesystem::path& newFolder) override {
        events.push_back("almost done: " + newFolder.string());
    }

    // Answers the offer shown `which`-th (from 0); each offer is answered once.
    void answer(std::size_t which, OfferReply reply) {
        auto answerOnce = std::exchange(replies.at(which), nullptr);
        if (!answerOnce) {
            throw std::logic_error("offer answered twice");
        }
        answerOnce(reply);
    }
    void answerLast(OfferReply reply) { answer(replies.size() - 1, reply); }

    static std::string words(const UpdateFailure& failure) {
        switch (failure.reason) {
        case FailureReason::downloadDidNotFinish:
            return "download did not finish";
        case FailureReason::notGenuine:
            return "not genuine";
        case FailureReason::couldNotBeUnpacked:
            return "could not be unpacked";
        case FailureReason::systemError:
            return "system error: " + failure.detail;
        }
        return "?";
    }

    std::vector<std::string> events;
    std::vector<Offer> offers;
    std::vector<std::function<void(OfferReply)>> replies;
    std::vector<Progress> progress;
    // Runs as a failure is shown, to look at what the flow left at that moment.
    std::function<void()> whenFailed;
};

} // namespace vorlia::test
