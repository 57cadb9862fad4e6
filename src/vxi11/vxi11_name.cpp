#include "vxi11/vxi11_line.h"

#include <cctype>
#include <charconv>

namespace plotanix {

namespace {

std::optional<int> number(std::string_view text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || (text.size() > 1 && text[0] == '0') ||
        std::from_chars(text.data(), end, value).ptr != end || value < low || value > high)
        return std::nullopt;
    return value;
}

// "gpib0", "inst0", "gpib0,16", "gpib0,16,5": a name, then the addresses.
bool wellFormedDevice(std::string_view device) {
    const size_t comma = device.find(',');
    const std::string_view name = device.substr(0, comma);
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    if (comma == std::string_view::npos) return true;
    std::string_view addresses = device.substr(comma + 1);
    const size_t second = addresses.find(',');
    if (!number(addresses.substr(0, second), 0, 30)) return false;
    return second == std::string_view::npos || number(addresses.substr(second + 1), 0, 30);
}

} // namespace

bool isVxi11Name(std::string_view name) {
    return name.starts_with(vxi11Prefix);
}

std::optional<Vxi11Address> parseVxi11Name(std::string_view name) {
    if (!isVxi11Name(name) || name.find('\0') != std::string_view::npos) return std::nullopt;
    std::string_view rest = name.substr(vxi11Prefix.size());
    Vxi11Address address;
    if (const size_t slash = rest.find('/'); slash != std::string_view::npos) {
        address.device = rest.substr(slash + 1);
        rest = rest.substr(0, slash);
        if (!wellFormedDevice(address.device)) return std::nullopt;
    }
    // An IPv6 address in brackets, as the other network lines take it.
    size_t hostEnd = rest.size();
    if (rest.starts_with('[')) {
        hostEnd = rest.find(']');
        if (hostEnd == std::string_view::npos) return std::nullopt;
        address.host = rest.substr(1, hostEnd - 1);
        ++hostEnd;
    } else {
        hostEnd = rest.find(':');
        if (hostEnd == std::string_view::npos) hostEnd = rest.size();
        address.host = rest.substr(0, hostEnd);
    }
    if (address.host.empty()) return std::nullopt;
    const std::string_view after = rest.substr(hostEnd);
    if (!after.empty()) {
        if (!after.starts_with(':') || !number(after.substr(1), 1, 65535)) return std::nullopt;
        address.port = after.substr(1);
    }
    return address;
}

std::string linkDevice(std::string_view named, int givenAddress, int usualAddress) {
    if (named.empty()) return givenAddress != 0 ? "gpib0," + std::to_string(givenAddress) : "inst0";
    if (named.find(',') == std::string_view::npos && named.starts_with("gpib"))
        return std::string(named) + "," +
               std::to_string(givenAddress != 0 ? givenAddress : usualAddress);
    return std::string(named);
}

std::optional<int> deviceAddress(std::string_view device) {
    const size_t comma = device.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const std::string_view addresses = device.substr(comma + 1);
    return number(addresses.substr(0, addresses.find(',')), 0, 30);
}

} // namespace plotanix
