// Two saved pages laid over each other by the web view, drawn on request.

#include "output/png_writer.h"
#include "page/page_image.h"
#include "support/png_file.h"
#include "support/temp_dir.h"
#include "web/web_server.h"
#include "web_client.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace plotanix::testing {
namespace {

// The older page's black row under the newer page's black and red rows:
// the newer one's black becomes red and its red blue (shifted one place
// along black, red, blue, ...); white hides nothing. Nothing is written.
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
    ASSERT_TRUE(savePng(*pageWith({{100, 0x000000}}), folder.file("PLOTTER_00001.PNG")));
    ASSERT_TRUE(
        savePng(*pageWith({{200, 0x000000}, {300, 0x0000FF}}), folder.file("PLOTTER_00002.PNG")));
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
    const std::map<uint32_t, uint32_t> rows = {{100, 0x000000}, {200, 0xFF0000}, {300, 0x0000FF}};
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

} // namespace
} // namespace plotanix::testing
