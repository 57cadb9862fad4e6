#include "output/png_writer.h"

#include "page/page_image.h"

#include <cstdio>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

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
bool encodeImage(FILE* file, const PageImage& image) {
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
    png_set_compression_level(png, 9);
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
    // umask can only be read by setting it; the program has one thread.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Writes the whole image to the open descriptor and closes it; true only
// when every byte has been written (and, if durable, has reached the disk).
bool writeImageFile(int fd, const PageImage& image, Durability durability) {
    if (::fchmod(fd, newFileMode()) != 0) {
        ::close(fd);
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        ::close(fd);
        return false;
    }
    bool written = encodeImage(file, image);
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

// libpng needs no set-up; the call stays for the program's start-up order.
void enablePngEncoder() {}

int savePng(const PageImage& image, const std::string& fileName, Durability durability) {
    if (fileName.empty() || !usableImage(image)) return 0;
    std::string temporaryName = temporaryPattern(fileName);
    if (temporaryName.empty()) return 0;
    // mkostemp creates with O_EXCL (a planted name, link or not, is never
    // opened); the rename then replaces a link of the final name rather
    // than writing through it.
    const int fd = ::mkostemp(temporaryName.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    if (!writeImageFile(fd, image, durability) ||
        std::rename(temporaryName.c_str(), fileName.c_str()) != 0) {
        ::unlink(temporaryName.c_str());
        return 0;
    }
    if (durability == Durability::synced) syncDirectory(fileName);
    return 1;
}

} // namespace plotanix
