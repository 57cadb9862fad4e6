#pragma once
// The web view's rules for what a request may name and who may ask: pure
// functions, so that each rule is tested apart from the server.

#include <cstdint>
#include <string>
#include <string_view>

namespace plotanix::web {

// 127.0.0.0/8, ::1 and ::ffff:127.0.0.0/104: only this machine can connect.
bool isLoopback(std::string_view numericAddress);

// The Host header names the address the request came to (with or without
// its port), localhost or the machine's own name: a name that merely
// resolves to the address (DNS rebinding) does not pass. Letters in any case.
bool hostAllowed(std::string_view host, std::string_view localAddress, uint16_t port,
                 std::string_view machineName);

// A file the view serves: PLOTTER_nnnnn.PNG, .SVG or .PDF, or PLOTTER.TXT,
// exactly so; anything else (a path, "..", another case) is not one.
bool servedName(std::string_view name);

// The token as a cookie: letters, digits, '-', '_' and '.', 16 to 128 of them.
bool usableToken(std::string_view token);
// Compares in a time that does not depend on where they differ.
bool sameToken(std::string_view given, std::string_view token);
// The token's cookie is named for the view's port (cookies do not tell
// ports apart: two views on one machine would overwrite each other's).
std::string cookieName(uint16_t port);
// The named cookie's value from a Cookie header; empty when absent.
std::string tokenInCookie(std::string_view cookieHeader, std::string_view name);

// Text for HTML: & < > " ' escaped.
std::string escapeHtml(std::string_view text);

} // namespace plotanix::web
