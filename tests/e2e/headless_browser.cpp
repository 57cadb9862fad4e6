#include "headless_browser.h"

#include "common/deadline.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace plotanix::testing {

namespace {

// "key":"value" in a message; empty when absent. Values here carry no escapes.
std::string field(const std::string& message, const std::string& key) {
    const std::string start = "\"" + key + "\":\"";
    const size_t at = message.find(start);
    if (at == std::string::npos) return {};
    const size_t from = at + start.size();
    return message.substr(from, message.find('"', from) - from);
}

// The string an evaluation resolved to, its escapes undone.
std::optional<std::string> resultString(const std::string& message) {
    const std::string start = "\"result\":{\"result\":{\"type\":\"string\",\"value\":\"";
    const size_t at = message.find(start);
    if (at == std::string::npos) return std::nullopt;
    std::string value;
    for (size_t i = at + start.size(); i < message.size() && message[i] != '"'; ++i) {
        if (message[i] == '\\' && i + 1 < message.size()) ++i;
        value += message[i];
    }
    return value;
}

} // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

HeadlessBrowser::HeadlessBrowser() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        failure_ = "no pipes for the browser";
        return;
    }
    toBrowser_ = UniqueFd(in[1]);
    fromBrowser_ = UniqueFd(out[0]);
    UniqueFd browserReads(in[0]), browserWrites(out[1]);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, profile_.file("browser.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    posix_spawn_file_actions_adddup2(&files, browserReads.get(), 3);
    posix_spawn_file_actions_adddup2(&files, browserWrites.get(), 4);
    // Its own process group: its helpers go with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const std::string profile = "--user-data-dir=" + profile_.file("profile");
    const char* argv[] = {"chromium",
                          "--headless",
                          "--no-sandbox",
                          "--disable-gpu",
                          "--disable-quic",
                          "--no-first-run",
                          "--disable-background-networking",
                          "--disable-component-update",
                          "--disable-sync",
                          "--disable-dev-shm-usage",
                          "--window-size=1280,2400",
                          profile.c_str(),
                          "--remote-debugging-pipe",
                          "about:blank",
                          nullptr};
    const int spawned =
        posix_spawnp(&pid_, "chromium", &files, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        pid_ = -1;
        failure_ = "cannot start chromium (is the chromium package installed?)";
    }
}

HeadlessBrowser::~HeadlessBrowser() {
    if (pid_ <= 0) return;
    call("Browser.close", "{}", false, Clock::now() + std::chrono::seconds(5));
    toBrowser_.reset();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            break;
        }
        // The browser's end of the pipe closes as it exits.
        pollfd end{fromBrowser_.get(), POLLIN, 0};
        ::poll(&end, 1, 100);
        char discard[4096];
        if ((end.revents & POLLIN) != 0) (void)::read(fromBrowser_.get(), discard, sizeof discard);
    }
    // Helpers that outlived it (none, normally).
    ::kill(-pid_, SIGKILL);
}

std::string HeadlessBrowser::log() const {
    return readFile(profile_.file("browser.log"));
}

std::optional<std::string> HeadlessBrowser::call(const std::string& method,
                                                 const std::string& params, bool inPage,
                                                 Clock::time_point deadline) {
    if (pid_ <= 0) return std::nullopt;
    const int id = nextId_++;
    std::string message =
        "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
    if (inPage) message += ",\"sessionId\":\"" + session_ + "\"";
    message += "}";
    message += '\0';
    for (size_t sent = 0; sent < message.size();) {
        const ssize_t n = ::write(toBrowser_.get(), message.data() + sent, message.size() - sent);
        if (n <= 0) {
            failure_ = "the browser's pipe is closed";
            return std::nullopt;
        }
        sent += static_cast<size_t>(n);
    }
    const std::string answer = "{\"id\":" + std::to_string(id) + ",";
    while (true) {
        for (size_t end; (end = pending_.find('\0')) != std::string::npos;) {
            std::string whole = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (whole.starts_with(answer)) return whole;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            failure_ = method + ": no answer in time";
            return std::nullopt;
        }
        pollfd in{fromBrowser_.get(), POLLIN, 0};
        if (::poll(&in, 1, msUntil(deadline, now)) <= 0) continue;
        char buffer[65536];
        const ssize_t n = ::read(fromBrowser_.get(), buffer, sizeof buffer);
        if (n <= 0) {
            failure_ = "the browser has gone";
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

bool HeadlessBrowser::open(const std::string& url) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    const auto created =
        call("Target.createTarget", "{\"url\":" + jsonString(url) + "}", false, deadline);
    const std::string target = created ? field(*created, "targetId") : "";
    if (target.empty()) return failure_ += " (no page)", false;
    const auto attached =
        call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}", false,
             deadline);
    session_ = attached ? field(*attached, "sessionId") : "";
    if (session_.empty()) return failure_ += " (cannot attach to the page)", false;
    return true;
}

std::optional<std::string> HeadlessBrowser::evaluate(const std::string& expression,
                                                     std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto answer = call("Runtime.evaluate",
                                 "{\"expression\":" + jsonString(expression) +
                                     ",\"awaitPromise\":true,\"returnByValue\":true}",
                                 true, deadline);
        if (!answer) return std::nullopt;
        if (const auto value = resultString(*answer)) return value;
        failure_ = *answer;
        // The page went on to another document (its first load): again, in the new one.
        if (answer->find("context") == std::string::npos &&
            answer->find("navigat") == std::string::npos)
            return std::nullopt;
    }
    return std::nullopt;
}

} // namespace plotanix::testing
