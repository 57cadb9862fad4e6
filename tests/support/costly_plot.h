#pragma once
// An HP-GL/2 plot that keeps the model busy a long while: a polygon of
// 4000 full-height teeth, filled with hatch lines at a new angle each time
// (no fill repeats another, so none is passed over). between goes after
// the first fill.

#include <string>
#include <string_view>

namespace plotanix::testing {

inline std::string costlyHatches(int fills, std::string_view between = "") {
    std::string plot = "IN;SP1;PA100,300;PM0;PD";
    for (int i = 0; i < 4000; ++i)
        plot += std::to_string(100 + (i < 2000 ? i : 4000 - i)) + (i % 2 ? ",300," : ",7300,");
    plot += "100,300;PM2;";
    for (int angle = 0; angle < fills; ++angle)
        plot += "FT3,13," + std::to_string(angle) + ";FP;" + std::string(angle == 0 ? between : "");
    return plot;
}

} // namespace plotanix::testing
