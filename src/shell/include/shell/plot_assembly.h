#pragma once
// The plot session with everything that goes around it, put together in
// one place for every mode: the plotter model and paper, the label font,
// the page store in the output folder and the vector copy beside each
// saved page. The renderer, which writes its own files, uses the session
// and the font alone: drawing the copies of saved pages needs cairo, so it
// is set up apart (saved_copies.cpp) and only a program that saves pages
// through the store links it.

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
    // What is drawn is kept for copies made elsewhere (the renderer's), as
    // it is for the saved pages' vector copies.
    bool keepDrawing = false;
    // A page whose drawing ran off the paper is saved fitted onto the page
    // (the 7470A and HP-GL/2 models).
    bool fit = false;
};

class PlotAssembly {
  public:
    // The pages are written by writer (PNG files by default).
    PlotAssembly(const PlotSetup& setup, ByteLink& link, LogFile& log, StatusLine* status = nullptr,
                 PageStore::Writer writer = {});
    ~PlotAssembly();
    PlotAssembly(const PlotAssembly&) = delete;
    PlotAssembly& operator=(const PlotAssembly&) = delete;

    // Ready to plot and save: the label font, the vector copy of each saved
    // page, the blank page. False when the page cannot be made (memory is
    // short).
    bool preparePage();
    // Labels are drawn in the label font from now on. It is loaded once,
    // on the first call: it takes longer than most files take to draw.
    void useLabelFont();

    // Writes a page's file, whole or not at all, on any thread: the writer
    // the assembly was given, without the fitting below.
    const PageStore::Writer& fileWriter() const { return fileWriter_; }
    // The fitted page's list, which the page being saved goes to its vector
    // copy and the printer as (null: the session's own list). The store's
    // own saves (on the loop) set it themselves; one written apart sets it
    // before it ends.
    void useFitted(std::shared_ptr<const DisplayList> list) { fitted_ = std::move(list); }
    const DisplayList* savedDrawing() const {
        return fitted_ ? fitted_.get() : session.displayList();
    }

  private:
    void copySavedPages(CopyFormat format);
    // The store's writer: the page, or with --fit the page drawn again
    // fitted when its drawing ran off the paper. Called on the loop.
    bool writePage(const PageImage& page, const std::string& path);

    std::optional<CopyFormat> vector_;
    PageStore::Writer fileWriter_;
    std::shared_ptr<const DisplayList> fitted_;
    std::unique_ptr<PageFont> font_; // outlives the session that draws with it
    bool fontTried_ = false;

  public:
    PlotSession session;
    PageStore store;
};

} // namespace plotanix
