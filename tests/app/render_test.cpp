// plotanix-render run as a whole program, compared with the plotter's core
// driven in process the way the plotter drives it.

#include "support/fake_link.h"
#include "support/temp_dir.h"

#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "output/png_writer.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "page/page_image.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace plotanix {
namespace {

using testing::FakeLink;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with stdin from a file and captures what it prints.
Outcome runRender(const TempDir& dir, std::vector<std::string> args,
                  const std::string& stdinPath = "/dev/null") {
    args.insert(args.begin(), PLOTANIX_RENDER);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string outPath = dir.file("stdout.txt");
    const std::string errPath = dir.file("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    Outcome outcome;
    if (posix_spawn(&pid, PLOTANIX_RENDER, &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    return outcome;
}

bool hasInk(const PageImage& page) {
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x) {
            if (page.pixel(x, y) != penColours[0]) return true;
        }
    }
    return false;
}

// The plotter's core as the program runs it: a page made white before the
// first run, cleared again only at the start of a run after "new page",
// pages saved under numbers and every command marked in the transcript.
class Session {
  public:
    explicit Session(const TempDir& dir) : dir_(dir) { log.openLog(dir.file("PLOTTER.TXT")); }

    void run(const std::vector<std::string>& chunks) {
        for (const std::string& chunk : chunks)
            link.add(chunk);
        drawing.beginDrawing(*page);
        drawing.selectFont(font.get());
        if (newPageFlag) drawing.fillBox(0, 0, 800, 640, penColours[0]);
        newPageFlag = false;
        interpreter.setDefaults();
        reader.startRun();
        interpreter.instructionCount = 0;
        interpreter.ignoredCount = 0;
        interpreter.runInstructionLoop();
        drawing.endDrawing();
    }
    std::string save() {
        const std::string name = dir_.file("PLOTTER_" + std::to_string(pageNumber) + ".PNG");
        EXPECT_EQ(savePng(*page, name), 1);
        log.writeLogMarker("SAVE PAGE #" + std::to_string(pageNumber++));
        return name;
    }
    void insertNewPage() {
        newPageFlag = true;
        log.writeLogMarker("NEW PAGE");
    }
    std::string transcript() {
        log.closeLog();
        return readFile(dir_.file("PLOTTER.TXT"));
    }

    FakeLink link;
    LogFile log;
    InstructionReader reader{link, log};
    Drawing drawing;
    Interpreter interpreter{reader, drawing, link, log, nullptr};
    std::unique_ptr<PageFont> font = loadFont("Courier New", 12);
    std::unique_ptr<PageImage> page = createPageImage(800, 600, 24);

  private:
    const TempDir& dir_;
    bool newPageFlag = true;
    int pageNumber = 1;
};

// A stream with everything that draws: pens, lines, rotated labels, cell
// moves, and the quirks (CR LF, unknown instructions, a query).
const std::string mixedPlot =
    "IN;SP2;PU100,100;PD300,100,300,300,100,100;\r\nSP4;PA50,400;OI;"
    "SP1;PU320,240;DI0,1;LBRotated ****XY*** text\x03;DI;CP-3,2;LBCell\x03;"
    "SP3;PD600,20;XX1,2;PA1,1;SP8;PU620,460;PD20,460;";

TEST(RenderProgram, DrawsAPlainFileAsTheCoreDoes) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files = {{"mixed.hpgl", mixedPlot}};
    const std::string corpusFile =
        std::string(PLOTANIX_CORPUS_DIR) + "/hpgl-coding-test__space-COLUMBIA.plt";
    if (std::filesystem::exists(corpusFile)) files.emplace_back("corpus.plt", readFile(corpusFile));
    for (const auto& [name, bytes] : files) {
        writeFile(dir.file(name), bytes);
        Session session(dir);
        // The line's chunking does not change the picture.
        for (size_t at = 0; at < bytes.size(); at += 37)
            session.link.add(bytes.substr(at, 37));
        session.run({});
        ASSERT_TRUE(hasInk(*session.page)) << name;
        const std::string expected = session.save();

        const Outcome outcome = runRender(dir, {dir.file(name)});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        const std::string output = dir.file(name.substr(0, name.find('.')) + ".png");
        EXPECT_TRUE(readFile(output) == readFile(expected)) << name;
        EXPECT_NE(outcome.err.find(std::to_string(session.interpreter.instructionCount) +
                                   " instructions, " +
                                   std::to_string(session.interpreter.ignoredCount) +
                                   " ignored, 1 page written\n"),
                  std::string::npos)
            << outcome.err;
    }
}

TEST(RenderProgram, RegeneratesTheSavedPagesOfASession) {
    TempDir dir;
    Session session(dir);
    std::vector<std::string> saved;
    session.run({"IN;SP2;PA100,100;PD200,100,", "200,200;\r\nPU;LBHI\x03;", "XX1,2;PD9,9;"});
    saved.push_back(session.save());
    saved.push_back(session.save()); // saved twice: the same picture
    // A run starts with the pen down at (0,0), in black.
    session.run({"PD400,300;SP4;PA", "500,300;SC0,1;LB****SC*** stars\x03;"});
    session.insertNewPage();
    saved.push_back(session.save()); // the page is cleared only by the next run
    session.run({"PU10,10;PD600,400;\r\n", "PU50,50;", "\r\nPD60,450;"});
    session.insertNewPage();
    session.run({"SP3;PD", "600,0;"});
    saved.push_back(session.save());
    const std::string transcript = session.transcript();
    ASSERT_NE(transcript.find("****SC***"), std::string::npos);
    ASSERT_NE(transcript.find("****\r\n***"), std::string::npos);
    writeFile(dir.file("PLOTTER.TXT"), transcript);

    const Outcome outcome = runRender(dir, {dir.file("PLOTTER.TXT"), dir.file("out.png")});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("4 pages written"), std::string::npos) << outcome.err;
    for (size_t i = 0; i < saved.size(); ++i) {
        const std::string regenerated = dir.file("out-0000" + std::to_string(i + 1) + ".png");
        EXPECT_TRUE(readFile(regenerated) == readFile(saved[i])) << regenerated;
    }
    // Nothing was drawn after the last save: no unnumbered page.
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));

    // Bytes after the last save: the final page goes to OUTPUT as well.
    session.run({"SP2;PA", "700,500;"});
    const std::string finalPage = dir.file("final.png");
    ASSERT_EQ(savePng(*session.page, finalPage), 1);
    writeFile(dir.file("more.txt"), transcript + "SP2;PA700,500;");
    EXPECT_EQ(runRender(dir, {dir.file("more.txt")}).status, 0);
    EXPECT_TRUE(readFile(dir.file("more.png")) == readFile(finalPage));
    EXPECT_TRUE(readFile(dir.file("more-00004.png")) == readFile(saved[3]));
}

TEST(RenderProgram, ReadsStandardInputAndNamesPagesByTheirLastFiveDigits) {
    TempDir dir;
    writeFile(dir.file("in.txt"), "PA1,1;\r\n**** SAVE PAGE #123456 ****\r\n\r\n");
    const Outcome outcome = runRender(dir, {"-", dir.file("out")}, dir.file("in.txt"));
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(std::filesystem::exists(dir.file("out-23456")));
}

TEST(RenderProgram, ReportsErrorsWithDistinctStatus) {
    TempDir dir;
    // Missing input: one line naming it.
    Outcome outcome = runRender(dir, {dir.file("missing.hpgl")});
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.err, "plotanix-render: cannot read " + dir.file("missing.hpgl") +
                               ": No such file or directory\n");
    EXPECT_EQ(runRender(dir, {dir.path().string()}).status, 3); // a directory

    // Output into a missing directory: nothing is left behind.
    writeFile(dir.file("plot.hpgl"), "PA100,100;");
    outcome = runRender(dir, {dir.file("plot.hpgl"), dir.file("nowhere/plot.png")});
    EXPECT_EQ(outcome.status, 4);
    EXPECT_NE(outcome.err.find("cannot write " + dir.file("nowhere/plot.png")), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("plot.png")));
}

TEST(RenderProgram, RejectsBadArgumentsWithAUsageLine) {
    TempDir dir;
    writeFile(dir.file("picture.png"), "not to be overwritten");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--fast", "a.hpgl"},
        {"a.hpgl", "b.png", "c.png"},
        {"-"},                      // standard input needs an OUTPUT
        {"a.hpgl", "-"},            // no writing to standard output
        {dir.file("picture.png")}}; // would overwrite its own input
    for (const auto& args : bad) {
        const Outcome outcome = runRender(dir, args);
        EXPECT_EQ(outcome.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(outcome.err.find("usage: plotanix-render INPUT [OUTPUT]\n"), std::string::npos);
    }
    EXPECT_EQ(readFile(dir.file("picture.png")), "not to be overwritten");

    const Outcome help = runRender(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: plotanix-render INPUT [OUTPUT]\n", 0), 0u);
    EXPECT_EQ(help.err, "");
}

} // namespace
} // namespace plotanix
