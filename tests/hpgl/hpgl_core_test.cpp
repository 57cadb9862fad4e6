// The HP-GL core both HP-GL models share, run through each: one table, a
// row's two replies the same where the dialects agree, and where they
// differ (ranges, defaults) each model's own.

#include "support/model_plot.h"

#include <gtest/gtest.h>

namespace plotanix {
namespace {

TEST(HpglCore, SharedInstructionsInEachDialect) {
    struct Case {
        std::string stream, hp7470a, hpgl2; // hpgl2 empty: as the 7470A's
    };
    const Case cases[] = {
        {"OI;OF;OE;OP;", "7470A\r40,40\r0\r250,279,10250,7479\r", ""},
        {"PD100,200;OA;PU;PR10,10;OA;OC;", "100,200,1\r110,210,0\r110,210,0\r", ""},
        // Pen down, P1/P2 changed, initialised, error; OS clears initialised,
        // OP the P1/P2 bit, OE the error.
        {"OS;OS;PD;OS;ZZ;OS;OE;OS;", "24\r16\r17\r49\r1\r17\r", ""},
        {"IP100,200,300,400;OS;OP;OS;IW10,20,300,400;OW;",
         "26\r100,200,300,400\r16\r10,20,300,400\r", ""},
        // The reach: the 7470A's numbers are 16-bit, and its default error
        // mask leaves error 6 out of the status byte.
        {"PA2000000000,0;OS;OE;", "56\r3\r", "56\r6\r"},
        {"PR30000,0,30000,0;OS;OE;", "24\r6\r", "24\r0\r"},
        // Label sizes, slants, directions and cells: the 7470A's limits.
        {"SI200,1;OE;SL200;OE;CP200,0;OE;", "3\r3\r3\r", "0\r0\r0\r"},
        {"DI0,0;OE;DI0.0001,0;OE;DI1;OE;CP1;OE;", "3\r3\r2\r2\r", "3\r0\r2\r2\r"},
        {"SI1,1;LBAB\x03OC;", "1200,0,0\r", ""},
        {"SR1,1;IP0,0,1000,1000;LBA\x03OC;", "15,0,0\r", ""}, // SR follows P1/P2
        // Without SI the size is the font's; the 7470A's DR; stays relative
        // to P1/P2, which here run right to left.
        {"SI1,1;SI;LBA\x03OC;", "112.5,0,0\r", "112.8889,0,0\r"},
        {"IP10000,0,0,7000;DR;LBA\x03OC;", "-112.5,0,0\r", "112.8889,0,0\r"},
        {"PD;CP2,1;OC;CP;OC;", "225,216,1\r0,-216,1\r", "225.7778,216.3704,1\r0,-216.3704,1\r"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(testing::modelReplies(PlotterModel::hp7470a, c.stream), c.hp7470a) << c.stream;
        EXPECT_EQ(testing::modelReplies(PlotterModel::hpgl2, c.stream),
                  c.hpgl2.empty() ? c.hp7470a : c.hpgl2)
            << c.stream;
    }
}

} // namespace
} // namespace plotanix
