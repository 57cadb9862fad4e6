#pragma once
// Print jobs sent without holding the loop: each is made and sent on the
// spooler's own thread, one after the other, and its outcome comes back
// through a descriptor the loop waits on, to be told on the loop's turn.

#include "common/poll_source.h"
#include "common/unique_fd.h"
#include "print/cups_print.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace plotanix {

class PrintSpooler : public PollSource {
  public:
    using Told = std::function<void(const PrintOutcome& outcome)>;
    // Each outcome is told to told on the loop's turn (or at finish).
    explicit PrintSpooler(Told told);
    // Finishes first: a job asked for is never dropped.
    ~PrintSpooler() override;
    PrintSpooler(const PrintSpooler&) = delete;
    PrintSpooler& operator=(const PrintSpooler&) = delete;

    // make runs on the spooler's thread: it must own what it draws from.
    void print(std::string queue, std::string title, PdfMaker make);
    // Waits for the jobs asked for (each bounded by the scheduler's
    // time-outs) and tells their outcomes: at the program's end.
    void finish();

    int descriptor() const override { return ready_.get(); }
    std::optional<Clock::time_point> due() const override { return std::nullopt; }
    void service(Clock::time_point now) override;

  private:
    struct Job {
        std::string queue, title;
        PdfMaker make;
    };
    void work();
    void tellOutcomes();

    Told told_;
    UniqueFd ready_; // an eventfd, readable while outcomes wait
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::deque<PrintOutcome> outcomes_;
    bool stopping_ = false;
    std::thread worker_; // started with the first job
};

} // namespace plotanix
