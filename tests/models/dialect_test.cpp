// The dialect told from the 7470A model's own reading as it draws: where
// the two models' readings agree, the instructions the 7470A does not know
// tell what the HP-GL/2 model's counting reading tells, byte for byte.

#include "common/printable.h"
#include "models/dialect.h"
#include "support/in_process_plot.h"
#include "support/real_streams.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

namespace plotanix {
namespace {

// Whether the 7470A, drawing the bytes as one run (as the renderer does
// before their end), meets an instruction only HP-GL/2 has; and whether
// that tells as writtenForHpgl2 does.
bool sevenTellsAlike(std::string_view bytes, bool& hpgl2) {
    static testing::InProcessPlot plot(nullptr, PlotterModel::hp7470a);
    static bool told = false;
    plot.session.watchUnknown([](std::string_view m) { told = told || toldHpgl2(m); });
    told = false;
    plot.session.restartPlotter();
    plot.run(bytes);
    hpgl2 = writtenForHpgl2(bytes);
    return told == hpgl2;
}

// Where the readings may part (an escape, a quote, DT), the count decides.
TEST(Dialect, ReadingsPartAtEscapesQuotesAndDT) {
    const std::pair<std::string, bool> inputs[] = {{"IN;SP1;PA100,100;PD200,200;LBHI\x03OI;", true},
                                                   {"IN;PE<=;", true},
                                                   {"CO\"EP; PM\";PA0,0;", false},
                                                   {"\x1b.(;IN;", false},
                                                   {"\x1b%1BIN;", false},
                                                   {"DT*;LBFP*", false},
                                                   {"d, t;LBtext;", false},
                                                   {std::string("D\0T*", 4), false},
                                                   {"PA0,0;TL5;LT2;", true}};
    for (const auto& [bytes, agree] : inputs)
        EXPECT_EQ(readingsAgree(bytes), agree) << printable(bytes);
}

// Inputs pieced together from the bytes and mnemonics where the readings
// could differ, and the real files: wherever readingsAgree holds, the
// 7470A tells as the count.
TEST(Dialect, TheSevenReadingTellsAsTheCountWhereTheyAgree) {
    const std::string pieces[] = {"PA", "PD",   "PE",  "PM", "FP", "PW",   "LB",
                                  "SM", "XT",   "UC",  "CO", "OA", "IN",   "DF",
                                  "SP", "BP",   "pe",  "P",  "E",  "X",    "D",
                                  "T",  "1",    "-2.", "3",  ",",  ";",    " ",
                                  "\n", "\x03", "*",   "<",  "=",  "\x05", std::string(1, '\0'),
                                  "\"", "\x1b", "DT",  "R",  "A"};
    std::mt19937 random(46);
    int agreed = 0, hpgl2 = 0;
    for (int input = 0; input < 20000; ++input) {
        std::string bytes;
        for (int n = std::uniform_int_distribution(1, 10)(random); n > 0; --n)
            bytes +=
                pieces[std::uniform_int_distribution<size_t>(0, std::size(pieces) - 1)(random)];
        if (!readingsAgree(bytes)) continue;
        bool told = false;
        ASSERT_TRUE(sevenTellsAlike(bytes, told)) << printable(bytes);
        ++agreed;
        hpgl2 += told;
    }
    EXPECT_GT(agreed, 5000);
    EXPECT_GT(hpgl2, 1000);
    EXPECT_GT(agreed - hpgl2, 1000);
    for (const auto& path : testing::realStreamFiles()) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        bool told = false;
        if (readingsAgree(bytes)) EXPECT_TRUE(sevenTellsAlike(bytes, told)) << path;
    }
}

} // namespace
} // namespace plotanix
