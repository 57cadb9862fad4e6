#include "web/web_rules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdint>

namespace plotanix::web {

namespace {

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool digitsOnly(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool isLoopback(std::string_view numericAddress) {
    const std::string address(numericAddress);
    in_addr four{};
    if (::inet_pton(AF_INET, address.c_str(), &four) == 1) return (ntohl(four.s_addr) >> 24) == 127;
    in6_addr six{};
    if (::inet_pton(AF_INET6, address.c_str(), &six) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&six)) return true;
    return IN6_IS_ADDR_V4MAPPED(&six) && six.s6_addr[12] == 127;
}

bool hostAllowed(std::string_view host, std::string_view localAddress, uint16_t port,
                 std::string_view machineName) {
    // The port, when given, is the one the server listens on.
    std::string_view name = host;
    const size_t colon = host.rfind(':');
    const size_t bracket = host.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        const std::string_view given = host.substr(colon + 1);
        if (!digitsOnly(given) || given != std::to_string(port)) return false;
        name = host.substr(0, colon);
    }
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
        if (name.find(':') == std::string_view::npos) return false;
    } else if (name.find(':') != std::string_view::npos) {
        return false; // an IPv6 address is written in brackets
    }
    if (name.empty()) return false;
    if (sameLetters(name, "localhost")) return true;
    if (!machineName.empty() && sameLetters(name, machineName)) return true;
    // A v4 client of a dual-stack socket arrives as ::ffff:a.b.c.d.
    std::string_view local = localAddress;
    if (local.starts_with("::ffff:") && local.find('.') != std::string_view::npos)
        local = local.substr(7);
    return sameLetters(name, local);
}

bool servedName(std::string_view name) {
    if (name == "PLOTTER.TXT") return true;
    if (name.size() != 17 || !name.starts_with("PLOTTER_")) return false;
    if (!digitsOnly(name.substr(8, 5))) return false;
    const std::string_view extension = name.substr(13);
    return extension == ".PNG" || extension == ".SVG" || extension == ".PDF";
}

bool usableToken(std::string_view token) {
    return token.size() >= 16 && token.size() <= 128 &&
           std::all_of(token.begin(), token.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                      c == '.';
           });
}

bool sameToken(std::string_view given, std::string_view token) {
    if (token.empty()) return false;
    uint8_t differ = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<uint8_t>(token[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
}

std::string cookieName(uint16_t port) {
    return "plotanix_token_" + std::to_string(port);
}

std::string tokenInCookie(std::string_view cookieHeader, std::string_view name) {
    const std::string key = std::string(name) + "=";
    size_t at = 0;
    while (at < cookieHeader.size()) {
        size_t end = cookieHeader.find(';', at);
        if (end == std::string_view::npos) end = cookieHeader.size();
        std::string_view pair = cookieHeader.substr(at, end - at);
        while (!pair.empty() && pair.front() == ' ')
            pair.remove_prefix(1);
        if (pair.starts_with(key)) return std::string(pair.substr(key.size()));
        at = end + 1;
    }
    return {};
}

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace plotanix::web
