#pragma once
// The page at any size, for a window the operator may resize: as large as
// the area allows with its aspect kept, centred, and resampled by area
// averaging. Each pixel shown is the mean of the page pixels it covers, so
// at whole multiples (2 x, 3 x) every pixel lies within one page pixel and
// the page is enlarged pixel for pixel, sharp; at other sizes the edges
// between page pixels are blended, and a page shown smaller keeps its
// one-pixel lines as lighter ones instead of dropping them.

#include <cstdint>
#include <functional>
#include <vector>

namespace plotanix {

struct PageImage;

struct ViewRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ViewRect&) const = default;
};

// Where a page of that size goes in the area: the largest size that fits
// with the page's aspect, centred (a pixel more to the right and bottom
// where the margins are odd). Empty when either size is.
ViewRect fitPage(int pageWidth, int pageHeight, int areaWidth, int areaHeight);

class PageScaler {
  public:
    // Called with each row of the resampled page, top first: width pixels
    // of blue, green, red bytes.
    using RowSink = std::function<void(int y, const uint8_t* bgr)>;

    // The page (24 bits or a printer's indices) resampled to width x
    // height. The buffers are kept for the next call at the same size; they
    // hold a few rows, not the page, however tall a printed page is.
    void scale(const PageImage& page, int width, int height, const RowSink& sink);

  private:
    // The page pixels one output pixel covers along an axis, and their
    // weights in 1/65536, which add up to 65536.
    struct Span {
        int first = 0;
        int count = 0;
        std::size_t weights = 0; // index of the first weight
    };
    struct Axis {
        int from = 0, to = 0;
        std::vector<Span> spans;
        std::vector<uint32_t> weights;
    };
    static void prepare(Axis& axis, int from, int to);
    // One page row resampled across into out.
    void scaleAcross(const uint8_t* in, uint8_t* out) const;

    // Page row r resampled across, from the rows kept when it is there.
    const uint8_t* across(const PageImage& page, int r);

    Axis across_, down_;
    std::vector<uint8_t> colours_; // a page row as colours
    // The page rows the last output rows needed, resampled across: row r
    // in slot r % count, kept[slot] the row it holds.
    std::vector<uint8_t> rows_;
    std::vector<int> kept_;
    std::vector<uint32_t> sums_; // one output row being summed
    std::vector<uint8_t> out_;   // and as it is shown
};

} // namespace plotanix
