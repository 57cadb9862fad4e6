// plotanix-render run as a whole program, compared with the plotter's core
// driven in process the way the plotter drives it.

#include "logfile/transcript_format.h"
#include "models/models.h"
#include "output/png_writer.h"
#include "session/page_store.h"
#include "shell/plot_assembly.h"
#include "support/costly_plot.h"
#include "support/fake_link.h"
#include "support/in_process_plot.h"
#include "support/png_file.h"
#include "support/process.h"
#include "support/real_streams.h"
#include "support/temp_dir.h"
#include "support/tmux_session.h"
#include "support/wait_until.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace plotanix {
namespace {

using namespace std::string_literals;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// plotanix-render run in dir with these shell words (which may go on to
// other commands), its input, output and errors redirected.
Outcome runRender(const TempDir& dir, const std::string& words,
                  const std::string& input = "/dev/null") {
    const std::string command = "cd " + testing::shellQuote(dir.path()) + " && (" +
                                testing::shellQuote(PLOTANIX_RENDER) + " " + words + ") <" + input +
                                " >stdout.txt 2>stderr.txt";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir.file("stdout.txt")),
            readFile(dir.file("stderr.txt"))};
}

std::string counted(size_t count, const std::string& what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
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

// The picture a model draws from these bytes in one run, then the end of
// the stream, as a PNG's pixels.
std::vector<uint8_t> drawnBy(PlotterModel model, const std::string& bytes, const TempDir& dir,
                             Paper paper = Paper::letter) {
    testing::FakeLink link;
    LogFile log;
    PlotSession session(link, log, nullptr, model, paper);
    EXPECT_TRUE(session.createPage());
    testing::runReads(session, {bytes});
    session.beginRun();
    session.endStream();
    session.endRun();
    EXPECT_TRUE(savePng(session.page(), dir.file("expected.png")));
    return testing::readPng(dir.file("expected.png")).rgb;
}

// The plotter's core as the program runs it: its pages saved through the
// page store, every command marked in the transcript.
struct Session : testing::InProcessPlot {
    explicit Session(const TempDir& dir) : store(dir.path().string(), log, pngWriter) {
        keepTranscript();
    }
    void run(const std::vector<std::string>& chunks) {
        for (const std::string& chunk : chunks)
            add(chunk);
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
    // The computer paused: the plot goes on from where the pen stood.
    session.run({"PD400,300;SP4;PA", "500,300;SC0,1;LB****SC*** stars\x03;"});
    session.session.newPage(); // the operator's "Insert new page"
    session.store.markNewPage();
    saved.push_back(session.save()); // the page is cleared only by the next run
    // Ended inside an unknown instruction (CR LF): after the new page, on
    // the plotter as in the replay of its marker, SP3 is carried out.
    session.run({"PU10,10;PD600,400;\r\n", "PU50,50;", "\r\nPD60,450;\r\n"});
    session.session.newPage();
    session.store.markNewPage();
    session.run({"SP3;PD", "600,0;"});
    saved.push_back(session.save());
    writeFile(dir.file("PLOTTER.TXT"), session.transcript());
    return saved;
}

TEST(RenderProgram, DrawsThePlottersPixelsAndWithPlotterBytesItsBytes) {
    TempDir dir;
    const std::string corpusFile = testing::corpusFile("hpgl-coding-test__space-COLUMBIA.plt");
    for (const std::string& bytes : {mixedPlot, readFile(testing::seedStream("hp86b-plot.hpgl")),
                                     corpusFile.empty() ? "" : readFile(corpusFile)}) {
        if (bytes.empty()) continue; // the corpus is an extra: its skip is said at the end
        writeFile(dir.file("plot.hpgl"), bytes);
        Session session(dir);
        session.feed(bytes, 37); // the line's chunking does not change the picture
        session.run({});
        ASSERT_GT(testing::inkedPixels(session.page()), 0);
        const std::string expected = session.save();
        Outcome outcome = runRender(dir, "--model hp86b plot.hpgl");
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(testing::readPng(dir.file("plot.png")).rgb, testing::readPng(expected).rgb);
        const std::string summary =
            "1 file, 1 page written, " + std::to_string(session.result.instructions) +
            " instructions (" + std::to_string(session.result.ignored) + " ignored), 0 failed, ";
        // The summary is the last line; a warning (a drawing running off
        // the page) may stand before it.
        EXPECT_NE(outcome.err.find(summary), std::string::npos) << outcome.err;
        outcome = runRender(dir, "--model hp86b --plotter-bytes -o exact.png -", "plot.hpgl");
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_TRUE(readFile(dir.file("exact.png")) == readFile(expected));
    }
    if (corpusFile.empty()) GTEST_SKIP() << "no corpus at " << testing::corpusDirectory();
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
    EXPECT_TRUE(fs::exists(dir.file("in-23456.png")));
    EXPECT_TRUE(fs::exists(dir.file("in.png")));
}

// Each model's transcript as the program writes it (the assembled session,
// PLOTTER.TXT kept when the next one begins) is drawn again by a plain call
// with the model that made it: its saved page, the drawing after it, and a
// kept transcript with no page marker at all. The HP-86B's names no model.
TEST(RenderProgram, TranscriptsOfEachModelRenderBackToTheirPages) {
    const std::tuple<PlotterModel, std::string, std::string> cases[] = {
        // model, what is saved, what is drawn after it
        {PlotterModel::hp86b, "SP2;PA100,100;PD300,100,300,300;XX;\r\n", "SP4;PD50,500;"},
        {PlotterModel::hp7470a, "IN;SP1;PA1000,1000;PD5000,1000,5000,5000;XY1;",
         "SP2;PD9000,7000;LBab\x03;"},
        {PlotterModel::hpgl2, "IN;SP1;PA1000,1000;PD5000,1000;PM0;PD5000,5000;PM2;FP;",
         "SP2;PW1;PD9000,7000;"},
        // Raster data holding the records' own "****", and a record.
        {PlotterModel::pcl, "\x1b(s0P\x1b*r0A\x1b*b4W****\x1b*rB",
         "\x1b*r0A\x1b*b2W\x2a\x2a\x1b*rB\r\nAB"},
        {PlotterModel::escp,
         "\x1b*\x05\x02\x00\x2a\x2a\x1b"
         "3A\r\n"s,
         "\x1b*\x05\x01\x00\xFF"s},
    };
    for (const auto& [made, saved, after] : cases) {
        const PlotterModel model = made; // a lambda takes no structured binding
        const std::string name(modelName(model));
        TempDir dir;
        testing::FakeLink link;
        LogFile log;
        const std::string current = dir.file("PLOTTER.TXT");
        // One start of the program: a fresh plotter and a new transcript.
        auto plot = [&](const std::vector<std::string>& runs, bool save) {
            PlotAssembly plotting({model, Paper::letter, std::nullopt, dir.path().string()}, link,
                                  log);
            EXPECT_TRUE(log.openLog(current)) << name;
            EXPECT_TRUE(plotting.preparePage());
            for (const std::string& run : runs) {
                testing::runReads(plotting.session, {run});
                if (save) {
                    EXPECT_TRUE(plotting.store.savePage(plotting.session.page()).ok);
                }
                save = false;
            }
            EXPECT_TRUE(savePng(plotting.session.page(), dir.file("last.png")));
            log.closeLog();
            return testing::readPng(dir.file("last.png")).rgb;
        };
        const std::vector<uint8_t> drawnAfter = plot({saved, after}, true);
        std::vector<std::string> kept;
        const std::vector<uint8_t> drawnAlone = plot({after}, false);
        kept.push_back(log.keptAs());
        log.openLog(current); // keeps the second
        kept.push_back(log.keptAs());
        log.closeLog();
        EXPECT_EQ(readFile(current).empty(), model == PlotterModel::hp86b)
            << name << ": a fresh transcript holds only the model's line";
        const std::string firstKept = readFile(kept[0]);
        EXPECT_EQ(firstKept.starts_with(transcript::modelMarker(name)),
                  model != PlotterModel::hp86b)
            << name;
        EXPECT_EQ(firstKept.starts_with(saved), model == PlotterModel::hp86b) << name;
        Outcome outcome =
            runRender(dir, "--plotter-bytes -v " + testing::shellQuote(kept[0]) + " -o one.png");
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.err.find(": drawn by " + name + " ("), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("; drawn by " + name + "\n"), std::string::npos) << outcome.err;
        EXPECT_TRUE(readFile(dir.file("one-00001.png")) == readFile(dir.file("PLOTTER_00001.PNG")))
            << name;
        EXPECT_EQ(testing::readPng(dir.file("one.png")).rgb, drawnAfter) << name;
        outcome = runRender(dir, testing::shellQuote(kept[1]) + " -o two.png");
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(testing::readPng(dir.file("two.png")).rgb, drawnAlone) << name;
    }
}

// HP-GL/2's PG ends a page: each one with something on it is written
// numbered, as a transcript's saved pages are, and holds only its own
// drawing; a PG with nothing drawn since the last makes no page, and a file
// of one page keeps the plain name. A transcript's pages are its markers'.
TEST(RenderProgram, PageAdvancesStartNewPages) {
    TempDir dir;
    const std::string first = "IN;SP1;PA1000,1000;PD5000,1000;";
    const std::string second = "SP2;PU2000,2000;PD6000,6000;";
    const std::string third = "SP3;PU500,5000;PD9000,500;";
    const std::tuple<std::string, std::vector<std::string>, std::vector<std::string>> cases[] = {
        // the file, the pages written, what each holds
        {first + "PG;" + second + "PG;", {"in-00001.png", "in-00002.png"}, {first, second}},
        {"PG;" + first + "PG;PG;" + second + "PG1;" + third,
         {"in-00001.png", "in-00002.png", "in-00003.png"},
         {first, second, third}},
        {first + "PG;", {"in.png"}, {first}},
        {"PG;" + first, {"in.png"}, {first}},
        {"PG;PG;", {"in.png"}, {""}},
    };
    for (const auto& [bytes, pages, drawn] : cases) {
        fs::create_directory(dir.file("case"));
        writeFile(dir.file("case/in.plt"), bytes);
        const Outcome outcome = runRender(dir, "-o case/in.png case/in.plt");
        EXPECT_EQ(outcome.status, 0) << bytes;
        EXPECT_NE(outcome.err.find(counted(pages.size(), "page") + " written"), std::string::npos)
            << bytes << outcome.err;
        for (size_t i = 0; i < pages.size(); ++i) {
            EXPECT_EQ(testing::readPng(dir.file("case/" + pages[i])).rgb,
                      drawnBy(PlotterModel::hpgl2, "IN;" + drawn[i], dir))
                << bytes << " " << pages[i];
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("case")), {}),
                  static_cast<long>(pages.size()) + 1)
            << bytes;
        fs::remove_all(dir.file("case"));
    }
    // In a transcript the plotter's own saves make the pages, PG none.
    writeFile(dir.file("t.txt"), transcript::modelMarker("hpgl2") + first + "PG;" + second +
                                     transcript::savePageMarker(1));
    EXPECT_EQ(runRender(dir, "t.txt").status, 0);
    EXPECT_EQ(testing::readPng(dir.file("t-00001.png")).rgb,
              drawnBy(PlotterModel::hpgl2, first + "PG;" + second, dir));
    EXPECT_FALSE(fs::exists(dir.file("t.png")));
}

// A PDF holds all the pages of its input, each on its own sheet; a single
// page keeps the name it has in every format.
TEST(RenderProgram, APdfHoldsAllThePagesOfItsInput) {
    TempDir dir;
    const std::string saved = "SP1;PA10,10;PD20,20;" + transcript::savePageMarker(1);
    writeFile(dir.file("two.txt"), saved + "PD30,30;" + transcript::savePageMarker(2));
    writeFile(dir.file("one.txt"), saved);
    writeFile(dir.file("three.plt"), "IN;SP1;PD9,9;PG;PD99,99;PG;PD999,999;");
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        // words, the file written, its pages, the file not written
        {"two.txt -o all.pdf", "all.pdf", "2", "all-00001.pdf"},
        {"two.txt -o - --format pdf >piped.pdf", "piped.pdf", "2", ""},
        {"one.txt -o one.pdf", "one-00001.pdf", "1", "one.pdf"},
        {"three.plt --format pdf", "three.pdf", "3", "three-00001.pdf"},
    };
    for (const auto& [words, file, pages, absent] : cases) {
        const Outcome outcome =
            runRender(dir, words + " && pdfinfo " + file + " | sed -n 's/^Pages: *//p'");
        EXPECT_EQ(outcome.status, 0) << words << outcome.err;
        EXPECT_EQ(outcome.out, pages + "\n") << words;
        if (!absent.empty()) {
            EXPECT_FALSE(fs::exists(dir.file(absent))) << words;
        }
    }
}

// A transcript (its markers, its records, or its name alone) is drawn as
// the HP-86B that made it, a file written for HP-GL/2 (its instructions or
// a PCL job around it) as an HP-GL/2 device, a print as the printer it was
// sent to, any other file as a 7470A, unless --model says. Each file draws
// differently by each model.
TEST(RenderProgram, ChoosesTheModelByWhatTheInputIs) {
    TempDir dir;
    // The HP-86B's pen starts down; pen 2 is red in HP-GL/2's palette.
    const std::string lines = "SP2;PA100,100;PD300,100;";
    const std::string saved = lines + transcript::savePageMarker(1);
    // Polygon mode keeps the lines for the fill; the 7470A draws them.
    const std::string filled = "IN;SP1;PA1000,1000;PM0;PD3000,1000,3000,3000;PM2;FP;";
    // The PCL between the HP-GL/2 is passed over; the 7470A draws it.
    const std::string wrapped = "\x1b"
                                "E\x1b%-1BIN;SP1;PA1000,1000;PD3000,3000;\x1b%0A"
                                "PD9000,7000;\x1b*b3W1,2\x1b%1BPD5000,1000;\x1b"
                                "E";
    const std::string job = "\x1b%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = HPGL2\r\n"
                            "IN;PA0,0;RR2000,2000;\x1b%-12345X";
    // A print begins as PCL (each of its beginnings) or sends Epson bit images.
    const std::string raster = "\x1b*r0A\x1b*b2W\xF0\x0F\x1b*b2W\x0F\xF0\x1b*rB";
    const std::string epson = "SCOPE\r\n\x1b*\x05\x03\x00\xFF\x81\xFF\r\n"s;
    const std::tuple<std::string, std::string, std::string, std::string, PlotterModel> cases[] = {
        // input, its bytes, words, the page written, the model that drew it
        {"reset.prn",
         "\x1b"
         "E" +
             raster + "\f",
         "", "reset.png", PlotterModel::pcl},
        {"raster.prn", raster, "", "raster.png", PlotterModel::pcl},
        {"moved.prn", "\x1b&a0V" + raster, "", "moved.png", PlotterModel::pcl},
        {"exit.prn", "\x1b%-12345X@PJL ENTER LANGUAGE=PCL\r\n" + raster, "", "exit.png",
         PlotterModel::pcl},
        {"epson.prn", epson, "", "epson.png", PlotterModel::escp},
        {"epson.prn", epson, "--model pcl", "epson.png", PlotterModel::pcl},
        {"plot.hpgl", lines, "", "plot.png", PlotterModel::hp7470a},
        {"saved.txt", saved, "", "saved-00001.png", PlotterModel::hp86b},
        {"records.txt", lines + "XX;" + transcript::unknownRecord("XX"), "", "records.png",
         PlotterModel::hp86b},
        {"PLOTTER.TXT", lines, "", "PLOTTER.png", PlotterModel::hp86b},
        {"plotter.txt", lines, "", "plotter.png", PlotterModel::hp86b},
        {"forced.hpgl", lines, "--model hp86b", "forced.png", PlotterModel::hp86b},
        {"saved.txt", saved, "--model 7470a", "saved-00001.png", PlotterModel::hp7470a},
        {"filled.plt", filled, "", "filled.png", PlotterModel::hpgl2},
        {"wrapped.prn", wrapped, "", "wrapped.png", PlotterModel::hpgl2},
        {"job.prn", job, "", "job.png", PlotterModel::hpgl2},
        {"filled.plt", filled, "--model 7470a", "filled.png", PlotterModel::hp7470a},
        {"plot.hpgl", lines, "--model hpgl2", "plot.png", PlotterModel::hpgl2},
    };
    for (const auto& [input, bytes, words, page, model] : cases) {
        fs::create_directory(dir.file("case"));
        writeFile(dir.file("case/" + input), bytes);
        EXPECT_EQ(runRender(dir, words + " case/" + input).status, 0) << input;
        const std::string drawn = bytes == saved ? lines : bytes;
        const std::vector<uint8_t> picture = testing::readPng(dir.file("case/" + page)).rgb;
        EXPECT_EQ(picture, drawnBy(model, drawn, dir)) << words << " " << input;
        for (const ModelName& other : modelNames) {
            if (other.value != model) {
                EXPECT_NE(picture, drawnBy(other.value, drawn, dir)) << words << " " << input;
            }
        }
        fs::remove_all(dir.file("case"));
    }
}

// A printed page is dots: its SVG and PDF hold them at their true size, one
// document for a file of several pages; an enlarged PNG fails in one line,
// leaving no file.
TEST(RenderProgram, APrintedPageIsCopiedAsItsDots) {
    TempDir dir;
    const std::string page = "\x1b*r0A\x1b*b1W\xF0\x1b*rB";
    writeFile(dir.file("print.prn"), page);
    writeFile(dir.file("two.prn"), page + "\f" + page + "\f");
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"print.prn -o print.svg", "print.svg", "xmllint --noout print.svg"},
        {"print.prn -o print.pdf", "print.pdf", "pdfinfo print.pdf | grep -q '^Pages: *1$'"},
        {"two.prn -o two.pdf", "two.pdf", "pdfinfo two.pdf | grep -q '^Pages: *2$'"},
    };
    for (const auto& [words, file, check] : cases) {
        EXPECT_EQ(runRender(dir, words).status, 0) << words;
        EXPECT_EQ(std::system(("cd " + dir.path().string() + " && " + check).c_str()), 0) << words;
    }
    const Outcome enlarged = runRender(dir, "print.prn --scale 2 -o big.png");
    EXPECT_EQ(enlarged.status, 4);
    EXPECT_NE(enlarged.err.find(": a printed page is dots at its printer's resolution: it is "
                                "not enlarged (leave out --scale)"),
              std::string::npos)
        << enlarged.err;
    EXPECT_FALSE(fs::exists(dir.file("big.png")));
}

// -o's extension names the format; a device, FIFO or standard output is
// written into as it stands and never replaced.
TEST(RenderProgram, OutputsFollowTheirNameAndKeepWhatIsNoFile) {
    TempDir dir;
    writeFile(dir.file("plot.hpgl"), mixedPlot);
    const std::string png = "\x89PNG", svg = "<?xml", pdf = "%PDF";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        // words, exit status, the file written, how it starts
        {"-o out.svg", 0, "out.svg", svg},
        {"-o out.PDF", 0, "out.PDF", pdf},
        {"-o out", 0, "out", png},
        {"--format svg -o out.svg", 0, "out.svg", svg},
        {"-o -", 0, "stdout.txt", png},
        {"--format pdf -o -", 0, "stdout.txt", pdf},
        {"--format svg -o out.pdf", 2, "out.pdf", ""},
        {"-o out.jpg", 2, "out.jpg", ""},
    };
    for (const auto& [words, status, file, start] : cases) {
        fs::remove(dir.file(file));
        EXPECT_EQ(runRender(dir, words + " plot.hpgl").status, status) << words;
        EXPECT_EQ(readFile(dir.file(file)).substr(0, start.size()), start) << words;
    }
    // Standard output takes one page: a transcript with two gets nothing.
    writeFile(dir.file("two.txt"),
              "PD1,1;" + transcript::savePageMarker(1) + "PD2,2;" + transcript::savePageMarker(2));
    EXPECT_EQ(runRender(dir, "-o - two.txt").status, 4);
    EXPECT_EQ(readFile(dir.file("stdout.txt")), "");
    // A FIFO with a reader, and a link to a device.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", dir.file("null"));
    EXPECT_EQ(runRender(dir, "-o fifo plot.hpgl & cat fifo >read.png; wait $!").status, 0);
    EXPECT_EQ(readFile(dir.file("read.png")).substr(0, 4), png);
    EXPECT_EQ(runRender(dir, "-o null plot.hpgl").status, 0);
    EXPECT_TRUE(fs::is_fifo(dir.file("fifo")));
    EXPECT_TRUE(fs::is_symlink(dir.file("null")));
    EXPECT_TRUE(fs::is_character_file(dir.file("null")));
}

TEST(RenderProgram, APageWithNothingDrawnSaysWhy) {
    TempDir dir;
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // words, the input, why nothing shows
        {"", "", "the input is empty"},
        {"", "qqq, zzz", "no HP-GL instruction found"},
        {"--model 7470a", "BP;PW1;", "every instruction was one this model does not know"},
        {"", "IN;SP0;PD1000,1000;", "no pen was selected (SP0 or no SP) while drawing"},
        {"", "IN;SP1;PU1000,1000;", "the pen only moved up (PU), it never drew"},
        // A file's closing SP0 is no reason.
        {"", "IN;SP1;PA100,-3000;PD200,-3000;SP0;", "everything drawn lies off the paper"},
        {"--model hp86b", "PU;PA5000,5000;PD6000,6000;", "everything drawn lies off the paper"},
    };
    for (const auto& [words, bytes, why] : cases) {
        writeFile(dir.file("in.hpgl"), bytes);
        const Outcome outcome = runRender(dir, words + " in.hpgl");
        EXPECT_EQ(outcome.status, 0) << why;
        EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n') + 1),
                  "plotanix-render: in.hpgl: nothing drawn: " + why + "\n");
        EXPECT_TRUE(fs::exists(dir.file("in.png"))) << why; // written all the same
    }
    writeFile(dir.file("in.hpgl"), "");
    EXPECT_EQ(runRender(dir, "--strict in.hpgl").status, 5);
    const Outcome quiet = runRender(dir, "-q in.hpgl");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
    writeFile(dir.file("in.txt"), "PU;" + transcript::savePageMarker(7));
    EXPECT_EQ(runRender(dir, "in.txt").err.substr(0, 45),
              "plotanix-render: in.txt, page 7: nothing draw");
}

// The inked pixels' bounds: left, top, right, bottom. Any pixel but white
// is ink, or with darkOnly only the dark ones (a printer's smoothed edges).
std::array<int, 4> inkedBounds(const testing::DecodedPng& png, bool darkOnly = false) {
    std::array<int, 4> bounds{INT32_MAX, INT32_MAX, -1, -1};
    for (uint32_t y = 0; y < png.height; ++y)
        for (uint32_t x = 0; x < png.width; ++x)
            if (darkOnly ? (png.pixel(x, y) & 0xFF) < 0x80
                         : (png.pixel(x, y) & 0xFFFFFF) != 0xFFFFFF) {
                bounds = {std::min<int>(bounds[0], x), std::min<int>(bounds[1], y),
                          std::max<int>(bounds[2], x), std::max<int>(bounds[3], y)};
            }
    return bounds;
}

// The SVG and PDF of the 7470A and HP-GL/2 models are their paper, the
// drawing where the plotter puts it: a 10000-unit line along the plotting
// area's foot is 250 mm long. HP-GL/2's PS makes the page the sheet.
TEST(RenderProgram, VectorPagesAreThePaperAtTrueSize) {
    TempDir dir;
    writeFile(dir.file("line.hpgl"), "IN;SP1;PU0,0;PD10000,0;");
    // PS sets an A2 sheet (594 x 420 mm); the PCL job ends with the
    // printer's reset, which leaves the page drawn as it was.
    writeFile(dir.file("sized.plt"), "\x1b%-1BBPINPS16800,23760;SP1;PU1000,1000;PD11000,1000;"
                                     "\x1b%0A\x1b"
                                     "E");
    const std::tuple<std::string, std::string, std::string> boxes[] = {
        {"--model hp86b --format svg line.hpgl", "line.svg", "width=\"800\" height=\"600\""},
        {"--model hp86b --format pdf line.hpgl", "line.pdf", "/MediaBox [0 0 800 600]"},
        {"--format svg line.hpgl", "line.svg", "width=\"279.4mm\" height=\"215.9mm\""},
        {"--paper a4 --format svg line.hpgl", "line.svg", "width=\"297mm\" height=\"210mm\""},
        {"--format pdf line.hpgl", "line.pdf", "/MediaBox [0 0 792 612]"},
        {"--paper a4 --format pdf line.hpgl", "line.pdf", "/MediaBox [0 0 841.89 595.276]"},
        {"--model hpgl2 --paper a4 --format svg line.hpgl", "line.svg",
         "width=\"297mm\" height=\"210mm\""},
        {"--format svg sized.plt", "sized.svg", "width=\"594mm\" height=\"420mm\""},
        {"--paper a4 --format pdf sized.plt", "sized.pdf", "/MediaBox [0 0 1683.78 1190.551]"},
    };
    for (const auto& [words, file, box] : boxes) {
        EXPECT_EQ(runRender(dir, words).status, 0) << words;
        EXPECT_NE(readFile(dir.file(file)).find(box), std::string::npos) << words;
    }
    // Printed at 72 dots an inch, a dot is a point: the plotting area is
    // centred on the sheet, 31 points from a letter's left edge. On the PS
    // sheet the line runs from 25 mm to 275 mm, 25 mm above the foot (to
    // the picture's 0.74 mm pixel).
    const std::tuple<std::string, int, int, int> places[] = {
        // words, first and last column, row
        {"line.hpgl", 31, 739, 577},
        {"--paper a4 line.hpgl", 34, 743, 568},
        {"--model hpgl2 line.hpgl", 31, 739, 577},
        {"sized.plt", 71, 778, 1119},
    };
    for (const auto& [words, first, last, row] : places) {
        ASSERT_EQ(runRender(dir, words + " -o printed.pdf && pdftoppm -r 72 -png "
                                         "-singlefile printed.pdf printed")
                      .status,
                  0);
        const auto [left, top, right, bottom] =
            inkedBounds(testing::readPng(dir.file("printed.png")), true);
        EXPECT_NEAR(left, first, 1) << words;
        EXPECT_NEAR(right, last, 1) << words;
        EXPECT_NEAR(top, row, 1) << words;
        EXPECT_NEAR(bottom, row, 1) << words;
    }
    EXPECT_EQ(runRender(dir, "--scale 4 line.hpgl -o 4.png").status, 0); // PNGs keep the picture
    const testing::DecodedPng big = testing::readPng(dir.file("4.png"));
    EXPECT_EQ(std::make_pair(big.width, big.height), std::make_pair(3200u, 2400u));
}

// An enlarged copy too costly to draw again from the list is the page's
// pixels enlarged, each page of the input so, and told once for the input.
TEST(RenderProgram, ACostlyEnlargedCopyIsThePagesPixelsToldOnce) {
    TempDir dir;
    std::string teeth = "SP1;PA100,300;PM0;PD";
    for (int i = 0; i < 30000; ++i)
        teeth += std::to_string(100 + i / 3) + (i % 2 ? ",300," : ",7300,");
    teeth += "100,300;PM2;EP;";
    writeFile(dir.file("lines.plt"), "IN;" + teeth + "PG;" + teeth);
    writeFile(dir.file("square.plt"), "IN;SP1;PA1000,1000;PD2000,1000,2000,2000;");
    const std::string note = "the enlarged copy was made from the page's pixels: drawing it anew "
                             "would have cost too much";
    const std::tuple<std::string, size_t> cases[] = {
        {"--scale 4 lines.plt -o big.png", 1},
        {"--fit --scale 2 lines.plt -o big.png", 1},
        {"-q --scale 4 lines.plt -o big.png", 0},
        {"--scale 4 square.plt -o big.png", 0},
    };
    for (const auto& [words, times] : cases) {
        const Outcome outcome = runRender(dir, words);
        EXPECT_EQ(outcome.status, 0) << words << outcome.err;
        const size_t at = outcome.err.find("lines.plt: " + note);
        EXPECT_EQ(at != std::string::npos, times == 1) << words << outcome.err;
        const size_t after = at == std::string::npos ? 0 : at + note.size();
        EXPECT_EQ(outcome.err.find(note, after + 1), std::string::npos) << words << outcome.err;
    }
    // Both pages, each its page at the scale, pixel for pixel.
    ASSERT_EQ(runRender(dir, "--scale 4 lines.plt -o big.png").status, 0);
    ASSERT_EQ(runRender(dir, "lines.plt -o small.png").status, 0);
    for (const std::string page : {"-00001.png", "-00002.png"}) {
        const testing::DecodedPng big = testing::readPng(dir.file("big" + page));
        const testing::DecodedPng small = testing::readPng(dir.file("small" + page));
        ASSERT_EQ(std::make_pair(big.width, big.height), std::make_pair(3200u, 2400u)) << page;
        ASSERT_EQ(small.width, 800u) << page;
        size_t differing = 0;
        for (uint32_t y = 0; y < big.height; ++y) {
            for (uint32_t x = 0; x < big.width; ++x)
                differing += big.pixel(x, y) != small.pixel(x / 4, y / 4);
        }
        EXPECT_EQ(differing, 0u) << page;
    }
}

// --fit scales each page's drawing to touch two sides of the picture and
// centres it on the other axis, all of it, wherever it lies; without it, a
// drawing that runs off the page (or off the plotter's paper, which cuts
// it) or sits in a corner of it is told, with the remedy.
TEST(RenderProgram, FitScalesAndCentresEachPage) {
    TempDir dir;
    // A triangle of 200 x 100 units in a corner of the 7470A's page.
    writeFile(dir.file("tiny.hpgl"), "IN;SP1;PA100,100;PD300,100,300,200,100,100;");
    // The HP-86B's pen starts down at (0,0): (80,540) to (-120,440), (380,440), (380,-360).
    writeFile(dir.file("off.hpgl"), "SP1;PA-200,100;PD300,100,300,900;");
    // A level line, then a square's diagonal, on pages of their own.
    writeFile(dir.file("pages.plt"), "IN;SP1;PA1000,1000;PD5000,1000;PG;PU2000,2000;PD6000,6000;");
    // Three lines of a label, the last two below the paper.
    writeFile(dir.file("label.hpgl"), "IN;SP1;PA100,100;SI1,1.5;LBABC\r\nDEF\r\nGHI\x03;SP0;");
    // Triangles twice as wide as high beyond each edge of the paper (10300
    // x 7650), and one six times the paper's width.
    const std::pair<std::string, std::array<int, 4>> beyond[] = {
        {"left", {-2000, 1000, 2000, 3000}},
        {"right", {8000, 1000, 12000, 3000}},
        {"bottom", {1000, -1000, 5000, 1000}},
        {"top", {1000, 7000, 5000, 9000}},
        {"huge", {-30000, -15000, 30000, 15000}}};
    for (const auto& [name, c] : beyond) {
        const std::string x1 = std::to_string(c[0]), y1 = std::to_string(c[1]),
                          x2 = std::to_string(c[2]), y2 = std::to_string(c[3]);
        writeFile(dir.file(name + ".hpgl"), "IN;SP1;PA" + x1 + "," + y1 + ";PD" + x2 + "," + y1 +
                                                "," + x2 + "," + y2 + "," + x1 + "," + y1 + ";");
    }
    const std::string offPage = "runs off the page; --fit scales it onto the page";
    const std::tuple<std::string, std::string, std::array<int, 4>, std::string> cases[] = {
        // words, the page, its inked bounds, the warning without --fit
        {"tiny.hpgl",
         "tiny.png",
         {0, 100, 799, 499},
         "covers under 1% of the page; --fit scales it up"},
        {"--model hp86b off.hpgl", "off.png", {233, 0, 566, 599}, offPage},
        {"pages.plt", "pages-00001.png", {0, 299, 799, 299}, ""},
        {"pages.plt", "pages-00002.png", {100, 0, 699, 599}, ""},
        {"left.hpgl", "left.png", {0, 100, 799, 499}, offPage},
        {"right.hpgl", "right.png", {0, 100, 799, 499}, offPage},
        {"bottom.hpgl", "bottom.png", {0, 100, 799, 499}, offPage},
        {"top.hpgl", "top.png", {0, 100, 799, 499}, offPage},
        {"huge.hpgl", "huge.png", {0, 100, 799, 499}, offPage},
        {"--model hpgl2 left.hpgl", "left.png", {0, 100, 799, 499}, offPage},
        {"--model hpgl2 huge.hpgl", "huge.png", {0, 100, 799, 499}, offPage},
        {"label.hpgl", "label.png", {240, 0, 559, 599}, offPage},
        {"--model hpgl2 label.hpgl", "label.png", {240, 0, 559, 599}, offPage},
    };
    for (const auto& [words, page, bounds, warning] : cases) {
        Outcome outcome = runRender(dir, "--fit " + words);
        EXPECT_EQ(outcome.status, 0) << words;
        EXPECT_EQ(outcome.err.find(": the drawing"), std::string::npos) << outcome.err;
        const std::array<int, 4> inked = inkedBounds(testing::readPng(dir.file(page)));
        for (size_t side = 0; side < 4; ++side)
            EXPECT_NEAR(inked[side], bounds[side], 1) << words << " " << page << " side " << side;
        outcome = runRender(dir, words);
        const std::string told = ": the drawing " + warning + "\n";
        EXPECT_EQ(outcome.err.find(told) != std::string::npos, !warning.empty())
            << words << outcome.err;
    }
    // A transcript is drawn where the plotter drew it.
    writeFile(dir.file("t.txt"), "SP1;PA10,10;PD20,20;" + transcript::savePageMarker(1));
    EXPECT_EQ(runRender(dir, "--fit t.txt").status, 0);
    EXPECT_EQ(testing::readPng(dir.file("t-00001.png")).rgb,
              drawnBy(PlotterModel::hp86b, "SP1;PA10,10;PD20,20;", dir));
}

// A page PG ends with nothing of its drawing on the paper is dropped, and
// told: named by the page written before it, with why nothing shows.
TEST(RenderProgram, APageDroppedAtPGIsTold) {
    TempDir dir;
    const std::string offPaper = "PU100,-3000;PD200,-3000;PU;PG;";
    const std::tuple<std::string, int, std::string> cases[] = {
        // the input, the pages written, the line said
        {"IN;SP1;PA100,100;PD200,200;PU;PG;" + offPaper + "PU100,100;PD300,300;PG;", 2,
         "a page after page 1 dropped: everything drawn lies off the paper"},
        {"IN;SP0;PA100,100;PD1000,1000;PG;SP1;PD2000,2000;", 1,
         "the first page dropped: no pen was selected (SP0 or no SP) while drawing"},
    };
    for (const auto& [bytes, pages, said] : cases) {
        writeFile(dir.file("in.plt"), bytes);
        const Outcome outcome = runRender(dir, "--model hpgl2 in.plt");
        EXPECT_EQ(outcome.status, 0) << said;
        EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n') + 1),
                  "plotanix-render: in.plt: " + said + "\n");
        EXPECT_NE(outcome.err.find(std::to_string(pages) + " page"), std::string::npos)
            << outcome.err;
        EXPECT_EQ(runRender(dir, "--model hpgl2 --strict in.plt").status, 5) << said;
    }
    // A PG on blank paper is no page, and says nothing.
    writeFile(dir.file("in.plt"), "IN;PG;SP1;PD100,100;");
    EXPECT_EQ(runRender(dir, "--model hpgl2 -o in.png in.plt").err.find("dropped"),
              std::string::npos);
}

// The SVG of the 7470A and HP-GL/2 models keeps the plotter's coordinates:
// a line 3 units (a quarter of a pixel) off level is off level in the copy,
// its ends at 0.025 mm a unit from the plotting area's corner, where the
// picture of both lines is the same.
TEST(RenderProgram, VectorCopiesKeepThePlottersCoordinates) {
    TempDir dir;
    for (const std::string model : {"7470a", "hpgl2"}) {
        writeFile(dir.file("level.hpgl"), "IN;SP1;PU1000,1000;PD9000,1000;");
        writeFile(dir.file("sloped.hpgl"), "IN;SP1;PU1000,1000;PD9000,1003;");
        ASSERT_EQ(runRender(dir, "--model " + model + " level.hpgl sloped.hpgl -o .").status, 0);
        EXPECT_EQ(testing::readPng(dir.file("level.png")).rgb,
                  testing::readPng(dir.file("sloped.png")).rgb);
        ASSERT_EQ(runRender(dir, "--model " + model + " --format svg sloped.hpgl -o s.svg").status,
                  0);
        const std::string svg = readFile(dir.file("s.svg"));
        double x1 = 0, y1 = 0, x2 = 0, y2 = 0, a = 0, tx = 0, ty = 0;
        const size_t placed = svg.find("transform=\"matrix(");
        const size_t path = svg.find(" d=\"M", placed);
        ASSERT_NE(path, std::string::npos) << svg;
        ASSERT_EQ(std::sscanf(svg.c_str() + placed, "transform=\"matrix(%lf,0,0,%*f,%lf,%lf)\"", &a,
                              &tx, &ty),
                  3)
            << svg.substr(placed, 200);
        ASSERT_EQ(std::sscanf(svg.c_str() + path, " d=\"M%lf %lfL%lf %lf\"", &x1, &y1, &x2, &y2), 4)
            << svg.substr(path, 200);
        // Letter: the 257.5 x 191.25 mm area centred on the 279.4 x 215.9 mm sheet.
        const double left = (279.4 - 257.5) / 2, top = 215.9 - (215.9 - 191.25) / 2;
        EXPECT_NEAR(tx + a * x1, left + 25.0, 1e-3) << model;
        EXPECT_NEAR(tx + a * x2, left + 225.0, 1e-3) << model;
        EXPECT_NEAR(ty + a * y1, top - 25.0, 1e-3) << model;
        EXPECT_NEAR(ty + a * y2, top - 25.075, 1e-3) << model;
    }
}

// The project's streams and the real files beside it (when they are
// there), each drawn through the program by the model its bytes ask for:
// the HP-GL/2 ones (ezdxf's encoded polylines, fills and filled text, PCL
// jobs) by the HP-GL/2 model, with something on the page; the others by
// the 7470A's.
TEST(RenderProgram, RealFilesDrawAsTheModelTheyAskFor) {
    TempDir dir;
    int hpgl2Files = 0;
    for (const fs::path& file : testing::realStreamFiles()) {
        const std::string name = file.filename();
        const bool hpgl2 = name.starts_with("ezdxf__") || name.starts_with("HPGL2__") ||
                           name.starts_with("hpgl2-");
        hpgl2Files += hpgl2 ? 1 : 0;
        const std::string words = hpgl2 ? "--strict -o out.png " : "-q -o out.png ";
        EXPECT_EQ(runRender(dir, words + testing::shellQuote(file)).status, 0) << name;
        const PlotterModel model = hpgl2 ? PlotterModel::hpgl2 : PlotterModel::hp7470a;
        EXPECT_EQ(testing::readPng(dir.file("out.png")).rgb, drawnBy(model, readFile(file), dir))
            << name;
    }
    EXPECT_GE(hpgl2Files, 1) << "the project's PCL-wrapped stream";
}

// Workers keep their page, font and derived fonts from file to file: the
// labels in turning directions come before and after other files.
TEST(RenderProgram, ManyInputsInOneCallGiveThePagesOfOneCallEach) {
    TempDir dir;
    recordSession(dir);
    std::vector<std::string> inputs = {"PLOTTER.TXT"};
    for (const fs::path& file : testing::realStreamFiles()) {
        inputs.push_back(file);
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
    writeFile(dir.file("a.hpgl"), "IN;SP1;PD500,500;");
    writeFile(dir.file("b.hpgl"), "IN;SP2;PD900,500;");
    fs::create_directory(dir.file("folder"));
    // Unreadable inputs among good ones: a line each, the others written.
    const std::string named = "evil\x1b[2J\n.hpgl"; // never shown raw
    Outcome outcome = runRender(dir, "a.hpgl missing.hpgl folder /dev/zero " +
                                         testing::shellQuote(named) + " b.hpgl -j2");
    EXPECT_EQ(outcome.status, 3);
    for (const std::string line :
         {"cannot read missing.hpgl: No such file or directory",
          "cannot read folder: Is a directory", "cannot read /dev/zero: larger than 256 MB",
          "cannot read evil\\x1b[2J\\x0a.hpgl: No such file or directory",
          "6 files, 2 pages written, 6 instructions (0 ignored), 4 failed, "})
        EXPECT_NE(outcome.err.find(line), std::string::npos) << line;
    EXPECT_EQ(outcome.err.find('\x1b'), std::string::npos);
    EXPECT_TRUE(fs::exists(dir.file("a.png")));
    EXPECT_TRUE(fs::exists(dir.file("b.png")));
    // An output into a missing folder: nothing is left behind.
    outcome = runRender(dir, "a.hpgl -o nowhere/a.png");
    EXPECT_EQ(outcome.status, 4);
    EXPECT_NE(outcome.err.find("plotanix-render: cannot write nowhere/a.png"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
    EXPECT_EQ(runRender(dir, "a.hpgl -o folder").status, 0); // takes a single input's page too
    EXPECT_TRUE(fs::exists(dir.file("folder/a.png")));
    // The output folder gone while the first input waits: the rest are left.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    outcome = runRender(dir, "-j1 -o folder fifo a.hpgl b.hpgl & timeout 60 sh -c "
                             "'exec >fifo; rm -r folder; echo IN'; wait $!");
    EXPECT_EQ(outcome.status, 4);
    EXPECT_NE(outcome.err.find("folder is gone; stopping\n"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("stopped; 2 files not drawn\n"), std::string::npos);
    // Bad usage is refused before any work, in one line and the usage line.
    fs::remove(dir.file("a.png"));
    writeFile(dir.file("picture.png"), "not to be overwritten");
    fs::create_hard_link(dir.file("a.hpgl"), dir.file("linked.png"));
    writeFile(dir.file("t.txt"), "PD1,1;" + transcript::savePageMarker(1));
    writeFile(dir.file("t-00001.hpgl"), "PD1,1;");
    for (const std::string bad :
         {"a.hpgl b.hpgl -o nowhere", "", "--fast a.hpgl", "-j 0 a.hpgl", "-", "- a.hpgl -o .",
          "a.hpgl b.hpgl -o -", "--format svg --scale 2 a.hpgl", "--scale 9 a.hpgl", "picture.png",
          "a.hpgl -o ./a.hpgl", "a.hpgl -o \"$PWD/a.hpgl\"", "a.hpgl -o linked.png",
          "a.hpgl ./a.hpgl -o .", "a.hpgl -o nofolder/", "t.txt t-00001.hpgl -o .",
          "--format svg -o a.pdf a.hpgl", "a.hpgl -o a.jpg"}) {
        outcome = runRender(dir, bad);
        EXPECT_EQ(outcome.status, 2) << bad;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 2) << outcome.err;
        EXPECT_NE(outcome.err.find("\nusage: plotanix-render [OPTIONS] INPUT...\n"),
                  std::string::npos);
    }
    EXPECT_EQ(readFile(dir.file("picture.png")), "not to be overwritten");
    EXPECT_EQ(readFile(dir.file("a.hpgl")), "IN;SP1;PD500,500;");
    EXPECT_FALSE(fs::exists(dir.file("a.png")));
    const Outcome help = runRender(dir, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status: 0"), std::string::npos);
    EXPECT_EQ(runRender(dir, "-V").out, std::string(PLOTANIX_VERSION) + "\n");
}

// In that state (S asleep, in a read say; R running) with its handler for
// the signal in place.
bool inStateCatching(pid_t pid, char state, int signalNumber) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    bool inState = false, catching = false;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("State:")) inState = line.find(state) != std::string::npos;
        if (line.starts_with("SigCgt:"))
            catching = (std::stoull(line.substr(7), nullptr, 16) >> (signalNumber - 1)) & 1;
    }
    return inState && catching;
}

// plotanix-render in dir, its standard error into errors.
pid_t startRender(const TempDir& dir, const std::string& errors,
                  const std::vector<std::string>& arguments) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || ::dup2(err, STDERR_FILENO) < 0 || ::chdir(dir.path().c_str()) != 0) ::_exit(127);
    std::vector<char*> argv = {const_cast<char*>("plotanix-render")};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(PLOTANIX_RENDER, argv.data());
    ::_exit(127);
}

// Signalled when its state is that (S asleep, R running), its handler in
// place; ended at once (the signal did nothing) when it never is. Its exit
// status.
int signalledWhen(pid_t pid, char state) {
    const bool ready = testing::waitUntil([&] { return inStateCatching(pid, state, SIGTERM); });
    EXPECT_TRUE(ready);
    ::kill(pid, ready ? SIGTERM : SIGKILL);
    // A wait or a drawing the signal did not cut would go on for long.
    EXPECT_TRUE(testing::waitUntil([&] { return testing::processEnded(pid); }));
    ::kill(pid, SIGKILL); // a zombie takes no harm
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// kill (or Ctrl+C) while an input waits on a pipe, or while the model has
// long work ahead in it: that input fails at once and is left unwritten,
// those not begun are left, and no page is written.
TEST(RenderProgram, ASignalEndsTheInputAtHandAndLeavesTheRest) {
    TempDir dir;
    for (const char* name : {"a.hpgl", "b.hpgl"})
        writeFile(dir.file(name), "IN;SP1;PD500,500;");
    writeFile(dir.file("costly.hpgl"), testing::costlyHatches(200)); // seconds of work
    ASSERT_EQ(::mkfifo(dir.file("held").c_str(), 0600), 0);
    // A writer that never writes: the renderer's read waits.
    const int writer = ::open(dir.file("held").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const struct {
        const char* input;
        char state;
        const char* said;
    } cases[] = {{"held", 'S',
                  "plotanix-render: cannot read held: Interrupted system call\n"
                  "plotanix-render: stopped; 2 files not drawn\n"},
                 {"costly.hpgl", 'R', "plotanix-render: stopped; 3 files not drawn\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        fs::remove_all(dir.file("out"));
        fs::create_directory(dir.file("out"));
        const std::string errors = dir.file("stderr.txt");
        const pid_t pid =
            startRender(dir, errors, {"-j1", "-o", "out", c.input, "a.hpgl", "b.hpgl"});
        ASSERT_GT(pid, 0);
        EXPECT_EQ(signalledWhen(pid, c.state), 128 + SIGTERM);
        const std::string err = readFile(errors);
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        EXPECT_TRUE(fs::is_empty(dir.file("out")));
    }
    ::close(writer);
}

} // namespace
} // namespace plotanix
