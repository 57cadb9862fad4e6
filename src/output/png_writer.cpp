#include "output/png_writer.h"

#include "page/page_image.h"

#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace plotanix {

namespace {

// The encoder's errors end the save quietly: nothing may reach the console.
[[noreturn]] void failEncoding(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void ignoreWarning(png_structp, png_const_charp) {}

bool usableImage(const PageImage& image) {
    return image.depth == 24 && image.width > 0 && image.height > 0 &&
           image.stride >= 3 * image.width &&
           image.pixels.size() >= static_cast<size_t>(image.stride) * image.height;
}

// Kept free of objects with destructors: an encoder error leaves through
// longjmp, which would skip them.
bool encodeImage(FILE* file, const PageImage& image, PngCompression compression) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, failEncoding, ignoreWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    if (compression == PngCompression::fast) {
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, Z_RLE);
    } else {
        png_set_compression_level(png, 9);
    }
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, image.row(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

mode_t newFileMode() {
    // umask can only be read by setting it. Saves may run in several threads:
    // one reading during another would see 0. Files made meanwhile by
    // mkostemp are 0600 whatever the mask, and are given this mode.
    static std::mutex reading;
    const std::lock_guard lock(reading);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Writes the whole image to the open descriptor and closes it; true only
// when every byte has been written (and, if durable, has reached the disk).
bool writeImageFile(int fd, const PageImage& image, Durability durability,
                    PngCompression compression) {
    if (::fchmod(fd, newFileMode()) != 0) {
        ::close(fd);
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        ::close(fd);
        return false;
    }
    bool written = encodeImage(file, image, compression);
    written = std::fflush(file) == 0 && written;
    if (durability == Durability::synced) written = ::fsync(::fileno(file)) == 0 && written;
    written = std::fclose(file) == 0 && written;
    return written;
}

std::string directoryOf(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

// "<dir>/.<name>.XXXXXX": hidden, and in the same directory so that the
// final rename cannot cross file systems.
std::string temporaryPattern(const std::string& fileName) {
    const std::string directory = directoryOf(fileName);
    const std::string base = fileName.substr(directory.size());
    if (base.empty()) return {};
    return directory + "." + base + ".XXXXXX";
}

// Makes the rename itself durable; a failure here no longer harms the file.
void syncDirectory(const std::string& fileName) {
    const std::string directory = directoryOf(fileName);
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

bool savePng(const PageImage& image, const std::string& fileName, Durability durability,
             PngCompression compression) {
    if (fileName.empty() || !usableImage(image)) return false;
    std::string temporaryName = temporaryPattern(fileName);
    if (temporaryName.empty()) return false;
    // mkostemp creates with O_EXCL (a planted name, link or not, is never
    // opened); the rename then replaces a link of the final name rather
    // than writing through it.
    const int fd = ::mkostemp(temporaryName.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    if (!writeImageFile(fd, image, durability, compression) ||
        std::rename(temporaryName.c_str(), fileName.c_str()) != 0) {
        ::unlink(temporaryName.c_str());
        return false;
    }
    if (durability == Durability::synced) syncDirectory(fileName);
    return true;
}

} // namespace plotanix
