#pragma once
// Where saved pages go: PLOTTER_00001.PNG onward in the output folder,
// numbered from 1 at each start. A save never overwrites a page file that is
// already there, from this start or an earlier one: it takes the first free
// number from the next one on. Each save and each new page is marked in the
// transcript, and the transcript on disk is complete after either. A copy
// (PLOTTER_00001.SVG, say) may be written beside each page under its number.

#include "page/page_image.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class LogFile;

// "PLOTTER_" + the last five digits of the page number + the extension.
std::string pageFileName(int64_t pageNumber, std::string_view extension = ".PNG");
// The last five digits, with leading zeros: how every page file is numbered.
std::string fiveDigits(int64_t number);
// Every pixel is the paper's: nothing is drawn, nothing worth a file.
bool nothingDrawn(const PageImage& page);

class PageStore {
  public:
    // Writes the page to the path; true only when the whole file is there.
    using Writer = std::function<bool(const PageImage& page, const std::string& path)>;
    // Writes the page's copy to the path; false (reason saying why in one
    // line) when no whole file is there. It must leave no partial file.
    using CopyWriter = std::function<bool(const std::string& path, std::string& reason)>;

    PageStore(std::string directory, LogFile& log, Writer writer);

    struct Saved {
        bool ok = false;
        std::string name; // the file name, without the folder
        int64_t number = 0;
        std::string copyName;  // empty when no copy is written
        std::string copyError; // why the copy failed; the page stays saved
        std::string error;     // why the page was not saved
    };
    // A copy with this extension (".SVG") beside every page saved from now
    // on; its name counts as taken when a free number is sought. An empty
    // extension turns copies off.
    void writeCopies(std::string extension, CopyWriter writer);
    // On failure nothing is marked and the number is kept for the next try.
    // A folder that cannot be searched fails at once, with the system's reason.
    // The copy is written after the page and its marker: its failure does
    // not undo them.
    Saved savePage(const PageImage& page);
    // The same save in two parts, for a page written apart from the caller
    // (by another thread): beginSave finds the name (error set when there
    // is none) and the file is then written there; endSave, told whether
    // the page (as it stood then) was written whole, does the rest.
    Saved beginSave();
    Saved endSave(Saved saved, const PageImage& page, bool written, int error);
    const Writer& writer() const { return writer_; }
    void markNewPage();
    // Told of every page saved whole, after its copy (the web view lists it).
    void onSaved(std::function<void(const Saved& saved)> told) { told_ = std::move(told); }
    // The page, as it stands, is the one saved last: leaving it loses nothing.
    bool isSaved(const PageImage& page) const { return !saved_.empty() && page.pixels == saved_; }

    std::string pathOf(const std::string& name) const;
    // The folder the pages go to, as a full path.
    std::string folder() const;

  private:
    std::string directory_;
    LogFile& log_;
    int probe(int64_t number) const;

    Writer writer_;
    std::string copyExtension_;
    CopyWriter copyWriter_;
    std::function<void(const Saved& saved)> told_;
    int64_t pageNumber_ = 1;
    std::vector<uint8_t> saved_; // the pixels of the page saved last
};

} // namespace plotanix
