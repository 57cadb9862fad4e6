#include "print/cups_print.h"

#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

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

std::string jobName(const PrintOutcome& outcome) {
    return outcome.queue + " (job " + std::to_string(outcome.job) + ")";
}

// "2 minutes", "30 seconds": how long a job was followed.
std::string spokenDuration(std::chrono::milliseconds span) {
    const auto count = [](long long n, const char* unit) {
        return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
    };
    if (span.count() % 60000 == 0) return count(span.count() / 60000, "minute");
    if (span.count() % 1000 == 0) return count(span.count() / 1000, "second");
    return count(span.count(), "millisecond");
}

using Deadline = std::chrono::steady_clock::time_point;

// libcups asks on each second without an answer whether to wait on.
int keepWaiting(http_t*, void* deadline) {
    return std::chrono::steady_clock::now() < *static_cast<const Deadline*>(deadline) ? 1 : 0;
}

// What the scheduler says of a job and of its queue.
struct JobSeen {
    bool known = false;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    bool queueStopped = false;
    std::string reason;      // the job's: its printer's message, else its state's reasons
    std::string queueReason; // the queue's, likewise
};

// An attribute's text values by commas, those that say nothing left out.
std::string textOf(ipp_t* response, const char* name) {
    ipp_attribute_t* attribute = ippFindAttribute(response, name, IPP_TAG_ZERO);
    std::string text;
    for (int i = 0; attribute != nullptr && i < ippGetCount(attribute); ++i) {
        const char* value = ippGetString(attribute, i, nullptr);
        if (value == nullptr || *value == '\0') continue;
        const std::string_view word(value);
        if (word == "none" || word == "job-completed-successfully") continue;
        text += (text.empty() ? "" : ", ") + std::string(word);
    }
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string reasonIn(ipp_t* response, const char* message, const char* reasons) {
    std::string text = textOf(response, message);
    return text.empty() ? textOf(response, reasons) : text;
}

// An IPP request about the job or its queue, answered or nullptr.
ipp_t* ask(http_t* http, ipp_op_t operation, const char* uriName, const std::string& resource,
           std::initializer_list<const char*> wanted) {
    ipp_t* request = ippNewRequest(operation);
    char uri[HTTP_MAX_URI];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                    resource.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, uriName, nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    const std::vector<const char*> names(wanted);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(names.size()), nullptr, names.data());
    ipp_t* response = cupsDoRequest(http, request, "/");
    if (response != nullptr && ippGetStatusCode(response) > IPP_STATUS_OK_CONFLICTING) {
        ippDelete(response);
        return nullptr;
    }
    return response;
}

JobSeen askAfter(http_t* http, const PrintOutcome& outcome) {
    JobSeen seen;
    ipp_t* job =
        ask(http, IPP_OP_GET_JOB_ATTRIBUTES, "job-uri", "/jobs/" + std::to_string(outcome.job),
            {"job-state", "job-state-reasons", "job-printer-state-message"});
    if (job == nullptr) return seen;
    seen.known = true;
    seen.state = ipp_jstate_t(ippGetInteger(ippFindAttribute(job, "job-state", IPP_TAG_ENUM), 0));
    seen.reason = reasonIn(job, "job-printer-state-message", "job-state-reasons");
    ippDelete(job);
    if (seen.state == IPP_JSTATE_PENDING || seen.state == IPP_JSTATE_HELD) {
        ipp_t* queue =
            ask(http, IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri", "/printers/" + outcome.queue,
                {"printer-state", "printer-state-message", "printer-state-reasons"});
        if (queue != nullptr) {
            seen.queueStopped =
                ippGetInteger(ippFindAttribute(queue, "printer-state", IPP_TAG_ENUM), 0) ==
                IPP_PSTATE_STOPPED;
            seen.queueReason = reasonIn(queue, "printer-state-message", "printer-state-reasons");
            ippDelete(queue);
        }
    }
    return seen;
}

// The outcome of a job seen in an end state (true), or under way (false).
bool settle(PrintOutcome& outcome, const JobSeen& seen) {
    const auto because = [](const std::string& reason) {
        return reason.empty() ? std::string("no reason given") : reason;
    };
    switch (seen.state) {
    case IPP_JSTATE_COMPLETED:
        outcome.printed = true;
        outcome.said = "printed on " + jobName(outcome);
        return true;
    case IPP_JSTATE_HELD:
        // Held by the queue being stopped, it prints when the queue is
        // resumed; held by the scheduler (a printer's failure), it waits
        // for the operator.
        if (seen.queueStopped) break;
        [[fallthrough]];
    case IPP_JSTATE_CANCELED:
    case IPP_JSTATE_ABORTED:
    case IPP_JSTATE_STOPPED:
        outcome.lost = true;
        outcome.said = "not printed on " + jobName(outcome) + ", " +
                       (seen.state == IPP_JSTATE_HELD       ? "held"
                        : seen.state == IPP_JSTATE_CANCELED ? "cancelled"
                        : seen.state == IPP_JSTATE_ABORTED  ? "aborted"
                                                            : "stopped") +
                       ": " + because(seen.reason);
        return true;
    default:
        break;
    }
    if (!seen.queueStopped || (seen.state != IPP_JSTATE_PENDING && seen.state != IPP_JSTATE_HELD))
        return false;
    // Taken, but it waits until the queue is resumed.
    outcome.said = "held on " + jobName(outcome) + ": the printer is stopped (" +
                   because(seen.queueReason) + "); it prints when the queue is resumed";
    return true;
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
    outcome.said = "sent to " + jobName(outcome);
    return outcome;
}

void followJob(PrintOutcome& outcome, std::chrono::milliseconds bound) {
    if (!outcome.sent) return;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    // A connection of its own, which gives up at the deadline: a scheduler
    // that stops answering holds the following no longer than the bound.
    http_t* const http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(),
                                      1, 5000, nullptr);
    if (http != nullptr) httpSetTimeout(http, 1.0, keepWaiting, const_cast<Deadline*>(&deadline));
    std::chrono::milliseconds pause(50);
    while (http != nullptr) {
        const JobSeen seen = askAfter(http, outcome);
        if (seen.known && settle(outcome, seen)) break;
        if (std::chrono::steady_clock::now() + pause >= deadline) {
            outcome.said = "sent to " + jobName(outcome) + ", not yet printed after " +
                           spokenDuration(bound) +
                           (seen.known && !seen.reason.empty() ? " (" + seen.reason + ")" : "");
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(2000));
    }
    if (http != nullptr) httpClose(http);
}

} // namespace plotanix
