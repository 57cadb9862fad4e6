#pragma once
// What the operator reads when bytes arrive with framing or parity errors:
// how many, and the framing to check. A host that frames its characters
// otherwise than the line is set up (8N1 into 7N1, the commonest) gets an
// error on many of its bytes, and nothing else says why nothing is drawn.

#include "serial/line_settings.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plotanix {

class PlotSession;

// "37 framing errors: is the host sending 8N1? try --databits 8"; empty
// when there are none.
std::string lineErrorsText(int64_t errors, const LineSettings& line);

// The status rows of a plot run: the counters, then the line errors when
// there are any, then the model's hint on how it reads the computer's
// stream when it has one.
std::vector<std::string> statusRows(int32_t instructions, int32_t ignored,
                                    const std::string& lineErrors, const std::string& hint = {},
                                    const std::string& pageNote = {});

// What the page tells the operator once a run has ended: why nothing shows
// on it ("nothing drawn: no pen was selected (SP0 or no SP) while
// drawing"), or that its drawing runs off the paper; empty for neither.
std::string pageNote(const PlotSession& session);
// The drawing ran off the paper, which cut it; followed by what --fit does
// for it where it applies (the 7470A and HP-GL/2 models).
inline const std::string offPaperNote = "the drawing runs off the paper, which cut part of it";
inline const std::string fitWouldFitIt = " (--fit fits it)";
inline const std::string fittedOntoPage = "; fitted onto the page";

// The line errors said in the journal once a minute at most while their
// count grows: the first at once, the later ones at the minute's end.
class LineErrorReport {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes interval{1};

    LineErrorReport(std::function<int64_t()> count, const LineSettings& line,
                    std::function<void(const std::string&)> say)
        : count_(std::move(count)), line_(line), say_(std::move(say)) {}
    // When a count not yet said may be said; none while there is none.
    std::optional<Clock::time_point> due(Clock::time_point now) const;
    void check(Clock::time_point now);

  private:
    std::function<int64_t()> count_;
    LineSettings line_;
    std::function<void(const std::string&)> say_;
    int64_t said_ = 0;
    std::optional<Clock::time_point> lastSaid_;
};

} // namespace plotanix
