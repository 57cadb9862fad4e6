#include "page/page_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace plotanix {

Drawing::Placement fitted(const Drawing::Extent& drawn, int32_t width, int32_t height) {
    if (drawn.empty) return {};
    // Centres run from 0 to width - 1.
    const double across = width - 1, down = height - 1;
    const double w = drawn.right - drawn.left, h = drawn.bottom - drawn.top;
    double scale = 1;
    if (w > 0 || h > 0) {
        const double most = std::numeric_limits<double>::infinity();
        scale = std::min(w > 0 ? across / w : most, h > 0 ? down / h : most);
    }
    return {scale, across / 2 - scale * (drawn.left + drawn.right) / 2,
            down / 2 - scale * (drawn.top + drawn.bottom) / 2};
}

namespace {

// As the models round a picture coordinate (centres on whole numbers).
int32_t column(float x) {
    return static_cast<int32_t>(std::clamp(std::floor(double(x) + 0.5), -1.0e9, 1.0e9));
}
int32_t row(float y) {
    return static_cast<int32_t>(std::clamp(std::ceil(double(y) - 0.5), -1.0e9, 1.0e9));
}

void line(Drawing& drawing, ListPoint a, ListPoint b) {
    // fillPath's coordinates, in which a pixel covers c..c+1.
    drawing.drawLine(column(a.x), row(a.y), column(b.x), row(b.y),
                     {double(a.x) + 0.5, double(a.y) + 0.5},
                     {double(b.x) + 0.5, double(b.y) + 0.5});
}

// An area's clip that cuts nothing the placement can bring onto the page.
constexpr PixelRect unbounded{-1000000000, -1000000000, 1000000000, 1000000000};

} // namespace

FittedPage drawFitted(const DisplayList& whole, const Drawing::Placement& placement) {
    FittedPage made;
    made.image = createPageImage(whole.width(), whole.height(), 24, 0xFFFFFF);
    if (!made.image) return made;
    Drawing drawing;
    if (!drawing.beginDrawing(*made.image)) {
        made.image.reset();
        return made;
    }
    drawing.recordInto(&made.list);
    drawing.place(placement);
    const std::vector<ListPoint>& points = whole.points();
    Path area;
    for (const ListItem& item : whole.items()) {
        drawing.setFrontColour(item.colour);
        switch (item.kind) {
        case ItemKind::polyline:
            for (uint32_t i = 1; i < item.count; ++i)
                line(drawing, points[item.first + i - 1], points[item.first + i]);
            break;
        case ItemKind::segments:
            for (uint32_t i = 0; i + 1 < item.count; i += 2)
                line(drawing, points[item.first + i], points[item.first + i + 1]);
            break;
        case ItemKind::box: {
            const ListBox& box = whole.boxes()[item.first];
            const auto left = double(box.topLeft.x), top = double(box.topLeft.y);
            if (left <= 0 && top <= 0 && box.width >= whole.width() &&
                box.height >= whole.height()) {
                drawing.fillBox(0, 0, whole.width(), whole.height(), item.colour);
                break;
            }
            area.clear();
            area.points = {{left, top},
                           {left + box.width, top},
                           {left + box.width, top + box.height},
                           {left, top + box.height}};
            area.rings = {4};
            drawing.fillPath(area.view(), unbounded);
            break;
        }
        case ItemKind::path: {
            const ListPath& path = whole.paths()[item.first];
            area.clear();
            area.rule = path.rule;
            uint32_t at = path.firstPoint;
            for (uint32_t r = 0; r < path.ringCount; ++r) {
                const uint32_t count = whole.rings()[path.firstRing + r];
                area.rings.push_back(count);
                for (uint32_t i = 0; i < count; ++i, ++at) {
                    const ListPathPoint& p = whole.pathPoints()[at];
                    area.points.push_back({double(p.x), double(p.y)});
                }
            }
            drawing.fillPath(area.view(), unbounded);
            break;
        }
        case ItemKind::label:
            break;
        }
    }
    drawing.recordInto(nullptr);
    return made;
}

} // namespace plotanix
