#pragma once
// What the web view shows: the front page, its style and its script.

#include "web/web_server.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace plotanix::web {

struct SavedPage {
    std::string name;                // PLOTTER_00001.PNG
    std::time_t time = 0;            // when it was written
    std::vector<std::string> copies; // PLOTTER_00001.SVG, ... beside it
};

// The plotter's state as one line.
std::string statusText(const WebStatus& status);
// The front page: the state, the page drawn (pageVersion 0: no page) and
// the saved pages, newest first.
std::string frontPage(const WebStatus& status, uint64_t pageVersion,
                      const std::vector<SavedPage>& saved);
// The saved pages in the folder, newest first, at most `most`.
std::vector<SavedPage> savedPages(const std::string& folder, size_t most);

extern const char styleSheet[];
extern const char liveScript[];

} // namespace plotanix::web
