#pragma once
// Where saved pages go: PLOTTER_00001.PNG onward in the output folder,
// numbered from 1 at each start. A save never overwrites a page file that is
// already there, from this start or an earlier one: it takes the first free
// number from the next one on. Each save and each new page is marked in the
// transcript, and the transcript on disk is complete after either.

#include "page/page_image.h"

#include <cstdint>
#include <functional>
#include <string>

namespace plotanix {

class LogFile;

// "PLOTTER_" + the last five digits of the page number + ".PNG".
std::string pageFileName(int64_t pageNumber);
// The last five digits, with leading zeros: how every page file is numbered.
std::string fiveDigits(int64_t number);

class PageStore {
  public:
    // Writes the page to the path; true only when the whole file is there.
    using Writer = std::function<bool(const PageImage& page, const std::string& path)>;

    PageStore(std::string directory, LogFile& log, Writer writer);

    struct Saved {
        bool ok = false;
        std::string name; // the file name, without the folder
        int64_t number = 0;
    };
    // On failure nothing is marked and the number is kept for the next try.
    Saved savePage(const PageImage& page);
    void markNewPage();

    std::string pathOf(const std::string& name) const;

  private:
    std::string directory_;
    LogFile& log_;
    Writer writer_;
    int64_t pageNumber_ = 1;
};

} // namespace plotanix
