#pragma once
// Every saved page in one download: a tar archive (ustar) made as it is
// sent, a piece at a time from the folder's files, so that no turn of the
// loop does more than one piece and nothing is written anywhere.

#include "common/unique_fd.h"
#include "saved_list.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace plotanix::web {

class PageArchive {
  public:
    // The files are under this folder in the archive.
    static constexpr const char* folderName = "plotter-pages";

    // The pages' files in the folder (its descriptor stays the caller's).
    PageArchive(int folder, std::vector<PageFiles> pages);

    // The archive's next bytes, at most `most` (a piece: at most one
    // file's header and one read); 0 at its end. A file gone before its
    // turn is left out; one cut short after it began is filled with zeros
    // to the size its header gave.
    size_t read(char* buffer, size_t most);

  private:
    bool next();

    int folder_;
    std::vector<PageFiles> pages_;
    size_t at_ = 0;                  // the next page
    std::vector<std::string> names_; // its files
    size_t nameAt_ = 0;              // the next of them
    std::string pending_;            // a header, padding or the end, to be given first
    size_t pendingTaken_ = 0;
    UniqueFd file_;       // the file being given
    uint64_t offset_ = 0; // how much of it was given
    uint64_t size_ = 0;   // its size as its header says
    bool ended_ = false;
};

} // namespace plotanix::web
