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
#include <tuple>
#include <vector>

namespace plotanix {
namespace {

using namespace std::string_literals;

// Whether the 7470A, drawing the bytes as one run (as the renderer does
// before their end), meets an instruction only HP-GL/2 has.
bool sevenTells(std::string_view bytes) {
    static testing::InProcessPlot plot(nullptr, PlotterModel::hp7470a);
    static bool told = false;
    plot.session.watchUnknown([](std::string_view m) { told = told || toldHpgl2(m); });
    told = false;
    plot.session.restartPlotter();
    plot.run(bytes);
    return told;
}

// A file is written for HP-GL/2 when it uses one of its instructions or
// begins a PCL job, read as the models read it: labels, symbols, comments
// and device controls hold no instruction. Where the readings may part
// (an escape, a quote, DT), the count decides; elsewhere the 7470A's
// reading tells alike.
TEST(Dialect, FilesWrittenForHpgl2) {
    const std::tuple<std::string, bool, bool> files[] = {
        // bytes, written for HP-GL/2, the readings agree
        {"", false, true},
        {"IN;SP1;PA100,100;PD200,200;LBHI\003CI50;OI;", false, true},
        {"IN;PE<=?@;", true, true},
        {"in;pm0;pd10,0,10,10;pm2;fp;", true, true},
        {"BPINPS60000,33640;", true, true},
        {"IN;SP1;P A0,0;R\r\nA10,10;", true, true},
        {"PA0,0;TL5;LT2;", false, true},
        {"\033E\x1b%1BIN;PA0,0;", true, false},
        {"\x1b%-1BIN;PA0,0;", true, false},
        {"\x1b%0BPA0,0;", true, false},
        {"\x1b%-12345X@PJL JOB\r\n", true, false},
        {"\x1b%-12345XIN;PA0,0;", false, false},
        {"\x1b%12345X@PJL", false, false},
        {"\x1b.I81;;17:\x1b.N;19:IN;PA0,0;", false, false},
        {"\x1b.EPA0,0;", false, false},
        {"LBSee PM and PE\x03PA0,0;", false, true},
        {"LBunended PE", false, true},
        {"DT*;LBFP\x03PM*PA0,0;", false, false},
        {"DT*;DT;LBtext\x03PM;", true, false},
        {"d, t;LBtext;", false, false},
        {std::string("D\0T*", 4), false, false},
        {"SMFPA0,0;PD10,10;", false, true},
        {"SM;FP;", true, true},
        {"CO\"EP; PM\";PA0,0;", false, false},
        {"LBend\x03RA100,100;", true, true},
    };
    for (const auto& [bytes, hpgl2, agree] : files) {
        EXPECT_EQ(writtenForHpgl2(bytes), hpgl2) << printable(bytes);
        EXPECT_EQ(readingsAgree(bytes), agree) << printable(bytes);
        if (agree) {
            EXPECT_EQ(sevenTells(bytes), hpgl2) << printable(bytes);
        }
    }
}

// Inputs pieced together from the bytes and mnemonics where the readings
// could differ, and the real files: wherever readingsAgree holds, the
// 7470A tells as the count.
TEST(Dialect, TheSevenReadingTellsAsTheCountWhereTheyAgree) {
    std::vector<std::string> pieces(1);
    for (const char c :
         "PA|PD|PE|PM|FP|PW|LB|SM|XT|UC|CO|OA|IN|DF|SP|BP|pe|P|E|X|D|T|1|-2.|3|,|;| |"
         "\n|\x03|*|<|=|\x05|\"|\x1b|DT|R|A|"s +
             '\0')
        c == '|' ? void(pieces.emplace_back()) : pieces.back().push_back(c);
    std::mt19937 random(46);
    int agreed = 0, hpgl2 = 0;
    for (int input = 0; input < 20000; ++input) {
        std::string bytes;
        for (int n = std::uniform_int_distribution(1, 10)(random); n > 0; --n)
            bytes += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(random)];
        if (!readingsAgree(bytes)) continue;
        const bool told = writtenForHpgl2(bytes);
        ASSERT_EQ(sevenTells(bytes), told) << printable(bytes);
        ++agreed;
        hpgl2 += told;
    }
    EXPECT_GT(agreed, 5000);
    EXPECT_GT(hpgl2, 1000);
    EXPECT_GT(agreed - hpgl2, 1000);
    for (const auto& path : testing::realStreamFiles()) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        if (readingsAgree(bytes)) {
            EXPECT_EQ(sevenTells(bytes), writtenForHpgl2(bytes)) << path;
        }
    }
}

} // namespace
} // namespace plotanix

namespace plotanix {
namespace {

// A print is told by how it begins; a plot in a PCL job stays a plot.
TEST(Dialect, PrintsAreToldFromPlots) {
    using enum PlotterModel;
    const std::pair<std::string, std::optional<PlotterModel>> streams[] = {
        {"\x1b"
         "E\x1b*rB",
         pcl},
        {"\x1b*t300R\x1b*r0A", pcl},
        {"\x1b&l0O", pcl},
        {"\x1b%-12345X@PJL ENTER LANGUAGE=PCL\r\n", pcl},
        {"\x1b"
         "E\x1b%1BIN;PA0,0;",
         std::nullopt},
        {"\x1b%-12345X@PJL ENTER LANGUAGE = HPGL2\r\nIN;", std::nullopt},
        {"\x1b*\x05\x01\x00\xFF"s, escp},
        {"FREQ\r\n\x1bK\x01\x00\x80"s, escp},
        {"\x1b@", escp},
        {"\x1b*\x08\x01\x00\xFF"s, std::nullopt},
        {"IN;PA0,0;", std::nullopt},
        {"\x1b.I81;;17:IN;", std::nullopt},
    };
    for (const auto& [bytes, model] : streams)
        EXPECT_EQ(printerLanguage(bytes), model) << printable(bytes);
}

} // namespace
} // namespace plotanix
