#pragma once
// A document printed through CUPS: the queue is found (the default one when
// none is named), its paper asked for, the document made for that paper and
// sent, and the job followed until the scheduler says it is printed (or
// why not). Every call blocks on the scheduler: the programs make them on
// the background work's print lane, the renderer between its files.

#include "hpgl/plotter.h"
#include "output/vector_copy.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace plotanix {

// The paper a queue prints on: its default, as letter or A4 (the plotter's
// own papers), landscape.
struct PrintSheet {
    bool a4 = false;
    double widthMm() const { return a4 ? 297.0 : 279.4; }
    double heightMm() const { return a4 ? 210.0 : 215.9; }
};

// Where the picture goes on the sheet: the plotter's page (area) at its
// true size, centred, shrunk only when it is larger than the sheet (an
// HP-GL/2 page of its own size); without one (the HP-86B's page is the
// picture) the picture fills the sheet within a margin, its aspect kept.
PaperPlacement placeOnSheet(const std::optional<PageExtent>& area, PrintSheet sheet);

// Makes the document (a PDF) for the sheet into pdf; false with why in one
// line when it cannot.
using PdfMaker = std::function<bool(PrintSheet sheet, std::string& pdf, std::string& why)>;

struct PrintOutcome {
    bool sent = false;    // the scheduler took the job
    bool printed = false; // the scheduler says the job is completed
    bool lost = false;    // it ended unprinted: cancelled, aborted or stopped
    int job = 0;
    std::string queue; // as named, or the default queue's name once found
    // One line for the operator: "printed on QUEUE (job N)", or why not,
    // naming the queue and the scheduler's reason.
    std::string said;
    // A failure for the operator: not sent, or ended unprinted. A job held
    // or still under way may yet print.
    bool failed() const { return !sent || lost; }
};

// How long a job is followed before it is said not yet printed: a printer
// that takes longer is busy, out of paper or off, which the line says.
inline constexpr std::chrono::milliseconds followingBound = std::chrono::minutes(2);

// queue empty: the default queue. title names the job in the queue's list.
// The job is sent ("sent to QUEUE (job N)"), not followed.
PrintOutcome printDocument(const std::string& queue, const std::string& title,
                           const PdfMaker& make);

// A job sent is followed until the scheduler says it completed (then
// "printed on QUEUE (job N)"), ended without printing, or is held; past
// bound, "sent to QUEUE (job N), not yet printed after ...". The scheduler
// is asked at growing intervals; nothing is done for a job not sent.
void followJob(PrintOutcome& outcome, std::chrono::milliseconds bound = followingBound);

// The document write puts into an open file, kept in pdf: the way a PdfMaker
// makes it.
bool documentInMemory(const std::function<bool(FILE* file, std::string& why)>& write,
                      std::string& pdf, std::string& why);

// A queue name CUPS can take: empty when it is one, else why not.
std::string queueNameProblem(const std::string& name);

} // namespace plotanix
