// Saving the page as PNG: the file read back by our own decoder, and the
// guarantee that a failed save leaves the directory as it was.

#include "output/png_writer.h"
#include "png_decoder.h"
#include "support/temp_dir.h"
#include "test_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plotanix {
namespace {

using testing::decodePng;
using testing::readFile;
using testing::TempDir;

std::set<std::string> namesIn(const std::filesystem::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

void expectSamePixels(const testing::DecodedPng& png, const PageImage& page) {
    ASSERT_EQ(png.rgb.size(), 800u * 600u * 3u);
    int differences = 0;
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 800; ++x) {
            if (png.pixel(x, y) != testing::getPixel(page, x, y) && ++differences <= 3) {
                ADD_FAILURE() << "pixel (" << x << ", " << y << ")";
            }
        }
    }
    EXPECT_EQ(differences, 0);
}

TEST(PngWriterTest, SavedFileIsThePageInTheAgreedFormat) {
    TempDir dir;
    PageImage page = testing::makePatternPage();
    testing::setPixel(page, 10, 20, 0x0000FF); // blue: stored bytes 255, 0, 0
    ASSERT_EQ(page.row(20)[30], 255);
    const std::string name = dir.file("PLOTTER_00001.PNG");

    const mode_t umask = ::umask(022); // so that the file's mode is known
    ASSERT_TRUE(savePng(page, name));
    ::umask(umask);

    testing::DecodedPng png = decodePng(readFile(name));
    ASSERT_TRUE(png.error.empty()) << png.error;
    EXPECT_TRUE(png.signatureOk);
    EXPECT_EQ(png.width, 800u);
    EXPECT_EQ(png.height, 600u);
    EXPECT_EQ(png.bitDepth, 8);
    EXPECT_EQ(png.colourType, 2);
    EXPECT_EQ(png.compression + png.filter + png.interlace, 0);
    ASSERT_GE(png.chunkTypes.size(), 3u);
    png.chunkTypes.erase(std::unique(png.chunkTypes.begin(), png.chunkTypes.end()),
                         png.chunkTypes.end());
    EXPECT_EQ(png.chunkTypes, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    EXPECT_EQ(png.rowFilters, std::vector<uint8_t>(600, 0));
    // zlib header: deflate with a 32K window, level flag "maximum" (level 9).
    EXPECT_EQ(png.zlibHeader[0], 0x78);
    EXPECT_EQ(png.zlibHeader[1] >> 6, 3);
    EXPECT_EQ(png.pixel(10, 20), 0x0000FFu) << "red 0, green 0, blue 255";
    expectSamePixels(png, page); // top row first, every byte in R, G, B order
    EXPECT_EQ(std::filesystem::status(name).permissions(),
              static_cast<std::filesystem::perms>(0644));

    // Saving again replaces the file.
    const PageImage second = testing::makePage(128);
    ASSERT_TRUE(savePng(second, name));
    expectSamePixels(decodePng(readFile(name)), second);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"PLOTTER_00001.PNG"});
}

// A link planted under the page's name is replaced, never written through.
TEST(PngWriterTest, ALinkNamedLikeThePageLeavesItsTargetAlone) {
    TempDir dir;
    testing::writeFile(dir.file("precious"), "keep me");
    std::filesystem::create_symlink(dir.file("precious"), dir.file("PLOTTER_00001.PNG"));
    ASSERT_EQ(savePng(testing::makePage(128), dir.file("PLOTTER_00001.PNG")), 1);
    EXPECT_EQ(readFile(dir.file("precious")), "keep me");
    EXPECT_TRUE(std::filesystem::is_regular_file(
        std::filesystem::symlink_status(dir.file("PLOTTER_00001.PNG"))));
}

TEST(PngWriterTest, RefusedSavesLeaveTheDirectoryAsItWas) {
    TempDir dir;
    const PageImage page = testing::makePage(128);
    std::filesystem::create_directory(dir.path() / "folder");
    PageImage empty;

    EXPECT_FALSE(savePng(page, ""));
    EXPECT_FALSE(savePng(page, dir.file("missing/page.png")));
    EXPECT_FALSE(savePng(page, dir.file("folder")));
    EXPECT_FALSE(savePng(page, dir.file("folder/")));
    EXPECT_FALSE(savePng(empty, dir.file("empty.png")));

    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"folder"});
    EXPECT_TRUE(namesIn(dir.path() / "folder").empty());
}

// savePng's result in a child process whose files may not grow past limit
// bytes (so the limit stays in the child); -1 if the child failed.
int saveUnderSizeLimit(const PageImage& page, const std::string& name, rlim_t limit) {
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fileSize{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &fileSize);
        ::_exit(savePng(page, name));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A write error, from a file size limit: once inside the encoder, and once
// only when the last buffered bytes go out as the file is closed. The file
// of that name survives, and no partial file is left.
TEST(PngWriterTest, WriteErrorKeepsTheExistingFileAndLeavesNoPartialFile) {
    TempDir dir;
    const PageImage typical = testing::makePage(128); // compresses to a few kB
    ASSERT_TRUE(savePng(typical, dir.file("probe.png")));
    const auto typicalSize = std::filesystem::file_size(dir.file("probe.png"));
    std::filesystem::remove(dir.file("probe.png"));
    const std::string existing = dir.file("page.png");
    testing::writeFile(existing, "an older page");

    EXPECT_EQ(saveUnderSizeLimit(testing::makeNoisePage(), existing, 16 * 1024), 0);
    EXPECT_EQ(saveUnderSizeLimit(typical, existing, typicalSize - 1), 0);
    EXPECT_EQ(saveUnderSizeLimit(typical, dir.file("other.png"), typicalSize - 1), 0);

    EXPECT_EQ(readFile(existing), "an older page");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"page.png"});
    EXPECT_EQ(saveUnderSizeLimit(typical, existing, typicalSize), 1);
}

} // namespace
} // namespace plotanix
