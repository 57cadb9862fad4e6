#include "web/web_server.h"

#include "common/unique_fd.h"
#include "output/ink_overlay.h"
#include "output/png_writer.h"
#include "page/page_image.h"
#include "page_archive.h"
#include "saved_list.h"
#include "web/web_rules.h"
#include "web_pages.h"

#include <microhttpd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <list>
#include <map>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix::web {

namespace {

constexpr size_t requestMemory = 32 * 1024; // headers and URL: more is refused
constexpr size_t archivePiece = 16 * 1024;  // the archive's bytes made at one turn
// Newcomers are taken in beyond the places, so that one waiting for a place
// may be chosen to leave (at once) rather than the newcomer.
constexpr unsigned acceptedAtMost = 2 * WebServer::maxConnections;

std::string numericAddress(const sockaddr_storage& address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    const void* raw =
        address.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(address).sin_addr);
    return ::inet_ntop(address.ss_family, raw, text.data(), text.size()) != nullptr ? text.data()
                                                                                    : "";
}

// Every answer says what it is and that nothing else may be loaded into it.
void secure(MHD_Response* response, const char* type) {
    MHD_add_response_header(response, "Content-Type", type);
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

MHD_Result send(MHD_Connection* connection, unsigned status, MHD_Response* response) {
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result sendText(MHD_Connection* connection, unsigned status, const std::string& text) {
    MHD_Response* response = MHD_create_response_from_buffer(
        text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    secure(response, "text/plain; charset=utf-8");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, status, response);
}

const char* typeOf(const std::string& name) {
    if (name.ends_with(".PNG")) return "image/png";
    if (name.ends_with(".SVG")) return "image/svg+xml";
    if (name.ends_with(".PDF")) return "application/pdf";
    return "text/plain; charset=iso-8859-1";
}

} // namespace

struct WebServer::Impl {
    // One browser on the live channel: what it has been told, and the bytes
    // of the messages not yet taken by its connection.
    struct Watcher {
        Impl* server = nullptr;
        MHD_Connection* connection = nullptr;
        uint64_t page = 0, state = 0, saved = 0;
        bool keepAlive = false;
        bool suspended = false;
        std::string out;
        size_t taken = 0;
    };

    // A connection's place: who holds it and how it uses it.
    struct Place {
        int fd = -1;
        std::string address;
        bool answering = false; // a request's header is whole; until its answer ends
        bool leaving = false;   // told to go
        std::optional<Clock::time_point> begun; // a header is coming (or the connection opened)
        Clock::time_point since{};              // opened, or its last answer ended
    };

    Options options;
    MHD_Daemon* daemon = nullptr;
    UniqueFd poller;                 // level-triggered, over the server's sockets
    std::map<int, uint32_t> watched; // what the poller watches for on each
    UniqueFd folder;
    uint16_t port = 0;
    std::string machineName;
    std::string cookie; // the token's cookie's name
    std::map<MHD_Connection*, Place> places;
    std::map<int, MHD_Connection*> placeOf; // by descriptor
    Clock::time_point turn{};               // the time of the turn under way
    bool closing = false;
    // Work the server has to do at its next run (connections resumed, a
    // place freed for one waiting to be taken), which no descriptor shows.
    bool runAgain = false;

    const PageImage* page = nullptr;
    MHD_Response* pagePng = nullptr; // the page encoded, until it changes
    bool pageDirty = false;
    bool stateDirty = false;
    Clock::time_point lastSent{};
    Clock::time_point lastKeepAlive{};
    // What browsers are told, each numbered as it changes.
    uint64_t pageVersion = 0; // 0: no page
    uint64_t stateVersion = 1;
    uint64_t savedVersion = 0;
    std::string savedName;
    WebStatus status;
    std::list<Watcher> watchers;
    std::unique_ptr<SavedList> saved;
    bool savedDirty = false; // the folder changed otherwise than by a page saved here
    bool drawing = false;    // the page was drawn on since it was last saved
    std::string lastSaved;   // the page saved last by this program

    ~Impl() {
        closing = true;
        for (Watcher& watcher : watchers)
            wake(watcher);
        if (daemon != nullptr) MHD_stop_daemon(daemon);
        if (pagePng != nullptr) MHD_destroy_response(pagePng);
    }

    static void wake(Watcher& watcher) {
        if (!watcher.suspended) return;
        watcher.suspended = false;
        watcher.server->runAgain = true;
        MHD_resume_connection(watcher.connection);
    }
    void wakeAll() {
        for (Watcher& watcher : watchers)
            wake(watcher);
    }

    // The server's sockets, level-triggered, in a poller of our own whose
    // one descriptor joins the loop's poll. (libmicrohttpd's own epoll
    // mode is edge-triggered and misses a client that sends part of a
    // request and closes at once until its idle deadline.)
    void watchSockets() {
        fd_set reads, writes, errors;
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&errors);
        MHD_socket most = -1;
        if (MHD_get_fdset2(daemon, &reads, &writes, &errors, &most, FD_SETSIZE) != MHD_YES)
            most = -1;
        std::map<int, uint32_t> wanted;
        for (int fd = 0; fd <= most; ++fd) {
            const uint32_t events = (FD_ISSET(fd, &reads) ? uint32_t{EPOLLIN} : 0) |
                                    (FD_ISSET(fd, &writes) ? uint32_t{EPOLLOUT} : 0);
            if (events != 0) wanted[fd] = events;
        }
        // A live channel waiting for news is not MHD's to watch: its
        // browser leaving (closing the tab) is watched here, so that its
        // place is freed at once.
        for (const Watcher& watcher : watchers) {
            const auto held = places.find(watcher.connection);
            if (watcher.suspended && held != places.end()) wanted[held->second.fd] = EPOLLRDHUP;
        }
        for (const auto& [fd, events] : watched) {
            if (!wanted.contains(fd)) ::epoll_ctl(poller.get(), EPOLL_CTL_DEL, fd, nullptr);
        }
        for (const auto& [fd, events] : wanted) {
            const auto was = watched.find(fd);
            if (was != watched.end() && was->second == events) continue;
            epoll_event event{};
            event.events = events;
            event.data.fd = fd;
            // A descriptor closed and opened again under the same number
            // has left the poller on its own.
            if (was == watched.end() || ::epoll_ctl(poller.get(), EPOLL_CTL_MOD, fd, &event) != 0)
                ::epoll_ctl(poller.get(), EPOLL_CTL_ADD, fd, &event);
        }
        watched = std::move(wanted);
    }

    // The server's turn on what the poller found ready.
    void run() {
        std::array<epoll_event, 64> ready{};
        const int n = ::epoll_wait(poller.get(), ready.data(), static_cast<int>(ready.size()), 0);
        fd_set reads, writes, errors;
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&errors);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[static_cast<size_t>(i)].data.fd;
            if (fd < 0 || fd >= FD_SETSIZE || fd == saved->descriptor()) continue;
            for (Watcher& watcher : watchers) {
                const auto held = places.find(watcher.connection);
                if (watcher.suspended && held != places.end() && held->second.fd == fd) {
                    wake(watcher);
                    FD_SET(fd, &errors); // gone: MHD closes it
                }
            }
            if ((ready[static_cast<size_t>(i)].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                FD_SET(fd, &reads);
                // The first bytes of a request start its header's deadline.
                const auto held = placeOf.find(fd);
                if (held != placeOf.end()) {
                    Place& place = places.at(held->second);
                    if (!place.answering && !place.begun) place.begun = turn;
                }
            }
            if ((ready[static_cast<size_t>(i)].events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0)
                FD_SET(fd, &writes);
        }
        MHD_run_from_select(daemon, &reads, &writes, &errors);
        watchSockets();
    }

    // Tells the connection to go: its end is read at the server's next run.
    void leave(Place& place) {
        place.leaving = true;
        ::shutdown(place.fd, SHUT_RDWR);
        runAgain = true;
    }

    // Places beyond the limits are given up by the connections that kept
    // them longest without a request under way; a newcomer is last of those.
    void admit(const std::string& address) {
        const auto heldBy = [&](const std::string* from) {
            return std::count_if(places.begin(), places.end(), [&](const auto& held) {
                return !held.second.leaving && (from == nullptr || held.second.address == *from);
            });
        };
        const auto giveUp = [&](const std::string* from) {
            Place* longest = nullptr;
            for (auto& [connection, place] : places) {
                if (place.leaving || place.answering || (from && place.address != *from)) continue;
                const Clock::time_point kept = place.begun.value_or(place.since);
                if (longest == nullptr || kept < longest->begun.value_or(longest->since))
                    longest = &place;
            }
            if (longest == nullptr) return false;
            leave(*longest);
            return true;
        };
        while (heldBy(&address) > static_cast<long>(maxPerAddress) && giveUp(&address)) {
        }
        while (heldBy(nullptr) > static_cast<long>(maxConnections) && giveUp(nullptr)) {
        }
    }

    // Headers that have not come whole in time.
    void closeLate() {
        for (auto& [connection, place] : places) {
            if (!place.leaving && !place.answering && place.begun &&
                turn - *place.begun >= headerDeadline)
                leave(place);
        }
    }

    std::optional<Clock::time_point> nextLate() const {
        std::optional<Clock::time_point> when;
        for (const auto& [connection, place] : places) {
            if (!place.leaving && !place.answering && place.begun)
                when = earlier(when, *place.begun + headerDeadline);
        }
        return when;
    }

    void dropPng() {
        if (pagePng != nullptr) MHD_destroy_response(pagePng);
        pagePng = nullptr;
    }

    // What the watcher has not been told, as messages.
    void compose(Watcher& watcher) {
        if (watcher.page != pageVersion && pageVersion != 0) {
            watcher.page = pageVersion;
            watcher.out += "event: page\ndata: " + std::to_string(pageVersion) + "\n\n";
        }
        if (watcher.state != stateVersion) {
            watcher.state = stateVersion;
            watcher.out += "event: state\ndata: " + statusText(status) + "\n\n";
        }
        if (watcher.saved != savedVersion) {
            watcher.saved = savedVersion;
            watcher.out += "event: saved\ndata: " + savedName + "\n\n";
        }
        if (watcher.keepAlive && watcher.out.empty()) watcher.out = ":\n\n";
        watcher.keepAlive = false;
    }

    static ssize_t readLive(void* cls, uint64_t, char* buffer, size_t most) {
        Watcher& watcher = *static_cast<Watcher*>(cls);
        Impl& server = *watcher.server;
        if (server.closing) return MHD_CONTENT_READER_END_OF_STREAM;
        if (watcher.taken == watcher.out.size()) {
            watcher.out.clear();
            watcher.taken = 0;
            server.compose(watcher);
        }
        if (watcher.out.empty()) {
            // Nothing to tell: the connection waits, off the server's books,
            // until something changes.
            watcher.suspended = true;
            MHD_suspend_connection(watcher.connection);
            return 0;
        }
        const size_t n = std::min(most, watcher.out.size() - watcher.taken);
        std::memcpy(buffer, watcher.out.data() + watcher.taken, n);
        watcher.taken += n;
        return static_cast<ssize_t>(n);
    }

    static void liveEnded(void* cls) {
        Watcher* watcher = static_cast<Watcher*>(cls);
        watcher->server->watchers.remove_if([watcher](const Watcher& w) { return &w == watcher; });
    }

    MHD_Result live(MHD_Connection* connection) {
        Watcher& watcher = watchers.emplace_back();
        watcher.server = this;
        watcher.connection = connection;
        // A page saved before the browser came is in the page it loaded.
        watcher.saved = savedVersion;
        MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024, readLive,
                                                                   &watcher, liveEnded);
        if (response == nullptr) {
            watchers.pop_back();
            return MHD_NO;
        }
        secure(response, "text/event-stream");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        return send(connection, MHD_HTTP_OK, response);
    }

    MHD_Result pageImage(MHD_Connection* connection) {
        if (page == nullptr) return sendText(connection, MHD_HTTP_NOT_FOUND, "No page yet.\n");
        if (pagePng == nullptr) {
            char* bytes = nullptr;
            size_t size = 0;
            FILE* memory = ::open_memstream(&bytes, &size);
            if (memory == nullptr) return MHD_NO;
            const bool written = writePng(memory, *page, PngCompression::fast);
            const bool closed = std::fclose(memory) == 0;
            if (!written || !closed) {
                std::free(bytes);
                return sendText(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                                "The page could not be encoded.\n");
            }
            pagePng = MHD_create_response_from_buffer(size, bytes, MHD_RESPMEM_MUST_FREE);
            if (pagePng == nullptr) {
                std::free(bytes);
                return MHD_NO;
            }
            secure(pagePng, "image/png");
            MHD_add_response_header(pagePng, "Cache-Control", "no-store");
        }
        return MHD_queue_response(connection, MHD_HTTP_OK, pagePng);
    }

    // Two saved pages of the folder laid over each other (?a=...&b=...),
    // drawn for this request alone: nothing is written.
    MHD_Result overlay(MHD_Connection* connection) {
        std::unique_ptr<PageImage> pages[2];
        std::string why = "Not found.";
        for (const int i : {0, 1}) {
            const char* name =
                MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, i == 0 ? "a" : "b");
            if (name == nullptr || !servedName(name) || !std::string_view(name).ends_with(".PNG"))
                return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
            UniqueFd fd(::openat(folder.get(), name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            struct stat info {};
            FILE* file = fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)
                             ? ::fdopen(fd.get(), "rb")
                             : nullptr;
            if (file == nullptr) return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
            (void)fd.release(); // the file closes it
            pages[i] = readPagePng(file, why);
            std::fclose(file);
            if (!pages[i])
                return sendText(connection, MHD_HTTP_UNPROCESSABLE_CONTENT,
                                std::string(name) + ": " + why + "\n");
        }
        layInk(*pages[0], *pages[1], [](Colour ink) { return shiftedInk(1, ink); });
        char* bytes = nullptr;
        size_t size = 0;
        FILE* memory = ::open_memstream(&bytes, &size);
        if (memory == nullptr) return MHD_NO;
        const bool written = writePng(memory, *pages[0], PngCompression::fast);
        if (std::fclose(memory) != 0 || !written) {
            std::free(bytes);
            return sendText(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                            "The overlay could not be encoded.\n");
        }
        MHD_Response* response =
            MHD_create_response_from_buffer(size, bytes, MHD_RESPMEM_MUST_FREE);
        if (response == nullptr) {
            std::free(bytes);
            return MHD_NO;
        }
        secure(response, "image/png");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        return send(connection, MHD_HTTP_OK, response);
    }

    // By its name in the folder only, and only a plain file there.
    MHD_Result file(MHD_Connection* connection, const std::string& name) {
        if (!servedName(name)) return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
        UniqueFd file(::openat(folder.get(), name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
            return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
        MHD_Response* response =
            MHD_create_response_from_fd64(static_cast<uint64_t>(info.st_size), file.get());
        if (response == nullptr) return MHD_NO;
        (void)file.release(); // the response closes it
        secure(response, typeOf(name));
        MHD_add_response_header(response, "Cache-Control",
                                name == "PLOTTER.TXT" ? "no-store" : "max-age=60");
        return send(connection, MHD_HTTP_OK, response);
    }

    MHD_Result staticText(MHD_Connection* connection, const char* text, const char* type) {
        MHD_Response* response = MHD_create_response_from_buffer(
            std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
        if (response == nullptr) return MHD_NO;
        secure(response, type);
        return send(connection, MHD_HTTP_OK, response);
    }

    static ssize_t readArchive(void* cls, uint64_t, char* buffer, size_t most) {
        const size_t n = static_cast<PageArchive*>(cls)->read(buffer, std::min(most, archivePiece));
        return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
    }

    // Every saved page at once: the archive is made as it is sent.
    MHD_Result archive(MHD_Connection* connection) {
        if (saved->reading()) {
            MHD_Response* response = nullptr;
            const std::string text = "The folder is still being read: ask again in a moment.\n";
            response = MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                                       MHD_RESPMEM_MUST_COPY);
            if (response == nullptr) return MHD_NO;
            secure(response, "text/plain; charset=utf-8");
            MHD_add_response_header(response, "Retry-After", "1");
            return send(connection, MHD_HTTP_SERVICE_UNAVAILABLE, response);
        }
        auto* made = new PageArchive(folder.get(), saved->files());
        MHD_Response* response = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, archivePiece, readArchive, made,
            [](void* cls) { delete static_cast<PageArchive*>(cls); });
        if (response == nullptr) {
            delete made;
            return MHD_NO;
        }
        secure(response, "application/x-tar");
        MHD_add_response_header(response, "Content-Disposition",
                                "attachment; filename=\"plotter-pages.tar\"");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        return send(connection, MHD_HTTP_OK, response);
    }

    MHD_Result front(MHD_Connection* connection) {
        FrontPage shown;
        shown.pageVersion = page != nullptr ? pageVersion : 0;
        shown.drawing = drawing;
        shown.total = saved->size();
        shown.reading = saved->reading();
        const char* from = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "from");
        if (from != nullptr && shown.total > 0) {
            const size_t asked = std::strtoul(from, nullptr, 10);
            shown.skip = std::min(asked, (shown.total - 1) / pagesShown * pagesShown);
        }
        shown.saved = saved->newest(shown.skip, pagesShown);
        SavedPage last;
        if ((!lastSaved.empty() && saved->find(lastSaved, last)) || saved->size() > 0) {
            if (last.name.empty()) last = saved->newest(0, 1).front();
            shown.lastSaved = &last;
        }
        const std::string html = frontPage(status, shown);
        MHD_Response* response = MHD_create_response_from_buffer(
            html.size(), const_cast<char*>(html.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) return MHD_NO;
        secure(response, "text/html; charset=utf-8");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        return send(connection, MHD_HTTP_OK, response);
    }

    bool hostPasses(MHD_Connection* connection) const {
        const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
        if (host == nullptr) return false;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (info == nullptr ||
            ::getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            return false;
        return hostAllowed(host, numericAddress(local), port, machineName);
    }

    // The token given in the address is swapped for a cookie, and the
    // browser sent on to the front page without it.
    std::optional<MHD_Result> tokenRefused(MHD_Connection* connection) const {
        if (options.token.empty()) return std::nullopt;
        const char* given = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
        if (given != nullptr) {
            if (!sameToken(given, options.token))
                return sendText(connection, MHD_HTTP_FORBIDDEN, "The token is wrong.\n");
            MHD_Response* response =
                MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            if (response == nullptr) return MHD_NO;
            secure(response, "text/plain; charset=utf-8");
            MHD_add_response_header(response, "Location", "/");
            MHD_add_response_header(response, "Cache-Control", "no-store");
            const std::string set =
                cookie + "=" + options.token + "; Path=/; HttpOnly; SameSite=Strict";
            MHD_add_response_header(response, "Set-Cookie", set.c_str());
            return send(connection, MHD_HTTP_SEE_OTHER, response);
        }
        const char* kept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Cookie");
        if (kept != nullptr && sameToken(tokenInCookie(kept, cookie), options.token))
            return std::nullopt;
        return sendText(connection, MHD_HTTP_FORBIDDEN,
                        "A token is needed: open the address the plotter gave, with ?token=...\n");
    }

    MHD_Result answer(MHD_Connection* connection, const std::string& url,
                      const std::string& method) {
        if (method != "GET" && method != "HEAD") {
            MHD_Response* response =
                MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            if (response == nullptr) return MHD_NO;
            secure(response, "text/plain; charset=utf-8");
            MHD_add_response_header(response, "Allow", "GET, HEAD");
            return send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response);
        }
        if (!hostPasses(connection))
            return sendText(connection, MHD_HTTP_MISDIRECTED_REQUEST, "Unknown host.\n");
        if (const std::optional<MHD_Result> refused = tokenRefused(connection)) return *refused;
        if (url == "/") return front(connection);
        if (url == "/style.css")
            return staticText(connection, styleSheet, "text/css; charset=utf-8");
        if (url == "/live.js")
            return staticText(connection, liveScript, "text/javascript; charset=utf-8");
        if (url == "/events") return live(connection);
        if (url == "/page.png") return pageImage(connection);
        if (url == "/pages.tar") return archive(connection);
        if (url == "/overlay.png") return overlay(connection);
        if (url.starts_with("/files/")) return file(connection, url.substr(7));
        return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
    }

    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char*, size_t* uploadSize,
                                void** state) {
        // A GET is answered once MHD knows it has no body: an answer queued
        // earlier closes the connection instead of keeping it for the next
        // request. Anything else is refused at once, its body unread.
        static char seen;
        Impl& server = *static_cast<Impl*>(cls);
        const auto held = server.places.find(connection);
        if (held != server.places.end()) {
            held->second.answering = true;
            held->second.begun.reset();
        }
        const std::string_view asked(method);
        if (*state == nullptr && (asked == "GET" || asked == "HEAD")) {
            *state = &seen;
            return MHD_YES;
        }
        if (*uploadSize != 0)
            return sendText(connection, MHD_HTTP_BAD_REQUEST, "A request here has no body.\n");
        return server.answer(connection, url, method);
    }

    static void onConnection(void* cls, MHD_Connection* connection, void**,
                             MHD_ConnectionNotificationCode code) {
        Impl& server = *static_cast<Impl*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* fd =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            const MHD_ConnectionInfo* from =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            Place place;
            place.fd = fd != nullptr ? fd->connect_fd : -1;
            if (from != nullptr && from->client_addr != nullptr) {
                sockaddr_storage address{};
                std::memcpy(&address, from->client_addr,
                            from->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                                     : sizeof(sockaddr_in));
                place.address = numericAddress(address);
            }
            place.begun = place.since = server.turn;
            server.placeOf[place.fd] = connection;
            server.places[connection] = place;
            server.admit(place.address);
        }
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            const auto held = server.places.find(connection);
            if (held == server.places.end()) return;
            server.placeOf.erase(held->second.fd);
            server.places.erase(held);
            // Past its own limit MHD takes no one: a place is free again.
            if (server.places.size() + 1 == acceptedAtMost) server.runAgain = true;
        }
    }

    // An answer has ended: the connection waits for its next request.
    static void onCompleted(void* cls, MHD_Connection* connection, void**,
                            MHD_RequestTerminationCode) {
        Impl& server = *static_cast<Impl*>(cls);
        const auto held = server.places.find(connection);
        if (held == server.places.end()) return;
        held->second.answering = false;
        held->second.since = server.turn;
    }
};

WebServer::WebServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WebServer::~WebServer() = default;

std::unique_ptr<WebServer> WebServer::start(const Options& options, std::string& why) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->folder = UniqueFd(::open(options.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!impl->folder) {
        why = "cannot open the folder " + options.folder + ": " + std::strerror(errno);
        return nullptr;
    }
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) == 0) impl->machineName = name.data();

    const bool six = options.host.find(':') != std::string::npos;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (six) {
        auto& a = reinterpret_cast<sockaddr_in6&>(address);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(options.port);
        if (::inet_pton(AF_INET6, options.host.c_str(), &a.sin6_addr) != 1)
            length = 0;
        else
            length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(address);
        a.sin_family = AF_INET;
        a.sin_port = htons(options.port);
        if (::inet_pton(AF_INET, options.host.c_str(), &a.sin_addr) != 1)
            length = 0;
        else
            length = sizeof a;
    }
    const std::string where =
        (six ? "[" + options.host + "]" : options.host) + ":" + std::to_string(options.port);
    if (length == 0) {
        why = "the web view's address " + options.host + " is not a numeric address";
        return nullptr;
    }
    UniqueFd listener(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!listener || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener.get(), 64) != 0) {
        why = "cannot listen at " + where + ": " + std::strerror(errno);
        return nullptr;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength);
    impl->port = ntohs(six ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                           : reinterpret_cast<sockaddr_in&>(bound).sin_port);

    impl->poller = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!impl->poller) {
        why = std::string("cannot start the web view: ") + std::strerror(errno);
        return nullptr;
    }
    const unsigned flags = MHD_ALLOW_SUSPEND_RESUME | (six ? MHD_USE_IPv6 : 0);
    Impl* raw = impl.get();
    impl->daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Impl::onRequest, raw, MHD_OPTION_LISTEN_SOCKET, listener.get(),
        MHD_OPTION_CONNECTION_LIMIT, acceptedAtMost, MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, requestMemory, MHD_OPTION_NOTIFY_CONNECTION,
        &Impl::onConnection, raw, MHD_OPTION_NOTIFY_COMPLETED, &Impl::onCompleted, raw,
        MHD_OPTION_END);
    if (impl->daemon == nullptr) {
        why = "cannot start the web view at " + where;
        return nullptr;
    }
    (void)listener.release(); // the server closes it
    impl->cookie = cookieName(impl->port);
    impl->saved = std::make_unique<SavedList>(impl->folder.get());
    if (impl->saved->descriptor() >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = impl->saved->descriptor();
        ::epoll_ctl(impl->poller.get(), EPOLL_CTL_ADD, event.data.fd, &event);
    }
    impl->watchSockets();
    return std::unique_ptr<WebServer>(new WebServer(std::move(impl)));
}

std::string WebServer::newToken() {
    std::array<uint8_t, 16> bytes{};
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (const uint8_t byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    return token;
}

std::string WebServer::tokenFromFile(const std::string& path, std::string& why) {
    errno = 0;
    std::ifstream in(path);
    std::string token;
    if (!in || !std::getline(in, token)) {
        why = "cannot read the web token file " + path +
              (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
        return {};
    }
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t'))
        token.pop_back();
    if (!usableToken(token)) {
        why = "the web token in " + path +
              " must be 16 to 128 letters, digits, '-', '_' or '.' on its first line";
        return {};
    }
    return token;
}

uint16_t WebServer::port() const {
    return impl_->port;
}

std::string WebServer::url() const {
    const std::string& host = impl_->options.host;
    const bool six = host.find(':') != std::string::npos;
    std::string shown = host == "0.0.0.0" || host == "::" ? "localhost"
                        : six                             ? "[" + host + "]"
                                                          : host;
    std::string address = "http://" + shown + ":" + std::to_string(impl_->port) + "/";
    if (!impl_->options.token.empty()) address += "?token=" + impl_->options.token;
    return address;
}

unsigned WebServer::connections() const {
    return static_cast<unsigned>(impl_->places.size());
}

int WebServer::descriptor() const {
    return impl_->poller.get();
}

std::optional<Clock::time_point> WebServer::due() const {
    const Impl& s = *impl_;
    if (s.runAgain || s.saved->reading()) return Clock::time_point{}; // at once
    std::optional<Clock::time_point> when = s.nextLate();
    if (s.pageDirty || s.stateDirty || s.savedDirty) when = earlier(when, s.lastSent + livePace);
    if (!s.watchers.empty()) when = earlier(when, s.lastKeepAlive + keepAlive);
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(s.daemon, &ms) == MHD_YES)
        when = earlier(when, s.turn + std::chrono::milliseconds(ms)); // as of the last turn
    return when;
}

void WebServer::service(Clock::time_point now) {
    Impl& s = *impl_;
    s.turn = now;
    s.runAgain = false;
    // The folder's changes first: a request answered in this turn sees them.
    if (s.saved->service()) s.savedDirty = true;
    s.run();
    s.closeLate();
    bool told = false;
    if ((s.pageDirty || s.stateDirty || s.savedDirty) && now >= s.lastSent + livePace) {
        if (s.pageDirty && s.page != nullptr) ++s.pageVersion;
        if (s.stateDirty) ++s.stateVersion;
        if (s.savedDirty) {
            // Changed in the folder by someone else, or read whole: no name to tell.
            ++s.savedVersion;
            s.savedName.clear();
        }
        s.pageDirty = s.stateDirty = s.savedDirty = false;
        s.lastSent = now;
        told = true;
    }
    if (!s.watchers.empty() && now >= s.lastKeepAlive + keepAlive) {
        for (Impl::Watcher& watcher : s.watchers)
            watcher.keepAlive = true;
        s.lastKeepAlive = now;
        told = true;
    }
    if (told) s.wakeAll();
    s.watchSockets();
    if (s.watchers.empty()) s.lastKeepAlive = now;
}

void WebServer::showPage(const PageImage* page) {
    Impl& s = *impl_;
    if (page == s.page) return;
    s.page = page;
    s.drawing = false;
    s.dropPng();
    if (page == nullptr) return;
    ++s.pageVersion;
    s.wakeAll();
}

void WebServer::pageChanged() {
    impl_->dropPng();
    if (impl_->page != nullptr) impl_->pageDirty = impl_->drawing = true;
}

void WebServer::pageSaved(const std::string& name) {
    Impl& s = *impl_;
    s.saved->look(name);
    for (const char* copy : {".SVG", ".PDF"})
        s.saved->look(name.substr(0, 13) + copy);
    s.drawing = false;
    s.lastSaved = name;
    s.savedName = name;
    ++s.savedVersion;
    s.wakeAll();
}

void WebServer::setStatus(WebStatus status) {
    Impl& s = *impl_;
    if (status == s.status) return;
    s.status = std::move(status);
    s.stateDirty = true;
}

} // namespace plotanix::web
