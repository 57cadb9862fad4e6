// The transcript splitter: a PLOTTER.TXT back into the runs sent and the page markers.

#include "session/transcript_splitter.h"

#include "support/in_process_plot.h"
#include "support/real_streams.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>

namespace plotanix {
namespace {

using namespace std::string_literals;
using Kind = TranscriptStep::Kind;
using Steps = std::vector<std::string>;

const std::string newPage = "\r\n**** NEW PAGE ****\r\n\r\n";

// The steps in a compact form: runs as their bytes, "#n" for a save, "NEW".
Steps outline(const std::string& transcript) {
    Steps result;
    for (const TranscriptStep& step : splitTranscript(transcript))
        result.push_back(step.kind == Kind::run       ? step.bytes
                         : step.kind == Kind::newPage ? "NEW"
                                                      : "#" + std::to_string(step.pageNumber));
    return result;
}

TEST(SplitTranscript, DropsRecordsAndSplitsAtMarkers) {
    std::vector<std::pair<std::string, Steps>> cases = {
        {"", {}},
        // Records after one chunk or several, in the order the mnemonics came.
        {"IN;SP1;PA10,10;****IN***PD20,20;OI;", {"IN;SP1;PA10,10;PD20,20;OI;"}},
        {"IN;SC1;PA1,1;****IN*******SC***", {"IN;SC1;PA1,1;"}},
        // Mnemonics of CR LF (swallowing the next instruction), NUL, asterisks.
        {"PA1,1;\r\nPA2,2;PA3,3;****\r\n***", {"PA1,1;\r\nPA2,2;PA3,3;"}},
        {"B\0;****B***"s, {"B\0;"s}},
        {"\0A;*******"s, {"\0A;"s}},
        {"**;*********", {"**;"}},
        {"IN;" + newPage + "****IN***", {"IN;", "NEW", "****IN***"}},
        // A label quoting the record due; a chunk ending inside a label.
        {"SC0,1;LB****SC*** stars\x03;****SC***", {"SC0,1;LB****SC*** stars\x03;"}},
        {"SC0,1;LB******SC***xx\x03;", {"SC0,1;LB**xx\x03;"}},
        // Silent after "PA10,2": the next run's IN is not taken as parameters.
        {"PA10,2IN;PA5,5;****IN***", {"PA10,2IN;PA5,5;"}},
        // Markers back to back without empty runs, large numbers kept.
        {"PA1,1;\r\n**** SAVE PAGE #1 ****\r\n\r\n\r\n**** SAVE PAGE #123456 ****\r\n\r\n" +
             newPage + "PA2,2;",
         {"PA1,1;", "#1", "#123456", "NEW", "PA2,2;"}},
        // The transcript's own notes are dropped; the run goes on across them.
        {"PA1,1;\r\n**** 1234 BYTES LOST ****\r\n\r\nPA2,2;", {"PA1,1;PA2,2;"}},
        {"\r\n**** TRANSCRIPT RECREATED ****\r\n\r\nPA2,2;" + newPage, {"PA2,2;", "NEW"}},
        {"\r\n**** MODEL 7470a ****\r\n\r\nPA2,2;" + newPage, {"PA2,2;", "NEW"}}};
    // Left whole: plain HP-GL, a banner, records the plotter could not have
    // written (a known mnemonic, in a label, a chunk over 256 bytes back) and
    // near-miss markers.
    for (const std::string& same :
         {"IN;SP1;PA10,10;\r\nPD20,20;LB****AB*** stars\x03;CP1,1;"s,
          "IN;LB" + std::string(40, '*') + "\x03;", "PA1,1;****PA***"s, "LB****XY***\x03;"s,
          "IN;" + testing::repeated("PA1,1;", 50) + "****IN***",
          "\r\n**** SAVE PAGE #01 ****\r\n\r\n"s, "**** NEW PAGE ****\r\n\r\n"s,
          "\r\n**** SAVE PAGE # ****\r\n\r\n"s, "\r\n**** NEW PAGE ****\r\n\r"s,
          "\r\n**** SAVE PAGE #1 ****\r\n"s, "\r\n**** SAVE PAGE #12345678901 ****\r\n\r\n"s,
          "\r\n**** 0 BYTES LOST ****\r\n\r\n"s, "\r\n**** #1 BYTES LOST ****\r\n\r\n"s,
          "\r\n**** MODEL  ****\r\n\r\n"s, "\r\n**** MODEL HP-GL ****\r\n\r\n"s})
        cases.push_back({"PA1,1;" + same, {"PA1,1;" + same}});
    for (const auto& [transcript, steps] : cases)
        EXPECT_EQ(outline(transcript), steps) << transcript;
}

// LB and CP only where taken as instructions ("PC" is taken, then skipped to ';').
TEST(SplitTranscript, TellsWhichRunsNeedTheFont) {
    for (const std::string text : {"PA1,1;LBHI\x03;", "DF;CP1,1;"})
        EXPECT_TRUE(splitTranscript(text).at(0).usesFont) << text;
    for (const std::string text : {"PA1,1,LB,CP;", "XXLB;", "PCP;"})
        EXPECT_FALSE(splitTranscript(text).at(0).usesFont) << text;
}

// Each real file, arriving in chunks of many sizes: the transcript the
// plotter writes splits back into exactly the file.
TEST(SplitTranscript, RecoversRealFilesFromTheirTranscripts) {
    std::mt19937 random(86);
    for (const auto& path : testing::realStreamFiles()) {
        const std::string bytes = testing::readFile(path);
        for (size_t size : {1, 2, 7, 64, 256, 0}) {
            testing::InProcessPlot plot;
            plot.keepTranscript();
            for (size_t at = 0, length = 0; at < bytes.size(); at += length) {
                length = size ? size : 1 + random() % 256; // 0: sizes at random
                plot.add(bytes.substr(at, length));
            }
            EXPECT_EQ(outline(plot.run().transcript()), Steps{bytes}) << path << " " << size;
        }
    }
    if (!testing::corpusHere())
        GTEST_SKIP() << "no corpus at " << testing::corpusDirectory() << ": the seeds only";
}

} // namespace
} // namespace plotanix
