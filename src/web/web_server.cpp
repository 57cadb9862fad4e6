#include "web/web_server.h"

#include "common/unique_fd.h"
#include "live_channel.h"
#include "routes.h"
#include "transport.h"
#include "web/web_rules.h"
#include "web_pages.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix::web {

namespace {

// The machine's own numeric addresses, of the family or both (AF_UNSPEC).
std::vector<std::string> machineAddresses(int family) {
    std::vector<std::string> found;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return found;
    for (const ifaddrs* at = all; at != nullptr; at = at->ifa_next) {
        const sockaddr* address = at->ifa_addr;
        if (address == nullptr || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
            continue;
        if (family != AF_UNSPEC && address->sa_family != family) continue;
        std::array<char, INET6_ADDRSTRLEN> text{};
        const void* raw = address->sa_family == AF_INET6
                              ? static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
                              : static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
        if (::inet_ntop(address->sa_family, raw, text.data(), text.size()) != nullptr)
            found.emplace_back(text.data());
    }
    ::freeifaddrs(all);
    return found;
}

} // namespace

// The three parts, and what joins them: the transport admits and carries,
// the routes answer, the live channel tells. The transport goes first, so
// that what it ends finds the others still there.
struct WebServer::Impl {
    Options options;
    UniqueFd folder;
    std::unique_ptr<LiveChannel> live;
    std::unique_ptr<Routes> routes;
    std::unique_ptr<Transport> transport;
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
    Impl* raw = impl.get();
    impl->transport = Transport::start(
        options,
        [raw](MHD_Connection* connection, const std::string& url) {
            return raw->routes->answer(connection, url);
        },
        [raw](MHD_Connection* connection) {
            if (raw->routes) raw->routes->gone(connection);
        },
        why);
    if (!impl->transport) return nullptr;
    impl->live = std::make_unique<LiveChannel>(*impl->transport, statusText(WebStatus{}));
    impl->routes =
        std::make_unique<Routes>(impl->folder.get(), options.work, *impl->transport, *impl->live);
    impl->transport->watchAlso(impl->routes->folderNotices());
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

bool WebServer::writeTokenFile(const std::string& path, const std::string& token,
                               const std::vector<std::string>& addresses, std::string& why) {
    // Written whole under another name, then put in place: never a part.
    const std::string partial = path + ".new";
    ::unlink(partial.c_str());
    UniqueFd fd(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    std::string text = token + "\n";
    for (const std::string& address : addresses)
        text += address + "?token=" + token + "\n";
    bool written = static_cast<bool>(fd) && ::fchmod(fd.get(), 0600) == 0;
    for (size_t at = 0; written && at < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        at += n > 0 ? static_cast<size_t>(n) : 0;
    }
    written = written && ::fsync(fd.get()) == 0;
    int error = errno;
    fd = UniqueFd(); // closed before it is put in place
    if (written && ::rename(partial.c_str(), path.c_str()) == 0) return true;
    if (written) error = errno;
    why = "cannot write the web token file " + path + ": " + std::strerror(error);
    ::unlink(partial.c_str());
    return false;
}

uint16_t WebServer::port() const {
    return impl_->transport->port();
}

std::vector<std::string> WebServer::addresses() const {
    const std::string& host = impl_->options.host;
    const std::string port = std::to_string(impl_->transport->port());
    const auto address = [&](const std::string& numeric) {
        return "http://" +
               (numeric.find(':') != std::string::npos ? "[" + numeric + "]" : numeric) + ":" +
               port + "/";
    };
    if (host != "0.0.0.0" && host != "::") return {address(host)};
    std::vector<std::string> shown;
    for (const std::string& numeric : machineAddresses(host == "::" ? AF_UNSPEC : AF_INET))
        if (!isLoopback(numeric) && !numeric.starts_with("fe80:"))
            shown.push_back(address(numeric));
    if (shown.empty()) shown.push_back("http://localhost:" + port + "/");
    return shown;
}

std::string WebServer::url() const {
    std::string address = addresses().front();
    if (!impl_->options.token.empty()) address += "?token=" + impl_->options.token;
    return address;
}

unsigned WebServer::connections() const {
    return impl_->transport->connections();
}

int WebServer::descriptor() const {
    return impl_->transport->descriptor();
}

std::optional<Clock::time_point> WebServer::due() const {
    const Impl& s = *impl_;
    if (s.routes->reading()) return Clock::time_point{}; // at once
    return earlier(s.transport->due(), s.live->due());
}

void WebServer::service(Clock::time_point now) {
    Impl& s = *impl_;
    // The folder's changes first: a request answered in this turn sees them.
    if (s.routes->service()) s.live->folderChanged();
    s.transport->service(now);
    s.live->service(now);
    s.transport->settle();
}

void WebServer::showPage(PageProvider page) {
    Impl& s = *impl_;
    const bool shown = static_cast<bool>(page);
    s.routes->showPage(std::move(page));
    if (shown) s.live->pageShown();
}

void WebServer::pageChanged() {
    if (impl_->routes->pageChanged()) impl_->live->pageChanged();
}

void WebServer::pageSaved(const std::string& name) {
    impl_->routes->pageSaved(name);
    impl_->live->pageSaved(name);
}

void WebServer::setStatus(WebStatus status) {
    Impl& s = *impl_;
    if (status == s.routes->status()) return;
    s.live->stateChanged(statusText(status));
    s.routes->setStatus(std::move(status));
}

} // namespace plotanix::web
