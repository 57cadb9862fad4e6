#include "logfile/transcript_format.h"

namespace plotanix::transcript {

namespace {

constexpr std::string_view lineEnd = "\r\n";
constexpr size_t longestPageNumber = 10; // a signed 32-bit counter

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

std::optional<MarkerFound> markerAt(std::string_view text) {
    const std::string newPage = newPageMarker();
    if (text.starts_with(newPage)) return MarkerFound{newPage.size(), std::nullopt};
    const std::string start = std::string(lineEnd) + "**** " + std::string(savePageText);
    if (!text.starts_with(start)) return std::nullopt;
    size_t end = start.size();
    int64_t number = 0;
    while (end < text.size() && end - start.size() < longestPageNumber && text[end] >= '0' &&
           text[end] <= '9') {
        number = number * 10 + (text[end++] - '0');
    }
    // Numbers are written without leading zeros.
    if (end == start.size() || text[start.size()] == '0') return std::nullopt;
    const std::string tail = " ****" + std::string(lineEnd) + std::string(lineEnd);
    if (!text.substr(end).starts_with(tail)) return std::nullopt;
    return MarkerFound{end + tail.size(), number};
}

bool recordAt(std::string_view text, std::string_view mnemonic) {
    return text.starts_with(recordStart) && text.substr(recordStart.size()).starts_with(mnemonic) &&
           text.substr(recordStart.size() + mnemonic.size()).starts_with(recordEnd);
}

} // namespace plotanix::transcript
