// Saving the page as PNG: the file's layout, its pixels read back through
// libpng, and a failed save leaving the directory as it was.

#include "output/png_writer.h"
#include "support/png_file.h"
#include "support/temp_dir.h"
#include "test_page.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <zlib.h>

namespace plotanix {
namespace {

using namespace testing;

long entries(const std::filesystem::path& directory) {
    return std::distance(std::filesystem::directory_iterator(directory), {});
}

// A PNG file's chunks: their types in order (runs of one type as one), the
// header, and the image data joined.
struct Chunks {
    std::string types, header, data;
};
Chunks chunksOf(const std::string& file) {
    Chunks chunks;
    for (uint32_t at = 8, length = 0; at + 12 <= file.size(); at += 12 + length) {
        std::memcpy(&length, file.data() + at, 4);
        length = ntohl(length);
        const std::string type = file.substr(at + 4, 4), body = file.substr(at + 8, length);
        chunks.types += chunks.types.ends_with(type) ? "" : type;
        chunks.header += type == "IHDR" ? body : "";
        chunks.data += type == "IDAT" ? body : "";
    }
    return chunks;
}

// A page file's name planted as a link: the save replaces the link, and
// what it pointed at is untouched.
TEST(PngWriterTest, ALinkNamedLikeThePageLeavesItsTargetAlone) {
    TempDir dir;
    writeFile(dir.file("precious"), "keep me");
    std::filesystem::create_symlink(dir.file("precious"), dir.file("PLOTTER_00001.PNG"));
    ASSERT_TRUE(savePng(makePage(), dir.file("PLOTTER_00001.PNG")));
    EXPECT_EQ(readFile(dir.file("precious")), "keep me");
    EXPECT_TRUE(std::filesystem::is_regular_file(
        std::filesystem::symlink_status(dir.file("PLOTTER_00001.PNG"))));
}

TEST(PngWriterTest, SavedFileIsThePageAsUnfilteredEightBitRgb) {
    TempDir dir;
    const PageImage page = makePage(true);
    const std::string name = dir.file("PLOTTER_00001.PNG");
    const mode_t umask = ::umask(022); // so that the file's mode is known
    ASSERT_TRUE(savePng(page, name));
    ::umask(umask);

    const std::string file = readFile(name);
    ASSERT_EQ(file.substr(0, 8), "\x89PNG\r\n\x1A\n");
    const auto [types, header, data] = chunksOf(file);
    EXPECT_EQ(types, "IHDRIDATIEND");
    EXPECT_EQ(header, std::string("\0\0\x03\x20\0\0\x02\x58\x08\x02\0\0\0", 13)); // 8-bit RGB
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ(data[0], 0x78);                         // deflate, 32K window
    EXPECT_EQ(static_cast<uint8_t>(data[1]) >> 6, 3); // level 9
    std::string rows(600 * 2401, '\0');
    uLongf size = rows.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(rows.data()), &size,
                         reinterpret_cast<const Bytef*>(data.data()), data.size()),
              Z_OK);
    ASSERT_EQ(size, rows.size());
    for (size_t row = 0; row < 600; ++row)
        ASSERT_EQ(rows[row * 2401], 0) << "row " << row << " is filtered";
    EXPECT_TRUE(readPng(name).rgb == rgbBytes(page));
    EXPECT_EQ(std::filesystem::status(name).permissions(), std::filesystem::perms(0644));

    const PageImage second = makePage(); // saving again replaces the file
    ASSERT_TRUE(savePng(second, name));
    EXPECT_TRUE(readPng(name).rgb == rgbBytes(second));
    EXPECT_EQ(entries(dir.path()), 1);
}

// The fast encoding keeps every pixel, in as few bits as the colours allow;
// narrower pages end their rows within a byte.
TEST(PngWriterTest, FastFilesHoldTheSamePixelsInAPaletteWhenTheyFit) {
    TempDir dir;
    const std::tuple<int, int, bool, uint8_t, uint8_t> cases[] = {
        // colours drawn, page width, noise, bit depth, colour type (3: palette, 2: RGB)
        {1, 800, false, 1, 3},  {2, 797, false, 1, 3},   {3, 799, false, 2, 3},
        {4, 800, false, 2, 3},  {5, 797, false, 4, 3},   {16, 800, false, 4, 3},
        {17, 797, false, 8, 3}, {256, 800, false, 8, 3}, {257, 800, false, 8, 2},
        {0, 800, true, 8, 2}};
    for (const auto& [colours, width, noise, depth, type] : cases) {
        PageImage page = makePage(noise);
        page.width = width;
        for (int i = 0; i < colours - 1; ++i) // a run of each, then one pixel of it at the end
            for (int x : {8 * i + 1, 8 * i + 2, 8 * i + 3, 8 * i + 4, 8 * i + 5, width - 1 - i}) {
                uint8_t* p = page.row(100 + i % 7) + 3 * x;
                p[0] = static_cast<uint8_t>(i), p[1] = static_cast<uint8_t>(i >> 8), p[2] = 7;
            }
        const std::string name = dir.file("fast.png");
        ASSERT_TRUE(savePng(page, name, Durability::written, PngCompression::fast));
        const std::string file = readFile(name);
        EXPECT_EQ(static_cast<uint8_t>(file[24]), depth) << colours;
        EXPECT_EQ(static_cast<uint8_t>(file[25]), type) << colours;
        EXPECT_TRUE(readPng(name).rgb == rgbBytes(page)) << colours;
    }
}

// A printer's page is written as it is kept, in either encoding: its
// indices at their depth in its palette, and its resolution.
TEST(PngWriterTest, APrintedPageKeepsItsIndicesAndResolution) {
    TempDir dir;
    for (const int depth : {1, 4}) {
        PageImage page = *createPageImage(13, 5, depth);
        page.dpi = 600;
        for (int y = 0; y < page.height; ++y)
            for (int i = 0; i < page.stride; ++i)
                page.row(y)[i] = static_cast<uint8_t>(0x5A ^ (y * 31 + i * 7));
        std::vector<uint8_t> rgb;
        for (int y = 0; y < page.height; ++y)
            for (int x = 0; x < page.width; ++x)
                for (const int shift : {0, 8, 16})
                    rgb.push_back(static_cast<uint8_t>(page.pixel(x, y) >> shift));
        for (const PngCompression compression : {PngCompression::plotter, PngCompression::fast}) {
            const std::string name = dir.file("printed.png");
            ASSERT_TRUE(savePng(page, name, Durability::written, compression));
            const std::string file = readFile(name);
            const auto [types, header, data] = chunksOf(file);
            EXPECT_EQ(types, "IHDRPLTEpHYsIDATIEND") << depth;
            EXPECT_EQ(header.substr(8, 2), std::string({char(depth), 3})) << depth;
            const auto at = file.find("pHYs");
            ASSERT_NE(at, std::string::npos);
            // 600 dpi in pixels a metre, across and down, the unit metres.
            EXPECT_EQ(file.substr(at + 4, 9), std::string("\0\0\x5C\x46\0\0\x5C\x46\x01", 9));
            EXPECT_TRUE(readPng(name).rgb == rgb) << depth;
        }
    }
}

// The fast encoding deflates its rows itself: no more bytes than zlib's
// run-length strategy at level 1 made of the same rows, blank, near blank,
// drawn on or in many colours, and every pixel kept.
TEST(PngWriterTest, FastFilesAreNoLargerThanZlibsRunLengthOnes) {
    TempDir dir;
    const auto paint = [](PageImage& page, int x, int y, uint8_t shade) {
        uint8_t* p = page.row(y) + 3 * x;
        p[0] = shade, p[1] = static_cast<uint8_t>(255 - shade), p[2] = 9;
    };
    const std::pair<const char*, std::function<void(PageImage&)>> pages[] = {
        {"blank", [](PageImage&) {}},
        {"near blank", [&](PageImage& page) { paint(page, 400, 300, 1), paint(page, 10, 20, 1); }},
        {"lines in three colours",
         [&](PageImage& page) {
             for (int i = 0; i < 3000; ++i)
                 paint(page, i % 800, (i * 7 / 5 + i / 800 * 90) % 600, uint8_t(i % 3));
         }},
        {"hatched",
         [&](PageImage& page) {
             for (int y = 0; y < 600; y += 4)
                 for (int x = y % 8; x < 800; x += 8)
                     paint(page, x, y, 2);
         }},
        {"changing down the page",
         [&](PageImage& page) {
             std::mt19937 random(7);
             for (int y = 0; y < 600; ++y)
                 for (int x = 0; x < 800; x += y < 200 ? 2 : y < 400 ? 37 : 400)
                     paint(page, (x + int(random() % 3)) % 800, y, uint8_t(y / 200 + random() % 2));
         }},
        {"200 colours", [&](PageImage& page) {
             std::mt19937 random(59);
             for (int i = 0; i < 20000; ++i)
                 paint(page, int(random() % 800), int(random() % 600), uint8_t(random() % 200));
         }}};
    for (const auto& [what, draw] : pages) {
        PageImage page = makePage();
        draw(page);
        const std::string name = dir.file("fast.png");
        ASSERT_TRUE(savePng(page, name, Durability::written, PngCompression::fast));
        EXPECT_TRUE(readPng(name).rgb == rgbBytes(page)) << what;
        const Chunks chunks = chunksOf(readFile(name));
        std::string rows(600 * 801, '\0');
        uLongf size = rows.size();
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(rows.data()), &size,
                             reinterpret_cast<const Bytef*>(chunks.data.data()),
                             chunks.data.size()),
                  Z_OK)
            << what;
        z_stream z{};
        ASSERT_EQ(deflateInit2(&z, 1, Z_DEFLATED, 12, 4, Z_RLE), Z_OK);
        std::string zlibs(deflateBound(&z, size), '\0');
        z.next_in = reinterpret_cast<Bytef*>(rows.data());
        z.avail_in = static_cast<uInt>(size);
        z.next_out = reinterpret_cast<Bytef*>(zlibs.data());
        z.avail_out = static_cast<uInt>(zlibs.size());
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        deflateEnd(&z);
        EXPECT_LE(chunks.data.size(), z.total_out) << what;
    }
}

TEST(PngWriterTest, RefusedSavesLeaveTheDirectoryAsItWas) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "folder");
    for (const std::string& name :
         {std::string(), dir.file("missing/page.png"), dir.file("folder"), dir.file("folder/")})
        EXPECT_FALSE(savePng(makePage(), name)) << name;
    EXPECT_FALSE(savePng(PageImage{}, dir.file("empty.png")));
    EXPECT_EQ(entries(dir.path()) + entries(dir.path() / "folder"), 1);
}

// savePng's result in a child whose files may not grow past limit bytes; -1
// if the child failed.
int saveUnderSizeLimit(const PageImage& page, const std::string& name, rlim_t limit) {
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fileSize{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &fileSize);
        ::_exit(savePng(page, name) ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A write error once inside the encoder, and once only when the last
// buffered bytes go out as the file is closed.
TEST(PngWriterTest, WriteErrorKeepsTheExistingFileAndLeavesNoPartialFile) {
    TempDir dir;
    const PageImage flat = makePage(); // a few kB
    ASSERT_TRUE(savePng(flat, dir.file("probe.png")));
    const auto flatSize = std::filesystem::file_size(dir.file("probe.png"));
    std::filesystem::remove(dir.file("probe.png"));
    const std::string existing = dir.file("page.png");
    writeFile(existing, "an older page");

    EXPECT_EQ(saveUnderSizeLimit(makePage(true), existing, 16 * 1024), 0);
    EXPECT_EQ(saveUnderSizeLimit(flat, existing, flatSize - 1), 0);
    EXPECT_EQ(saveUnderSizeLimit(flat, dir.file("other.png"), flatSize - 1), 0);
    EXPECT_EQ(readFile(existing), "an older page");
    EXPECT_EQ(entries(dir.path()), 1) << "a partial file was left";
    EXPECT_EQ(saveUnderSizeLimit(flat, existing, flatSize), 1);
}

} // namespace
} // namespace plotanix
