#include "adapter_notice.h"

#include <algorithm>

namespace plotanix {

std::string countText(long long count) {
    std::string digits = std::to_string(count), text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

std::string busPlace(const GpibSettings& gpib) {
    if (gpib.role == GpibSettings::Role::listenOnly) return "HP-IB, listening only";
    return "HP-IB address " + std::to_string(gpib.address);
}

std::vector<std::string> adapterNotice(const GpibSetUp& setUp, const GpibSettings& gpib,
                                       const std::string& port) {
    if (!setUp.answered)
        return {"No USB-GPIB adapter answered on " + port + ": it is used as a plain serial line."};
    std::vector<std::string> lines = {"On " + busPlace(gpib) + ": " + setUp.version};
    // A flooding adapter is quoted a few lines and counted.
    const size_t quoted = std::min(setUp.complaints.size(), maxQuotedComplaints);
    for (size_t i = 0; i < quoted; ++i)
        lines.push_back("The adapter said: " + setUp.complaints[i]);
    const long long more =
        setUp.moreComplaints + static_cast<long long>(setUp.complaints.size() - quoted);
    if (more > 0) lines.push_back("The adapter said " + countText(more) + " more lines");
    if (setUp.unfinished)
        lines.push_back("The adapter did not answer at the end of its set-up: it may not have "
                        "taken it");
    return lines;
}

} // namespace plotanix
