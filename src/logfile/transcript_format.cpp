#include "logfile/transcript_format.h"

#include <utility>

namespace plotanix::transcript {

namespace {

constexpr std::string_view lineEnd = "\r\n";
constexpr size_t longestPageNumber = 10; // a signed 32-bit counter
constexpr size_t longestCount = 20;      // an unsigned 64-bit count
constexpr size_t longestModelName = 16;

// A model's name: lower-case letters and digits.
size_t modelNameLength(std::string_view text) {
    size_t length = 0;
    while (length < text.size() && length < longestModelName &&
           ((text[length] >= 'a' && text[length] <= 'z') ||
            (text[length] >= '0' && text[length] <= '9')))
        ++length;
    return length;
}

} // namespace

std::string unknownRecord(std::string_view mnemonic) {
    return std::string(recordStart) + std::string(mnemonic) + std::string(recordEnd);
}

std::string marker(std::string_view text) {
    std::string m(lineEnd);
    m += "**** ";
    m += text;
    m += " ****";
    m += lineEnd;
    m += lineEnd;
    return m;
}

std::string savePageMarker(int64_t pageNumber) {
    return marker(std::string(savePageText) + std::to_string(pageNumber));
}

std::string newPageMarker() {
    return marker(newPageText);
}

std::string lostBytesMarker(uint64_t count) {
    return marker(std::to_string(count) + std::string(bytesLostText));
}

std::string recreatedMarker() {
    return marker(recreatedText);
}

std::string modelMarker(std::string_view model) {
    return marker(std::string(modelText) + std::string(model));
}

std::string_view modelNamedAt(std::string_view transcript) {
    const auto found = markerAt(transcript);
    return found ? found->model : std::string_view();
}

namespace {

// A number without leading zeros at the start of text, up to digits long:
// its length (0 for none) and value.
std::pair<size_t, uint64_t> numberAt(std::string_view text, size_t digits) {
    size_t end = 0;
    uint64_t number = 0;
    while (end < text.size() && end < digits && text[end] >= '0' && text[end] <= '9')
        number = number * 10 + static_cast<uint64_t>(text[end++] - '0');
    if (end == 0 || text[0] == '0') return {0, 0};
    return {end, number};
}

} // namespace

std::optional<MarkerFound> markerAt(std::string_view text) {
    for (const std::string& whole : {newPageMarker(), recreatedMarker()}) {
        if (text.starts_with(whole))
            return MarkerFound{whole.size(), std::nullopt, whole != newPageMarker(), {}};
    }
    const std::string head = std::string(lineEnd) + "**** ";
    const std::string tail = " ****" + std::string(lineEnd) + std::string(lineEnd);
    if (!text.starts_with(head)) return std::nullopt;
    std::string_view rest = text.substr(head.size());
    if (rest.starts_with(modelText)) {
        rest.remove_prefix(modelText.size());
        const size_t name = modelNameLength(rest);
        if (name == 0 || !rest.substr(name).starts_with(tail)) return std::nullopt;
        const size_t length = text.size() - rest.size() + name + tail.size();
        return MarkerFound{length, std::nullopt, true, rest.substr(0, name)};
    }
    const bool saved = rest.starts_with(savePageText);
    if (saved) rest.remove_prefix(savePageText.size());
    const auto [digits, number] = numberAt(rest, saved ? longestPageNumber : longestCount);
    if (digits == 0) return std::nullopt;
    rest.remove_prefix(digits);
    if (!saved) {
        if (!rest.starts_with(bytesLostText)) return std::nullopt;
        rest.remove_prefix(bytesLostText.size());
    }
    if (!rest.starts_with(tail)) return std::nullopt;
    const size_t length = text.size() - rest.size() + tail.size();
    if (saved) return MarkerFound{length, static_cast<int64_t>(number), false, {}};
    return MarkerFound{length, std::nullopt, true, {}};
}

bool recordAt(std::string_view text, std::string_view mnemonic) {
    return text.starts_with(recordStart) && text.substr(recordStart.size()).starts_with(mnemonic) &&
           text.substr(recordStart.size() + mnemonic.size()).starts_with(recordEnd);
}

} // namespace plotanix::transcript
