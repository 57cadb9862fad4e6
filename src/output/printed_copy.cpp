#include "output/printed_copy.h"

#include "output/png_writer.h"
#include "page/page_image.h"

#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <vector>

namespace plotanix {

namespace {
// Named apart from the other copies' helpers: they share a unity build.
namespace printed {

// The file, and how much went into it (a PDF's offsets are counted here:
// standard output cannot tell them).
struct Out {
    FILE* file = nullptr;
    size_t written = 0;
    int error = 0;
    bool write(const void* data, size_t length) {
        if (error != 0) return false;
        if (length > 0 && std::fwrite(data, 1, length, file) != length) {
            error = errno != 0 ? errno : EIO;
            return false;
        }
        written += length;
        return true;
    }
    bool operator<<(std::string_view text) { return write(text.data(), text.size()); }
};

// Points as SVG and PDF take them: to a thousandth, without the locale. A
// dot is 72/dpi of a point, exact in thousandths at every resolution the
// printers use, so that the image's pixels fall on the reader's.
std::string decimal(double value) {
    const auto thousandths = static_cast<long long>(value * 1000 + 0.5);
    std::string text = std::to_string(thousandths / 1000);
    if (const long long part = thousandths % 1000; part != 0) {
        std::string digits = std::to_string(1000 + part).substr(1);
        while (digits.back() == '0')
            digits.pop_back();
        text += "." + digits;
    }
    return text;
}

size_t rowBytes(const PageImage& page) {
    return (static_cast<size_t>(page.width) * page.depth + 7) / 8;
}

bool writeSvg(const PageImage& page, Out& out) {
    // The page's PNG, as the saved page is written, in base64.
    char* png = nullptr;
    size_t size = 0;
    FILE* memory = ::open_memstream(&png, &size);
    bool encoded = memory != nullptr && writePng(memory, page, PngCompression::fast);
    if (memory != nullptr) encoded = std::fclose(memory) == 0 && encoded;
    if (!encoded) {
        std::free(png);
        return false;
    }
    const std::string width = std::to_string(page.width), height = std::to_string(page.height);
    bool ok = out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                     "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"" +
                         decimal(72.0 * page.width / page.dpi) + "pt\" height=\"" +
                         decimal(72.0 * page.height / page.dpi) + "pt\" viewBox=\"0 0 " + width +
                         " " + height + "\">\n<image width=\"" + width + "\" height=\"" + height +
                         "\" image-rendering=\"optimizeSpeed\" style=\"image-rendering:pixelated\" "
                         "xlink:href=\"data:image/png;base64,";
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string block;
    const auto* bytes = reinterpret_cast<const uint8_t*>(png);
    for (size_t at = 0; ok && at < size; at += 3) {
        const uint32_t three = uint32_t{bytes[at]} << 16 |
                               (at + 1 < size ? uint32_t{bytes[at + 1]} << 8 : 0) |
                               (at + 2 < size ? bytes[at + 2] : 0u);
        block += digits[three >> 18];
        block += digits[(three >> 12) & 63];
        block += at + 1 < size ? digits[(three >> 6) & 63] : '=';
        block += at + 2 < size ? digits[three & 63] : '=';
        if (block.size() >= 65536) {
            ok = out << block;
            block.clear();
        }
    }
    std::free(png);
    return ok && out << block + "\"/>\n</svg>\n";
}

// The page's rows, top first, as the image's data: deflated as they go.
bool deflateRows(const PageImage& page, Out& out) {
    z_stream z{};
    if (deflateInit(&z, 6) != Z_OK) return false;
    std::array<unsigned char, size_t(1) << 16> buffer{};
    bool ok = true;
    const size_t bytes = rowBytes(page);
    for (int y = 0; ok && y <= page.height; ++y) {
        const bool last = y == page.height;
        z.next_in = last ? nullptr : const_cast<Bytef*>(page.row(y));
        z.avail_in = last ? 0 : static_cast<uInt>(bytes);
        int result = Z_OK;
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            if (result == Z_STREAM_ERROR) ok = false;
            const auto have = static_cast<size_t>(buffer.size() - z.avail_out);
            if (ok && have > 0) ok = out.write(buffer.data(), have);
        } while (ok && (z.avail_out == 0 || (last && result != Z_STREAM_END)));
    }
    deflateEnd(&z);
    return ok;
}

// Each page: its object, its content and its image, each stream with its
// length an object after it.
bool writePdf(std::span<const PageImage* const> pages, Out& out) {
    constexpr size_t perPage = 5;
    std::vector<size_t> offsets(3 + perPage * pages.size(), 0); // by object number
    const auto object = [&](size_t number) {
        offsets[number] = out.written;
        return out << std::to_string(number) + " 0 obj\n";
    };
    const auto stream = [&](size_t number, const std::string& dictionary, const auto& write) {
        if (!object(number) || !(out << "<< " + dictionary + " /Length " +
                                            std::to_string(number + 1) + " 0 R >>\nstream\n"))
            return false;
        const size_t start = out.written;
        if (!write()) return false;
        const size_t length = out.written - start;
        return out << "\nendstream\nendobj\n" && object(number + 1) &&
               out << std::to_string(length) + "\nendobj\n";
    };
    bool ok = out << "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n" && object(1) &&
              out << "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n" && object(2);
    std::string kids;
    for (size_t i = 0; i < pages.size(); ++i)
        kids += std::to_string(3 + perPage * i) + " 0 R ";
    ok = ok && out << "<< /Type /Pages /Count " + std::to_string(pages.size()) + " /Kids [" + kids +
                          "] >>\nendobj\n";
    for (size_t i = 0; ok && i < pages.size(); ++i) {
        const PageImage& page = *pages[i];
        const size_t number = 3 + perPage * i;
        const std::string width = decimal(72.0 * page.width / page.dpi);
        const std::string height = decimal(72.0 * page.height / page.dpi);
        const std::string content = "q " + width + " 0 0 " + height + " 0 0 cm /Page Do Q";
        std::string palette = "<";
        for (int k = 0; k < (1 << page.depth); ++k) {
            static constexpr char hex[] = "0123456789ABCDEF";
            for (const int shift : {0, 8, 16}) {
                palette += hex[(printPalette[k] >> (shift + 4)) & 15];
                palette += hex[(printPalette[k] >> shift) & 15];
            }
        }
        palette += ">";
        ok = object(number) &&
             out << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + width + " " + height +
                        "] /Resources << /XObject << /Page " + std::to_string(number + 3) +
                        " 0 R >> >> /Contents " + std::to_string(number + 1) +
                        " 0 R >>\nendobj\n" &&
             stream(number + 1, "", [&] { return out << content; }) &&
             stream(number + 3,
                    "/Type /XObject /Subtype /Image /Width " + std::to_string(page.width) +
                        " /Height " + std::to_string(page.height) +
                        " /ColorSpace [/Indexed /DeviceRGB " +
                        std::to_string((1 << page.depth) - 1) + " " + palette +
                        "] /BitsPerComponent " + std::to_string(page.depth) +
                        " /Filter /FlateDecode",
                    [&] { return deflateRows(page, out); });
    }
    if (!ok) return false;
    const size_t table = out.written;
    std::string xref = "xref\n0 " + std::to_string(offsets.size()) + "\n0000000000 65535 f \n";
    for (size_t i = 1; i < offsets.size(); ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offsets[i]);
        xref += entry;
    }
    return out << xref + "trailer\n<< /Size " + std::to_string(offsets.size()) +
                      " /Root 1 0 R >>\nstartxref\n" + std::to_string(table) + "\n%%EOF\n";
}

bool failed(const Out& out, std::string& reason) {
    const int error = out.error != 0 ? out.error : errno;
    if (error != 0)
        reason = std::generic_category().message(error); // strerror is not safe between threads
    else if (reason.empty())
        reason = "the copy could not be written";
    errno = error;
    return false;
}

} // namespace printed
} // namespace

bool printedPage(const PageImage& page) {
    return page.indexed() && page.dpi > 0 && page.width > 0 && page.height > 0 &&
           page.pixels.size() >= static_cast<size_t>(page.stride) * page.height;
}

bool writePrintedCopyTo(FILE* file, const PageImage& page, CopyFormat format, std::string& reason) {
    if (format == CopyFormat::png) {
        reason = "a printed page is written as PNG at its own resolution";
        return false;
    }
    if (format == CopyFormat::pdf) {
        const PageImage* pages[] = {&page};
        return writePrintedPdfTo(file, pages, reason);
    }
    reason.clear();
    if (!printedPage(page)) {
        reason = "the page is not a printed page";
        return false;
    }
    printed::Out out{file};
    errno = 0;
    if (printed::writeSvg(page, out) && std::fflush(file) == 0) return true;
    return printed::failed(out, reason);
}

bool writePrintedPdfTo(FILE* file, std::span<const PageImage* const> pages, std::string& reason) {
    reason.clear();
    for (const PageImage* page : pages) {
        if (!printedPage(*page)) {
            reason = "the page is not a printed page";
            return false;
        }
    }
    printed::Out out{file};
    errno = 0;
    if (printed::writePdf(pages, out) && std::fflush(file) == 0) return true;
    return printed::failed(out, reason);
}

bool writePrintedCopy(const PageImage& page, const std::string& fileName, CopyFormat format,
                      std::string& reason, Durability durability) {
    reason.clear();
    return writeFileAtomically(fileName, durability, [&](FILE* file) {
        return writePrintedCopyTo(file, page, format, reason);
    });
}

} // namespace plotanix
