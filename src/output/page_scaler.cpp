#include "output/page_scaler.h"

#include "page/page_image.h"

#include <algorithm>

namespace plotanix {

namespace {

constexpr uint32_t one = 65536;

} // namespace

ViewRect fitPage(int pageWidth, int pageHeight, int areaWidth, int areaHeight) {
    if (pageWidth <= 0 || pageHeight <= 0 || areaWidth <= 0 || areaHeight <= 0) return {};
    ViewRect view{0, 0, areaWidth, areaHeight};
    // Compared as products: no rounding decides which side limits.
    const int64_t across = int64_t(areaWidth) * pageHeight;
    const int64_t down = int64_t(areaHeight) * pageWidth;
    if (across > down) {
        view.width = std::max(1, int((down + pageHeight / 2) / pageHeight));
    } else if (across < down) {
        view.height = std::max(1, int((across + pageWidth / 2) / pageWidth));
    }
    view.x = (areaWidth - view.width + 1) / 2;
    view.y = (areaHeight - view.height + 1) / 2;
    return view;
}

// Output pixel o covers the page's [o * from / to, (o + 1) * from / to);
// counted in 1/to of a page pixel, that is [o * from, (o + 1) * from), and
// page pixel i is [i * to, (i + 1) * to).
void PageScaler::prepare(Axis& axis, int from, int to) {
    if (axis.from == from && axis.to == to) return;
    axis.from = from;
    axis.to = to;
    axis.spans.assign(static_cast<std::size_t>(to), {});
    axis.weights.clear();
    for (int o = 0; o < to; ++o) {
        const int64_t start = int64_t(o) * from, end = start + from;
        Span& span = axis.spans[static_cast<std::size_t>(o)];
        span.first = int(start / to);
        span.weights = axis.weights.size();
        uint32_t total = 0;
        for (int64_t i = span.first; i * to < end; ++i) {
            const int64_t overlap = std::min(end, (i + 1) * to) - std::max(start, i * to);
            axis.weights.push_back(static_cast<uint32_t>(overlap * one / from));
            total += axis.weights.back();
            ++span.count;
        }
        // What the divisions left out goes to the pixel that counts most.
        const auto first = axis.weights.begin() + static_cast<std::ptrdiff_t>(span.weights);
        *std::max_element(first, axis.weights.end()) += one - total;
    }
}

void PageScaler::scale(const PageImage& page, int width, int height, const RowSink& sink) {
    if (width <= 0 || height <= 0 || page.width <= 0 || page.height <= 0 ||
        (page.depth != 24 && page.depth != 1 && page.depth != 4))
        return;
    colours_.resize(3 * static_cast<std::size_t>(page.width));
    if (width == page.width && height == page.height) {
        for (int y = 0; y < height; ++y)
            sink(y, page.colourRow(y, colours_.data()));
        return;
    }
    prepare(across_, page.width, width);
    prepare(down_, page.height, height);
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    // Output rows take page rows in order, the next span starting at most
    // at the last row of the one before: one slot more than the longest
    // span keeps every row until no span needs it.
    int longest = 0;
    for (const Span& span : down_.spans)
        longest = std::max(longest, span.count);
    kept_.assign(static_cast<std::size_t>(longest) + 1, -1);
    rows_.resize(rowBytes * kept_.size());
    out_.resize(rowBytes);
    sums_.resize(rowBytes);
    for (int y = 0; y < height; ++y) {
        const Span& span = down_.spans[static_cast<std::size_t>(y)];
        // Within one page row (always so when enlarging by a whole
        // multiple): that row as it is.
        if (span.count == 1) {
            sink(y, across(page, span.first));
            continue;
        }
        // Row by row rather than pixel by pixel: the compiler vectorises it.
        std::fill(sums_.begin(), sums_.end(), one / 2);
        for (int k = 0; k < span.count; ++k) {
            const uint8_t* in = across(page, span.first + k);
            const uint32_t weight = down_.weights[span.weights + static_cast<std::size_t>(k)];
            for (std::size_t i = 0; i < rowBytes; ++i)
                sums_[i] += in[i] * weight;
        }
        for (std::size_t i = 0; i < rowBytes; ++i)
            out_[i] = static_cast<uint8_t>(sums_[i] >> 16);
        sink(y, out_.data());
    }
}

const uint8_t* PageScaler::across(const PageImage& page, int r) {
    const std::size_t slot = static_cast<std::size_t>(r) % kept_.size();
    uint8_t* out = rows_.data() + slot * (rows_.size() / kept_.size());
    if (kept_[slot] != r) {
        scaleAcross(page.colourRow(r, colours_.data()), out);
        kept_[slot] = r;
    }
    return out;
}

void PageScaler::scaleAcross(const uint8_t* in, uint8_t* out) const {
    for (const Span& span : across_.spans) {
        const uint8_t* pixel = in + 3 * span.first;
        if (span.count == 1) {
            out = std::copy(pixel, pixel + 3, out);
            continue;
        }
        uint32_t sum[3] = {one / 2, one / 2, one / 2};
        for (int k = 0; k < span.count; ++k, pixel += 3) {
            const uint32_t weight = across_.weights[span.weights + static_cast<std::size_t>(k)];
            for (int c = 0; c < 3; ++c)
                sum[c] += pixel[c] * weight;
        }
        for (int c = 0; c < 3; ++c)
            *out++ = static_cast<uint8_t>(sum[c] >> 16);
    }
}

} // namespace plotanix
