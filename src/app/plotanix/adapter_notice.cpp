#include "adapter_notice.h"

namespace plotanix {

std::string busPlace(const GpibSettings& gpib) {
    if (gpib.role == GpibSettings::Role::listenOnly) return "HP-IB, listening only";
    return "HP-IB address " + std::to_string(gpib.address);
}

std::vector<std::string> adapterNotice(const GpibSetUp& setUp, const GpibSettings& gpib,
                                       const std::string& port) {
    if (!setUp.answered)
        return {"No USB-GPIB adapter answered on " + port + ": it is used as a plain serial line."};
    std::vector<std::string> lines = {"On " + busPlace(gpib) + ": " + setUp.version};
    for (const std::string& complaint : setUp.complaints)
        lines.push_back("The adapter said: " + complaint);
    return lines;
}

} // namespace plotanix
