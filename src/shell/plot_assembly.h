#pragma once
// The plot session with everything that goes around it, put together in
// one place for every mode: the plotter model and paper, the label font,
// the page store in the output folder and the vector copy beside each
// saved page.

#include "output/vector_copy.h"
#include "session/page_store.h"
#include "session/plot_session.h"

#include <memory>
#include <optional>
#include <string>

namespace plotanix {

class PageFont;

struct PlotSetup {
    PlotterModel model = PlotterModel::hp86b;
    Paper paper = Paper::letter;
    // A copy of each saved page in this format (svg or pdf), or none.
    std::optional<CopyFormat> vector;
    std::string dir = "."; // where the pages go
};

class PlotAssembly {
  public:
    // The pages are written by writer (PNG files by default).
    PlotAssembly(const PlotSetup& setup, ByteLink& link, LogFile& log, StatusLine* status = nullptr,
                 PageStore::Writer writer = {});
    ~PlotAssembly();
    PlotAssembly(const PlotAssembly&) = delete;
    PlotAssembly& operator=(const PlotAssembly&) = delete;

    // Loads the label font and makes the blank page; false when the page
    // cannot be made (memory is short).
    bool preparePage();

  private:
    std::unique_ptr<PageFont> font_; // outlives the session that draws with it

  public:
    PlotSession session;
    PageStore store;
};

} // namespace plotanix
