#include "live_channel.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace plotanix::web {

std::vector<size_t> channelsToEnd(const std::vector<std::string>& addresses) {
    std::vector<bool> ending(addresses.size());
    std::map<std::string, unsigned> held;
    for (const std::string& address : addresses)
        ++held[address];
    size_t left = addresses.size();
    const auto endOldest = [&](const std::string* from) {
        for (size_t i = 0; i < addresses.size(); ++i) {
            if (ending[i] || (from != nullptr && addresses[i] != *from)) continue;
            ending[i] = true;
            --held[addresses[i]];
            --left;
            return;
        }
    };
    if (!addresses.empty()) {
        const std::string& newcomer = addresses.back();
        while (held[newcomer] > LiveChannel::maxChannelsPerAddress)
            endOldest(&newcomer);
    }
    while (left > LiveChannel::maxChannels)
        endOldest(nullptr);
    std::vector<size_t> ended;
    for (size_t i = 0; i < ending.size(); ++i)
        if (ending[i]) ended.push_back(i);
    return ended;
}

MHD_Result LiveChannel::open(MHD_Connection* connection) {
    Watcher& watcher = watchers_.emplace_back();
    watcher.channel = this;
    watcher.connection = connection;
    watcher.opened = transport_.turn();
    // A page saved before the browser came is in the page it loaded.
    watcher.saved = savedVersion_;
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024, read, &watcher, ended);
    if (response == nullptr) {
        watchers_.pop_back();
        return MHD_NO;
    }
    secure(response, "text/event-stream");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    std::vector<std::string> addresses;
    std::vector<Watcher*> open;
    for (Watcher& w : watchers_) {
        if (w.ending) continue;
        addresses.push_back(transport_.addressOf(w.connection));
        open.push_back(&w);
    }
    for (const size_t i : channelsToEnd(addresses))
        end(*open[i], "retry: " + std::to_string(retryAfterGivingWayMs) + "\n\n");
    return send(connection, MHD_HTTP_OK, response);
}

void LiveChannel::pageShown() {
    ++pageVersion_;
    wakeAll();
}

void LiveChannel::stateChanged(std::string text) {
    state_ = std::move(text);
    stateDirty_ = true;
}

void LiveChannel::pageSaved(const std::string& name) {
    savedName_ = name;
    ++savedVersion_;
    wakeAll();
}

std::optional<Clock::time_point> LiveChannel::due() const {
    std::optional<Clock::time_point> when;
    if (pageDirty_ || stateDirty_ || savedDirty_) when = lastSent_ + WebServer::livePace;
    if (!watchers_.empty()) when = earlier(when, lastKeepAlive_ + WebServer::keepAlive);
    for (const Watcher& watcher : watchers_)
        if (!watcher.ending) when = earlier(when, watcher.opened + lifetime);
    return when;
}

void LiveChannel::service(Clock::time_point now) {
    bool told = false;
    if ((pageDirty_ || stateDirty_ || savedDirty_) && now >= lastSent_ + WebServer::livePace) {
        if (pageDirty_) ++pageVersion_;
        if (stateDirty_) ++stateVersion_;
        if (savedDirty_) {
            // Changed in the folder by someone else, or read whole: no name to tell.
            ++savedVersion_;
            savedName_.clear();
        }
        pageDirty_ = stateDirty_ = savedDirty_ = false;
        lastSent_ = now;
        told = true;
    }
    if (!watchers_.empty() && now >= lastKeepAlive_ + WebServer::keepAlive) {
        for (Watcher& watcher : watchers_)
            watcher.keepAlive = true;
        lastKeepAlive_ = now;
        told = true;
    }
    for (Watcher& watcher : watchers_)
        if (!watcher.ending && now >= watcher.opened + lifetime) end(watcher, {});
    if (told) wakeAll();
    if (watchers_.empty()) lastKeepAlive_ = now;
}

// What the watcher has not been told, as messages.
void LiveChannel::compose(Watcher& watcher) const {
    if (watcher.page != pageVersion_ && pageVersion_ != 0) {
        watcher.page = pageVersion_;
        watcher.out += "event: page\ndata: " + std::to_string(pageVersion_) + "\n\n";
    }
    if (watcher.state != stateVersion_) {
        watcher.state = stateVersion_;
        watcher.out += "event: state\ndata: " + state_ + "\n\n";
    }
    if (watcher.saved != savedVersion_) {
        watcher.saved = savedVersion_;
        watcher.out += "event: saved\ndata: " + savedName_ + "\n\n";
    }
    if (watcher.keepAlive && watcher.out.empty()) watcher.out = ":\n\n";
    watcher.keepAlive = false;
}

// The channel says its farewell and ends; the browser's page opens another.
void LiveChannel::end(Watcher& watcher, std::string farewell) {
    watcher.ending = true;
    watcher.farewell = std::move(farewell);
    transport_.resume(watcher.connection);
}

void LiveChannel::wakeAll() {
    for (Watcher& watcher : watchers_)
        transport_.resume(watcher.connection);
}

ssize_t LiveChannel::read(void* cls, uint64_t, char* buffer, size_t most) {
    Watcher& watcher = *static_cast<Watcher*>(cls);
    LiveChannel& channel = *watcher.channel;
    if (channel.transport_.closing()) return MHD_CONTENT_READER_END_OF_STREAM;
    if (watcher.taken == watcher.out.size()) {
        watcher.out.clear();
        watcher.taken = 0;
        if (watcher.ending) {
            if (watcher.farewell.empty()) return MHD_CONTENT_READER_END_OF_STREAM;
            watcher.out = std::exchange(watcher.farewell, {});
        } else {
            channel.compose(watcher);
        }
    }
    if (watcher.out.empty()) {
        // Nothing to tell: the connection waits, off the library's books,
        // until something changes.
        channel.transport_.suspend(watcher.connection);
        return 0;
    }
    const size_t n = std::min(most, watcher.out.size() - watcher.taken);
    std::memcpy(buffer, watcher.out.data() + watcher.taken, n);
    watcher.taken += n;
    return static_cast<ssize_t>(n);
}

void LiveChannel::ended(void* cls) {
    Watcher* watcher = static_cast<Watcher*>(cls);
    watcher->channel->watchers_.remove_if([watcher](const Watcher& w) { return &w == watcher; });
}

} // namespace plotanix::web
