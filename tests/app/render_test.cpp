// plotanix-render run as a whole program, compared with the plotter's core
// driven in process the way the plotter drives it.

#include "output/png_writer.h"
#include "session/page_store.h"
#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include "support/tmux_session.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace plotanix {
namespace {

using testing::InProcessPlot;
using testing::readFile;
using testing::shellQuote;
using testing::TempDir;
using testing::writeFile;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with stdin from a file and captures what it prints.
Outcome runRender(const TempDir& dir, const std::vector<std::string>& args,
                  const std::string& stdinPath = "/dev/null") {
    std::string command = shellQuote(PLOTANIX_RENDER);
    for (const std::string& arg : args)
        command += " " + shellQuote(arg);
    command += " <" + shellQuote(stdinPath) + " >" + shellQuote(dir.file("stdout.txt")) + " 2>" +
               shellQuote(dir.file("stderr.txt"));
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir.file("stdout.txt")),
            readFile(dir.file("stderr.txt"))};
}

// The plotter's core as the program runs it: the session, and its pages
// saved through the page store, every command marked in the transcript.
class Session : public InProcessPlot {
  public:
    explicit Session(const TempDir& dir)
        : store_(dir.path().string(), log, [](const PageImage& page, const std::string& path) {
              return savePng(page, path);
          }) {
        keepTranscript();
    }

    void run(const std::vector<std::string>& chunks) {
        for (const std::string& chunk : chunks)
            link.add(chunk);
        InProcessPlot::run();
    }
    std::string save() {
        const PageStore::Saved saved = store_.savePage(page());
        EXPECT_TRUE(saved.ok);
        return store_.pathOf(saved.name);
    }
    void insertNewPage() {
        session.newPage();
        store_.markNewPage();
    }

  private:
    PageStore store_;
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
        session.feed(bytes, 37); // the line's chunking does not change the picture
        session.run({});
        ASSERT_GT(testing::inkedPixels(session.page()), 0) << name;
        const std::string expected = session.save();

        const Outcome outcome = runRender(dir, {dir.file(name)});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        const std::string output = dir.file(name.substr(0, name.find('.')) + ".png");
        EXPECT_TRUE(readFile(output) == readFile(expected)) << name;
        EXPECT_NE(outcome.err.find(std::to_string(session.result.instructions) + " instructions, " +
                                   std::to_string(session.result.ignored) +
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
    ASSERT_TRUE(savePng(session.page(), finalPage));
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
