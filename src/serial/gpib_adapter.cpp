#include "serial/gpib_adapter.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace plotanix {

namespace {

using namespace std::chrono_literals;

constexpr char escape = 27;
// A board restarted by the port's opening takes up to about two seconds to
// listen again: ask that long, twice a second.
constexpr int versionAttempts = 8;
constexpr auto versionWait = 500ms;
// The answer that closes the set-up comes at once from a live adapter.
constexpr auto fenceWait = 1000ms;

// An answer that is text, as an adapter's is; a line of noise is not.
bool readable(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F;
    });
}

} // namespace

std::vector<std::string> gpibSetUpCommands(const GpibSettings& settings, std::string_view version) {
    // Device mode first: a listener at an address, or listen-only. The
    // adapter talks with EOI on the last byte of the CR LF it appends, and
    // adds nothing to what it hands over.
    std::vector<std::string> commands = {"++mode 0"};
    if (settings.role == GpibSettings::Role::listenOnly) {
        commands.push_back("++lon 1");
    } else {
        commands.push_back("++lon 0");
        commands.push_back("++addr " + std::to_string(settings.address));
    }
    commands.insert(commands.end(), {"++eoi 1", "++eos 0", "++eot_enable 0"});
    if (!settings.save) return commands;
    if (version.find("AR488") != std::string_view::npos) {
        commands.push_back("++savecfg");
    } else {
        // Left on, a Prologix would write its memory at every change.
        commands.insert(commands.begin(), "++savecfg 1");
        commands.push_back("++savecfg 0");
    }
    return commands;
}

GpibSetUp setUpGpibAdapter(AdapterPort& port, const GpibSettings& settings) {
    GpibSetUp result;
    for (int attempt = 0; attempt < versionAttempts && !result.answered; ++attempt) {
        if (!port.writeLine("++ver")) return result;
        for (auto line = port.readLine(versionWait); line; line = port.readLine(versionWait)) {
            if (!readable(*line)) return result;   // not an adapter: noise on a plain line
            if (line->starts_with("++")) continue; // the echo of a verbose adapter
            result.answered = true;
            result.version = *line;
            break;
        }
    }
    if (!result.answered) return result;
    // What else a restarting board said belongs to no command.
    while (port.readLine(0ms)) {
    }
    for (const std::string& command : gpibSetUpCommands(settings, result.version)) {
        if (!port.writeLine(command)) return result;
    }
    // An adapter says nothing to a command it takes: every line before the
    // answer to this "++ver" is a complaint.
    if (!port.writeLine("++ver")) return result;
    while (const auto line = port.readLine(fenceWait)) {
        // Bus bytes without a line end of their own run into the answer.
        if (line->ends_with(result.version)) {
            result.busData = line->substr(0, line->size() - result.version.size());
            break;
        }
        if (!line->starts_with("++")) result.complaints.push_back(*line);
    }
    return result;
}

bool FdAdapterPort::writeLine(std::string_view line) {
    std::string bytes = std::string(line) + "\r\n";
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd_, rest.data(), rest.size());
        if (n > 0) {
            rest.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {interruptFd_, POLLIN, 0}};
        if (::poll(fds, 2, 1000) <= 0 || fds[1].revents != 0) return false;
    }
    return true;
}

std::optional<std::string> FdAdapterPort::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty()) return line;
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fds[2] = {{fd_, POLLIN, 0}, {interruptFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[1].revents != 0 || (fds[0].revents & POLLIN) == 0)
            return std::nullopt;
        char chunk[512];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<size_t>(n));
        received_.append(chunk, static_cast<size_t>(n));
    }
}

std::string gpibReplyLine(std::string_view reply) {
    if (reply.ends_with("\r\n")) {
        reply.remove_suffix(2);
    } else if (reply.ends_with('\r') || reply.ends_with('\n')) {
        reply.remove_suffix(1);
    }
    std::string line;
    line.reserve(reply.size() + 2);
    for (char c : reply) {
        if (c == '\r' || c == '\n' || c == escape || c == '+') line.push_back(escape);
        line.push_back(c);
    }
    return line + "\r\n";
}

} // namespace plotanix
