#pragma once
// Each saved page printed, as every front keeps it: the page's drawing is
// copied as it is saved, made into a PDF, sent and followed until it is
// printed (or why not) on the background work's print lane, and the
// outcome is told on the loop's turn. A hung print server delays only the
// prints after it. At the ending the jobs not printed by the end of the
// budget are told, page by page: unsent, or sent and not yet printed. A
// program without --print prints nothing, and every call here is then
// nothing.

#include "common/background_work.h"

#include <functional>
#include <optional>
#include <string>

namespace plotanix {

class DisplayList;
class PlotSession;

class PagePrinter {
  public:
    // told gets each outcome's line, on the loop's turn; failed: the page
    // did not go to the print server, or the job ended unprinted.
    using Told = std::function<void(const std::string& said, bool failed)>;
    PagePrinter(BackgroundWork& work, Told told);

    // The queue pages go to (empty: the default queue; none: not printed).
    void follow(const std::optional<std::string>& queue) { queue_ = queue; }
    bool on() const { return queue_.has_value(); }
    // The page just saved under name, as the session holds it (drawn: what
    // it was saved as, when that is another list, fitted).
    void pageSaved(PlotSession& session, const std::string& name,
                   const DisplayList* drawn = nullptr);

  private:
    std::string queueName() const;

    BackgroundWork& work_;
    Told told_;
    std::optional<std::string> queue_;
};

} // namespace plotanix
