#include "escp/escp_printer.h"

#include "pcl/pcl_printer.h"

#include <algorithm>
#include <string>

namespace plotanix {

namespace {

constexpr uint8_t esc = 0x1B;

// The parameter bytes of the commands read past, so that they are not
// printed as text.
int32_t parametersOf(uint8_t command) {
    switch (command) {
    case '?':  // reassign a shorthand's mode
    case '$':  // absolute position
    case '\\': // relative position
        return 2;
    case '3':
    case 'A':
    case 'J':
    case 'Q':
    case 'l':
    case 'W':
    case '!':
    case '-':
    case 'x':
    case 'k':
    case 't':
    case 'R':
    case 'U':
    case 'S':
    case 'p':
    case 'r':
    case 'N':
    case 'C':
        return 1;
    case 'K':
    case 'L':
    case 'Y':
    case 'Z':
    case '*':
        return 0; // an image header, read on its own
    default:
        return 0;
    }
}

// The record's name for a command: ESC and its byte, written in hex when
// it is no printable character (the transcript's records are text).
std::string mnemonic(uint8_t command) {
    if (command > 32 && command < 127) return std::string("ESC") + static_cast<char>(command);
    constexpr char hex[] = "0123456789ABCDEF";
    return std::string("ESC#") + hex[command >> 4] + hex[command & 15];
}

} // namespace

std::optional<BitImageMode> bitImageMode(int32_t m) {
    // 8-dot columns, 72 dpi down (9-pin printers).
    static constexpr int32_t eightDot[] = {60, 120, 120, 240, 80, 72, 90, 144};
    if (m >= 0 && m <= 7) return BitImageMode{eightDot[m], 8, 72};
    // 24-dot columns, 180 dpi down.
    switch (m) {
    case 32:
        return BitImageMode{60, 24, 180};
    case 33:
        return BitImageMode{120, 24, 180};
    case 38:
        return BitImageMode{90, 24, 180};
    case 39:
        return BitImageMode{180, 24, 180};
    case 40:
        return BitImageMode{360, 24, 180};
    default:
        return std::nullopt;
    }
}

EscpPrinter::EscpPrinter(ByteLink& link) {
    link.requestFlowControl(FlowControl::inboundXonxoff);
}
EscpPrinter::~EscpPrinter() = default;

void EscpPrinter::startPage() {
    sheet_.clear();
    pageTop_ = 0;
}

void EscpPrinter::feed(std::span<const uint8_t> bytes) {
    for (const uint8_t byte : bytes)
        take(byte);
}

void EscpPrinter::settle() {
    draw();
}

void EscpPrinter::lineSilent() {
    draw();
}

void EscpPrinter::draw() {
    sheet_.draw([this](int32_t width, int32_t height, int32_t depth) {
        return picture(width, height, depth);
    });
}

void EscpPrinter::endOfStream() {
    if (at_ == At::data) imageDone();
    draw();
}

bool EscpPrinter::knows(std::string_view mnemonic) const {
    return escpKnows(mnemonic);
}

bool escpKnows(std::string_view mnemonic) {
    static constexpr std::string_view known[] = {"ESC*", "ESCK", "ESCL", "ESCY",
                                                 "ESCZ", "ESC?", "ESC@"};
    return std::find(std::begin(known), std::end(known), mnemonic) != std::end(known);
}

void EscpPrinter::take(uint8_t byte) {
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
    case At::parameters:
    case At::header:
        parameters_[static_cast<size_t>(parameterCount_++)] = byte;
        if (parameterCount_ < parametersWanted_) break;
        if (at_ == At::header) {
            beginImage();
        } else {
            at_ = At::text;
            parametersDone();
        }
        break;
    case At::data:
        imageByte(byte);
        break;
    }
}

void EscpPrinter::escape(uint8_t byte) {
    command_ = byte;
    parameterCount_ = 0;
    at_ = At::text;
    if (byte == '*') {
        at_ = At::header, parametersWanted_ = 3; // m nL nH
    } else if (byte == 'K' || byte == 'L' || byte == 'Y' || byte == 'Z') {
        at_ = At::header, parametersWanted_ = 2; // nL nH
    } else if (byte == '@') {
        countInstruction();
        reset();
    } else if ((parametersWanted_ = parametersOf(byte)) > 0) {
        at_ = At::parameters;
    } else {
        parametersDone();
    }
}

void EscpPrinter::parametersDone() {
    if (command_ == '?') {
        const std::string_view letters = "KLYZ";
        const size_t which = letters.find(static_cast<char>(parameters_[0]));
        if (which != std::string_view::npos && bitImageMode(parameters_[1])) {
            shorthand_[which] = parameters_[1];
            countInstruction();
            return;
        }
    }
    ignoreUnknown(mnemonic(command_));
}

void EscpPrinter::beginImage() {
    int32_t m = 0;
    size_t at = 0;
    if (command_ == '*') {
        m = parameters_[0];
        at = 1;
    } else {
        m = shorthand_[std::string_view("KLYZ").find(static_cast<char>(command_))];
    }
    columns_ = parameters_[at] + 256 * parameters_[at + 1];
    const std::optional<BitImageMode> mode = bitImageMode(m);
    modeKnown_ = mode.has_value();
    if (!modeKnown_) {
        // Its layout is not known: the header alone is read.
        at_ = At::text;
        ignoreUnknown(mnemonic(command_));
        return;
    }
    countInstruction();
    mode_ = *mode;
    // Columns past the page's right edge are read and dropped.
    const int64_t dotWidth = sheetUnitsPerInch / mode_.dpiX;
    columnsKept_ = std::clamp<int64_t>((printerPageWidth - x_) / dotWidth, 0, columns_);
    bytesLeft_ = columns_ * (mode_.dotsDown / 8);
    byteAt_ = 0;
    bandRows_.assign(static_cast<size_t>(mode_.dotsDown),
                     std::vector<uint8_t>(static_cast<size_t>((columnsKept_ + 7) / 8), 0));
    at_ = At::data;
    if (bytesLeft_ == 0) imageDone();
}

void EscpPrinter::imageByte(uint8_t byte) {
    const int64_t perColumn = mode_.dotsDown / 8;
    const int64_t column = byteAt_ / perColumn;
    const int64_t part = byteAt_ % perColumn;
    ++byteAt_;
    if (byte != 0 && column < columnsKept_) {
        // The top dot in the top bit, the column's bytes top to bottom.
        const auto mask = static_cast<uint8_t>(0x80 >> (column & 7));
        const size_t at = static_cast<size_t>(column >> 3);
        for (int bit = 0; bit < 8; ++bit) {
            if (byte & (0x80 >> bit)) bandRows_[static_cast<size_t>(part * 8 + bit)][at] |= mask;
        }
    }
    if (--bytesLeft_ == 0) imageDone();
}

void EscpPrinter::imageDone() {
    at_ = At::text;
    const int64_t dotHeight = sheetUnitsPerInch / mode_.dpiY;
    if (columnsKept_ > 0 && y_ + mode_.dotsDown * dotHeight <= printerPageLength) {
        RasterBlock block;
        block.left = x_;
        block.top = pageTop_ + y_;
        block.dpiX = mode_.dpiX;
        block.dpiY = mode_.dpiY;
        sheet_.startBlock(block);
        for (std::vector<uint8_t>& row : bandRows_)
            sheet_.addRow(std::move(row));
    }
    bandRows_.clear();
    // Text and images share a line: the next goes on after this one.
    x_ = std::min(x_ + columns_ * (sheetUnitsPerInch / mode_.dpiX), printerPageWidth);
    lineBand_ = std::max(lineBand_, mode_.dotsDown * dotHeight);
}

void EscpPrinter::text(uint8_t byte) {
    switch (byte) {
    case '\r':
        x_ = 0;
        break;
    case '\n':
        lineFeed();
        break;
    case '\f':
        pageEnd();
        x_ = y_ = lineBand_ = 0;
        break;
    case ' ':
        x_ = std::min(x_ + textPitch, printerPageWidth);
        break;
    default:
        if (((byte > 32 && byte < 127) || byte >= 160) && x_ + textPitch <= printerPageWidth) {
            sheet_.addText(x_, pageTop_ + y_ + lineSpacing * 3 / 4, static_cast<char>(byte));
            x_ += textPitch;
        }
        break;
    }
}

// A line that holds an image moves down by its band, so that bands meet;
// a line of text alone by the default spacing.
void EscpPrinter::lineFeed() {
    y_ = std::min(y_ + (lineBand_ > 0 ? lineBand_ : lineSpacing), printerPageLength);
    x_ = 0;
    lineBand_ = 0;
}

void EscpPrinter::pageEnd() {
    if (sheet_.empty()) return;
    // Drawn for whoever takes it; a page nobody takes is drawn with the next.
    if (advancePage([this] { draw(); })) {
        sheet_.clear();
        pageTop_ = 0;
    } else {
        // Nobody takes the page: the next is printed below it.
        pageTop_ = sheet_.bottom() + lineSpacing;
    }
}

void EscpPrinter::reset() {
    shorthand_ = {0, 1, 2, 3};
    x_ = 0;
    lineBand_ = 0;
}

} // namespace plotanix
