// The transcript splitter: a PLOTTER.TXT back into what the computer sent,
// run by run, with the operator's page markers between.

#include "session/transcript_splitter.h"

#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace plotanix {
namespace {

using namespace std::string_literals;
using Kind = TranscriptStep::Kind;
using Steps = std::vector<std::string>;

const std::string savePage1 = "\r\n**** SAVE PAGE #1 ****\r\n\r\n";
const std::string newPage = "\r\n**** NEW PAGE ****\r\n\r\n";

// The steps in a compact form: runs as their bytes, "#n" for a save, "NEW".
Steps outline(const std::string& transcript) {
    Steps result;
    for (const TranscriptStep& step : splitTranscript(transcript)) {
        if (step.kind == Kind::run) result.push_back(step.bytes);
        if (step.kind == Kind::savePage) result.push_back("#" + std::to_string(step.pageNumber));
        if (step.kind == Kind::newPage) result.push_back("NEW");
    }
    return result;
}

std::string farChunk() {
    std::string far = "IN;";
    while (far.size() < 300)
        far += "PA1,1;";
    return far;
}

TEST(SplitTranscript, DropsRecordsAndSplitsAtMarkers) {
    const std::string banner = "IN;LB" + std::string(40, '*') + "\x03;";
    const std::string plain = "IN;SP1;PA10,10;\r\nPD20,20;LB****AB*** stars\x03;CP1,1;";
    const std::pair<std::string, Steps> cases[] = {
        // Plain HP-GL, a banner of asterisks even right after an unknown instruction.
        {"", {}},
        {plain, {plain}},
        {banner, {banner}},
        // The worked example cut into two chunks, and arriving as one; several
        // records after one chunk, in the order the mnemonics came.
        {"IN;SP1;PA10,10;****IN***PD20,20;OI;", {"IN;SP1;PA10,10;PD20,20;OI;"}},
        {"IN;SP1;PA10,10;PD20,20;OI;****IN***", {"IN;SP1;PA10,10;PD20,20;OI;"}},
        {"IN;SC1;PA1,1;****IN*******SC***", {"IN;SC1;PA1,1;"}},
        // Odd mnemonics: CR LF swallowing the next instruction, a NUL ending
        // the mnemonic's text (one byte, or none), asterisks as mnemonic bytes.
        {"PA1,1;\r\nPA2,2;PA3,3;****\r\n***", {"PA1,1;\r\nPA2,2;PA3,3;"}},
        {"B\0;****B***"s, {"B\0;"s}},
        {"\0A;*******"s, {"\0A;"s}},
        {"**;*********", {"**;"}},
        // Record shapes the plotter could not have written stay: a known
        // mnemonic, text inside a label, a chunk more than 256 bytes back, a
        // record after a marker.
        {"PA1,1;****PA***", {"PA1,1;****PA***"}},
        {"LB****XY***\x03;", {"LB****XY***\x03;"}},
        {farChunk() + "****IN***", {farChunk() + "****IN***"}},
        {"IN;" + newPage + "****IN***", {"IN;", "NEW", "****IN***"}},
        // A label quoting the record due (the real one follows the chunk), and
        // a chunk that ended inside a label (its record stands in the text).
        {"SC0,1;LB****SC*** stars\x03;****SC***", {"SC0,1;LB****SC*** stars\x03;"}},
        {"SC0,1;LB******SC***xx\x03;", {"SC0,1;LB**xx\x03;"}},
        // The line went silent after "PA10,2": the next run began with IN,
        // which a straight reading takes as part of PA's parameters.
        {"PA10,2IN;PA5,5;****IN***", {"PA10,2IN;PA5,5;"}},
        // Markers: the worked example's 87 bytes; back to back without empty
        // runs, large numbers kept.
        {"IN;SP1;PA10,10;****IN***PD20,20;OI;" + savePage1 + newPage,
         {"IN;SP1;PA10,10;PD20,20;OI;", "#1", "NEW"}},
        {"PA1,1;" + savePage1 + "\r\n**** SAVE PAGE #123456 ****\r\n\r\n" + newPage + "PA2,2;",
         {"PA1,1;", "#1", "#123456", "NEW", "PA2,2;"}},
    };
    for (const auto& [transcript, steps] : cases)
        EXPECT_EQ(outline(transcript), steps) << transcript;
}

TEST(SplitTranscript, NearMissMarkersAreData) {
    for (const std::string& text :
         {"\r\n**** SAVE PAGE #01 ****\r\n\r\n"s, "**** NEW PAGE ****\r\n\r\n"s,
          "\r\n**** SAVE PAGE # ****\r\n\r\n"s, "\r\n**** NEW PAGE ****\r\n\r"s,
          "\r\n**** SAVE PAGE #1 ****\r\n"s, "\r\n**** SAVE PAGE #12345678901 ****\r\n\r\n"s}) {
        const std::string plain = "PA1,1;" + text;
        EXPECT_EQ(outline(plain), Steps{plain}) << text;
    }
}

TEST(SplitTranscript, TellsWhichRunsNeedTheFont) {
    auto usesFont = [](const std::string& text) {
        const std::vector<TranscriptStep> steps = splitTranscript(text);
        return !steps.empty() && steps.front().usesFont;
    };
    for (const std::string text : {"PA1,1;LBHI\x03;", "DF;CP1,1;"})
        EXPECT_TRUE(usesFont(text)) << text;
    // LB and CP that are not taken as instructions ("PC" is taken, then skipped to ';').
    for (const std::string text : {"PA1,1,LB,CP;", "XXLB;", "PCP;"})
        EXPECT_FALSE(usesFont(text)) << text;
}

// Each real file, arriving in chunks of many sizes: the transcript the
// plotter writes splits back into exactly the file.
TEST(SplitTranscript, RecoversRealFilesFromTheirTranscripts) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(PLOTANIX_CORPUS_DIR)) {
        const std::string name = entry.path().filename().string();
        if (name != "README.md" && name != "SOURCES.tsv") files.push_back(entry.path().string());
    }
    if (files.empty()) GTEST_SKIP() << "no corpus at " << PLOTANIX_CORPUS_DIR;
    std::mt19937 random(86);
    for (const std::string& file : files) {
        const std::string bytes = testing::readFile(file);
        for (size_t size : {1, 2, 7, 64, 256, 0}) {
            testing::InProcessPlot plot;
            plot.keepTranscript();
            for (size_t at = 0, length = 0; at < bytes.size(); at += length) {
                length = size ? size : 1 + random() % 256; // 0: sizes at random
                plot.link.add(bytes.substr(at, length));
            }
            plot.run();
            EXPECT_EQ(outline(plot.transcript()), Steps{bytes}) << file << " in chunks of " << size;
        }
    }
}

} // namespace
} // namespace plotanix
