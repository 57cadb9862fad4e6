#include "pcl/pcl_printer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace plotanix {

namespace {

constexpr uint8_t esc = 0x1B;
constexpr int64_t pclUnit = sheetUnitsPerInch / 300;   // ESC*p: 1/300 inch
constexpr int64_t decipoint = sheetUnitsPerInch / 720; // ESC&a H and V
constexpr int64_t valueMost = int64_t(1) << 40;

// The palettes of simple colour, by index.
constexpr std::array<Colour, 8> blackWhite{0xFFFFFF, 0x000000};
constexpr std::array<Colour, 8> deviceRgb{0x000000, 0x0000FF, 0x00FF00, 0x00FFFF,
                                          0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
constexpr std::array<Colour, 8> deviceCmy{0xFFFFFF, 0xFFFF00, 0xFF00FF, 0xFF0000,
                                          0x00FFFF, 0x00FF00, 0x0000FF, 0x000000};

bool validResolution(int64_t dpi) {
    return dpi == 75 || dpi == 100 || dpi == 150 || dpi == 200 || dpi == 300 || dpi == 600;
}

} // namespace

PclPrinter::PclPrinter(ByteLink& link) {
    link.requestFlowControl(FlowControl::inboundXonxoff);
    reset();
}

PclPrinter::~PclPrinter() = default;

void PclPrinter::startPage() {
    sheet_.clear();
    pageTop_ = 0;
}

void PclPrinter::feed(std::span<const uint8_t> bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (at_ == At::text) {
            // Text up to the next escape, without the reader's other states.
            for (; i < bytes.size() && bytes[i] != esc; ++i)
                text(bytes[i]);
            if (i < bytes.size()) take(bytes[i++]);
            continue;
        }
        if (at_ != At::data) {
            take(bytes[i++]);
            continue;
        }
        // Binary data goes by in blocks: a page of raster is mostly data.
        const size_t count = static_cast<size_t>(
            std::min<int64_t>(dataLeft_, static_cast<int64_t>(bytes.size() - i)));
        if (keepData_ && data_.size() < transferBytesMost) {
            const size_t kept = std::min(count, transferBytesMost - data_.size());
            data_.insert(data_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                         bytes.begin() + static_cast<std::ptrdiff_t>(i + kept));
        }
        i += count;
        dataLeft_ -= static_cast<int64_t>(count);
        if (dataLeft_ == 0) dataDone();
    }
}

void PclPrinter::settle() {
    draw();
}

void PclPrinter::lineSilent() {
    draw();
}

void PclPrinter::draw() {
    sheet_.draw([this](int32_t width, int32_t height, int32_t depth) {
        return picture(width, height, depth);
    });
}

void PclPrinter::endOfStream() {
    // A transfer the stream cuts is taken as far as its bytes go.
    if (at_ == At::data) {
        dataLeft_ = 0;
        dataDone();
    }
    draw();
}

bool PclPrinter::knows(std::string_view mnemonic) const {
    return pclKnows(mnemonic);
}

bool pclKnows(std::string_view mnemonic) {
    static constexpr std::string_view known[] = {
        "ESCE",   "ESC*tR", "ESC*rS", "ESC*rT", "ESC*rA", "ESC*rB", "ESC*rC", "ESC*rU",
        "ESC*rF", "ESC*bM", "ESC*bY", "ESC*bW", "ESC*bV", "ESC*pX", "ESC*pY", "ESC&aH",
        "ESC&aV", "ESC&aC", "ESC&aR", "ESC&kG", "ESC&lH", "ESC%A",  "ESC%X"};
    return std::find(std::begin(known), std::end(known), mnemonic) != std::end(known);
}

void PclPrinter::take(uint8_t byte) {
    switch (at_) {
    case At::text:
        if (byte == esc) {
            at_ = At::escape;
        } else {
            text(byte);
        }
        break;
    case At::escape:
        escape(byte);
        break;
    case At::group:
        startValue();
        at_ = At::value;
        if (byte >= 96 && byte <= 126) {
            group_ = static_cast<char>(byte);
        } else {
            group_ = 0;
            value(byte);
        }
        break;
    case At::value:
        value(byte);
        break;
    case At::data:
        if (keepData_ && data_.size() < transferBytesMost) data_.push_back(byte);
        if (--dataLeft_ == 0) dataDone();
        break;
    case At::pjlLine: {
        // After the universal exit: lines of PJL, each "@PJL ..." to its
        // line feed, until PCL goes on.
        if (pjl_.empty() && (byte == '\r' || byte == '\n')) break;
        pjl_.push_back(static_cast<char>(byte));
        constexpr std::string_view pjl = "@PJL";
        if (!pjl.starts_with(pjl_)) {
            std::string held = std::move(pjl_);
            pjl_.clear();
            at_ = At::text;
            for (const char c : held)
                take(static_cast<uint8_t>(c));
        } else if (pjl_.size() == pjl.size()) {
            at_ = At::pjlSkip;
        }
        break;
    }
    case At::pjlSkip:
        if (byte == '\n') {
            pjl_.clear();
            at_ = At::pjlLine;
        }
        break;
    }
}

void PclPrinter::escape(uint8_t byte) {
    at_ = At::text;
    if (byte >= 33 && byte <= 47) {
        param_ = static_cast<char>(byte);
        at_ = At::group;
    } else if (byte == 'E') {
        // The printer's reset: the page printed so far comes out.
        countInstruction();
        pageEnd();
        reset();
    } else if (byte == esc) {
        at_ = At::escape;
    } else if (byte >= 48 && byte <= 126) {
        if (hpgl2_) return;
        if (raster_.active) endRaster(true);
        param_ = 0, group_ = 0;
        unknown(static_cast<char>(byte));
    } else {
        text(byte);
    }
}

void PclPrinter::value(uint8_t byte) {
    if ((byte == '+' || byte == '-') && !digits_ && sign_ == 0 && !point_) {
        sign_ = byte == '-' ? -1 : 1;
    } else if (byte >= '0' && byte <= '9') {
        digits_ = true;
        if (!point_) {
            whole_ = std::min(whole_ * 10 + (byte - '0'), valueMost);
        } else if (scale_ < 100000000) {
            fraction_ = fraction_ * 10 + (byte - '0'), scale_ *= 10;
        }
    } else if (byte == '.' && !point_) {
        point_ = true;
    } else if (byte >= 96 && byte <= 126) {
        command(static_cast<char>(byte - 32), false);
    } else if (byte >= 64 && byte <= 94) {
        command(static_cast<char>(byte), true);
    } else {
        // No sequence goes on like this: it is dropped and the byte read afresh.
        at_ = At::text;
        take(byte);
    }
}

double PclPrinter::amount() const {
    const double fraction = static_cast<double>(fraction_) / static_cast<double>(scale_);
    return (sign_ < 0 ? -1.0 : 1.0) * (static_cast<double>(whole_) + fraction);
}

void PclPrinter::command(char letter, bool last) {
    const bool takesData = letter == 'W' || (param_ == '*' && group_ == 'b' && letter == 'V');
    if (takesData) {
        dataLeft_ = sign_ < 0 ? 0 : whole_;
        dataLetter_ = letter;
        dataLast_ = last;
        keepData_ = param_ == '*' && group_ == 'b' && !hpgl2_;
        data_.clear();
        at_ = At::data;
        if (dataLeft_ == 0) dataDone();
        return;
    }
    at_ = last ? At::text : At::value;
    // The values the command reads are taken before the next value starts.
    const double given = amount();
    const bool rel = relative();
    startValue();
    const int64_t whole = static_cast<int64_t>(given);

    if (param_ == '%') {
        if (letter == 'X' && whole == -12345) {
            // The universal exit: PJL may follow, then a language.
            countInstruction();
            hpgl2_ = false;
            pjl_.clear();
            at_ = At::pjlLine;
        } else if (letter == 'A') {
            countInstruction();
            hpgl2_ = false;
        } else if (letter == 'B') {
            // HP-GL/2 within the job: not drawn by this printer.
            hpgl2_ = true;
            unknown(letter);
        } else if (!hpgl2_) {
            unknown(letter);
        }
        return;
    }
    if (hpgl2_) return;
    const auto key = [&](char p, char g, char l) {
        return param_ == p && group_ == g && letter == l;
    };
    // In raster graphics the method and the Y offset go on within it (the
    // transfers too); start, width, height, presentation and resolution
    // are locked out; any other command ends it first.
    if (raster_.active && !key('*', 'b', 'M') && !key('*', 'b', 'Y')) {
        if (key('*', 'r', 'A') || key('*', 'r', 'S') || key('*', 'r', 'T') || key('*', 'r', 'F') ||
            key('*', 't', 'R')) {
            countInstruction();
            return;
        }
        if (!key('*', 'r', 'B') && !key('*', 'r', 'C')) endRaster(true);
    }
    if (key('*', 't', 'R')) {
        if (!validResolution(whole)) return unknown(letter);
        raster_.dpi = static_cast<int32_t>(whole);
    } else if (key('*', 'r', 'S')) {
        raster_.width = std::clamp<int64_t>(whole, 0, valueMost);
    } else if (key('*', 'r', 'T') || key('*', 'r', 'F')) {
        // The height and the presentation: read, changing nothing drawn.
    } else if (key('*', 'r', 'A')) {
        startRaster(whole == 1 ? 1 : 0);
    } else if (key('*', 'r', 'B')) {
        endRaster(false);
    } else if (key('*', 'r', 'C')) {
        endRaster(false);
        // and the left margin back to X = 0: a transfer after it starts there
        raster_.method = RasterMethod::unencoded;
        raster_.unsupportedMethod = false;
        raster_.left = 0;
        raster_.startMode = 0;
    } else if (key('*', 'r', 'U')) {
        if (whole == 1) {
            raster_.planes = 1, raster_.palette = blackWhite;
        } else if (whole == 3) {
            raster_.planes = 3, raster_.palette = deviceRgb;
        } else if (whole == -3) {
            raster_.planes = 3, raster_.palette = deviceCmy;
        } else {
            return unknown(letter);
        }
    } else if (key('*', 'b', 'M')) {
        if (whole >= 0 && whole <= 3) {
            raster_.method = static_cast<RasterMethod>(whole);
            raster_.unsupportedMethod = false;
        } else if (whole == 5 || whole == 9) {
            // Adaptive and replacement delta rows are not read: their rows
            // are passed over until another method is chosen.
            raster_.unsupportedMethod = true;
            return unknown(letter);
        } // other values are ignored
    } else if (key('*', 'b', 'Y')) {
        if (raster_.active) skipRows(std::clamp<int64_t>(whole, 0, 32767));
    } else if (key('*', 'p', 'X')) {
        moveTo((rel ? x_ : 0) + std::llround(given * pclUnit), y_);
    } else if (key('*', 'p', 'Y')) {
        moveTo(x_, (rel ? y_ : 0) + std::llround(given * pclUnit));
    } else if (key('&', 'a', 'H')) {
        moveTo((rel ? x_ : 0) + std::llround(given * decipoint), y_);
    } else if (key('&', 'a', 'V')) {
        moveTo(x_, (rel ? y_ : 0) + std::llround(given * decipoint));
    } else if (key('&', 'a', 'C')) {
        moveTo((rel ? x_ : 0) + std::llround(given * textPitch), y_);
    } else if (key('&', 'a', 'R')) {
        moveTo(x_, (rel ? y_ : 0) + std::llround(given * lineSpacing));
    } else if (key('&', 'k', 'G')) {
        if (whole < 0 || whole > 3) return unknown(letter);
        lineTermination_ = static_cast<int32_t>(whole);
    } else if (key('&', 'l', 'H')) {
        // Paper source 0 prints the page; the others pick a tray.
        if (whole == 0) pageEnd();
    } else {
        return unknown(letter);
    }
    countInstruction();
}

void PclPrinter::dataDone() {
    at_ = dataLast_ ? At::text : At::value;
    const char letter = dataLetter_;
    if (hpgl2_) return;
    if (param_ == '*' && group_ == 'b' && (letter == 'W' || letter == 'V')) {
        countInstruction();
        transfer(letter == 'W');
    } else {
        if (raster_.active) endRaster(true);
        unknown(letter);
    }
    startValue();
}

void PclPrinter::reset() {
    raster_ = {};
    x_ = y_ = 0;
    lineTermination_ = 0;
    seed_.clear();
    planes_.clear();
    hpgl2_ = false;
}

void PclPrinter::startRaster(int32_t mode) {
    raster_.active = true;
    raster_.startMode = mode;
    raster_.left = mode == 1 ? x_ : 0;
    x_ = raster_.left;
    seed_.assign(static_cast<size_t>(raster_.planes), {});
    planes_.clear();
    RasterBlock block;
    block.left = raster_.left;
    block.top = pageTop_ + y_;
    block.dpiX = block.dpiY = raster_.dpi;
    block.planes = raster_.planes;
    block.palette = raster_.palette;
    block.fixedWidth = std::min(raster_.width, printerPageWidth * raster_.dpi / sheetUnitsPerInch);
    sheet_.startBlock(block);
}

void PclPrinter::endRaster(bool implied) {
    (void)implied;
    raster_.active = false;
    for (std::vector<uint8_t>& seed : seed_)
        seed.clear();
    planes_.clear();
}

void PclPrinter::transfer(bool lastPlane) {
    if (raster_.unsupportedMethod) return;
    // A transfer without a start starts as the last start did.
    if (!raster_.active) startRaster(raster_.startMode);
    const size_t planes = static_cast<size_t>(raster_.planes);
    // The row is cut at the page's width, and at the raster width when given.
    size_t limit =
        static_cast<size_t>((printerPageWidth * raster_.dpi / sheetUnitsPerInch + 7) / 8);
    if (raster_.width > 0) limit = std::min(limit, static_cast<size_t>((raster_.width + 7) / 8));
    const size_t p = planes_.size();
    if (p < planes) {
        std::vector<uint8_t> row = decodeRow(raster_.method, data_, seed_[p], limit);
        if (raster_.width > 0) {
            row.resize(limit, 0); // short rows are zero-filled
            // and the dots past the width in the last byte are not printed
            if (const int64_t over = raster_.width % 8;
                over != 0 && limit * 8 == size_t((raster_.width + 7) / 8 * 8))
                row.back() &= static_cast<uint8_t>(0xFF << (8 - over));
        }
        seed_[p] = row;
        planes_.push_back(std::move(row));
    }
    if (!lastPlane) return;
    // Planes not sent are zero, and so is their seed row.
    for (size_t q = planes_.size(); q < planes; ++q) {
        seed_[q].clear();
        planes_.emplace_back();
    }
    size_t planeBytes = 0;
    for (const std::vector<uint8_t>& plane : planes_)
        planeBytes = std::max(planeBytes, plane.size());
    std::vector<uint8_t> row(planeBytes * planes, 0);
    for (size_t q = 0; q < planes; ++q)
        std::copy(planes_[q].begin(),
                  planes_[q].begin() +
                      static_cast<std::ptrdiff_t>(std::min(planes_[q].size(), planeBytes)),
                  row.begin() + static_cast<std::ptrdiff_t>(q * planeBytes));
    planes_.clear();
    const int64_t rowHeight = sheetUnitsPerInch / raster_.dpi;
    if (y_ + rowHeight <= printerPageLength) sheet_.addRow(std::move(row));
    y_ = std::min(y_ + rowHeight, printerPageLength);
    x_ = raster_.left;
}

void PclPrinter::startValue() {
    sign_ = 0, whole_ = fraction_ = 0, scale_ = 1, digits_ = point_ = false;
}

// Rows of zeros down the raster; the delta row starts again from zeros.
void PclPrinter::skipRows(int64_t rows) {
    const int64_t rowHeight = sheetUnitsPerInch / raster_.dpi;
    const int64_t end = std::min(y_ + rows * rowHeight, printerPageLength);
    for (; y_ + rowHeight <= end; y_ += rowHeight)
        sheet_.addRow({});
    y_ = end;
    for (std::vector<uint8_t>& seed : seed_)
        seed.clear();
}

void PclPrinter::pageEnd() {
    if (raster_.active) endRaster(true);
    if (sheet_.empty()) return;
    y_ = 0;
    // Drawn for whoever takes it; a page nobody takes is drawn with the
    // next, at that page's resolution.
    if (advancePage([this] { draw(); })) {
        sheet_.clear();
        pageTop_ = 0;
    } else {
        // Nobody takes the page: the next is printed below it, as on a
        // roll of paper, so that none is lost.
        pageTop_ = sheet_.bottom() + lineSpacing;
    }
}

void PclPrinter::unknown(char letter) {
    std::string mnemonic = "ESC";
    if (param_ != 0) mnemonic.push_back(param_);
    if (group_ != 0) mnemonic.push_back(group_);
    mnemonic.push_back(letter);
    ignoreUnknown(mnemonic);
}

void PclPrinter::text(uint8_t byte) {
    if (hpgl2_) return;
    if (raster_.active) endRaster(true);
    switch (byte) {
    case '\r':
        x_ = 0;
        if (lineTermination_ == 1 || lineTermination_ == 3) lineFeed();
        break;
    case '\n':
        lineFeed();
        if (lineTermination_ >= 2) x_ = 0;
        break;
    case '\f':
        if (lineTermination_ >= 2) x_ = 0;
        pageEnd();
        y_ = 0;
        break;
    case '\b':
        x_ = std::max<int64_t>(0, x_ - textPitch);
        break;
    case ' ':
        x_ = std::min(x_ + textPitch, printerPageWidth);
        break;
    default:
        if ((byte > 32 && byte < 127) || byte >= 160) printable(byte);
        break;
    }
}

void PclPrinter::printable(uint8_t byte) {
    if (x_ + textPitch > printerPageWidth) return; // past the right edge: cut
    sheet_.addText(x_, pageTop_ + y_, static_cast<char>(byte));
    x_ += textPitch;
}

void PclPrinter::lineFeed() {
    y_ = std::min(y_ + lineSpacing, printerPageLength);
}

void PclPrinter::moveTo(int64_t x, int64_t y) {
    x_ = std::clamp<int64_t>(x, 0, printerPageWidth);
    y_ = std::clamp<int64_t>(y, 0, printerPageLength);
}

} // namespace plotanix
