// Without a display the window quietly does nothing and the desktop list
// falls back to one 800 x 600 entry. Each case runs in a child process with
// its own environment, so that nothing it prints escapes unnoticed and SDL
// starts afresh.

#include "output/desktops.h"
#include "output/plot_window.h"
#include "test_page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace plotanix {
namespace {

struct ChildResult {
    std::string output;   // everything the child wrote to stdout and stderr
    std::string failures; // what the child found wrong
    bool exitedNormally = false;
};

std::string readAll(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

ChildResult runInChild(const std::function<std::string()>& body) {
    std::FILE* output = std::tmpfile();
    std::FILE* report = std::tmpfile();
    ChildResult result;
    if (output == nullptr || report == nullptr) return result;
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(::fileno(output), STDOUT_FILENO);
        ::dup2(::fileno(output), STDERR_FILENO);
        const std::string failures = body();
        std::fflush(nullptr);
        [[maybe_unused]] auto written = ::write(::fileno(report), failures.data(), failures.size());
        ::_exit(0);
    }
    int status = 0;
    result.exitedNormally = child > 0 && ::waitpid(child, &status, 0) == child &&
                            WIFEXITED(status) && !WEXITSTATUS(status);
    result.output = readAll(output);
    result.failures = readAll(report);
    return result;
}

// Every operation of the window and the desktop list, as the program makes
// them; gives a line for each thing that is not as expected.
std::string exerciseWithoutWindow() {
    std::string failures;
    auto check = [&](bool ok, const char* what) {
        if (!ok) failures += std::string(what) + "\n";
    };
    Desktops desktops;
    check(desktops.examineDesktops() == 1, "not exactly one entry");
    const DisplayInfo& entry = desktops.entries().at(0);
    check(entry.x == 0 && entry.y == 0, "fallback position");
    check(entry.width == 800 && entry.height == 600, "fallback size");
    check(entry.depth == 24 && entry.refresh == 0 && entry.name.empty(), "fallback details");
    check(desktops.desktopWidth(0) == 800 && desktops.desktopHeight(0) == 600, "desktop size");
    check(desktops.desktopWidth(1) == 0 && desktops.desktopHeight(5) == 0, "size beyond entries");
    check(!startVideo(), "video started");

    PlotWindow window;
    const PageImage page = testing::makeTypicalPage();
    check(!window.openPlotWindow(0, 0, 800, 600, "HP Plotter"), "window opened");
    window.setTopmost(true);
    window.showImage(page);
    window.setTopmost(false);
    window.serviceEvents();
    check(!window.isOpen(), "window reported open");
    check(window.eventDescriptor() == -1, "an event descriptor");
    window.closePlotWindow();
    return failures;
}

void expectQuietFallback(const ChildResult& result) {
    EXPECT_TRUE(result.exitedNormally) << "the child crashed or failed";
    EXPECT_EQ(result.failures, "");
    EXPECT_EQ(result.output, "");
}

TEST(HeadlessTest, NoDisplayAtAll) {
    expectQuietFallback(runInChild([] {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        return exerciseWithoutWindow();
    }));
}

TEST(HeadlessTest, DisplayNamedButNoServerThere) {
    int number = 4000;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)))
        ++number;
    const std::string display = ":" + std::to_string(number);
    expectQuietFallback(runInChild([&] {
        ::setenv("DISPLAY", display.c_str(), 1);
        ::unsetenv("WAYLAND_DISPLAY");
        return exerciseWithoutWindow();
    }));
}

} // namespace
} // namespace plotanix
