#include "output/enlarged_copy.h"

#include "output/png_writer.h"

#include "page/display_list.h"
#include "page/page_image.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

namespace plotanix {

namespace {

// cairo's costs on the image surface, anti-aliased, fitted to thin lines,
// wide outlines and fills replayed at scale 4: each item begun, each point
// traced, each row an edge crosses (two a stroke), each pixel covered. The
// rows cost most: a wide outline's bands, one path of thousands of rings,
// cost some 50 ns each (scanlines crossed by every band at once), the
// strokes of many thin lines less; reckoned at 40 throughout.
constexpr double itemCost = 500, pointCost = 100, rowCost = 40, pixelCost = 1.5;
// A label's glyph: its em square's pixels, as a box of them.
constexpr double glyphPixels = 1;

double strokeCost(ListPoint a, ListPoint b, double scale) {
    const double length = std::hypot(double(b.x) - a.x, double(b.y) - a.y);
    // One unit wide with round ends: a pixel more than its length, each way.
    return pointCost + rowCost * 2 * (std::fabs(double(b.y) - a.y) + 1) * scale +
           pixelCost * (length + 1) * scale * scale;
}

double pathCost(const DisplayList& list, const ListPath& path, double scale) {
    const ListPathPoint* point = list.pathPoints().data() + path.firstPoint;
    double rows = 0, cost = 0;
    float left = point->x, right = point->x, top = point->y, bottom = point->y;
    for (uint32_t ring = 0; ring < path.ringCount; ++ring) {
        const uint32_t count = list.rings()[path.firstRing + ring];
        for (uint32_t i = 0; i < count; ++i) {
            const ListPathPoint& p = point[i];
            const ListPathPoint& q = point[(i + 1) % count];
            rows += std::fabs(double(q.y) - p.y);
            left = std::min(left, p.x), right = std::max(right, p.x);
            top = std::min(top, p.y), bottom = std::max(bottom, p.y);
        }
        cost += pointCost * count;
        point += count;
    }
    // The box round the area: what the rows' spans may cover at most.
    const double covered = (double(right) - left + 1) * (double(bottom) - top + 1);
    return cost + rowCost * rows * scale + pixelCost * covered * scale * scale;
}

} // namespace

double replayCost(const DisplayList& list, int scale) {
    const double s = scale;
    // The white paper painted first.
    double cost = pixelCost * double(list.width()) * list.height() * s * s;
    const std::vector<ListPoint>& points = list.points();
    for (const ListItem& item : list.items()) {
        cost += itemCost;
        switch (item.kind) {
        case ItemKind::polyline:
            for (uint32_t i = 1; i < item.count; ++i)
                cost += strokeCost(points[item.first + i - 1], points[item.first + i], s);
            break;
        case ItemKind::segments:
            for (uint32_t i = 0; i + 1 < item.count; i += 2)
                cost += strokeCost(points[item.first + i], points[item.first + i + 1], s);
            break;
        case ItemKind::box: {
            const ListBox& box = list.boxes()[item.first];
            cost += pixelCost * double(box.width) * box.height * s * s;
            break;
        }
        case ItemKind::label: {
            const ListLabel& label = list.labels()[item.first];
            const double em = list.faces()[label.face].emHeight;
            cost += pixelCost * glyphPixels * em * em * s * s * double(label.textLength);
            break;
        }
        case ItemKind::path:
            cost += pathCost(list, list.paths()[item.first], s);
            break;
        }
    }
    return cost;
}

bool enlargedFromPixels(const DisplayList& list, int scale) {
    return scale > 1 && (list.overflowed() || !(replayCost(list, scale) <= mostReplayCost));
}

bool writeEnlargedPixels(FILE* file, const PageImage& page, int scale, std::string& reason) {
    const int32_t width = page.width * scale, height = page.height * scale;
    const std::unique_ptr<PageImage> enlarged =
        page.depth == 24 && scale >= 1 ? createPageImage(width, height, 24, page.paper()) : nullptr;
    if (!enlarged) {
        reason = "not enough memory for a copy at scale " + std::to_string(scale);
        return false;
    }
    // Only the rows drawn on: the others stay paper, never made.
    const auto [top, bottom] = page.rowsDrawn();
    for (int32_t y = top; y < bottom; ++y) {
        const uint8_t* from = page.row(y);
        uint8_t* first = enlarged->row(y * scale);
        for (int32_t x = 0; x < page.width; ++x) {
            for (int k = 0; k < scale; ++k)
                std::memcpy(first + 3 * (size_t(x) * scale + k), from + 3 * size_t(x), 3);
        }
        for (int k = 1; k < scale; ++k)
            std::memcpy(enlarged->row(y * scale + k), first, 3 * size_t(width));
    }
    errno = 0;
    return writePng(file, *enlarged, PngCompression::fast);
}

} // namespace plotanix
