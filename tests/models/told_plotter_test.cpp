// The model a stream is written for, told as it comes: the hint each model
// gives for what it ignores, and --model auto drawing the page the told
// model draws, however the stream is cut.

#include "models/models.h"
#include "support/in_process_plot.h"
#include "support/real_streams.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace plotanix {
namespace {

using testing::InProcessPlot;
using namespace std::string_literals;

const std::string hp86bStream = "SP1;PU100,100;PD200,100,200,200;LBHI\x03;SP2;PA50,50;OI;";
const std::string sevenStream = "IN;SP1;PA1000,1000;PD3000,1000,3000,3000;CI500;OI;SC0,100,0,100;"
                                "PU10,10;PD90,90;";
const std::string hpgl2Stream = "IN;SP1;PA1000,1000;PD3000,1000;PW1.5;OI;OP;PD3000,3000;"
                                "PS12000,9000;PU500,500;PD8000,6000;";
const std::string crlfHpgl2Stream = "IN;\r\nSP1;\r\nPA100,100;\r\nPW0.8;\r\nPD4000,4000;\r\n";
const std::string pclPrint = "\x1b"
                             "E\x1b*t300R\x1b*r0A\x1b*b2W\xff\xf0\x1b*b2W\x0f\xff\x1b*rC\f";
const std::string epsonPrint = "\x1b@\x1bK\x04\x00\xff\x81\x81\xff\r\n"s;

std::string seed(const std::string& name) {
    std::ifstream in(testing::seedStream(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string plotHint(PlotterModel model, const std::string& stream) {
    InProcessPlot p(nullptr, model);
    p.run(stream);
    return std::string(p.session.hint());
}

// Each model names the model that draws what it ignored; a stream it draws
// whole gets no hint from the dialect.
TEST(ToldModel, HintsNameTheModelThatDrawsTheStream) {
    const std::string hpgl2 = "(--model hpgl2) reads it";
    const std::string seven = "(--model 7470a) reads";
    struct Case {
        const char* what;
        std::string stream;
        std::string onHp86b, on7470a, onHpgl2; // a part of the hint, or "" for none
    };
    const Case cases[] = {
        {"the HP-86B's own stream", hp86bStream, "", "", ""},
        {"a 7470A program", sevenStream, seven, "", ""},
        {"HP-GL/2", hpgl2Stream, hpgl2, hpgl2, ""},
        {"HP-GL/2 in lines the HP-86B model misreads", crlfHpgl2Stream, hpgl2, hpgl2, ""},
        {"the 7470A's device control", "\x1b.I81;;17:IN;PA0,0;PD10,10;", seven, "", ""},
        {"a PCL print", pclPrint, "(--model pcl) prints it", "(--model pcl) prints it", ""},
        {"an Epson print", epsonPrint, "(--model escp) prints it", "(--model escp) prints it", ""},
        {"HP-GL/2's name in a label only", "IN;SP1;LBPS and PW\x03;PA0,0;", seven, "", ""},
    };
    for (const Case& c : cases) {
        const std::pair<PlotterModel, const std::string&> expected[] = {
            {PlotterModel::hp86b, c.onHp86b},
            {PlotterModel::hp7470a, c.on7470a},
            {PlotterModel::hpgl2, c.onHpgl2}};
        for (const auto& [model, part] : expected) {
            const std::string hint = plotHint(model, c.stream);
            if (part.empty()) {
                EXPECT_EQ(hint, "") << c.what << " on " << modelName(model);
            } else {
                EXPECT_NE(hint.find(part), std::string::npos)
                    << c.what << " on " << modelName(model) << ": " << hint;
            }
        }
    }
    EXPECT_EQ(plotHint(PlotterModel::hp7470a, hpgl2Stream),
              "the stream uses HP-GL/2's PW: the HP-GL/2 model (--model hpgl2) reads it");
}

struct AutoCase {
    const char* what;
    std::string stream;
    PlotterModel chosen;
    std::string said; // the status row's and journal's line, "" for none
};

const AutoCase autoCases[] = {
    {"HP-GL/2", hpgl2Stream, PlotterModel::hpgl2, "model: hpgl2 (the stream uses HP-GL/2's PW)"},
    {"a 7470A program", sevenStream, PlotterModel::hp7470a,
     "model: 7470a (the stream uses the 7470A's IN)"},
    {"the HP-86B's own stream", hp86bStream, PlotterModel::hp86b, ""},
    {"a PCL print", pclPrint, PlotterModel::pcl, "model: pcl (the stream is a PCL print)"},
    {"an Epson print", epsonPrint, PlotterModel::escp,
     "model: escp (the stream is an Epson print)"},
    {"a PCL job's raster, then its HP-GL/2", seed("hpgl2-pcl.plt"), PlotterModel::hpgl2,
     "model: hpgl2 (the stream is HP-GL/2 in a PCL job)"},
};

// Cut in two at every byte, the stream gives the page and replies the
// chosen model gives it whole, and the choice is said.
TEST(ToldModel, AutoDrawsThePageOfTheModelItChoosesWhereverTheStreamIsCut) {
    for (const AutoCase& c : autoCases) {
        InProcessPlot whole(nullptr, c.chosen);
        whole.run(c.stream);
        for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
            InProcessPlot cutUp(nullptr, PlotterModel::automatic);
            cutUp.add(c.stream.substr(0, cut));
            cutUp.add(c.stream.substr(cut));
            cutUp.run();
            ASSERT_EQ(modelInUse(cutUp.session.plotter(), PlotterModel::automatic), c.chosen)
                << c.what << " cut at " << cut;
            ASSERT_TRUE(samePixels(cutUp.session.page(), whole.session.page()))
                << c.what << " cut at " << cut;
            EXPECT_EQ(cutUp.result.instructions, whole.result.instructions)
                << c.what << " cut at " << cut;
            EXPECT_EQ(cutUp.link.written, whole.link.written) << c.what << " cut at " << cut;
            EXPECT_EQ(cutUp.session.hint(), c.said) << c.what << " cut at " << cut;
        }
    }
}

// Once chosen, the model stays for the runs and pages after, and a run
// that begins after the choice counts as the chosen model counts it.
TEST(ToldModel, AutoKeepsItsChoiceForLaterRunsAndPages) {
    InProcessPlot p(nullptr, PlotterModel::automatic);
    p.run(hpgl2Stream);
    p.session.newPage();
    p.run(hp86bStream);
    EXPECT_EQ(modelInUse(p.session.plotter(), PlotterModel::automatic), PlotterModel::hpgl2);
    InProcessPlot chosen(nullptr, PlotterModel::hpgl2);
    chosen.run(hpgl2Stream);
    chosen.session.newPage();
    chosen.run(hp86bStream);
    EXPECT_TRUE(samePixels(p.session.page(), chosen.session.page()));
    EXPECT_EQ(p.result.instructions, chosen.result.instructions);
}

// The choice's own instructions are recorded once, as they came: a page
// drawn again adds nothing to the transcript.
TEST(ToldModel, AutoRecordsEachIgnoredInstructionOnce) {
    InProcessPlot p(nullptr, PlotterModel::automatic);
    p.keepTranscript();
    p.run("SP1;XX;IN;ZZ;PA10,10;");
    const std::string& transcript = p.transcript();
    EXPECT_EQ(modelInUse(p.session.plotter(), PlotterModel::automatic), PlotterModel::hp7470a);
    for (const char* record : {"****XX***", "****ZZ***"}) {
        const size_t first = transcript.find(record);
        EXPECT_NE(first, std::string::npos) << record;
        EXPECT_EQ(transcript.find(record, first + 1), std::string::npos) << record;
    }
    EXPECT_EQ(transcript.find("****IN***"), std::string::npos);
}

// A blank page's reason is the chosen model's, from the page drawn again:
// the HP-86B's line from (0,0), drawn before the choice, counts no more.
TEST(ToldModel, AutoTellsABlankPageByTheChosenModelsStrokes) {
    InProcessPlot p(nullptr, PlotterModel::automatic);
    p.run("PA100,100;PW1;");
    EXPECT_EQ(modelInUse(p.session.plotter(), PlotterModel::automatic), PlotterModel::hpgl2);
    EXPECT_EQ(p.session.blankReason(), "the pen only moved up (PU), it never drew");
}

} // namespace
} // namespace plotanix
