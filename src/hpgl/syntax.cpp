#include "hpgl/syntax.h"

#include <cmath>
#include <cstdio>

namespace plotanix {

std::string wholeText(double value) {
    return std::to_string(static_cast<int64_t>(std::floor(value + 0.5)));
}

std::string decimalText(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.4f", value);
    std::string s(text);
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

std::string joined(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out.push_back(',');
        out += part;
    }
    return out;
}

} // namespace plotanix
