// plotanix --unattended as a service runs it: standard input /dev/null, no
// terminal, no display, a pseudo-terminal as the line, the journal in files.

#include "plotter_harness.h"
#include "support/adapter_on_usb.h"
#include "support/costly_plot.h"
#include "support/png_file.h"
#include "support/wait_until.h"
#include "support/x_display.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace plotanix::testing {
namespace {

TEST(Unattended, SavesEachPlotAfterTheGapAndThePlotInProgressWhenTerminated) {
    UnattendedPlotter plotanix;
    const TempDir& pages = plotanix.pages;
    writeFile(pages.file("PLOTTER.TXT"), "an earlier capture");
    ASSERT_TRUE(plotanix.start("--page-gap 1"));
    const std::vector<std::string> plots = {"SP1;PA100,100;PD700,500;",
                                            "SP2;PA100,500;PD700,100;LBunattended\x03;",
                                            "SP3;PA400,0;PD400,600;OI;"};
    for (int page = 1; page <= 2; ++page) {
        ASSERT_TRUE(plotanix.line.writeMaster(plots[page - 1]));
        ASSERT_TRUE(plotanix.saved(page)) << plotanix.journal();
    }
    // The third plot is cut short; the query's answer shows it has been read.
    ASSERT_TRUE(plotanix.line.writeMaster(plots[2]));
    EXPECT_EQ(plotanix.line.readMasterUntil("\r\n", 10s), "7470A\r\n");
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();

    std::string transcript;
    for (int page = 1; page <= 3; ++page) {
        const DecodedPng png = readPng(pages.file(savedPageName(page)));
        EXPECT_EQ(differingPixels(png, *expectedPage({plots[page - 1]})), 0) << page;
        transcript +=
            plots[page - 1] + marker("SAVE PAGE #" + std::to_string(page)) + marker("NEW PAGE");
    }
    EXPECT_EQ(readFile(pages.file("PLOTTER.TXT")), transcript);
    const std::vector<std::string> kept = keptTranscripts(pages.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0]), "an earlier capture");
    const std::string journal = plotanix.journal();
    EXPECT_NE(journal.find(" previous transcript kept: " + kept[0] + "\n"), std::string::npos)
        << journal;
    // The label of the second plot and the line of the third run past the
    // HP-86B's picture: said once for each page.
    size_t cut = 0;
    for (size_t at = 0;
         (at = journal.find(" the drawing runs off the paper", at)) != std::string::npos; ++at)
        ++cut;
    EXPECT_EQ(cut, 2u) << journal;
    const std::regex stamped(
        "(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d [a-z].*\n){11}");
    EXPECT_TRUE(std::regex_match(journal, stamped)) << journal;
    EXPECT_EQ(plotanix.errors(), "");
}

// What is planted under the transcript's name and is no file of its own
// (a FIFO, a device) is refused with its real reason, not a stale one.
TEST(Unattended, ATranscriptPlantedAsAFifoOrADeviceIsRefusedWithItsReason) {
    for (const auto& [type, reason] : {std::pair{S_IFIFO, "is a FIFO"}, {S_IFCHR, "is a device"}}) {
        UnattendedPlotter plotanix;
        const std::string transcript = plotanix.pages.file("PLOTTER.TXT");
        if (::mknod(transcript.c_str(), type | 0600, makedev(1, 3)) != 0)
            GTEST_SKIP() << "cannot make a node that " << reason << ": " << std::strerror(errno);
        ASSERT_TRUE(plotanix.start(""));
        EXPECT_TRUE(plotanix.said("cannot write the transcript: " + transcript + " " + reason))
            << plotanix.errors();
        plotanix.end();
    }
}

// Under systemd (its journal stream named by JOURNAL_STREAM) the journal
// stamps the lines itself: each carries its priority instead of a time.
TEST(Unattended, UnderSystemdEachJournalLineCarriesItsPriority) {
    UnattendedPlotter plotanix;
    writeFile(plotanix.out, "");
    // Both streams are the journal's, as under systemd: one file.
    std::filesystem::create_hard_link(plotanix.out, plotanix.err);
    struct stat journal {};
    ASSERT_EQ(::stat(plotanix.out.c_str(), &journal), 0);
    ASSERT_TRUE(plotanix.start("--page-gap 1", "JOURNAL_STREAM=" + std::to_string(journal.st_dev) +
                                                   ":" + std::to_string(journal.st_ino) +
                                                   " PLOTANIX_VECTOR=gif"));
    ASSERT_TRUE(plotanix.said("<6>started: ")) << plotanix.journal();
    ASSERT_TRUE(plotanix.line.writeMaster("OI;OS;"));
    EXPECT_EQ(plotanix.line.readMasterUntil("\r\n", 10s), "7470A\r\n");
    ASSERT_TRUE(plotanix.said("<6>nothing drawn: no line or label was asked for: no page saved\n"))
        << plotanix.journal();
    EXPECT_EQ(plotanix.end(), 0);
    const std::string lines = plotanix.journal();
    EXPECT_EQ(lines.rfind("<4>plotanix: PLOTANIX_VECTOR: ", 0), 0u) << lines;
    const std::regex prioritised("(<[346]>[a-zA-Z].*\n)+");
    EXPECT_TRUE(std::regex_match(lines, prioritised)) << lines;
}

// The journal says once a page that the paper cut the drawing, and why a
// blank page is blank.
TEST(Unattended, TheJournalSaysWhenThePaperCutTheDrawingAndWhyAPageIsBlank) {
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--model 7470a --page-gap 1"));
    ASSERT_TRUE(plotanix.line.writeMaster("IN;SP1;PU0,0;PD20000,15000;"));
    ASSERT_TRUE(plotanix.saved(1)) << plotanix.journal();
    ASSERT_TRUE(plotanix.line.writeMaster("IN;SP0;PA100,100;PD1000,1000;"));
    ASSERT_TRUE(plotanix.said("nothing drawn: no pen was selected (SP0 or no SP) while drawing: "
                              "no page saved\n"))
        << plotanix.journal();
    EXPECT_EQ(plotanix.end(), 0);
    const std::string journal = plotanix.journal();
    const std::string cut =
        "the drawing runs off the paper, which cut part of it (--fit fits it)\n";
    const size_t said = journal.find(cut);
    EXPECT_LT(said, journal.find("page saved: ")) << journal;
    EXPECT_EQ(journal.find(cut, said + 1), std::string::npos) << journal;
}

// With --fit the page whose drawing ran off the paper is saved whole,
// fitted onto the page: its far end reaches the picture's top right corner,
// and the journal says so.
TEST(Unattended, FitSavesADrawingThatRanOffThePaperWhole) {
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--model 7470a --page-gap 1 --fit --vector svg"));
    ASSERT_TRUE(plotanix.line.writeMaster("IN;SP1;PU0,0;PD20000,15000;"));
    ASSERT_TRUE(plotanix.saved(1)) << plotanix.journal();
    ASSERT_TRUE(plotanix.said("the drawing runs off the paper, which cut part of it; fitted onto "
                              "the page\n"))
        << plotanix.journal();
    EXPECT_EQ(plotanix.end(), 0);
    const testing::DecodedPng png = testing::readPng(plotanix.pages.file("PLOTTER_00001.PNG"));
    ASSERT_EQ(png.error, "");
    bool corner = false;
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 796; x < 800; ++x)
            corner = corner || png.pixel(x, y) != 0xFFFFFF;
    EXPECT_TRUE(corner) << "the far end, fitted";
    EXPECT_TRUE(std::filesystem::exists(plotanix.pages.file("PLOTTER_00001.SVG")));
}

// Terminated at a random moment of a long plot: every byte the computer
// wrote before the signal is in the transcript (after the page's markers
// for what the run had not read yet).
TEST(Unattended, ATerminationInTheMiddleOfALongPlotKeepsEveryByteWrittenBeforeIt) {
    std::string plot;
    for (int i = 0; plot.size() < 150000; ++i)
        plot += "PA" + std::to_string(i % 700) + "," + std::to_string(i % 500) + ";";
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (int round = 0; round < 2; ++round) {
        const size_t moment = std::uniform_int_distribution<size_t>(5000, 120000)(random);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", signal after " + std::to_string(moment) +
                     " bytes");
        UnattendedPlotter plotanix;
        ASSERT_TRUE(plotanix.start(""));
        // Its signals are taken from then on.
        ASSERT_TRUE(plotanix.said(" started: "));
        ASSERT_TRUE(plotanix.line.writeMaster(std::string_view(plot).substr(0, moment), 30s));
        EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
        std::string transcript = readFile(plotanix.pages.file("PLOTTER.TXT"));
        for (const std::string& line : {marker("SAVE PAGE #1"), marker("NEW PAGE")})
            if (const size_t at = transcript.find(line); at != std::string::npos)
                transcript.erase(at, line.size());
        EXPECT_EQ(transcript.size(), moment);
        EXPECT_TRUE(transcript == plot.substr(0, moment));
    }
}

// Terminated while the model has long work ahead (hatch fills at a new
// angle each, on a big polygon): the model draws for a moment only, the
// page is saved, the transcript has every byte, and the journal says how
// many bytes were not drawn.
TEST(Unattended, AnEndingDuringHeavyWorkSavesThePageAndSaysWhatWasNotDrawn) {
    const std::string plot = costlyHatches(200, "OI;");
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--model hpgl2"));
    ASSERT_TRUE(plotanix.said(" started: "));
    ASSERT_TRUE(plotanix.line.writeMaster(plot, 30s));
    // The reply: the first hatch is drawn, the others are still to come.
    ASSERT_EQ(plotanix.line.readMasterUntil("\r", 60s), "7470A\r") << plotanix.journal();
    // Drawing the rest would take seconds.
    EXPECT_EQ(statusAfterTerm(plotanix.pid, 20s), 0) << plotanix.errors();
    EXPECT_TRUE(std::filesystem::exists(plotanix.pages.file(savedPageName(1))));
    std::string transcript = readFile(plotanix.pages.file("PLOTTER.TXT"));
    for (const std::string& mark : {marker("SAVE PAGE #1"), marker("NEW PAGE")})
        if (const size_t at = transcript.find(mark); at != std::string::npos)
            transcript.erase(at, mark.size());
    EXPECT_TRUE(transcript.ends_with(plot)) << transcript.size() << " bytes";
    std::smatch said;
    const std::string journal = plotanix.journal();
    ASSERT_TRUE(std::regex_search(journal, said,
                                  std::regex(" (\\d+) bytes were left undrawn at the ending \\(the "
                                             "transcript has them\\): plotanix-render "
                                             "PLOTTER.TXT draws them whole\n")))
        << journal;
    EXPECT_GT(std::stoul(said[1]), 0u);
    EXPECT_LT(std::stoul(said[1]), plot.size());
}

// --model auto with a CAD program's HP-GL/2 saves the page --model hpgl2
// saves, and the journal names the choice and why.
TEST(Unattended, AutoDrawsAnHpgl2PlotAsTheHpgl2ModelAndSaysSo) {
    const std::string plot = "IN;\r\nSP1;\r\nPA1000,1000;\r\nPD6000,1000,6000,5000;\r\nPW1.2;\r\n"
                             "PD1000,5000,1000,1000;\r\nPU;\r\n";
    std::vector<uint8_t> pixels[2];
    const char* models[] = {"hpgl2", "auto"};
    for (int i = 0; i < 2; ++i) {
        UnattendedPlotter plotanix;
        ASSERT_TRUE(plotanix.start(std::string("--page-gap 1 --model ") + models[i]));
        ASSERT_TRUE(plotanix.line.writeMaster(plot));
        ASSERT_TRUE(plotanix.saved(1)) << plotanix.journal();
        if (i == 1) {
            EXPECT_TRUE(plotanix.said(" model: hpgl2 (the stream uses HP-GL/2's PW)\n"))
                << plotanix.journal();
        }
        EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
        pixels[i] = readPng(plotanix.pages.file(savedPageName(1))).rgb;
    }
    EXPECT_FALSE(pixels[0].empty());
    EXPECT_TRUE(pixels[0] == pixels[1]);
}

// With --window, the journal says when the display goes away; saving goes on.
TEST(Unattended, WithAWindowTheJournalSaysWhenTheDisplayIsLost) {
    PrivateXvfb xvfb;
    ASSERT_FALSE(xvfb.name().empty()) << "no Xvfb";
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--window --page-gap 1", "DISPLAY=" + xvfb.name()));
    for (int page = 1; page <= 2; ++page) {
        ASSERT_TRUE(plotanix.line.writeMaster("SP1;PA100,100;PD700,500;"));
        ASSERT_TRUE(plotanix.saved(page)) << plotanix.journal();
        if (page == 2) break;
        ASSERT_TRUE(waitUntil([&] { return findWindow("HP Plotter", xvfb.name()).has_value(); }))
            << "no window";
        xvfb.stop();
        EXPECT_TRUE(plotanix.said(" display lost: the pages are still saved\n"))
            << plotanix.journal();
    }
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
}

// A talk-only instrument plotting through a USB-GPIB adapter listening only:
// the journal says what answered, each plot is a page, and the adapter is
// set up again when it comes back after dropping off the USB.
TEST(Unattended, ListensToTheBusThroughAnAdapterThatComesAndGoes) {
    AdapterOnUsb adapter(std::chrono::milliseconds(300));
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--gpib listen " + adapter.path() + " --page-gap 1", "", true));
    const std::string answered =
        "On HP-IB, listening only: " + std::string(sim::SimulatedAdapter::defaultVersion) + "\n";
    const std::vector<std::string> plots = {"SP1;PA100,100;PD700,500;", "SP2;PA100,500;PD700,100;"};
    for (int page = 1; page <= 2; ++page) {
        ASSERT_TRUE(plotanix.said(answered, size_t(page))) << plotanix.journal();
        adapter.look(
            [&](sim::SimulatedAdapter& a) { EXPECT_TRUE(a.computerSends(1, plots[page - 1])); });
        ASSERT_TRUE(plotanix.saved(page)) << plotanix.journal();
        const DecodedPng png = readPng(plotanix.pages.file(savedPageName(page)));
        EXPECT_EQ(differingPixels(png, *expectedPage({plots[page - 1]})), 0) << page;
        if (page == 2) break;
        adapter.pullOut();
        ASSERT_TRUE(plotanix.said("line lost: " + adapter.path())) << plotanix.journal();
        adapter.plugIn();
        ASSERT_TRUE(plotanix.said("line back: " + adapter.path())) << plotanix.journal();
    }
    EXPECT_EQ(adapter.look([](const sim::SimulatedAdapter& a) { return a.fromHost(); }),
              "++ver\r\n++mode 0\r\n++lon 1\r\n++eoi 1\r\n++eos 0\r\n++eot_enable 0\r\n++ver\r\n")
        << "only the set-up: nothing is written to the bus";
    const std::string journal = plotanix.journal();
    EXPECT_NE(
        journal.find(" started: HP-IB, listening only via " + adapter.path() + " at 115200 8N1"),
        std::string::npos)
        << journal;
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
}

} // namespace
} // namespace plotanix::testing

namespace plotanix::testing {
namespace {

// Standard output a pipe nobody reads (a stalled journal reader, `| less`
// at its prompt): the line is still read and plotted, and SIGTERM still
// ends the program at once; the lines are kept for the reader, in order.
TEST(Unattended, AStalledReaderOfTheJournalHoldsNothing) {
    UnattendedPlotter plotter;
    plotter.stdoutTo = plotter.logs.file("journal.fifo");
    ASSERT_EQ(::mkfifo(plotter.stdoutTo.c_str(), 0600), 0);
    const UniqueFd reader(::open(plotter.stdoutTo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const UniqueFd filler(::open(plotter.stdoutTo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader) << "the journal's reader";
    ASSERT_TRUE(filler) << "the filler of its pipe";
    const std::string block(4096, '.');
    size_t filled = 0;
    while (::write(filler.get(), block.data(), block.size()) > 0)
        filled += block.size();
    ASSERT_TRUE(plotter.start("--page-gap 1"));
    ASSERT_TRUE(plotter.line.writeMaster("SP1;PA100,100;PD700,500;"));
    EXPECT_TRUE(plotter.saved(1)) << "the journal's full pipe held the loop";

    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(plotter.end(), 0) << plotter.errors();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s) << "the full pipe held the end";
    std::string journal;
    char chunk[4096];
    for (ssize_t n; (n = ::read(reader.get(), chunk, sizeof chunk)) > 0;)
        journal.append(chunk, static_cast<size_t>(n));
    EXPECT_EQ(journal.substr(0, filled), std::string(filled, '.'));
}

} // namespace
} // namespace plotanix::testing
