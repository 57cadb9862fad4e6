#include "journal.h"

#include "common/printable.h"
#include "line_description.h"
#include "models/models.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

namespace plotanix {

namespace {

// 2026-12-07T14:03:22+01:00: local time with its offset from UTC.
std::string isoTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 40> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string stamp = text.data();
    if (stamp.size() > 2) stamp.insert(stamp.size() - 2, ":");
    return stamp;
}

} // namespace

std::string journalLine(std::string_view text) {
    return isoTimestamp() + " " + printable(text) + "\n";
}

std::string journalLine(std::string_view text, Priority priority) {
    return "<" + std::to_string(static_cast<int>(priority)) + ">" + printable(text) + "\n";
}

// Only the stream systemd set up counts: a program started from the
// service's shell with its output in a file is not the journal.
bool isJournalStream(int fd, std::string_view journalStream) {
    const auto colon = journalStream.find(':');
    if (colon == std::string_view::npos) return false;
    unsigned long long device = 0, inode = 0;
    const char* first = journalStream.data();
    const char* end = first + journalStream.size();
    if (std::from_chars(first, first + colon, device).ptr != first + colon ||
        std::from_chars(first + colon + 1, end, inode).ptr != end)
        return false;
    struct stat info {};
    return ::fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

std::string secondsText(double seconds) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g s", seconds);
    return text.data();
}

std::string pageOutputs(const Settings& settings) {
    const char* copy = settings.vector == VectorCopy::svg   ? " and SVG"
                       : settings.vector == VectorCopy::pdf ? " and PDF"
                                                            : "";
    const std::string printed = !settings.print           ? ""
                                : settings.print->empty() ? ", printed on the default queue"
                                                          : ", printed on " + *settings.print;
    return "PNG" + std::string(copy) + printed;
}

std::string startedLine(const Settings& settings, const std::string& folder,
                        const std::string& webUrl) {
    std::string model = "model " + std::string(modelName(settings.model));
    if (settings.model != PlotterModel::hp86b && !isPrinter(settings.model))
        model += settings.paper == Paper::a4 ? " on A4 paper" : " on letter paper";
    const double least = std::chrono::duration<double>(runEndsAfterLastByte(settings)).count();
    const double asked = settings.pageGapSeconds;
    const std::string gap = asked >= least ? secondsText(asked)
                                           : secondsText(least) + " (" + secondsText(asked) +
                                                 " asked: a plot run ends that long after the "
                                                 "last byte)";
    return "started: " + describeLineOf(settings).text() + ", " + model + ", pages in " + folder +
           " as " + pageOutputs(settings) + ", page gap " + gap + ", " +
           (webUrl.empty() ? "no web view" : "web view: " + webUrl);
}

} // namespace plotanix
