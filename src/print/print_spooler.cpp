#include "print/print_spooler.h"

#include <cstdint>
#include <sys/eventfd.h>

namespace plotanix {

PrintSpooler::PrintSpooler(Told told)
    : told_(std::move(told)), ready_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PrintSpooler::~PrintSpooler() {
    finish();
}

void PrintSpooler::print(std::string queue, std::string title, PdfMaker make) {
    {
        const std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(queue), std::move(title), std::move(make)});
        stopping_ = false;
    }
    if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
    wake_.notify_one();
}

void PrintSpooler::finish() {
    if (worker_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }
    tellOutcomes();
}

void PrintSpooler::service(Clock::time_point) {
    uint64_t count = 0;
    while (::read(ready_.get(), &count, sizeof count) > 0) {
    }
    tellOutcomes();
}

void PrintSpooler::tellOutcomes() {
    std::deque<PrintOutcome> outcomes;
    {
        const std::lock_guard lock(mutex_);
        outcomes.swap(outcomes_);
    }
    for (const PrintOutcome& outcome : outcomes)
        told_(outcome);
}

// One job at a time, in the order asked; ends once asked to and no job is
// left.
void PrintSpooler::work() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        PrintOutcome outcome = printDocument(job.queue, job.title, job.make);
        lock.lock();
        outcomes_.push_back(std::move(outcome));
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(ready_.get(), &one, sizeof one);
    }
}

} // namespace plotanix
