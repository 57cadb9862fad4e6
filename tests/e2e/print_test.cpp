// Pages printed through a CUPS scheduler the test starts itself: by the
// unattended program as it saves them, and by plotanix-render.

#include "plotter_harness.h"
#include "support/private_cups.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/wait.h>

namespace plotanix::testing {
namespace {

// A command's standard output; run through the shell.
std::string output(const std::string& command) {
    std::string text;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    ::pclose(pipe);
    return text;
}

// The PDF's page size as pdfinfo gives it, and its picture at 36 dots an
// inch, as PNG bytes.
std::string pageSize(const std::string& pdf) {
    return output("pdfinfo " + shellQuote(pdf) + " | sed -n 's/^Page size: *//p'");
}
DecodedPng picture(const std::string& pdf) {
    output("pdftoppm -r 36 -png -singlefile " + shellQuote(pdf) + " " + shellQuote(pdf + "-36"));
    return readPng(pdf + "-36.png");
}

// Pixels that differ, or -1 when the sizes do.
long differing(const DecodedPng& a, const DecodedPng& b) {
    if (a.width != b.width || a.height != b.height) return -1;
    long count = 0;
    for (size_t i = 0; i < a.rgb.size(); i += 3)
        count += !std::equal(&a.rgb[i], &a.rgb[i] + 3, &b.rgb[i]);
    return count;
}

// The job, kept as a file beside the others.
std::string jobFile(const TempDir& dir, const PrivateCups& cups, int job) {
    const std::string path = dir.file("job-" + std::to_string(job) + ".pdf");
    writeFile(path, cups.waitForJob(job));
    return path;
}

int jobNumber(const std::string& said) {
    std::smatch match;
    return std::regex_search(said, match, std::regex("\\(job (\\d+)\\)")) ? std::stoi(match[1]) : 0;
}

class Printing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(cups.error(), "");
        ASSERT_TRUE(cups.addQueue("plotter", true)) << cups.error();
    }
    PrivateCups cups;
    TempDir dir;
};

// Each saved page is printed as it is saved: the job is the renderer's PDF
// of the same plot on the queue's A4 paper; the journal names the job.
TEST_F(Printing, UnattendedCapturePrintsEachSavedPage) {
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--model 7470a --paper a4 --print plotter --page-gap 1"));
    const std::vector<std::string> plots = {"IN;SP1;PA500,500;PD9800,7000;",
                                            "IN;SP2;PA500,7000;PD9800,500;"};
    for (size_t page = 0; page < plots.size(); ++page) {
        ASSERT_TRUE(plotanix.line.writeMaster(plots[page]));
        ASSERT_TRUE(plotanix.said("printed on plotter (job ", page + 1, 20s)) << plotanix.journal();
        writeFile(dir.file("plot.hpgl"), plots[page]);
        ASSERT_EQ(std::system(("cd " + shellQuote(dir.path()) +
                               " && " PLOTANIX_RENDER " -q --paper a4 -o rendered.pdf plot.hpgl")
                                  .c_str()),
                  0);
        const std::string journal = plotanix.journal();
        const std::string job =
            jobFile(dir, cups, jobNumber(journal.substr(journal.rfind("printed on"))));
        EXPECT_EQ(pageSize(job), "841.89 x 595.276 pts (A4)\n") << page;
        const DecodedPng expected = picture(dir.file("rendered.pdf"));
        ASSERT_EQ(expected.error, "");
        EXPECT_EQ(differing(picture(job), expected), 0) << page;
    }
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
}

// The interactive program: the start screen names the queue, and an
// outcome row of the page menu's own says where the saved page was printed.
TEST_F(Printing, ThePageMenuSaysThePrint) {
    PlotterOptions options;
    options.withDisplay = false;
    options.arguments = std::vector<std::string>{"@PTY@", "--print", "plotter", "--vector", "svg"};
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    EXPECT_TRUE(plotter.waitScreen("\nPages saved as PNG and SVG, printed on plotter\n"))
        << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    ASSERT_TRUE(plotter.sendLine("SP1;PA100,100;PD700,500;"));
    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.failure();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitScreen("\n   printed on plotter (job ")) << plotter.failure();
    EXPECT_TRUE(plotter.hasFile(savedPageName(1)));
    expectCleanQuit(plotter);
}

// A queue that is not there, a printer that fails the job, or a scheduler
// that has stopped: one line naming the queue and why (the printer's own
// word), the page saved all the same, the program running on.
TEST_F(Printing, AFailedPrintIsOneLineAndThePageIsSaved) {
    ASSERT_TRUE(cups.addQueue("failing", true, PrivateCups::Printer::failing)) << cups.error();
    struct Case {
        const char* queue;
        bool schedulerStopped;
        std::string said, reason = {};
    };
    const Case cases[] = {
        {"absent", false, "error: not printed on absent: no such queue ("},
        {"failing", false, "error: not printed on failing (job 1), ",
         ": The test printer is out of paper\n"},
        {"plotter", true,
         "error: not printed on plotter: the CUPS scheduler is not running (" + cups.socket()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.queue);
        if (c.schedulerStopped) cups.stop();
        UnattendedPlotter plotanix;
        ASSERT_TRUE(plotanix.start(std::string("--print ") + c.queue + " --page-gap 1"));
        ASSERT_TRUE(plotanix.line.writeMaster("SP1;PA100,100;PD700,500;"));
        ASSERT_TRUE(plotanix.said(c.said, 1, 20s)) << plotanix.journal() << plotanix.errors();
        EXPECT_TRUE(plotanix.said(c.reason)) << plotanix.errors();
        EXPECT_TRUE(std::filesystem::exists(plotanix.pages.file(savedPageName(1))));
        EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
    }
}

// A print server that hangs holds no ending: SIGTERM ends the program
// within its budget, every page saved, the prints not handed over named.
TEST_F(Printing, AHungPrintServerHoldsNoEnding) {
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--print plotter --page-gap 1"));
    cups.freeze();
    for (int page = 1; page <= 3; ++page) {
        ASSERT_TRUE(
            plotanix.line.writeMaster("SP1;PA100,100;PD700," + std::to_string(100 * page) + ";"));
        ASSERT_TRUE(plotanix.saved(page)) << plotanix.journal() << plotanix.errors();
    }
    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 3s) << "the hung server held the end";
    cups.thaw();
    const std::string errors = plotanix.errors();
    for (int page = 2; page <= 3; ++page)
        EXPECT_NE(errors.find("not printed on plotter: " + savedPageName(page)), std::string::npos)
            << errors;
    EXPECT_TRUE(plotanix.said("stopped on SIGTERM")) << plotanix.journal();
}

// A job the print server has taken but not yet printed holds no ending
// either: it is named, with its job, as not yet printed.
TEST_F(Printing, AJobUnderWayAtTheEndingIsNamed) {
    ASSERT_TRUE(cups.addQueue("slow", true, PrivateCups::Printer::slow)) << cups.error();
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--print slow --page-gap 1"));
    ASSERT_TRUE(plotanix.line.writeMaster("SP1;PA100,100;PD700,500;"));
    ASSERT_TRUE(plotanix.saved(1)) << plotanix.journal() << plotanix.errors();
    ASSERT_TRUE(cups.waitForStart(1));
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
    EXPECT_NE(plotanix.errors().find("not yet printed on slow: " + savedPageName(1) +
                                     " (job 1) was with the print server when the program ended"),
              std::string::npos)
        << plotanix.errors();
}

// plotanix-render --print: each input's pages as one job on the queue's
// paper, the default queue when none is named; a failure is one line and
// status 4, the -o output written all the same.
TEST_F(Printing, TheRendererPrintsEachInputAsOneJob) {
    ASSERT_TRUE(cups.setDefault("plotter")) << cups.error();
    writeFile(dir.file("one.hpgl"), "IN;SP1;PA500,500;PD9800,7000;");
    writeFile(dir.file("two.plt"), "IN;SP1;PA1000,1000;PD5000,1000;PG;PU2000,2000;PD6000,6000;");
    const auto render = [&](const std::string& words) {
        const int status = std::system(
            ("cd " + shellQuote(dir.path()) + " && " PLOTANIX_RENDER " " + words + " 2>err.txt")
                .c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(render("--print one.hpgl two.plt"), 0) << readFile(dir.file("err.txt"));
    const std::string said = readFile(dir.file("err.txt"));
    std::smatch match;
    ASSERT_TRUE(std::regex_search(said, match,
                                  std::regex("^plotanix-render: one.hpgl: printed on plotter "
                                             "\\(job (\\d+)\\)\n"
                                             "plotanix-render: two.plt: printed on plotter "
                                             "\\(job (\\d+)\\)\n")))
        << said;
    for (const auto& [job, pages] :
         {std::pair{std::stoi(match[1]), "1"}, std::pair{std::stoi(match[2]), "2"}}) {
        const std::string file = jobFile(dir, cups, job);
        EXPECT_EQ(pageSize(file), "841.89 x 595.276 pts (A4)\n");
        EXPECT_EQ(output("pdfinfo " + file + " | sed -n 's/^Pages: *//p'"),
                  std::string(pages) + "\n");
    }
    EXPECT_EQ(render("--print absent -q -o out.png one.hpgl"), 4);
    EXPECT_EQ(readFile(dir.file("err.txt"))
                  .rfind("plotanix-render: one.hpgl: not printed on absent: no such queue (", 0),
              0u)
        << readFile(dir.file("err.txt"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("out.png")));
}

} // namespace
} // namespace plotanix::testing
