#include "journal.h"

#include "common/printable.h"

#include <array>
#include <ctime>

namespace plotanix {

namespace {

// 2026-12-07T14:03:22+01:00: local time with its offset from UTC.
std::string isoTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 40> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string stamp = text.data();
    if (stamp.size() > 2) stamp.insert(stamp.size() - 2, ":");
    return stamp;
}

} // namespace

std::string journalLine(std::string_view text) {
    return isoTimestamp() + " " + printable(text) + "\n";
}

} // namespace plotanix
