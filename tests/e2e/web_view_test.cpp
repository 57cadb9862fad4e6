// The unattended program with --web as a browser sees it: headless
// Chromium on the front page while plots come in over a pseudo-terminal.

#include "headless_browser.h"
#include "plotter_harness.h"
#include "support/loopback.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/stat.h>

namespace plotanix::testing {
namespace {

// Resolves once the check (a function body returning a value or null)
// gives a value; checked at each change of the page and each image load.
std::string whenShown(const std::string& check) {
    return "new Promise((resolve) => {"
           "  const check = () => { " +
           check +
           " };"
           "  const attempt = () => { const v = check(); if (v !== null && v !== undefined) {"
           "    observer.disconnect(); clearInterval(timer); resolve(String(v)); } };"
           "  const observer = new MutationObserver(attempt);"
           "  observer.observe(document, {subtree: true, childList: true, attributes: true});"
           "  document.addEventListener('load', attempt, true);"
           "  const timer = setInterval(attempt, 50);" // images decoded without a mutation
           "  attempt(); })";
}

// The thumbnails loaded, newest first, and the page saved last, once the
// first thumbnail is the named one.
std::string shownPages(const std::string& newest) {
    return whenShown("if (location.protocol !== 'http:') return null;"
                     "const thumbs = [...document.querySelectorAll('#pages img')];"
                     "const page = document.getElementById('page');"
                     "if (!page || thumbs.length === 0 || thumbs[0].alt !== '" +
                     newest +
                     "') return null;"
                     "if (document.querySelector('#current h2').textContent !== 'Last saved')"
                     "  return null;"
                     "if (!thumbs.every(i => i.complete && i.naturalWidth === 800)) return null;"
                     "if (!page.complete || page.naturalWidth !== 800) return null;"
                     "return thumbs.map(i => i.alt).join(' ') + '|' + Date.now();");
}

// The body of a GET over loopback, read to the connection's end; empty on
// any failure.
std::string httpGet(int port, const std::string& path) {
    const UniqueFd fd = connectTo(port);
    if (!sendAll(fd.get(),
                 "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"))
        return {};
    const std::string got = receive(fd.get(), SIZE_MAX, 10s);
    const size_t body = got.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : got.substr(body + 4);
}

int64_t modifiedMs(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    return int64_t(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

TEST(WebView, BrowserFollowsThePlotsWithoutAReload) {
    UnattendedPlotter plotter;
    ASSERT_TRUE(plotter.start("--page-gap 1 --web 0"));
    std::smatch found;
    const std::regex address(" web view: (http://127\\.0\\.0\\.1:[0-9]+/)\n");
    ASSERT_TRUE(plotter.said(" web view: ")) << plotter.journal() << plotter.errors();
    const std::string journal = plotter.journal();
    ASSERT_TRUE(std::regex_search(journal, found, address)) << journal;
    const std::string url = found[1];

    const std::vector<std::string> plots = {"SP1;PA100,100;PD700,500;",
                                            "SP2;PA100,500;PD700,100;PU400,0;PD400,600;"};
    ASSERT_TRUE(plotter.line.writeMaster(plots[0]));
    ASSERT_TRUE(plotter.saved(1)) << plotter.journal();

    HeadlessBrowser browser;
    ASSERT_TRUE(browser.open(url)) << browser.failure() << browser.log();
    const auto first = browser.evaluate(shownPages(savedPageName(1)), 60s);
    ASSERT_TRUE(first) << browser.failure() << browser.log();
    EXPECT_TRUE(first->starts_with(savedPageName(1) + "|")) << *first;
    const auto marked = browser.evaluate(
        "Promise.resolve((window.notReloaded = 'yes', document.getElementById('page').src))", 10s);
    ASSERT_TRUE(marked) << browser.failure();

    // The second plot: the page changes while it is drawn, then it is saved.
    ASSERT_TRUE(plotter.line.writeMaster(plots[1]));
    const auto drawing = browser.evaluate(
        whenShown("const src = document.getElementById('page').src;"
                  "const heading = document.querySelector('#current h2');"
                  "return src !== " +
                  jsonString(*marked) + " && heading.textContent === 'Now drawing' ? src : null;"),
        30s);
    EXPECT_TRUE(drawing) << browser.failure();
    const auto second = browser.evaluate(shownPages(savedPageName(2)), 30s);
    ASSERT_TRUE(second) << browser.failure() << plotter.journal();
    const std::string shown = second->substr(0, second->find('|'));
    EXPECT_EQ(shown, savedPageName(2) + " " + savedPageName(1));
    EXPECT_EQ(browser.evaluate("Promise.resolve(window.notReloaded)", 10s), "yes");
    EXPECT_NE(
        browser.evaluate("Promise.resolve(document.getElementById('state').textContent)", 10s),
        std::nullopt);

    // The figure for the record: from the file written to the browser showing it.
    const int64_t at = std::stoll(second->substr(second->find('|') + 1));
    const int64_t written = modifiedMs(plotter.pages.file(savedPageName(2)));
    std::printf("[ figure ] page saved to shown in the browser: %lld ms\n",
                static_cast<long long>(at - written));
    EXPECT_GE(at - written, 0);

    EXPECT_EQ(plotter.end(), 0) << plotter.errors();
    EXPECT_EQ(plotter.errors(), "");
}

// A browser whose live channel gives way to newer ones (eight more from
// its address) opens another when the server asks it to come back, and
// finds the page saved meanwhile without a reload.
TEST(WebView, BrowserComesBackWhenItsChannelGivesWay) {
    UnattendedPlotter plotter;
    ASSERT_TRUE(plotter.start("--page-gap 1 --web 0"));
    ASSERT_TRUE(plotter.said(" web view: ")) << plotter.journal() << plotter.errors();
    std::smatch found;
    const std::string journal = plotter.journal();
    ASSERT_TRUE(std::regex_search(journal, found,
                                  std::regex(" web view: (http://127\\.0\\.0\\.1:([0-9]+)/)\n")))
        << journal;
    const std::string url = found[1];
    const int port = std::stoi(found[2]);
    ASSERT_TRUE(plotter.line.writeMaster("SP1;PA100,100;PD700,500;"));
    ASSERT_TRUE(plotter.saved(1)) << plotter.journal();
    HeadlessBrowser browser;
    ASSERT_TRUE(browser.open(url)) << browser.failure() << browser.log();
    ASSERT_TRUE(browser.evaluate(shownPages(savedPageName(1)), 60s))
        << browser.failure() << browser.log();
    ASSERT_TRUE(browser.evaluate("Promise.resolve(window.notReloaded = 'yes')", 10s));

    std::vector<UniqueFd> newer;
    for (int i = 0; i < 8; ++i) {
        newer.push_back(connectTo(port));
        ASSERT_TRUE(sendAll(newer.back().get(), "GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        ASSERT_NE(receive(newer.back().get(), 1, 10s), "") << "channel " << i;
    }
    ASSERT_TRUE(plotter.line.writeMaster("SP2;PA100,500;PD700,100;"));
    ASSERT_TRUE(plotter.saved(2)) << plotter.journal();
    const auto shown = browser.evaluate(shownPages(savedPageName(2)), 60s);
    ASSERT_TRUE(shown) << browser.failure() << browser.log();
    EXPECT_EQ(browser.evaluate("Promise.resolve(window.notReloaded)", 10s), "yes");
    EXPECT_NE(receive(newer.front().get(), SIZE_MAX, 2s).find("retry: 15000"), std::string::npos)
        << "the oldest newer channel gives way to the browser's next";
    EXPECT_EQ(plotter.end(), 0) << plotter.errors();
}

// The interactive program says where on its start screen, and the view
// follows the operator from the menus to the plot and the page saved.
TEST(WebView, InteractiveProgramServesFromTheStartScreenOn) {
    PlotterOptions options;
    options.withDisplay = false;
    options.arguments = {"--port", "@PTY@", "--web", "0"};
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    std::smatch found;
    const std::string screen = plotter.screen();
    ASSERT_TRUE(
        std::regex_search(screen, found, std::regex("Web view: http://127\\.0\\.0\\.1:([0-9]+)/")))
        << screen;
    const int port = std::stoi(found[1]);
    EXPECT_NE(httpGet(port, "/").find(">At the start screen, not plotting<"), std::string::npos);

    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    EXPECT_NE(httpGet(port, "/").find(">Waiting for the computer<"), std::string::npos);
    ASSERT_TRUE(plotter.sendLine("SP1;PA100,100;PD700,500;"));
    ASSERT_TRUE(plotter.waitPageMenu(3)) << plotter.screen();
    const std::string menu = httpGet(port, "/");
    EXPECT_NE(menu.find(">The plot has ended; the page menu is open<"), std::string::npos) << menu;
    EXPECT_NE(menu.find("<img id=\"page\""), std::string::npos);
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    EXPECT_NE(httpGet(port, "/").find("src=\"/files/PLOTTER_00001.PNG\""), std::string::npos);
    EXPECT_EQ(httpGet(port, "/files/PLOTTER_00001.PNG"),
              readFile(plotter.file("PLOTTER_00001.PNG")));
    expectCleanQuit(plotter);
}

} // namespace
} // namespace plotanix::testing
