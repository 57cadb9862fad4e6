#include "page/page_image.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace plotanix {

PixelRows::PixelRows(std::vector<uint8_t> bytes, int32_t width, int32_t stride)
    : size_(bytes.size()), capacity_(bytes.size()), width_(width), stride_(stride),
      rows_(stride > 0 ? static_cast<int32_t>(bytes.size() / static_cast<size_t>(stride)) : 0) {
    bytes_ = std::make_unique_for_overwrite<uint8_t[]>(size_);
    if (size_ > 0) std::memcpy(bytes_.get(), bytes.data(), size_);
    low_ = 0;
    high_ = rows_;
    setPaper(0);
}

PixelRows::PixelRows(const PixelRows& other)
    : size_(other.size_), capacity_(other.size_), width_(other.width_), stride_(other.stride_),
      rows_(other.rows_), low_(other.low_), high_(other.high_), bits_(other.bits_),
      paper_(other.paper_), paperRow_(other.paperRow_), paperUniform_(other.paperUniform_) {
    bytes_ = std::make_unique_for_overwrite<uint8_t[]>(size_);
    // Only the rows made hold anything.
    if (low_ < high_)
        std::memcpy(bytes_.get() + static_cast<size_t>(low_) * stride_,
                    other.bytes_.get() + static_cast<size_t>(low_) * stride_,
                    static_cast<size_t>(high_ - low_) * stride_);
}

PixelRows& PixelRows::operator=(const PixelRows& other) {
    if (this != &other) *this = PixelRows(other);
    return *this;
}

PixelRows& PixelRows::operator=(PixelRows&& other) noexcept {
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    width_ = std::exchange(other.width_, 0);
    stride_ = std::exchange(other.stride_, 0);
    rows_ = std::exchange(other.rows_, 0);
    low_ = std::exchange(other.low_, 0);
    high_ = std::exchange(other.high_, 0);
    bits_ = std::exchange(other.bits_, 24);
    paper_ = other.paper_;
    paperRow_ = std::move(other.paperRow_);
    paperUniform_ = other.paperUniform_;
    return *this;
}

bool PixelRows::allocate(int32_t width, int32_t stride, int32_t rows, Colour paper, int32_t bits) {
    const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(rows);
    // Not written here: the pages of memory no row is made in are never
    // touched. Bytes already had are kept when they are enough: a printer's
    // pages change size, and memory had is not faulted in again.
    if (!bytes_ || capacity_ < size) {
        std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
        if (!bytes) return false;
        bytes_ = std::move(bytes);
        capacity_ = size;
    }
    size_ = size;
    width_ = width;
    stride_ = stride;
    rows_ = rows;
    bits_ = bits;
    paperRow_.clear();
    try {
        clear(paper);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void PixelRows::setPaper(Colour paper) {
    if (paper == paper_ && paperRow_.size() == static_cast<size_t>(stride_)) return;
    paper_ = paper;
    paperRow_.assign(static_cast<size_t>(stride_), 0);
    paperUniform_ = true;
    if (bits_ != 24) return; // index 0 is the paper
    for (int32_t x = 0; x < width_; ++x) {
        paperRow_[3 * x] = static_cast<uint8_t>(paper >> 16);
        paperRow_[3 * x + 1] = static_cast<uint8_t>(paper >> 8);
        paperRow_[3 * x + 2] = static_cast<uint8_t>(paper);
    }
    paperUniform_ = std::all_of(paperRow_.begin(), paperRow_.end(),
                                [&](uint8_t b) { return b == paperRow_.front(); });
}

void PixelRows::paintRows(int32_t from, int32_t to) {
    if (paperUniform_ && from < to) {
        // The rows are one block: painted at once, nothing read.
        std::memset(bytes_.get() + static_cast<size_t>(from) * stride_,
                    paperRow_.empty() ? 0 : paperRow_.front(),
                    static_cast<size_t>(to - from) * stride_);
        return;
    }
    for (int32_t i = from; i < to; ++i)
        std::memcpy(bytes_.get() + static_cast<size_t>(i) * stride_, paperRow_.data(),
                    paperRow_.size());
}

void PixelRows::make(int32_t i) {
    if (low_ >= high_) {
        paintRows(i, i + 1);
        low_ = i;
        high_ = i + 1;
    } else if (i < low_) {
        paintRows(i, low_);
        low_ = i;
    } else {
        paintRows(high_, i + 1);
        high_ = i + 1;
    }
}

uint8_t* PixelRows::data() {
    if (rows_ > 0) {
        at(0);
        at(rows_ - 1);
    }
    return bytes_.get();
}

PixelRows::operator std::vector<uint8_t>() const {
    std::vector<uint8_t> bytes(size_);
    for (int32_t i = 0; i < rows_; ++i)
        std::memcpy(bytes.data() + static_cast<size_t>(i) * stride_, at(i),
                    static_cast<size_t>(stride_));
    return bytes;
}

bool operator==(const PixelRows& a, const PixelRows& b) {
    if (a.size_ != b.size_ || a.stride_ != b.stride_) return false;
    // Rows neither made are paper on both when the papers are one.
    int32_t from = 0, to = a.rows_;
    if (a.paper_ == b.paper_) {
        const bool aNone = a.low_ >= a.high_, bNone = b.low_ >= b.high_;
        if (aNone && bNone) return true;
        from = aNone ? b.low_ : bNone ? a.low_ : std::min(a.low_, b.low_);
        to = aNone ? b.high_ : bNone ? a.high_ : std::max(a.high_, b.high_);
    }
    for (int32_t i = from; i < to; ++i)
        if (std::memcmp(a.at(i), b.at(i), static_cast<size_t>(a.stride_)) != 0) return false;
    return true;
}

bool operator==(const PixelRows& a, const std::vector<uint8_t>& b) {
    if (a.size_ != b.size()) return false;
    for (int32_t i = 0; i < a.rows_; ++i)
        if (std::memcmp(a.at(i), b.data() + static_cast<size_t>(i) * a.stride_,
                        static_cast<size_t>(a.stride_)) != 0)
            return false;
    return true;
}

std::unique_ptr<PageImage> createPageImage(int32_t width, int32_t height, int32_t depth,
                                           Colour paper) {
    std::unique_ptr<PageImage> image(new (std::nothrow) PageImage);
    if (!image || !remakePageImage(*image, width, height, depth, paper)) return nullptr;
    return image;
}

bool remakePageImage(PageImage& image, int32_t width, int32_t height, int32_t depth, Colour paper) {
    // The fields are 16-bit; pixels are colours or a printer's indices.
    constexpr int32_t largest = std::numeric_limits<int16_t>::max();
    if ((depth != 24 && depth != 1 && depth != 4) || width <= 0 || height <= 0 || width > largest ||
        height > largest) {
        return false;
    }
    if (depth != 24) paper = printPalette[0];
    const int32_t rowBytes = (width * depth + 7) / 8;
    const int32_t stride = 4 * ((rowBytes + 3) / 4);
    if (!image.pixels.allocate(width, stride, height, paper, depth)) return false;
    image.width = static_cast<int16_t>(width);
    image.height = static_cast<int16_t>(height);
    image.depth = static_cast<uint8_t>(depth);
    image.stride = stride;
    image.dpi = 0;
    return true;
}

namespace {

// The stride a row of the image's width and depth takes.
int32_t strideFor(const PageImage& image) {
    return 4 * (((image.width * image.depth + 7) / 8 + 3) / 4);
}

} // namespace

const uint8_t* PageImage::colourRow(int y, uint8_t* out) const {
    const uint8_t* from = row(y);
    if (!indexed()) return from;
    for (int x = 0; x < width; ++x) {
        const Colour colour = printPalette[indexIn(from, x, depth)];
        out[3 * x] = static_cast<uint8_t>(colour >> 16);
        out[3 * x + 1] = static_cast<uint8_t>(colour >> 8);
        out[3 * x + 2] = static_cast<uint8_t>(colour);
    }
    return out;
}

bool samePixels(const PageImage& a, const PageImage& b) {
    if (a.width != b.width || a.height != b.height || a.depth != b.depth) return false;
    const auto fills = [](const PageImage& image) {
        return image.pixels.rows() == image.height && image.stride == strideFor(image);
    };
    if (fills(a) && fills(b)) return a.pixels == b.pixels;
    // A picture within the room of its rows: its own rows and pixels alone,
    // the bits past its last pixel not.
    const int bits = a.width * a.depth;
    const auto whole = static_cast<size_t>(bits / 8);
    const auto lastMask = static_cast<uint8_t>(0xFF00u >> (bits % 8));
    for (int y = 0; y < a.height; ++y) {
        const uint8_t *p = a.row(y), *q = b.row(y);
        if (std::memcmp(p, q, whole) != 0) return false;
        if (bits % 8 != 0 && ((p[whole] ^ q[whole]) & lastMask) != 0) return false;
    }
    return true;
}

} // namespace plotanix
