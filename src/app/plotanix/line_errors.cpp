#include "line_errors.h"

#include "session/plot_session.h"

#include <algorithm>

namespace plotanix {

namespace {

// The likeliest mistake for the line as it is set up. A host at 8N1 gives a
// 7N1 line a framing error on most bytes, and a line with parity parity
// errors; a line already at 8N1 errs mostly at the wrong speed.
std::string advice(const LineSettings& line) {
    if (line.parity != Parity::none)
        return std::string("is the host sending 8N1? try ") +
               (line.dataBits == 7 ? "--databits 8 --parity none" : "--parity none");
    if (line.dataBits == 7) return "is the host sending 8N1? try --databits 8";
    return "is the host sending at " + std::to_string(line.baud) +
           " baud? check its speed and --baud";
}

} // namespace

std::string lineErrorsText(int64_t errors, const LineSettings& line) {
    if (errors <= 0) return {};
    const std::string kind =
        line.parity == Parity::none ? "framing error" : "framing or parity error";
    return std::to_string(errors) + " " + kind + (errors == 1 ? "" : "s") + ": " + advice(line);
}

} // namespace plotanix

namespace plotanix {

std::vector<std::string> statusRows(int32_t instructions, int32_t ignored,
                                    const std::string& lineErrors, const std::string& hint,
                                    const std::string& pageNote) {
    std::vector<std::string> rows = {"Instructions : " + std::to_string(instructions) +
                                     "  Ignored : " + std::to_string(ignored)};
    if (!lineErrors.empty()) rows.push_back(lineErrors);
    if (!hint.empty()) rows.push_back(hint);
    if (!pageNote.empty()) rows.push_back(pageNote);
    return rows;
}

std::string pageNote(const PlotSession& session) {
    const std::string why = session.blankReason();
    if (!why.empty()) return "nothing drawn: " + why;
    if (!session.ranOffPaper()) return {};
    if (session.fitting()) return offPaperNote + fittedOntoPage;
    return offPaperNote + (session.fitApplies() && !session.fitsCopies() ? fitWouldFitIt : "");
}

std::optional<LineErrorReport::Clock::time_point>
LineErrorReport::due(Clock::time_point now) const {
    if (count_() == said_) return std::nullopt;
    return lastSaid_ ? std::max(now, *lastSaid_ + interval) : now;
}

void LineErrorReport::check(Clock::time_point now) {
    const int64_t errors = count_();
    if (errors == said_ || (lastSaid_ && now < *lastSaid_ + interval)) return;
    say_(lineErrorsText(errors, line_));
    said_ = errors;
    lastSaid_ = now;
}

} // namespace plotanix
