#include "app/transcript.h"

#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "page/drawing.h"
#include "page/page_image.h"
#include "support/fake_link.h"
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

const std::string savePage1 = "\r\n**** SAVE PAGE #1 ****\r\n\r\n";
const std::string newPage = "\r\n**** NEW PAGE ****\r\n\r\n";

// The steps in a compact form: runs as their bytes, "#n" for a save, "NEW".
std::vector<std::string> outline(const std::string& transcript) {
    std::vector<std::string> result;
    for (const TranscriptStep& step : splitTranscript(transcript)) {
        if (step.kind == Kind::run) result.push_back(step.bytes);
        if (step.kind == Kind::savePage)
            result.push_back(std::to_string(step.pageNumber).insert(0, 1, '#'));
        if (step.kind == Kind::newPage) result.push_back("NEW");
    }
    return result;
}

using Steps = std::vector<std::string>;

TEST(SplitTranscript, PlainHpglComesBackAsOneRun) {
    EXPECT_EQ(outline(""), Steps{});
    const std::string plain = "IN;SP1;PA10,10;\r\nPD20,20;LB****AB*** stars\x03;CP1,1;";
    EXPECT_EQ(outline(plain), Steps{plain});
    // A banner of asterisks, even right after an unrecognised instruction.
    const std::string banner = "IN;LB" + std::string(40, '*') + "\x03;";
    EXPECT_EQ(outline(banner), Steps{banner});
}

TEST(SplitTranscript, RecordsAreDroppedWhereverTheirChunkEnded) {
    // The same session cut into two chunks, and arriving as one.
    EXPECT_EQ(outline("IN;SP1;PA10,10;****IN***PD20,20;OI;"), Steps{"IN;SP1;PA10,10;PD20,20;OI;"});
    EXPECT_EQ(outline("IN;SP1;PA10,10;PD20,20;OI;****IN***"), Steps{"IN;SP1;PA10,10;PD20,20;OI;"});
    // Several records after one chunk, in the order the mnemonics came.
    EXPECT_EQ(outline("IN;SC1;PA1,1;****IN***"
                      "****SC***"),
              Steps{"IN;SC1;PA1,1;"});
}

TEST(SplitTranscript, RecordsOfOddMnemonics) {
    // CR LF between instructions is a mnemonic that swallows the next one.
    EXPECT_EQ(outline("PA1,1;\r\nPA2,2;PA3,3;****\r\n***"), Steps{"PA1,1;\r\nPA2,2;PA3,3;"});
    // A NUL ends the mnemonic's text: one byte, or none (seven asterisks).
    EXPECT_EQ(outline("B\0;****B***"s), Steps{"B\0;"s});
    EXPECT_EQ(outline("\0A;*******"s), Steps{"\0A;"s});
    // Asterisks as mnemonic bytes: "**;" gives a record of nine.
    EXPECT_EQ(outline("**;*********"), Steps{"**;"});
}

TEST(SplitTranscript, RecordShapesThePlotterCouldNotHaveWrittenStay) {
    // A known mnemonic is never recorded.
    EXPECT_EQ(outline("PA1,1;****PA***"), Steps{"PA1,1;****PA***"});
    // Inside a label: the interpreter never took XY as a mnemonic.
    const std::string label = "LB****XY***\x03;";
    EXPECT_EQ(outline(label), Steps{label});
    // The record's chunk would lie more than 256 bytes back.
    std::string far = "IN;";
    while (far.size() < 300)
        far += "PA1,1;";
    EXPECT_EQ(outline(far + "****IN***"), Steps{far + "****IN***"});
    // A marker ends the run: what follows cannot be the record of IN.
    EXPECT_EQ(outline("IN;" + newPage + "****IN***"), (Steps{"IN;", "NEW", "****IN***"}));
}

TEST(SplitTranscript, LabelTextThatReadsLikeTheRecordDue) {
    // The label quotes the record SC is due: the real one follows the chunk.
    EXPECT_EQ(outline("SC0,1;LB****SC*** stars\x03;****SC***"),
              Steps{"SC0,1;LB****SC*** stars\x03;"});
    // A chunk that ended inside a label: its record stands inside the text.
    EXPECT_EQ(outline("SC0,1;LB******SC***xx\x03;"), Steps{"SC0,1;LB**xx\x03;"});
}

TEST(SplitTranscript, RecordAfterAnUnseenEndOfRun) {
    // The line went silent after "PA10,2": the next run began with IN,
    // which a straight reading takes as part of PA's parameters.
    EXPECT_EQ(outline("PA10,2IN;PA5,5;****IN***"), Steps{"PA10,2IN;PA5,5;"});
}

TEST(SplitTranscript, TellsWhichRunsNeedTheFont) {
    auto usesFont = [](const std::string& text) {
        const std::vector<TranscriptStep> steps = splitTranscript(text);
        return !steps.empty() && steps.front().usesFont;
    };
    EXPECT_TRUE(usesFont("PA1,1;LBHI\x03;"));
    EXPECT_TRUE(usesFont("DF;CP1,1;"));
    // LB and CP that are not taken as instructions.
    EXPECT_FALSE(usesFont("PA1,1,LB,CP;"));
    EXPECT_FALSE(usesFont("XXLB;"));
    EXPECT_FALSE(usesFont("PCP;")); // "PC" is taken, then skipped to ';'
}

TEST(SplitTranscript, MarkersSplitRunsAndCarryThePageNumber) {
    // The worked example: two chunks, a record, a save and a new page.
    const std::string log = "IN;SP1;PA10,10;****IN***PD20,20;OI;" + savePage1 + newPage;
    ASSERT_EQ(log.size(), 87u);
    EXPECT_EQ(outline(log), (Steps{"IN;SP1;PA10,10;PD20,20;OI;", "#1", "NEW"}));
    // Markers back to back give no empty runs; large numbers are kept.
    EXPECT_EQ(outline("PA1,1;" + savePage1 + "\r\n**** SAVE PAGE #123456 ****\r\n\r\n" + newPage +
                      "PA2,2;"),
              (Steps{"PA1,1;", "#1", "#123456", "NEW", "PA2,2;"}));
}

TEST(SplitTranscript, NearMissMarkersAreData) {
    for (const std::string& text :
         {"\r\n**** SAVE PAGE #01 ****\r\n\r\n"s, "\r\n**** SAVE PAGE # ****\r\n\r\n"s,
          "\r\n**** SAVE PAGE #1 ****\r\n"s, "**** NEW PAGE ****\r\n\r\n"s,
          "\r\n**** NEW PAGE ****\r\n\r"s, "\r\n**** SAVE PAGE #12345678901 ****\r\n\r\n"s}) {
        const std::string plain = "PA1,1;" + text;
        EXPECT_EQ(outline(plain), Steps{plain}) << text;
    }
}

// The transcript the plotter writes for bytes arriving in these chunks.
std::string transcriptOf(const std::vector<std::string>& chunks) {
    testing::TempDir dir;
    testing::FakeLink link(chunks);
    LogFile log;
    log.openLog(dir.file("PLOTTER.TXT"));
    InstructionReader reader(link, log);
    Drawing drawing;
    Interpreter interpreter(reader, drawing, link, log, nullptr);
    auto page = createPageImage(800, 600, 24);
    drawing.beginDrawing(*page);
    interpreter.setDefaults();
    reader.startRun();
    interpreter.runInstructionLoop();
    log.closeLog();
    return testing::readFile(dir.file("PLOTTER.TXT"));
}

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
            std::vector<std::string> chunks;
            for (size_t at = 0; at < bytes.size(); at += chunks.back().size()) {
                const size_t length = size ? size : 1 + random() % 256; // 0: sizes at random
                chunks.push_back(bytes.substr(at, length));
            }
            const std::string transcript = transcriptOf(chunks);
            EXPECT_EQ(outline(transcript), Steps{bytes}) << file << " in chunks of " << size;
        }
    }
}

} // namespace
} // namespace plotanix
