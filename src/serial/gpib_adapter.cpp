#include "serial/gpib_adapter.h"

#include <algorithm>
#include <cctype>

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
// What a line of the adapter's own can be at most.
constexpr size_t longestAnswer = 100;

bool printableText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F;
    });
}

bool containsWord(std::string_view text, std::string_view word) {
    return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           }) != text.end();
}

// What an adapter says besides its version (AR488's wording; a Prologix
// has not been seen to complain in other words). Bus bytes without a line
// end of their own may run into the front of it.
constexpr std::string_view complaintForms[] = {"Unrecognized command", "Invalid parameter",
                                               "EEPROM not supported.", "Resetting..."};

std::optional<std::string_view> complaintIn(std::string_view text) {
    for (std::string_view form : complaintForms)
        if (text.ends_with(form)) return form;
    return std::nullopt;
}

// A verbose AR488 prompts with "> " and echoes what it is sent.
bool isEcho(std::string_view text) {
    while (text.starts_with("> "))
        text.remove_prefix(2);
    return text == ">" || text.starts_with("++");
}

// Where an answer to "++ver" begins on the line, if it has one: the whole
// line, or from the adapter's name on when the bus's bytes came first.
std::optional<size_t> versionAt(std::string_view text) {
    if (looksLikeAdapterVersion(text)) return 0;
    for (std::string_view name : {"AR488", "Prologix"}) {
        const size_t at = text.find(name);
        if (at != std::string_view::npos && at > 0 && looksLikeAdapterVersion(text.substr(at)))
            return at;
    }
    return std::nullopt;
}

} // namespace

bool looksLikeAdapterVersion(std::string_view line) {
    if (line.empty() || line.size() > longestAnswer || !printableText(line) ||
        line.find(';') != std::string_view::npos)
        return false;
    const bool named =
        containsWord(line, "prologix") || containsWord(line, "ar488") || containsWord(line, "gpib");
    const bool numbered =
        containsWord(line, "ver") &&
        std::any_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
    return named || numbered;
}

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

AdapterSetUp::AdapterSetUp(SetUpCommands commands, Clock::time_point now)
    : commands_(std::move(commands)), deadline_(now + setUpDeadline) {
    ask(now);
}

void AdapterSetUp::ask(Clock::time_point now) {
    lines_.push_back("++ver");
    ++asks_;
    until_ = std::min(now + versionWait, deadline_);
}

void AdapterSetUp::onBytes(std::string_view bytes, Clock::time_point now) {
    if (done()) return;
    bytes = bytes.substr(0, room());
    received_ += bytes;
    pending_ += bytes;
    sortLines();
    // The adapter answered: the set-up goes out, closed by one more "++ver"
    // whose answer ends it (what a restarting board said before is no
    // command's).
    if (stage_ == Stage::between) {
        for (std::string& command : commands_(result_.version))
            lines_.push_back(std::move(command));
        lines_.push_back("++ver");
        stage_ = Stage::closing;
        until_ = std::min(now + fenceWait, deadline_);
    }
    if (stage_ == Stage::fenced || room() == 0) return finish();
    // A port that keeps talking does not hold the wait open.
    onTime(now);
}

void AdapterSetUp::onTime(Clock::time_point now) {
    if (done() || now < until_) return;
    if (stage_ == Stage::closing) return finish();
    // An adapter's answer comes whole: bytes still without a line end when
    // the wait for it is over are a host's (unless they are a prompt, or the
    // start of an echo).
    if (!isEcho(pending_ + "++")) heardOthers_ = true;
    // Something other than an adapter answered: a plain line, asked no more.
    if (heardOthers_ || asks_ >= versionAttempts || now >= deadline_) return finish();
    ask(now);
}

void AdapterSetUp::finish() {
    if (!result_.answered) {
        result_.data = received_; // no adapter: every byte read is the line's
    } else {
        result_.unfinished = stage_ != Stage::fenced;
        result_.data += std::exchange(pending_, {});
    }
    stage_ = Stage::finished;
    lines_.clear();
}

std::optional<Clock::time_point> AdapterSetUp::deadline() const {
    if (done()) return std::nullopt;
    return until_;
}

void AdapterSetUp::sortLines() {
    size_t end = 0;
    while (stage_ != Stage::fenced && (end = pending_.find('\n')) != std::string::npos) {
        const std::string line = pending_.substr(0, end + 1);
        pending_.erase(0, end + 1);
        sort(line);
    }
}

void AdapterSetUp::sort(const std::string& line) {
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    if (text.empty()) return keep(line); // a computer's empty line
    if (isEcho(text)) return;
    while (text.starts_with("> ")) // a verbose adapter's prompt
        text.remove_prefix(2);
    if (stage_ == Stage::closing && text.ends_with(result_.version)) {
        keep(text.substr(0, text.size() - result_.version.size()));
        stage_ = Stage::fenced;
        return;
    }
    if (const auto at = stage_ != Stage::closing ? versionAt(text) : std::nullopt) {
        keep(text.substr(0, *at));
        if (stage_ == Stage::asking) {
            result_.answered = true;
            result_.version = std::string(text.substr(*at));
            stage_ = Stage::between;
        }
        return;
    }
    if (const auto form = complaintIn(text)) {
        keep(text.substr(0, text.size() - form->size()));
        // Before the set-up's commands it was said to none of them.
        if (stage_ == Stage::closing) complain(std::string(*form));
        return;
    }
    heardOthers_ = true;
    keep(line);
}

void AdapterSetUp::complain(const std::string& text) {
    if (complaintBytes_ + text.size() > complaintMemory) {
        ++result_.moreComplaints;
        return;
    }
    complaintBytes_ += text.size();
    result_.complaints.push_back(text);
}

std::string gpibDataLine(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == escape || c == '+') line.push_back(escape);
        line.push_back(c);
    }
    return line;
}

std::string gpibReplyLine(std::string_view reply) {
    if (reply.ends_with("\r\n")) {
        reply.remove_suffix(2);
    } else if (reply.ends_with('\r') || reply.ends_with('\n')) {
        reply.remove_suffix(1);
    }
    return gpibDataLine(reply) + "\r\n";
}

bool GpibReplyFraming::complete(Clock::time_point now) {
    if (reply_.empty()) return false;
    return queue_.add(gpibReplyLine(std::exchange(reply_, {})), 0, now);
}

} // namespace plotanix
