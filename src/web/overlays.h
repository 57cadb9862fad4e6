#pragma once
// Two saved pages of the folder laid over each other (/overlay.png?a=&b=),
// drawn off the loop on the background work's overlay lane, the request
// waiting meanwhile off the library's books. At most atOnce pairs are
// drawn at a time (a newcomer beyond them is asked to come back); a pair
// asked for while it is drawn waits for the same drawing; each result is
// kept for its pair of files as they stand (a file saved again is drawn
// anew). Without background work the pair is drawn on the loop at once.

#include "transport.h"

#include <microhttpd.h>

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace plotanix {
class BackgroundWork;
}

namespace plotanix::web {

class Overlays {
  public:
    static constexpr size_t atOnce = 2;
    static constexpr size_t kept = 8;

    // The folder's descriptor stays the caller's.
    Overlays(int folder, BackgroundWork* work, Transport& transport);
    ~Overlays();
    Overlays(const Overlays&) = delete;
    Overlays& operator=(const Overlays&) = delete;

    // The answer to /overlay.png; called again when the drawing is done.
    MHD_Result answer(MHD_Connection* connection);
    // The connection has gone: it waits for nothing now.
    void gone(MHD_Connection* connection);

    // An overlay as answered: its status and body (a PNG, or why not).
    struct Result {
        unsigned status = 0;
        std::string body;
    };

  private:
    struct Drawing {
        std::vector<MHD_Connection*> waiting;
    };

    void finished(const std::string& key, std::shared_ptr<const Result> result);
    MHD_Result reply(MHD_Connection* connection, const Result& result);

    int folder_;
    BackgroundWork* work_;
    Transport& transport_;
    std::shared_ptr<Overlays*> self_; // the results' way back, gone with this object
    std::map<std::string, Drawing> drawing_;
    std::list<std::pair<std::string, std::shared_ptr<const Result>>> kept_; // newest first
    // Each waiting connection and, once drawn, its result.
    std::map<MHD_Connection*, std::shared_ptr<const Result>> waiting_;
};

} // namespace plotanix::web
