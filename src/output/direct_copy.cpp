#include "output/direct_copy.h"

#include "page/display_list.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace plotanix {

namespace {
// Named apart from the cairo copies' helpers: the two share a unity build.
namespace direct {

// The file, and how much of the copy went into it.
struct Sink {
    FILE* file = nullptr;
    size_t written = 0;
    int error = 0; // errno of a failed write
    bool write(const void* data, size_t length) {
        if (error != 0) return false;
        if (std::fwrite(data, 1, length, file) != length) {
            error = errno != 0 ? errno : EIO;
            return false;
        }
        written += length;
        return true;
    }
};

constexpr double pointsPerMm = 72.0 / 25.4;

// What the list spilled, handed to the copy's sink; false when it was not
// kept (its file could not be written) or was kept for another format.
bool spilledBytes(const ListSpill& spill, Sink& sink, CopyFormat format);

bool stroked(const ListItem& item) {
    return item.kind == ItemKind::polyline || item.kind == ItemKind::segments;
}

// Text for a copy, gathered and handed to the sink in blocks.
class TextOut {
  public:
    // write takes each block; false when it could not.
    using Write = std::function<bool(const char* data, size_t length)>;
    explicit TextOut(Write write) : write_(std::move(write)) { text_.reserve(blockBytes + 256); }
    explicit TextOut(Sink& sink)
        : TextOut([&sink](const char* data, size_t length) { return sink.write(data, length); }) {}
    TextOut& operator<<(std::string_view text) {
        text_.append(text);
        return spill();
    }
    TextOut& operator<<(char c) {
        text_.push_back(c);
        return *this;
    }
    // A coordinate to a thousandth (of a pixel: well under the paper's
    // finest detail), as integers are written: no locale, no printf.
    TextOut& number(double value) {
        auto thousandths = static_cast<int64_t>(std::llround(value * 1000));
        if (thousandths < 0) text_.push_back('-'), thousandths = -thousandths;
        char digits[24];
        char* end = std::to_chars(digits, digits + sizeof digits, thousandths / 1000).ptr;
        int fraction = static_cast<int>(thousandths % 1000);
        if (fraction != 0) {
            *end++ = '.';
            for (int unit = 100; fraction != 0; unit /= 10) {
                *end++ = static_cast<char>('0' + fraction / unit);
                fraction %= unit;
            }
        }
        text_.append(digits, end);
        return spill();
    }
    // A picture coordinate in hundredths of a pixel, a whole number: the
    // drawing's own units are set a hundredth of a pixel, so that every
    // coordinate is written as an integer is (cairo keeps 1/256).
    TextOut& hundredths(double value) {
        char digits[24];
        text_.append(digits,
                     std::to_chars(digits, digits + sizeof digits, std::llround(value * 100)).ptr);
        return spill();
    }
    // A size or scale as exactly as a double holds it.
    TextOut& exact(double value) {
        char digits[32];
        text_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    TextOut& colour(Colour colour) {
        static constexpr char hex[] = "0123456789abcdef";
        text_.push_back('#');
        for (const int shift : {0, 8, 16}) {
            text_.push_back(hex[(colour >> (shift + 4)) & 0xF]);
            text_.push_back(hex[(colour >> shift) & 0xF]);
        }
        return *this;
    }
    size_t pending() const { return text_.size(); }
    // False when the sink refused a block.
    bool flush() {
        if (!text_.empty() && !failed_ && !write_(text_.data(), text_.size())) failed_ = true;
        text_.clear();
        return !failed_;
    }
    bool failed() const { return failed_; }

  private:
    static constexpr size_t blockBytes = size_t(1) << 16;
    TextOut& spill() {
        if (text_.size() >= blockBytes && !failed_) flush();
        return *this;
    }
    Write write_;
    std::string text_;
    bool failed_ = false;
};

// A path's data is cut into elements of this much, so that no attribute
// outgrows what XML readers take by default.
constexpr size_t pathDataBytes = size_t(1) << 20;

// The list's items as SVG elements.
void svgItems(TextOut& out, const DisplayList& list) {
    const std::vector<ListItem>& items = list.items();
    const auto point = [&](char command, const ListPoint& p) {
        out << command;
        out.hundredths(p.x + 0.5) << ' ';
        out.hundredths(p.y + 0.5);
    };
    for (size_t i = 0; i < items.size() && !out.failed(); ++i) {
        const ListItem& item = items[i];
        if (item.kind == ItemKind::polyline && item.count < 2) continue; // going on later
        switch (item.kind) {
        case ItemKind::polyline:
        case ItemKind::segments: {
            out << "<path stroke=\"";
            out.colour(item.colour) << "\" d=\"";
            const size_t start = out.pending();
            for (size_t j = i;; ++j) {
                const ListItem& run = items[j];
                const ListPoint* points = list.points().data() + run.first;
                const uint32_t step = run.kind == ItemKind::polyline ? run.count : 2;
                for (uint32_t at = 0; at < run.count; ++at)
                    point(at % step == 0 ? 'M' : 'L', points[at]);
                i = j;
                if (j + 1 == items.size() || !stroked(items[j + 1]) ||
                    items[j + 1].colour != item.colour ||
                    out.pending() - std::min(out.pending(), start) > pathDataBytes)
                    break;
            }
            out << "\"/>\n";
            break;
        }
        case ItemKind::box: {
            const ListBox& box = list.boxes()[item.first];
            out << "<rect x=\"";
            out.hundredths(box.topLeft.x) << "\" y=\"";
            out.hundredths(box.topLeft.y) << "\" width=\"";
            out.hundredths(box.width) << "\" height=\"";
            out.hundredths(box.height) << "\" fill=\"";
            out.colour(item.colour) << "\"/>\n";
            break;
        }
        case ItemKind::path: {
            const ListPath& path = list.paths()[item.first];
            out << "<path fill=\"";
            out.colour(item.colour) << (path.rule == FillRule::nonzero ? "\" fill-rule=\"nonzero"
                                                                       : "\" fill-rule=\"evenodd")
                                    << "\" d=\"";
            const ListPathPoint* p = list.pathPoints().data() + path.firstPoint;
            for (uint32_t ring = 0; ring < path.ringCount; ++ring) {
                const uint32_t count = list.rings()[path.firstRing + ring];
                for (uint32_t k = 0; k < count; ++k, ++p) {
                    out << (k == 0 ? 'M' : 'L');
                    out.hundredths(p->x) << ' ';
                    out.hundredths(p->y);
                }
                out << 'Z';
            }
            out << "\"/>\n";
            break;
        }
        case ItemKind::label: // not on a plain copy
            break;
        }
    }
}

// The SVG written as it is made: lines of one colour in a row as one path
// (through the pixel centres, one pixel wide, round ends and joins), boxes
// as rectangles, areas as filled paths, in drawing order on white paper.
bool writeSvg(const DisplayList& list, const CopyOptions& options, Sink& sink) {
    TextOut out(sink);
    const std::optional<PaperPlacement>& paper = options.paper;
    const double width = paper ? paper->widthMm : list.width();
    const double height = paper ? paper->heightMm : list.height();
    const std::string_view unit = paper ? "mm" : "";
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"";
    out.exact(width) << unit << "\" height=\"";
    out.exact(height) << unit << "\" viewBox=\"0 0 ";
    out.exact(width) << ' ';
    out.exact(height) << "\">\n<rect x=\"0\" y=\"0\" width=\"";
    out.exact(width) << "\" height=\"";
    out.exact(height) << "\" fill=\"#ffffff\"/>\n<g";
    // Picture coordinates in hundredths of a pixel, laid on the paper.
    const double pixel = paper ? paper->pixelMm : 1;
    out << " transform=\"matrix(";
    out.exact(pixel / 100) << ",0,0,";
    out.exact(pixel / 100) << ',';
    out.exact(paper ? paper->leftMm : 0) << ',';
    out.exact(paper ? paper->topMm : 0) << ")\"";
    out << " fill=\"none\" stroke-width=\"100\" stroke-linecap=\"round\" "
           "stroke-linejoin=\"round\">\n";
    if (const ListSpill* spill = list.spilled()) {
        if (!out.flush() || !spilledBytes(*spill, sink, CopyFormat::svg)) return false;
    }
    svgItems(out, list);
    out << "</g>\n</svg>\n";
    return out.flush();
}

// A PDF content stream compressed as it is written, straight to the sink.
class Deflater {
  public:
    explicit Deflater(Sink& sink) : sink_(sink) {
        // The fastest level: a page's operators are digits, spaces and a
        // few letters, which any level shrinks to under half.
        ok_ = deflateInit(&z_, 1) == Z_OK;
    }
    ~Deflater() { deflateEnd(&z_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    bool write(const char* data, size_t length) { return pass(data, length, Z_NO_FLUSH); }
    bool finish() { return pass(nullptr, 0, Z_FINISH); }
    // What was given so far, deflated to a byte's end; the stream goes on.
    bool flushed() { return pass(nullptr, 0, Z_SYNC_FLUSH); }
    // The check of everything given so far.
    uLong adler() const { return z_.adler; }

  private:
    bool pass(const char* data, size_t length, int flush) {
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z_.avail_in = static_cast<uInt>(length);
        int result = Z_OK;
        do {
            z_.next_out = out_.data();
            z_.avail_out = static_cast<uInt>(out_.size());
            result = deflate(&z_, flush);
            if (result == Z_STREAM_ERROR) ok_ = false;
            const auto have = static_cast<unsigned>(out_.size() - z_.avail_out);
            if (ok_ && have > 0 && !sink_.write(out_.data(), have)) ok_ = false;
        } while (ok_ && (z_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END)));
        return ok_;
    }
    Sink& sink_;
    z_stream z_{};
    std::array<unsigned char, size_t(1) << 16> out_{};
    bool ok_ = false;
};

// A page's drawing begins on white paper, the picture laid on the sheet (y
// down, a pixel pixelMm); lines one pixel wide with round ends and joins.
void pdfPrologue(TextOut& out, const std::optional<PaperPlacement>& paper, double width,
                 double height) {
    out << "1 1 1 rg 0 0 ";
    out.number(width) << ' ';
    out.number(height) << " re f\n";
    // Picture coordinates in hundredths of a pixel, y down.
    const double scale = (paper ? paper->pixelMm * pointsPerMm : 1) / 100;
    out.exact(scale) << " 0 0 ";
    out.exact(-scale) << ' ';
    out.exact(paper ? paper->leftMm * pointsPerMm : 0) << ' ';
    out.exact(height - (paper ? paper->topMm * pointsPerMm : 0)) << " cm\n100 w 1 J 1 j\n";
}

// The list's items as PDF operators, in the picture's hundredths of a pixel.
void pdfItems(TextOut& out, const DisplayList& list) {
    const auto colour = [&](Colour c, std::string_view op) {
        out.number((c & 0xFF) / 255.0) << ' ';
        out.number(((c >> 8) & 0xFF) / 255.0) << ' ';
        out.number(((c >> 16) & 0xFF) / 255.0) << op;
    };
    const auto at = [&](double x, double y, std::string_view op) {
        out.hundredths(x) << ' ';
        out.hundredths(y) << op;
    };
    const std::vector<ListItem>& items = list.items();
    for (size_t i = 0; i < items.size() && !out.failed(); ++i) {
        const ListItem& item = items[i];
        if (item.kind == ItemKind::polyline && item.count < 2) continue; // going on later
        switch (item.kind) {
        case ItemKind::polyline:
        case ItemKind::segments:
            colour(item.colour, " RG\n");
            for (size_t j = i;; ++j) {
                const ListItem& run = items[j];
                const ListPoint* points = list.points().data() + run.first;
                const uint32_t step = run.kind == ItemKind::polyline ? run.count : 2;
                for (uint32_t k = 0; k < run.count; ++k)
                    at(points[k].x + 0.5, points[k].y + 0.5, k % step == 0 ? " m\n" : " l\n");
                i = j;
                if (j + 1 == items.size() || !stroked(items[j + 1]) ||
                    items[j + 1].colour != item.colour)
                    break;
            }
            out << "S\n";
            break;
        case ItemKind::box: {
            const ListBox& box = list.boxes()[item.first];
            colour(item.colour, " rg\n");
            at(box.topLeft.x, box.topLeft.y, " ");
            at(box.width, box.height, " re f\n");
            break;
        }
        case ItemKind::path: {
            const ListPath& path = list.paths()[item.first];
            colour(item.colour, " rg\n");
            const ListPathPoint* p = list.pathPoints().data() + path.firstPoint;
            for (uint32_t ring = 0; ring < path.ringCount; ++ring) {
                const uint32_t count = list.rings()[path.firstRing + ring];
                for (uint32_t k = 0; k < count; ++k, ++p)
                    at(p->x, p->y, k == 0 ? " m\n" : " l\n");
                out << "h\n";
            }
            out << (path.rule == FillRule::nonzero ? "f\n" : "f*\n");
            break;
        }
        case ItemKind::label: // not on a plain copy
            break;
        }
    }
}

// What a list spills, written at once as the copy's text into a file of
// its own, gone with the spill; a PDF's compressed as it goes.
class CopySpill : public ListSpill {
  public:
    explicit CopySpill(CopyFormat format) : format_(format), file_(std::tmpfile()) {
        sink_.file = file_;
        if (format_ == CopyFormat::pdf) deflater_ = std::make_unique<Deflater>(sink_);
    }
    ~CopySpill() override {
        deflater_.reset();
        if (file_ != nullptr) std::fclose(file_);
    }
    CopySpill(const CopySpill&) = delete;
    CopySpill& operator=(const CopySpill&) = delete;

    void take(const DisplayList& part) override {
        if (file_ == nullptr || failed_) {
            failed_ = true;
            return;
        }
        TextOut out([this](const char* data, size_t length) {
            return deflater_ ? deflater_->write(data, length) : sink_.write(data, length);
        });
        if (format_ == CopyFormat::svg) {
            svgItems(out, part);
        } else {
            pdfItems(out, part);
        }
        failed_ = !out.flush();
    }
    std::shared_ptr<ListSpill> fresh() const override {
        return std::make_shared<CopySpill>(format_);
    }
    // The bytes kept: a PDF's as a whole zlib stream, ended by an empty last
    // block and the check, while the one kept goes on for more.
    bool copyTo(Sink& to, CopyFormat format) const {
        if (failed_ || file_ == nullptr || format != format_) return false;
        if ((deflater_ && !deflater_->flushed()) || std::fflush(file_) != 0) return false;
        std::array<char, size_t(1) << 16> buffer;
        for (size_t at = 0; at < sink_.written;) {
            const ssize_t n = ::pread(fileno(file_), buffer.data(),
                                      std::min(buffer.size(), sink_.written - at), off_t(at));
            if (n <= 0 || !to.write(buffer.data(), size_t(n))) return false;
            at += size_t(n);
        }
        if (!deflater_) return true;
        const uLong check = deflater_->adler();
        const uint8_t end[6] = {
            0x03,          0x00, uint8_t(check >> 24), uint8_t(check >> 16), uint8_t(check >> 8),
            uint8_t(check)};
        return to.write(end, sizeof end);
    }

  private:
    CopyFormat format_;
    FILE* file_;
    mutable Sink sink_;
    mutable std::unique_ptr<Deflater> deflater_;
    bool failed_ = false;
};

bool spilledBytes(const ListSpill& spill, Sink& sink, CopyFormat format) {
    const auto* kept = dynamic_cast<const CopySpill*>(&spill);
    return kept != nullptr && kept->copyTo(sink, format);
}

// The pages as one PDF, each content stream compressed as it is written,
// its length an object after it; the cross-reference table at the end.
bool writePdf(std::span<const PdfPage> pages, Sink& sink) {
    // Each page: its object, then three streams, each with its length
    // after it: the prologue, what the list spilled, and the list's items.
    constexpr size_t perPage = 7;
    TextOut out(sink);
    std::vector<size_t> offsets(3 + perPage * pages.size(), 0); // by object number
    const auto object = [&](size_t number) {
        out.flush();
        offsets[number] = sink.written;
        out << std::to_string(number) << " 0 obj\n";
    };
    // A stream of what write puts there; false when it could not be written.
    const auto stream = [&](size_t number, bool deflated, const std::function<bool()>& write) {
        object(number);
        out << "<< /Length " << std::to_string(number + 1) << " 0 R"
            << (deflated ? " /Filter /FlateDecode" : "") << " >>\nstream\n";
        if (!out.flush()) return false;
        const size_t start = sink.written;
        if (!write()) return false;
        const size_t length = sink.written - start;
        out << "\nendstream\nendobj\n";
        object(number + 1);
        out << std::to_string(length) << "\nendobj\n";
        return true;
    };
    const auto deflatedText = [&](const std::function<void(TextOut&)>& text) {
        Deflater deflater(sink);
        TextOut content(
            [&](const char* data, size_t length) { return deflater.write(data, length); });
        text(content);
        return content.flush() && deflater.finish();
    };
    out << "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
    object(1);
    out << "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
    object(2);
    out << "<< /Type /Pages /Count " << std::to_string(pages.size()) << " /Kids [";
    for (size_t i = 0; i < pages.size(); ++i)
        out << std::to_string(3 + perPage * i) << " 0 R ";
    out << "] >>\nendobj\n";
    for (size_t i = 0; i < pages.size() && !out.failed(); ++i) {
        const DisplayList& list = *pages[i].list;
        const std::optional<PaperPlacement>& paper = pages[i].paper;
        const double width = paper ? paper->widthMm * pointsPerMm : list.width();
        const double height = paper ? paper->heightMm * pointsPerMm : list.height();
        const size_t page = 3 + perPage * i;
        object(page);
        // To a thousandth of a point, as the sheet's size is given: 215.9 mm
        // is 612 points, not a hair more.
        out << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 ";
        out.number(width) << ' ';
        out.number(height) << "] /Resources << >> /Contents [";
        for (size_t k = 1; k < perPage; k += 2)
            out << std::to_string(page + k) << " 0 R ";
        out << "] >>\nendobj\n";
        const ListSpill* spill = list.spilled();
        if (!stream(page + 1, true,
                    [&] {
                        return deflatedText(
                            [&](TextOut& text) { pdfPrologue(text, paper, width, height); });
                    }) ||
            !stream(
                page + 3, spill != nullptr,
                [&] { return spill == nullptr || spilledBytes(*spill, sink, CopyFormat::pdf); }) ||
            !stream(page + 5, true,
                    [&] { return deflatedText([&](TextOut& text) { pdfItems(text, list); }); }))
            return false;
    }
    if (!out.flush()) return false;
    const size_t table = sink.written;
    out << "xref\n0 " << std::to_string(offsets.size()) << "\n0000000000 65535 f \n";
    for (size_t i = 1; i < offsets.size(); ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offsets[i]);
        out << entry;
    }
    out << "trailer\n<< /Size " << std::to_string(offsets.size()) << " /Root 1 0 R >>\nstartxref\n"
        << std::to_string(table) << "\n%%EOF\n";
    return out.flush();
}

bool failed(const Sink& sink, FILE* file, std::string& reason) {
    const int error = sink.error != 0 ? sink.error : errno;
    if (error != 0)
        reason = std::generic_category().message(error); // strerror is not safe between threads
    else if (reason.empty())
        reason = "the copy could not be written";
    errno = error;
    (void)file;
    return false;
}

} // namespace direct
} // namespace

bool copyRefused(const DisplayList& list, const CopyOptions& options, std::string& reason) {
    if (list.overflowed()) {
        reason = "the page holds more than " + std::to_string(DisplayList::maxItems) +
                 " drawn items or " + std::to_string(DisplayList::maxTextBytes >> 20) +
                 " MB of labels; no copy is written";
    } else if (options.format == CopyFormat::png &&
               (options.scale < 1 || options.scale > maxCopyScale)) {
        reason = "the scale must be 1 to " + std::to_string(maxCopyScale);
    } else if (list.width() <= 0 || list.height() <= 0) {
        reason = "the page has no size";
    } else if (options.paper && !(options.paper->widthMm > 0 && options.paper->heightMm > 0 &&
                                  options.paper->pixelMm > 0)) {
        reason = "the paper has no size";
    } else {
        return false;
    }
    return true;
}

std::shared_ptr<ListSpill> copySpill(CopyFormat format) {
    return std::make_shared<direct::CopySpill>(format);
}

bool directCopy(const DisplayList& list, const CopyOptions& options) {
    return !options.cairo && options.format != CopyFormat::png && list.labels().empty();
}

bool directPdf(std::span<const PdfPage> pages) {
    return std::all_of(pages.begin(), pages.end(),
                       [](const PdfPage& page) { return page.list->labels().empty(); });
}

bool writeDirectCopyTo(FILE* file, const DisplayList& list, const CopyOptions& options,
                       std::string& reason) {
    if (copyRefused(list, options, reason)) return false;
    direct::Sink sink{file};
    errno = 0;
    const PdfPage page{&list, options.paper};
    const bool written = options.format == CopyFormat::svg ? direct::writeSvg(list, options, sink)
                                                           : direct::writePdf({&page, 1}, sink);
    if (written && std::fflush(file) == 0) return true;
    return direct::failed(sink, file, reason);
}

bool writeDirectPdfPagesTo(FILE* file, std::span<const PdfPage> pages, std::string& reason) {
    reason.clear();
    for (const PdfPage& page : pages) {
        if (copyRefused(*page.list, {CopyFormat::pdf, 1, page.paper}, reason)) return false;
    }
    direct::Sink sink{file};
    errno = 0;
    if (direct::writePdf(pages, sink) && std::fflush(file) == 0) return true;
    return direct::failed(sink, file, reason);
}

} // namespace plotanix
