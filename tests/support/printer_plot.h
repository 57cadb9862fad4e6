#pragma once
// A printer model run in process, and its picture read back dot by dot:
// the printed area starts a margin in from the picture's corner.

#include "pcl/printed_sheet.h"
#include "support/in_process_plot.h"

#include <string>
#include <string_view>
#include <vector>

namespace plotanix::testing {

struct PrinterPlot : InProcessPlot {
    // pagesTaken: the pages the printer ends are taken (counted, with the
    // ink each has then), as the renderer takes them; otherwise nobody
    // takes them.
    explicit PrinterPlot(PlotterModel model, bool pagesTaken = true)
        : InProcessPlot(nullptr, model) {
        if (pagesTaken)
            session.onPageAdvance([this] {
                ++pagesEnded;
                inkWhenTaken.push_back(inkedPixels(page()));
            });
    }
    PrinterPlot& print(std::string_view stream) {
        run(stream);
        end();
        return *this;
    }
    // The printed area's rows, '#' for ink and '.' for white, columns wide.
    std::vector<std::string> rows(int columns, int count) const {
        std::vector<std::string> out;
        constexpr int m = PrintedSheet::marginPixels;
        for (int y = 0; y < count && y + m < page().height; ++y) {
            std::string row;
            for (int x = 0; x < columns && x + m < page().width; ++x)
                row += page().pixel(x + m, y + m) == penColours[0] ? '.' : '#';
            out.push_back(row);
        }
        return out;
    }
    Colour dot(int x, int y) const {
        return page().pixel(x + PrintedSheet::marginPixels, y + PrintedSheet::marginPixels);
    }
    int pagesEnded = 0;
    std::vector<int> inkWhenTaken;
};

} // namespace plotanix::testing
