#pragma once
// The web view's live channel (Server-Sent Events, /events): browsers told
// when the page changed (at most four times a second), when the plotter's
// state changed and when a page was saved. The channels are kept apart
// from the places page requests need: at most maxChannels at once and
// maxChannelsPerAddress from one address, the oldest giving way to a
// newcomer, and each ended after its lifetime (the browser's page opens
// another and looks again at what it may have missed), so that no crowd
// of watchers, however patient, locks the view out.

#include "common/poll_source.h"
#include "transport.h"

#include <microhttpd.h>

#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace plotanix::web {

// Which channels end so that a newcomer fits, given the addresses of those
// open, oldest first and the newcomer last: the oldest of an address over
// its share, then the oldest of all while there are too many.
std::vector<size_t> channelsToEnd(const std::vector<std::string>& addresses);

class LiveChannel {
  public:
    static constexpr unsigned maxChannels = 10;
    static constexpr unsigned maxChannelsPerAddress = 8;
    static constexpr auto lifetime = std::chrono::minutes(10);
    // A channel that gave way asks its browser to come back later than one
    // at the end of its lifetime, so that a crowd takes turns slowly.
    static constexpr unsigned retryAfterGivingWayMs = 15000;

    // The state as browsers are first told it.
    LiveChannel(Transport& transport, std::string state)
        : transport_(transport), state_(std::move(state)) {}
    LiveChannel(const LiveChannel&) = delete;
    LiveChannel& operator=(const LiveChannel&) = delete;

    // The answer to /events.
    MHD_Result open(MHD_Connection* connection);
    unsigned open() const { return static_cast<unsigned>(watchers_.size()); }

    // The page shown now has this number: told at once.
    void pageShown();
    // Told at the next pace, each as one message however often it changed.
    void pageChanged() { pageDirty_ = true; }
    void stateChanged(std::string text);
    void folderChanged() { savedDirty_ = true; }
    // Told at once.
    void pageSaved(const std::string& name);
    // The number of the page as browsers were told it; 0: none yet.
    uint64_t pageVersion() const { return pageVersion_; }

    std::optional<Clock::time_point> due() const;
    void service(Clock::time_point now);

  private:
    // One browser on the channel: what it has been told, and the bytes of
    // the messages not yet taken by its connection.
    struct Watcher {
        LiveChannel* channel = nullptr;
        MHD_Connection* connection = nullptr;
        Clock::time_point opened{};
        uint64_t page = 0, state = 0, saved = 0;
        bool keepAlive = false;
        bool ending = false;
        std::string farewell; // the last message, before the channel ends
        std::string out;
        size_t taken = 0;
    };

    void compose(Watcher& watcher) const;
    void end(Watcher& watcher, std::string farewell);
    void wakeAll();
    static ssize_t read(void* cls, uint64_t, char* buffer, size_t most);
    static void ended(void* cls);

    Transport& transport_;
    std::list<Watcher> watchers_; // oldest first
    bool pageDirty_ = false;
    bool stateDirty_ = false;
    bool savedDirty_ = false;
    Clock::time_point lastSent_{};
    Clock::time_point lastKeepAlive_{};
    // What browsers are told, each numbered as it changes.
    uint64_t pageVersion_ = 0; // 0: no page
    uint64_t stateVersion_ = 1;
    uint64_t savedVersion_ = 0;
    std::string state_;
    std::string savedName_;
};

} // namespace plotanix::web
