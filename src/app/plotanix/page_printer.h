#pragma once
// Each saved page printed, as both modes of the program keep it: the
// page's drawing is copied as it is saved and printed on the spooler's
// thread, and the outcome is told on the loop's turn. A program without
// --print prints nothing, and every call here is then nothing.

#include "print/print_spooler.h"

#include <functional>
#include <optional>
#include <string>

namespace plotanix {

class PlotSession;

class PagePrinter {
  public:
    // told gets each outcome's line, on the loop's turn.
    explicit PagePrinter(std::function<void(const std::string& said)> told);

    // The queue pages go to (empty: the default queue; none: not printed).
    void follow(const std::optional<std::string>& queue) { queue_ = queue; }
    bool on() const { return queue_.has_value(); }
    // The page just saved under name, as the session holds it.
    void pageSaved(PlotSession& session, const std::string& name);
    // For the event loop.
    PollSource* source() { return &spooler_; }
    // At the end: the jobs asked for are sent and their outcomes told.
    void finish() { spooler_.finish(); }

  private:
    std::function<void(const std::string& said)> told_;
    std::optional<std::string> queue_;
    PrintSpooler spooler_;
};

} // namespace plotanix
