#pragma once
// An HP-GL/2 plot that keeps the model busy a while: a polygon of 4000
// full-height teeth, 250 KB of moves, then fills with hatch lines at a new
// angle each time (no fill repeats another, so none is passed over), about
// 20 ms each in a release build. Hatching is bounded by the bytes that ask
// for it: the moves earn the fills seconds of it, and the fills themselves
// are few enough to wait whole in a line's buffers. between goes after the
// first fill.

#include <string>
#include <string_view>

namespace plotanix::testing {

inline std::string costlyHatches(int fills, std::string_view between = "") {
    std::string plot = "IN;SP1;PA100,300;PM0;PD";
    for (int i = 0; i < 4000; ++i)
        plot += std::to_string(100 + (i < 2000 ? i : 4000 - i)) + (i % 2 ? ",300," : ",7300,");
    plot += "100,300;PM2;";
    for (int move = 0; move < 25000; ++move)
        plot += "PA100,300;";
    for (int angle = 0; angle < fills; ++angle)
        plot += "FT3,13," + std::to_string(angle) + ";FP;" + std::string(angle == 0 ? between : "");
    return plot;
}

} // namespace plotanix::testing
