// plotanix-render run as a whole program, compared with the plotter's core
// driven in process the way the plotter drives it.

#include "output/png_writer.h"
#include "session/page_store.h"
#include "support/fake_link.h"
#include "support/in_process_plot.h"
#include "support/png_file.h"
#include "support/temp_dir.h"
#include "support/tmux_session.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/wait.h>

namespace plotanix {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// plotanix-render run in dir with these shell words.
Outcome runRender(const TempDir& dir, const std::string& words,
                  const std::string& input = "/dev/null") {
    const std::string command = "cd " + testing::shellQuote(dir.path()) + " && " +
                                testing::shellQuote(PLOTANIX_RENDER) + " " + words + " <" + input +
                                " >stdout.txt 2>stderr.txt";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir.file("stdout.txt")),
            readFile(dir.file("stderr.txt"))};
}

// Every PNG in a folder by name, with its bytes.
std::map<std::string, std::string> pngsIn(const fs::path& folder) {
    std::map<std::string, std::string> pngs;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".png")
            pngs[entry.path().filename()] = readFile(entry.path());
    }
    return pngs;
}

const auto pngWriter = [](const PageImage& page, const std::string& path) {
    return savePng(page, path);
};

// The plotter's core as the program runs it: its pages saved through the
// page store, every command marked in the transcript.
struct Session : testing::InProcessPlot {
    explicit Session(const TempDir& dir) : store(dir.path().string(), log, pngWriter) {
        keepTranscript();
    }
    void run(const std::vector<std::string>& chunks) {
        for (const std::string& chunk : chunks)
            link.add(chunk);
        InProcessPlot::run();
    }
    std::string save() {
        const PageStore::Saved saved = store.savePage(page());
        EXPECT_TRUE(saved.ok);
        return store.pathOf(saved.name);
    }
    PageStore store;
};

// A stream with everything that draws: pens, lines, labels in turning
// directions, cell moves, and the quirks (CR LF, unknown instructions, a query).
const std::string mixedPlot =
    "IN;SP2;PU100,100;PD300,100,300,300,100,100;\r\nSP4;PA50,400;OI;"
    "SP1;PU320,240;DI0,1;LBRotated ****XY*** text\x03;DI;CP-3,2;LBCell\x03;DI1,1;LBup\x03;"
    "SP3;PD600,20;XX1,2;PA1,1;SP8;PU620,460;PD20,460;DI-1,0;LBback\x03;";

// A session with saves and new pages; its transcript is PLOTTER.TXT in dir.
std::vector<std::string> recordSession(const TempDir& dir) {
    Session session(dir);
    std::vector<std::string> saved;
    session.run({"IN;SP2;PA100,100;PD200,100,", "200,200;\r\nPU;LBHI\x03;", "XX1,2;PD9,9;"});
    saved.push_back(session.save());
    saved.push_back(session.save()); // saved twice: the same picture
    // A run starts with the pen down at (0,0), in black.
    session.run({"PD400,300;SP4;PA", "500,300;SC0,1;LB****SC*** stars\x03;"});
    session.session.newPage(); // the operator's "Insert new page"
    session.store.markNewPage();
    saved.push_back(session.save()); // the page is cleared only by the next run
    session.run({"PU10,10;PD600,400;\r\n", "PU50,50;", "\r\nPD60,450;"});
    session.session.newPage();
    session.store.markNewPage();
    session.run({"SP3;PD", "600,0;"});
    saved.push_back(session.save());
    writeFile(dir.file("PLOTTER.TXT"), session.transcript());
    return saved;
}

TEST(RenderProgram, DrawsThePlottersPixelsAndWithPlotterBytesItsBytes) {
    TempDir dir;
    const std::string corpusFile =
        std::string(PLOTANIX_CORPUS_DIR) + "/hpgl-coding-test__space-COLUMBIA.plt";
    for (const std::string& bytes : {mixedPlot, readFile(corpusFile)}) {
        if (bytes.empty()) continue; // no corpus here
        writeFile(dir.file("plot.hpgl"), bytes);
        Session session(dir);
        session.feed(bytes, 37); // the line's chunking does not change the picture
        session.run({});
        ASSERT_GT(testing::inkedPixels(session.page()), 0);
        const std::string expected = session.save();
        Outcome outcome = runRender(dir, "plot.hpgl");
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(testing::readPng(dir.file("plot.png")).rgb, testing::readPng(expected).rgb);
        const std::string summary =
            "1 file, 1 page written, " + std::to_string(session.result.instructions) +
            " instructions (" + std::to_string(session.result.ignored) + " ignored), 0 failed, ";
        EXPECT_EQ(outcome.err.rfind(summary, 0), 0u) << outcome.err;
        outcome = runRender(dir, "--plotter-bytes -o exact.png -", "plot.hpgl");
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_TRUE(readFile(dir.file("exact.png")) == readFile(expected));
    }
}

TEST(RenderProgram, RegeneratesTheSavedPagesOfASession) {
    TempDir dir;
    const std::vector<std::string> saved = recordSession(dir);
    ASSERT_NE(readFile(dir.file("PLOTTER.TXT")).find("****\r\n***"), std::string::npos);
    const Outcome outcome = runRender(dir, "--plotter-bytes PLOTTER.TXT -o out.png");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("4 pages written"), std::string::npos) << outcome.err;
    for (size_t i = 0; i < saved.size(); ++i) {
        const std::string regenerated = dir.file("out-0000" + std::to_string(i + 1) + ".png");
        EXPECT_TRUE(readFile(regenerated) == readFile(saved[i])) << regenerated;
    }
    EXPECT_FALSE(fs::exists(dir.file("out.png"))); // nothing was drawn after the last save
    // Page numbers keep their last five digits.
    writeFile(dir.file("in.txt"), "PA1,1;\r\n**** SAVE PAGE #123456 ****\r\n\r\nPD9,9;");
    EXPECT_EQ(runRender(dir, "in.txt").status, 0);
    EXPECT_TRUE(fs::exists(dir.file("in-23456.png")) && fs::exists(dir.file("in.png")));
}

// A 7470A transcript: a record follows the chunk that held its instruction
// (here within parameters and a label), and is dropped where the model logged it.
TEST(RenderProgram, RegeneratesASavedPageOfThe7470AModel) {
    TempDir dir;
    testing::FakeLink link({"IN;SP1;PA100,100;XY1;PD2000,", "3000;QQ;LBab", "cd\x03;SP2;PD50,99;"});
    LogFile log;
    std::string transcript;
    log.openMemory(transcript);
    PlotSession session(link, log, nullptr, PlotterModel::hp7470a);
    ASSERT_TRUE(session.createPage());
    session.run();
    ASSERT_TRUE(PageStore(dir.path().string(), log, pngWriter).savePage(session.page()).ok);
    log.flushLog();
    ASSERT_NE(transcript.find("PD2000,****XY***3000;QQ;LBab****QQ***cd"), std::string::npos);
    writeFile(dir.file("PLOTTER.TXT"), transcript);
    const Outcome outcome = runRender(dir, "--model 7470a --plotter-bytes PLOTTER.TXT -o out.png");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(readFile(dir.file("out-00001.png")) == readFile(dir.file("PLOTTER_00001.PNG")));
}

// Each format gives its kind of file at the page's size.
TEST(RenderProgram, WritesSvgPdfAndEnlargedPng) {
    TempDir dir;
    writeFile(dir.file("plot.hpgl"), mixedPlot);
    const std::tuple<std::string, std::string, std::string> kinds[] = {
        {"svg", "<svg xmlns", "width=\"800\" height=\"600\""},
        {"pdf", "%PDF", "/MediaBox [ 0 0 800 600 ]"}};
    for (const auto& [kind, start, size] : kinds) {
        EXPECT_EQ(runRender(dir, "--format=" + kind + " plot.hpgl").status, 0) << kind;
        const std::string bytes = readFile(dir.file("plot." + kind));
        EXPECT_TRUE(bytes.find(start) != std::string::npos && bytes.find(size) != std::string::npos)
            << kind;
    }
    EXPECT_EQ(runRender(dir, "--scale 4 plot.hpgl -o 4.png").status, 0);
    const testing::DecodedPng big = testing::readPng(dir.file("4.png"));
    EXPECT_EQ(std::make_pair(big.width, big.height), std::make_pair(3200u, 2400u));
}

// Workers keep their page, font and derived fonts from file to file: the
// labels in turning directions come before and after other files.
TEST(RenderProgram, ManyInputsInOneCallGiveThePagesOfOneCallEach) {
    TempDir dir;
    recordSession(dir);
    std::vector<std::string> inputs = {"PLOTTER.TXT"};
    std::error_code noCorpus;
    for (const auto& entry : fs::directory_iterator(PLOTANIX_CORPUS_DIR, noCorpus)) {
        const std::string ext = entry.path().extension();
        if (ext != ".md" && ext != ".tsv") inputs.push_back(entry.path());
        if (inputs.size() % 4 == 0)
            inputs.push_back("mixed" + std::to_string(inputs.size()) + ".hpgl");
    }
    writeFile(dir.file("lines.hpgl"), "SP2;PD700,500;");
    inputs.insert(inputs.end(), {"mixed.hpgl", "lines.hpgl"});
    fs::create_directories(dir.path() / "one");
    std::string all;
    for (const std::string& input : inputs) {
        if (input.starts_with("mixed")) writeFile(dir.file(input), mixedPlot);
        const std::string output = "one/" + fs::path(input).stem().string() + ".png";
        EXPECT_EQ(runRender(dir, input + " -o " + output).status, 0) << input;
        all += " " + input;
    }
    const auto expected = pngsIn(dir.path() / "one");
    EXPECT_EQ(expected.size(), inputs.size() + 3); // the transcript has four pages
    for (const std::string workers : {"1", "2"}) {
        fs::create_directories(dir.path() / workers);
        const Outcome outcome = runRender(dir, "-j " + workers + " -o " + workers + all);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_TRUE(pngsIn(dir.path() / workers) == expected) << workers << " workers";
    }
}

TEST(RenderProgram, FailuresAreOneLineEachAndLoseNothingElse) {
    TempDir dir;
    writeFile(dir.file("a.hpgl"), "PA100,100;");
    writeFile(dir.file("b.hpgl"), "PA200,100;");
    // One unreadable input among good ones: its line, the others written.
    Outcome outcome = runRender(dir, "a.hpgl missing.hpgl b.hpgl -j2");
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n') + 1),
              "plotanix-render: cannot read missing.hpgl: No such file or directory\n");
    EXPECT_NE(outcome.err.find("3 files, 2 pages written, 2 instructions (0 ignored), 1 failed"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(dir.file("a.png")) && fs::exists(dir.file("b.png")));
    // An output into a missing folder: nothing is left behind.
    outcome = runRender(dir, "a.hpgl -o nowhere/a.png");
    EXPECT_EQ(outcome.status, 4);
    EXPECT_EQ(outcome.err.rfind("plotanix-render: cannot write nowhere/a.png", 0), 0u);
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
    fs::create_directory(dir.file("folder")); // takes a single input's page too
    EXPECT_EQ(runRender(dir, "a.hpgl -o folder").status, 0);
    EXPECT_TRUE(fs::exists(dir.file("folder/a.png")));
    // Bad usage is refused before any work, in one line and the usage line.
    fs::remove(dir.file("a.png"));
    writeFile(dir.file("picture.png"), "not to be overwritten");
    for (const std::string bad :
         {"a.hpgl b.hpgl -o nowhere", "", "--fast a.hpgl", "-j 0 a.hpgl", "-", "- a.hpgl -o .",
          "a.hpgl -o -", "--format svg --scale 2 a.hpgl", "--scale 9 a.hpgl", "picture.png",
          "a.hpgl ./a.hpgl -o .", "a.hpgl -o nofolder/"}) {
        outcome = runRender(dir, bad);
        EXPECT_EQ(outcome.status, 2) << bad;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 2) << outcome.err;
        EXPECT_NE(outcome.err.find("\nusage: plotanix-render [OPTIONS] INPUT...\n"),
                  std::string::npos);
    }
    EXPECT_EQ(readFile(dir.file("picture.png")), "not to be overwritten");
    EXPECT_FALSE(fs::exists(dir.file("a.png")));
    const Outcome help = runRender(dir, "--help");
    EXPECT_TRUE(help.status == 0 && help.out.find("Exit status: 0") != std::string::npos);
    EXPECT_EQ(runRender(dir, "-V").out, std::string(PLOTANIX_VERSION) + "\n");
}

} // namespace
} // namespace plotanix
