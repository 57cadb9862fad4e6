// Saving the page as PNG: the file read back by our own decoder, and the
// guarantee that a failed save leaves the directory as it was.

#include "output/png_writer.h"
#include "png_decoder.h"
#include "support/temp_dir.h"
#include "test_page.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <sys/mount.h>
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
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
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

// Restores the umask a test sets, so the expected file mode is known.
class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskScope() { ::umask(saved_); }

  private:
    mode_t saved_;
};

TEST(PngWriterTest, SavedFileIsThePageInTheAgreedFormat) {
    TempDir dir;
    UmaskScope umask(022);
    PageImage page = testing::makePatternPage();
    testing::setPixel(page, 10, 20, 0x0000FF); // blue: stored bytes 255, 0, 0
    ASSERT_EQ(page.row(20)[30], 255);
    const std::string name = dir.file("PLOTTER_00001.PNG");
    enablePngEncoder();
    enablePngEncoder(); // a second call changes nothing

    ASSERT_EQ(savePng(page, name), 1);

    const testing::DecodedPng png = decodePng(readFile(name));
    ASSERT_TRUE(png.error.empty()) << png.error;
    EXPECT_TRUE(png.signatureOk);
    EXPECT_EQ(png.width, 800u);
    EXPECT_EQ(png.height, 600u);
    EXPECT_EQ(png.bitDepth, 8);
    EXPECT_EQ(png.colourType, 2);
    EXPECT_EQ(png.compression, 0);
    EXPECT_EQ(png.filter, 0);
    EXPECT_EQ(png.interlace, 0);
    ASSERT_GE(png.chunkTypes.size(), 3u);
    EXPECT_EQ(png.chunkTypes.front(), "IHDR");
    EXPECT_EQ(png.chunkTypes.back(), "IEND");
    for (size_t i = 1; i + 1 < png.chunkTypes.size(); ++i)
        EXPECT_EQ(png.chunkTypes[i], "IDAT");
    ASSERT_EQ(png.rowFilters.size(), 600u);
    for (uint8_t filter : png.rowFilters)
        EXPECT_EQ(filter, 0);
    // zlib header: deflate with a 32K window, level flag "maximum" (level 9).
    EXPECT_EQ(png.zlibHeader[0], 0x78);
    EXPECT_EQ(png.zlibHeader[1] >> 6, 3);
    EXPECT_EQ(png.pixel(10, 20), 0x0000FFu) << "red 0, green 0, blue 255";
    expectSamePixels(png, page); // top row first, every byte in R, G, B order
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"PLOTTER_00001.PNG"});
    EXPECT_EQ(std::filesystem::status(name).permissions(),
              static_cast<std::filesystem::perms>(0644));
}

TEST(PngWriterTest, SavingTwiceReplacesTheFile) {
    TempDir dir;
    const std::string name = dir.file("page.png");
    const PageImage first = testing::makeTypicalPage();
    const PageImage second = testing::makePatternPage();

    ASSERT_EQ(savePng(first, name), 1);
    ASSERT_EQ(savePng(second, name), 1);

    const testing::DecodedPng png = decodePng(readFile(name));
    ASSERT_TRUE(png.error.empty()) << png.error;
    expectSamePixels(png, second);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"page.png"});
}

TEST(PngWriterTest, RefusedSavesLeaveTheDirectoryAsItWas) {
    TempDir dir;
    const PageImage page = testing::makeTypicalPage();
    std::filesystem::create_directory(dir.path() / "folder");
    PageImage empty;

    EXPECT_EQ(savePng(page, ""), 0);
    EXPECT_EQ(savePng(page, dir.file("missing/page.png")), 0);
    EXPECT_EQ(savePng(page, dir.file("folder")), 0);
    EXPECT_EQ(savePng(page, dir.file("folder/")), 0);
    EXPECT_EQ(savePng(empty, dir.file("empty.png")), 0);

    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"folder"});
    EXPECT_TRUE(namesIn(dir.path() / "folder").empty());
}

// A tmpfs of 64 KiB: a real "disk full" for a page that does not compress.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(const std::string& path) : path_(path) {
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

  private:
    std::string path_, error_;
    bool mounted_ = false;
};

TEST(PngWriterTest, FullDiskKeepsTheExistingFileAndLeavesNoPartialFile) {
    TempDir dir;
    SmallFileSystem disk(dir.path().string());
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
    const std::string existing = dir.file("PLOTTER_00001.PNG");
    ASSERT_EQ(savePng(testing::makeTypicalPage(), existing), 1);
    const std::string before = readFile(existing);
    const PageImage noise = testing::makeNoisePage();

    EXPECT_EQ(savePng(noise, existing), 0);
    EXPECT_EQ(savePng(noise, dir.file("PLOTTER_00002.PNG")), 0);

    EXPECT_EQ(readFile(existing), before);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"PLOTTER_00001.PNG"});
    // The space the failed saves took is free again.
    EXPECT_EQ(savePng(testing::makeTypicalPage(), dir.file("PLOTTER_00003.PNG")), 1);
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

// The same guarantee where no file system can be mounted, with a file size
// limit: once inside the encoder, and once only when the last buffered
// bytes go out as the file is closed.
TEST(PngWriterTest, WriteErrorKeepsTheExistingFileAndLeavesNoPartialFile) {
    TempDir dir;
    const PageImage typical = testing::makeTypicalPage();
    ASSERT_EQ(savePng(typical, dir.file("probe.png")), 1);
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
