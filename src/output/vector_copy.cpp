#include "output/vector_copy.h"

#include "output/direct_copy.h"

#include "page/display_list.h"

#include <cairo-ft.h>
#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace plotanix {

namespace {

struct SurfaceDeleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

struct ContextDeleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

struct FaceDeleter {
    void operator()(cairo_font_face_t* face) const { cairo_font_face_destroy(face); }
};
using FacePtr = std::unique_ptr<cairo_font_face_t, FaceDeleter>;

// A label face in cairo, with the glyph each byte takes in the raster (the
// byte as a Unicode code point).
struct CopyFace {
    FacePtr face;
    std::array<unsigned long, 256> glyphs{};
};

bool glyphTable(cairo_font_face_t* face, int emHeight, std::array<unsigned long, 256>& glyphs) {
    cairo_matrix_t size, identity;
    cairo_matrix_init_scale(&size, emHeight, emHeight);
    cairo_matrix_init_identity(&identity);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_scaled_font_t* scaled = cairo_scaled_font_create(face, &size, &identity, options);
    cairo_font_options_destroy(options);
    FT_Face ft = cairo_ft_scaled_font_lock_face(scaled);
    if (ft != nullptr) {
        for (unsigned byte = 0; byte < glyphs.size(); ++byte)
            glyphs[byte] = FT_Get_Char_Index(ft, byte);
        cairo_ft_scaled_font_unlock_face(scaled);
    }
    cairo_scaled_font_destroy(scaled);
    return ft != nullptr;
}

// The face file itself, not whatever fontconfig would pick today.
FacePtr openFace(const LabelFace& label) {
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return nullptr;
    FcPatternAddString(pattern, FC_FILE, reinterpret_cast<const FcChar8*>(label.filePath.c_str()));
    FcPatternAddInteger(pattern, FC_INDEX, label.faceIndex);
    FacePtr face(cairo_ft_font_face_create_for_pattern(pattern));
    FcPatternDestroy(pattern);
    if (cairo_font_face_status(face.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    return face;
}

bool openFaces(const DisplayList& list, std::vector<CopyFace>& faces, std::string& reason) {
    for (const LabelFace& label : list.faces()) {
        CopyFace copy;
        copy.face = openFace(label);
        if (!copy.face || !glyphTable(copy.face.get(), label.emHeight, copy.glyphs)) {
            reason = "the label font " + label.filePath + " cannot be opened";
            return false;
        }
        faces.push_back(std::move(copy));
    }
    return true;
}

void setColour(cairo_t* cr, Colour colour) {
    cairo_set_source_rgb(cr, (colour & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                         ((colour >> 16) & 0xFF) / 255.0);
}

// A pixel line from (x1, y1) to (x2, y2) covers the pixels' centres.
void tracePolyline(cairo_t* cr, const ListPoint* points, uint32_t count) {
    cairo_move_to(cr, points[0].x + 0.5, points[0].y + 0.5);
    for (uint32_t i = 1; i < count; ++i)
        cairo_line_to(cr, points[i].x + 0.5, points[i].y + 0.5);
}

bool stroked(const ListItem& item) {
    return item.kind == ItemKind::polyline || item.kind == ItemKind::segments;
}

// A polyline, or a run of separate lines each a polyline of its own.
void traceItem(cairo_t* cr, const DisplayList& list, const ListItem& item) {
    const ListPoint* points = list.points().data() + item.first;
    if (item.kind == ItemKind::polyline) return tracePolyline(cr, points, item.count);
    for (uint32_t i = 0; i < item.count; i += 2)
        tracePolyline(cr, points + i, 2);
}

// Past this many polylines a page's polylines of one colour in a row are
// stroked as one path: cairo keeps every stroke of an SVG or PDF page until
// the page is done, at some kilobyte each with its own colour and style,
// where a point of a path costs it a dozen bytes. Pages below it keep a
// stroke each, as they always had.
constexpr size_t joinedStrokesFrom = 50000;

// As the raster cut it to the page; its edges lie on pixel edges, not centres.
void fillPath(cairo_t* cr, const DisplayList& list, const ListPath& path) {
    const ListPathPoint* point = list.pathPoints().data() + path.firstPoint;
    for (uint32_t ring = 0; ring < path.ringCount; ++ring) {
        const uint32_t count = list.rings()[path.firstRing + ring];
        for (uint32_t i = 0; i < count; ++i, ++point) {
            if (i == 0)
                cairo_move_to(cr, point->x, point->y);
            else
                cairo_line_to(cr, point->x, point->y);
        }
        cairo_close_path(cr);
    }
    cairo_set_fill_rule(cr, path.rule == FillRule::nonzero ? CAIRO_FILL_RULE_WINDING
                                                           : CAIRO_FILL_RULE_EVEN_ODD);
    cairo_fill(cr);
}

// As the raster places them: glyph origins along the turned baseline one
// ascent below the cell's top-left, each a whole-pixel advance on. Drawn from
// the first kept glyph so that no coordinate strays far from the page.
void showLabel(cairo_t* cr, const DisplayList& list, const ListLabel& label,
               const std::vector<CopyFace>& faces, std::vector<cairo_glyph_t>& glyphs) {
    const LabelFace& face = list.faces()[label.face];
    const CopyFace& copy = faces[label.face];
    const double radians = label.angle * std::numbers::pi / 180.0;
    const double cosine = std::cos(radians), sine = std::sin(radians);
    const double startX = label.cell.x + face.ascent * sine + double(label.penStart) * cosine;
    const double startY = label.cell.y + face.ascent * cosine - double(label.penStart) * sine;
    glyphs.clear();
    int64_t pen = 0;
    for (unsigned char byte : list.text(label)) {
        glyphs.push_back({copy.glyphs[byte], double(pen), 0.0});
        pen += face.advances[byte];
    }
    cairo_save(cr);
    cairo_translate(cr, startX, startY);
    cairo_rotate(cr, -radians); // counter-clockwise on a page whose y runs down
    cairo_set_font_face(cr, copy.face.get());
    cairo_set_font_size(cr, face.emHeight);
    cairo_show_glyphs(cr, glyphs.data(), static_cast<int>(glyphs.size()));
    cairo_restore(cr);
}

void paintList(cairo_t* cr, const DisplayList& list, const std::vector<CopyFace>& faces) {
    // White paper first: the list starts where the page was last cleared, and
    // a page born blank has no box of its own.
    setColour(cr, 0xFFFFFF);
    cairo_paint(cr);
    cairo_set_line_width(cr, 1.0);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    const std::vector<ListItem>& items = list.items();
    const bool join = list.polylines() >= joinedStrokesFrom;
    std::vector<cairo_glyph_t> glyphs;
    for (size_t i = 0; i < items.size(); ++i) {
        const ListItem& item = items[i];
        setColour(cr, item.colour);
        switch (item.kind) {
        case ItemKind::polyline:
        case ItemKind::segments:
            if (!join) {
                // A stroke each, as a page of few lines has always had them.
                const ListPoint* points = list.points().data() + item.first;
                const uint32_t step = item.kind == ItemKind::polyline ? item.count : 2;
                for (uint32_t at = 0; at < item.count; at += step) {
                    if (at > 0) setColour(cr, item.colour);
                    tracePolyline(cr, points + at, step);
                    cairo_stroke(cr);
                }
                break;
            }
            traceItem(cr, list, item);
            while (i + 1 < items.size() && stroked(items[i + 1]) &&
                   items[i + 1].colour == item.colour)
                traceItem(cr, list, items[++i]);
            cairo_stroke(cr);
            break;
        case ItemKind::box: {
            const ListBox& box = list.boxes()[item.first];
            cairo_rectangle(cr, box.topLeft.x, box.topLeft.y, box.width, box.height);
            cairo_fill(cr);
            break;
        }
        case ItemKind::label:
            showLabel(cr, list, list.labels()[item.first], faces, glyphs);
            break;
        case ItemKind::path:
            fillPath(cr, list, list.paths()[item.first]);
            break;
        }
    }
}

// Where cairo's output goes: the file, within the size bound. Failures are
// kept here too: cairo does not report every failed write.
struct Sink {
    FILE* file = nullptr;
    size_t written = 0;
    bool tooLarge = false;
    bool failed = false;
    int error = 0; // errno of the failed write
};

cairo_status_t writeToSink(void* closure, const unsigned char* data, unsigned int length) {
    Sink& sink = *static_cast<Sink*>(closure);
    if (sink.written + length > maxCopyBytes) {
        sink.tooLarge = sink.failed = true;
        return CAIRO_STATUS_WRITE_ERROR;
    }
    if (std::fwrite(data, 1, length, sink.file) != length) {
        sink.failed = true;
        sink.error = errno;
        return CAIRO_STATUS_WRITE_ERROR;
    }
    sink.written += length;
    return CAIRO_STATUS_SUCCESS;
}

constexpr double pointsPerMm = 72.0 / 25.4;

// The document's page, and the picture laid on it: its own 800 x 600, or
// placed on the paper at true size.
SurfacePtr vectorSurface(const DisplayList& list, const CopyOptions& options, Sink& sink) {
    const std::optional<PaperPlacement>& paper = options.paper;
    if (options.format == CopyFormat::pdf) {
        const double width = paper ? paper->widthMm * pointsPerMm : list.width();
        const double height = paper ? paper->heightMm * pointsPerMm : list.height();
        return SurfacePtr(cairo_pdf_surface_create_for_stream(writeToSink, &sink, width, height));
    }
    const double width = paper ? paper->widthMm : list.width();
    const double height = paper ? paper->heightMm : list.height();
    SurfacePtr surface(cairo_svg_surface_create_for_stream(writeToSink, &sink, width, height));
    cairo_svg_surface_set_document_unit(surface.get(),
                                        paper ? CAIRO_SVG_UNIT_MM : CAIRO_SVG_UNIT_USER);
    return surface;
}

void placeOnPaper(cairo_t* cr, const CopyOptions& options) {
    if (!options.paper) return;
    const PaperPlacement& paper = *options.paper;
    if (options.format == CopyFormat::pdf) cairo_scale(cr, pointsPerMm, pointsPerMm);
    cairo_translate(cr, paper.leftMm, paper.topMm);
    cairo_scale(cr, paper.pixelMm, paper.pixelMm);
}

// SVG and PDF are drawn straight into the file as cairo emits them.
bool writeVector(const DisplayList& list, const CopyOptions& options,
                 const std::vector<CopyFace>& faces, Sink& sink) {
    SurfacePtr surface = vectorSurface(list, options, sink);
    {
        ContextPtr cr(cairo_create(surface.get()));
        placeOnPaper(cr.get(), options);
        paintList(cr.get(), list, faces);
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return false;
    }
    cairo_surface_finish(surface.get());
    return cairo_surface_status(surface.get()) == CAIRO_STATUS_SUCCESS && !sink.failed;
}

// The PNG is drawn before any file exists.
SurfacePtr paintImage(const DisplayList& list, int scale, const std::vector<CopyFace>& faces) {
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, list.width() * scale,
                                                  list.height() * scale));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    ContextPtr cr(cairo_create(surface.get()));
    cairo_scale(cr.get(), scale, scale);
    // At the page's own size lines land on whole pixels as the raster's do;
    // labels stay smooth there as they are on the raster.
    if (scale == 1) cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_NONE);
    paintList(cr.get(), list, faces);
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    cairo_surface_flush(surface.get());
    return surface;
}

std::string tooLargeReason(const std::string& what) {
    return what + " would be larger than " + std::to_string(maxCopyBytes >> 20) + " MB";
}

// What is needed before anything is written: the faces, and a PNG's picture.
struct Prepared {
    std::vector<CopyFace> faces;
    SurfacePtr image;
};

bool prepare(const DisplayList& list, const CopyOptions& options, Prepared& prepared,
             std::string& reason) {
    reason.clear();
    if (copyRefused(list, options, reason) || !openFaces(list, prepared.faces, reason))
        return false;
    if (options.format != CopyFormat::png) return true;
    prepared.image = paintImage(list, options.scale, prepared.faces);
    if (!prepared.image) {
        reason = "not enough memory for a copy at scale " + std::to_string(options.scale);
        return false;
    }
    return true;
}

bool emit(const DisplayList& list, const CopyOptions& options, const Prepared& prepared,
          Sink& sink) {
    if (!prepared.image) return writeVector(list, options, prepared.faces, sink);
    return cairo_surface_write_to_png_stream(prepared.image.get(), writeToSink, &sink) ==
               CAIRO_STATUS_SUCCESS &&
           !sink.failed;
}

} // namespace

bool writePageCopy(const DisplayList& list, const std::string& fileName, const CopyOptions& options,
                   std::string& reason, Durability durability) {
    reason.clear();
    if (fileName.empty() || fileName.back() == '/') {
        reason = "no file name for the copy";
        return false;
    }
    if (directCopy(list, options)) {
        if (copyRefused(list, options, reason)) return false;
        int error = 0;
        if (writeFileAtomically(fileName, durability, [&](FILE* file) {
                const bool done = writeDirectCopyTo(file, list, options, reason);
                error = errno;
                return done;
            }))
            return true;
        reason = "cannot write " + fileName +
                 (error != 0 ? ": " + std::string(std::strerror(error)) : "");
        return false;
    }
    Prepared prepared;
    if (!prepare(list, options, prepared, reason)) return false;
    Sink sink;
    const bool written = writeFileAtomically(fileName, durability, [&](FILE* file) {
        sink.file = file;
        return emit(list, options, prepared, sink);
    });
    if (written) return true;
    const int error = errno;
    if (sink.tooLarge) {
        reason = tooLargeReason("the copy " + fileName);
    } else {
        reason = "cannot write " + fileName +
                 (error != 0 ? ": " + std::string(std::strerror(error)) : "");
    }
    return false;
}

bool writePageCopyTo(FILE* file, const DisplayList& list, const CopyOptions& options,
                     std::string& reason) {
    if (directCopy(list, options))
        return !copyRefused(list, options, reason) &&
               writeDirectCopyTo(file, list, options, reason);
    Prepared prepared;
    if (!prepare(list, options, prepared, reason)) return false;
    Sink sink;
    sink.file = file;
    errno = 0;
    if (emit(list, options, prepared, sink) && std::fflush(file) == 0) return true;
    const int error = sink.error != 0 ? sink.error : errno;
    if (sink.tooLarge) {
        reason = tooLargeReason("the copy");
    } else if (error != 0) {
        reason = std::generic_category().message(error); // strerror is not safe between threads
    }
    return false;
}

bool writePdfPagesTo(FILE* file, std::span<const PdfPage> pages, std::string& reason) {
    reason.clear();
    if (pages.empty()) return true;
    if (directPdf(pages)) return writeDirectPdfPagesTo(file, pages, reason);
    std::vector<Prepared> prepared(pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        if (!prepare(*pages[i].list, {CopyFormat::pdf, 1, pages[i].paper}, prepared[i], reason))
            return false;
    }
    Sink sink;
    sink.file = file;
    errno = 0;
    bool drawn = true;
    {
        // The first page's surface; each page then takes its own sheet.
        SurfacePtr surface =
            vectorSurface(*pages[0].list, {CopyFormat::pdf, 1, pages[0].paper}, sink);
        for (size_t i = 0; i < pages.size() && drawn; ++i) {
            const CopyOptions options{CopyFormat::pdf, 1, pages[i].paper};
            const DisplayList& list = *pages[i].list;
            cairo_pdf_surface_set_size(
                surface.get(), options.paper ? options.paper->widthMm * pointsPerMm : list.width(),
                options.paper ? options.paper->heightMm * pointsPerMm : list.height());
            ContextPtr cr(cairo_create(surface.get()));
            placeOnPaper(cr.get(), options);
            paintList(cr.get(), list, prepared[i].faces);
            cairo_show_page(cr.get());
            drawn = cairo_status(cr.get()) == CAIRO_STATUS_SUCCESS;
        }
        cairo_surface_finish(surface.get());
        drawn =
            drawn && cairo_surface_status(surface.get()) == CAIRO_STATUS_SUCCESS && !sink.failed;
    }
    if (drawn && std::fflush(file) == 0) return true;
    const int error = sink.error != 0 ? sink.error : errno;
    if (sink.tooLarge) {
        reason = tooLargeReason("the copy");
    } else if (error != 0) {
        reason = std::generic_category().message(error);
    } else if (reason.empty()) {
        reason = "cairo could not draw the pages";
    }
    return false;
}

} // namespace plotanix
