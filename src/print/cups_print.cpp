#include "print/cups_print.h"

#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

namespace plotanix {

namespace {

// The scheduler's last word, as one line without its full stop.
std::string cupsReason() {
    std::string text = cupsLastErrorString() != nullptr ? cupsLastErrorString() : "";
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? std::string("no reason given") : text;
}

// Whether the scheduler answers at all; why not when it does not (its
// socket gone, or nobody listening on it).
bool schedulerAnswers(std::string& why) {
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                5000, nullptr);
    if (http != nullptr) {
        httpClose(http);
        return true;
    }
    why = "the CUPS scheduler is not running (" + std::string(cupsServer()) + ": " +
          std::strerror(errno) + ")";
    return false;
}

struct DestFree {
    void operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
};
struct InfoFree {
    void operator()(cups_dinfo_t* info) const { cupsFreeDestInfo(info); }
};

const char* destOption(const cups_dest_t& dest, const char* name) {
    return cupsGetOption(name, dest.num_options, dest.options);
}

// Letter unless the queue's default medium is A4 (the plotter has no other
// papers; a larger one takes the page as letter does).
PrintSheet sheetOf(http_t* http, cups_dest_t* dest, cups_dinfo_t* info) {
    cups_size_t size{};
    if (info != nullptr && cupsGetDestMediaDefault(http, dest, info, 0, &size) != 0)
        return {std::abs(size.width - 21000) < 300 && std::abs(size.length - 29700) < 300};
    const char* media = destOption(*dest, "media");
    return {media != nullptr && std::string_view(media).find("a4") != std::string_view::npos};
}

PrintOutcome failed(PrintOutcome outcome, const std::string& why) {
    outcome.said = (outcome.queue.empty() ? std::string("not printed: ")
                                          : "not printed on " + outcome.queue + ": ") +
                   why;
    return outcome;
}

} // namespace

PrintOutcome printDocument(const std::string& queue, const std::string& title,
                           const PdfMaker& make) {
    PrintOutcome outcome;
    outcome.queue = queue;
    const std::unique_ptr<cups_dest_t, DestFree> dest(
        cupsGetNamedDest(CUPS_HTTP_DEFAULT, queue.empty() ? nullptr : queue.c_str(), nullptr));
    if (!dest) {
        if (std::string why; !schedulerAnswers(why)) return failed(outcome, why);
        if (queue.empty())
            return failed(outcome, "no default queue (name one, or set one with lpoptions -d)");
        return failed(outcome, "no such queue (" + cupsReason() + ")");
    }
    outcome.queue = dest->name;

    // The scheduler's own connection: a queue's URI names the host as the
    // scheduler sees it (localhost), which is not always where it is reached.
    http_t* const http = CUPS_HTTP_DEFAULT;
    const std::unique_ptr<cups_dinfo_t, InfoFree> info(cupsCopyDestInfo(http, dest.get()));
    if (!info) {
        std::string why = cupsReason();
        schedulerAnswers(why);
        return failed(outcome, why);
    }

    std::string pdf, why;
    if (!make(sheetOf(http, dest.get(), info.get()), pdf, why)) return failed(outcome, why);

    // At the plotter's size: no filter may scale the page to the paper.
    cups_option_t* options = nullptr;
    const int optionCount = cupsAddOption("print-scaling", "none", 0, &options);
    int job = 0;
    const ipp_status_t created =
        cupsCreateDestJob(http, dest.get(), info.get(), &job, title.c_str(), optionCount, options);
    cupsFreeOptions(optionCount, options);
    if (created > IPP_STATUS_OK_CONFLICTING || job == 0) return failed(outcome, cupsReason());
    if (cupsStartDestDocument(http, dest.get(), info.get(), job, title.c_str(), CUPS_FORMAT_PDF, 0,
                              nullptr, 1) != HTTP_STATUS_CONTINUE)
        return failed(outcome, cupsReason());
    constexpr size_t piece = 64 * 1024;
    for (size_t at = 0; at < pdf.size(); at += piece) {
        if (cupsWriteRequestData(http, pdf.data() + at, std::min(piece, pdf.size() - at)) !=
            HTTP_STATUS_CONTINUE)
            break; // the finish says why
    }
    if (cupsFinishDestDocument(http, dest.get(), info.get()) > IPP_STATUS_OK_CONFLICTING)
        return failed(outcome, cupsReason());

    outcome.sent = true;
    outcome.job = job;
    outcome.said = "printed on " + outcome.queue + " (job " + std::to_string(job) + ")";
    // Taken, but it waits until the queue is resumed.
    const char* state = destOption(*dest, "printer-state");
    if (state != nullptr && std::string_view(state) == "5") {
        const char* reasons = destOption(*dest, "printer-state-reasons");
        outcome.said = "held on " + outcome.queue + " (job " + std::to_string(job) +
                       "): the printer is stopped (" + (reasons ? reasons : "no reason given") +
                       "); it prints when the queue is resumed";
    }
    return outcome;
}

} // namespace plotanix
