#pragma once
// What the web view shows: the front page, its style and its script.

#include "saved_list.h"
#include "web/web_server.h"

#include <cstdint>
#include <string>
#include <vector>

namespace plotanix::web {

// The plotter's state as one line.
std::string statusText(const WebStatus& status);

// What the front page shows beside the state.
struct FrontPage {
    uint64_t pageVersion = 0;             // the page drawn; 0: none
    bool drawing = false;                 // drawn on since it was last saved
    const SavedPage* lastSaved = nullptr; // shown when nothing is being drawn
    std::vector<SavedPage> saved;         // a stretch of the saved pages, newest first
    size_t skip = 0;                      // how many newer ones there are
    size_t total = 0;                     // how many in all
    bool reading = false;                 // the folder is still being read
};
std::string frontPage(const WebStatus& status, const FrontPage& shown);

// Pages in the list on one front page; older ones are a link away.
constexpr size_t pagesShown = 100;

extern const char styleSheet[];
extern const char liveScript[];

} // namespace plotanix::web
