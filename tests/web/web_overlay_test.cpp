// Two saved pages laid over each other by the web view, drawn on request.

#include "common/background_work.h"
#include "output/png_writer.h"
#include "page/page_image.h"
#include "support/png_file.h"
#include "support/temp_dir.h"
#include "web/web_server.h"
#include "web_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

namespace plotanix::testing {
namespace {

using namespace std::chrono_literals;

// The older page's blue row under the newer page's black and blue rows:
// the older page wholly black, the newer wholly red; white hides nothing.
// Nothing is written.
TEST(WebOverlay, TwoSavedPagesOnOnePageInTheirOwnColours) {
    TempDir folder;
    const auto pageWith = [](std::initializer_list<std::pair<int, Colour>> rows) {
        auto page = createPageImage(800, 600, 24, 0xFFFFFF);
        for (const auto& [y, colour] : rows)
            for (int x = 100; x < 700; ++x) {
                uint8_t* p = page->row(y) + 3 * x;
                p[0] = uint8_t(colour >> 16), p[1] = uint8_t(colour >> 8), p[2] = uint8_t(colour);
            }
        return page;
    };
    ASSERT_TRUE(savePng(*pageWith({{100, 0xFF0000}}), folder.file("PLOTTER_00001.PNG")));
    ASSERT_TRUE(
        savePng(*pageWith({{200, 0x000000}, {300, 0xFF0000}}), folder.file("PLOTTER_00002.PNG")));
    std::string why;
    const auto server = web::WebServer::start({"127.0.0.1", 0, {}, folder.path().string()}, why);
    ASSERT_NE(server, nullptr) << why;

    const Answer answer = request(*server, "/overlay.png?a=PLOTTER_00001.PNG&b=PLOTTER_00002.PNG");
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.header("content-type"), "image/png");
    writeFile(folder.file("overlay.png"), answer.body);
    const DecodedPng overlay = readPng(folder.file("overlay.png"));
    std::filesystem::remove(folder.file("overlay.png"));
    ASSERT_EQ(overlay.error, "");
    const std::map<uint32_t, uint32_t> rows = {{100, 0x000000}, {200, 0xFF0000}, {300, 0xFF0000}};
    int wrong = 0;
    for (uint32_t y = 0; y < overlay.height; ++y)
        for (uint32_t x = 0; x < overlay.width; ++x) {
            const bool inked = rows.contains(y) && x >= 100 && x < 700;
            wrong += overlay.pixel(x, y) != (inked ? rows.at(y) : 0xFFFFFF);
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 2);

    // Only saved pages of the folder, by their names.
    for (const std::string target :
         {"/overlay.png?a=PLOTTER_00001.PNG", "/overlay.png?a=PLOTTER.TXT&b=PLOTTER_00001.PNG",
          "/overlay.png?a=../PLOTTER_00001.PNG&b=PLOTTER_00002.PNG",
          "/overlay.png?a=PLOTTER_00003.PNG&b=PLOTTER_00001.PNG"})
        EXPECT_EQ(request(*server, target).status, 404) << target;
    // The front page offers it once two pages are saved.
    EXPECT_NE(request(*server, "/").body.find("action=\"/overlay.png\""), std::string::npos);
}

// Saved pages of one line each, at its own height.
void savePages(const TempDir& folder, std::initializer_list<int> rows, int from = 1) {
    for (const int y : rows) {
        auto page = createPageImage(800, 600, 24, 0xFFFFFF);
        for (int x = 100; x < 700; ++x)
            page->row(y)[3 * x] = 0;
        std::array<char, 32> name{};
        std::snprintf(name.data(), name.size(), "PLOTTER_%05d.PNG", from++);
        ASSERT_TRUE(savePng(*page, folder.file(name.data())));
    }
}

std::string overlayOf(int a, int b) {
    return "GET /overlay.png?a=PLOTTER_0000" + std::to_string(a) + ".PNG&b=PLOTTER_0000" +
           std::to_string(b) + ".PNG HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
}

// The overlay lane taken by a slow drawing until let go.
class HeldLane {
  public:
    explicit HeldLane(BackgroundWork& work) {
        work.submit(BackgroundWork::Lane::overlays, [going = going_.get_future().share()] {
            going.wait();
            return BackgroundWork::Done{};
        });
    }
    ~HeldLane() { letGo(); }
    void letGo() {
        if (!gone_) going_.set_value();
        gone_ = true;
    }

  private:
    std::promise<void> going_;
    bool gone_ = false;
};

struct OffTheLoop {
    TempDir folder;
    BackgroundWork work;
    AlsoServed served{work};
    std::unique_ptr<web::WebServer> server;
    OffTheLoop() {
        savePages(folder, {100, 200, 300});
        std::string why;
        server = web::WebServer::start({"127.0.0.1", 0, {}, folder.path().string(), &work}, why);
        EXPECT_NE(server, nullptr) << why;
    }
    UniqueFd ask(int a, int b) { return sentFrom(server->port(), overlayOf(a, b)); }
    // Nothing answered on the connection for a while; or, when it is
    // expected not to wait, answered before the lane is let go.
    bool waits(int client, std::string& got, bool expected = true) {
        return !pump(
            *server, client, got, [](const std::string& g) { return !g.empty(); },
            expected ? 200ms : 5000ms);
    }
    Answer answered(int client, std::string& got) {
        pump(*server, client, got, [](const std::string&) { return false; });
        return parseAnswer(got);
    }
};

// A slow overlay holds nothing else up, and is the overlay drawn on the
// loop once its turn comes.
TEST(WebOverlay, DrawnOffTheLoop) {
    OffTheLoop s;
    std::string why;
    const auto onLoop = web::WebServer::start({"127.0.0.1", 0, {}, s.folder.path().string()}, why);
    ASSERT_NE(onLoop, nullptr) << why;
    HeldLane slow(s.work);
    UniqueFd asking = s.ask(1, 2);
    std::string got;
    EXPECT_TRUE(s.waits(asking.get(), got)) << got;
    EXPECT_EQ(request(*s.server, "/style.css").status, 200) << "answered meanwhile";
    slow.letGo();
    const Answer answer = s.answered(asking.get(), got);
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.body, exchangeRaw(*onLoop, overlayOf(1, 2)).body);
}

// A pair asked again is answered from what was kept, unless a page of it
// was saved again; no more than Overlays::atOnce pairs are drawn at a
// time, a pair being drawn taking in whoever asks for it meanwhile.
TEST(WebOverlay, KeptPerPairAndBounded) {
    OffTheLoop s;
    const Answer first = exchangeRaw(*s.server, overlayOf(1, 2));
    ASSERT_EQ(first.status, 200) << first.body;
    HeldLane slow(s.work);
    EXPECT_EQ(exchangeRaw(*s.server, overlayOf(1, 2)).body, first.body) << "kept";
    savePages(s.folder, {400}, 2);
    const struct {
        int a, b;
        bool waits; // else answered at once
        int status; // in the end
    } cases[] = {
        {1, 2, true, 200}, // drawn again: the page was saved again
        {2, 1, true, 200},
        {1, 3, false, 503}, // beyond the pairs drawn at once
        {2, 1, true, 200},  // with the pair being drawn
    };
    std::vector<UniqueFd> asking;
    std::vector<std::string> got(std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        asking.push_back(s.ask(cases[i].a, cases[i].b));
        EXPECT_EQ(s.waits(asking[i].get(), got[i], cases[i].waits), cases[i].waits)
            << i << ": " << got[i];
    }
    slow.letGo();
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(s.answered(asking[i].get(), got[i]).status, cases[i].status) << i;
    EXPECT_NE(parseAnswer(got[0]).body, first.body) << "the page saved again";
}

} // namespace
} // namespace plotanix::testing
