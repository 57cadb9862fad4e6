#include "app/render_batch.h"

#include "app/render_renderer.h"
#include "common/printable.h"
#include "session/page_store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace plotanix {

namespace {

constexpr const char* programName = "plotanix-render";

size_t baseStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

size_t extensionStart(const std::string& path) {
    const size_t dot = path.rfind('.');
    return dot == std::string::npos || dot <= baseStart(path) ? path.size() : dot;
}

bool stopAsked(const std::atomic<int>* stopSignal) {
    return stopSignal != nullptr && stopSignal->load() != 0;
}

// An input's bytes, read straight into memory that nothing fills first.
class InputBytes {
  public:
    explicit InputBytes(const std::atomic<int>* stopSignal) : stopSignal_(stopSignal) {}
    std::string_view view() const { return {data_.get(), size_}; }

    // The whole of fd; false (with errno set) when it cannot be read.
    bool readAll(int fd, size_t expected) {
        size_ = 0;
        // One more byte than expected, so that the end is seen without growing.
        reserve(expected + 1);
        while (true) {
            if (size_ == capacity_) reserve(2 * capacity_);
            const ssize_t n = ::read(fd, data_.get() + size_, capacity_ - size_);
            // A read that waits (standard input) ends when the user asks to stop.
            if (n < 0 && errno == EINTR && !stopAsked(stopSignal_)) continue;
            if (n <= 0) return n == 0;
            size_ += static_cast<size_t>(n);
        }
    }

  private:
    void reserve(size_t capacity) {
        capacity = std::max<size_t>(capacity, 65536);
        if (capacity <= capacity_) return;
        auto larger = std::make_unique_for_overwrite<char[]>(capacity);
        std::copy_n(data_.get(), size_, larger.get());
        data_ = std::move(larger);
        capacity_ = capacity;
    }

    const std::atomic<int>* stopSignal_;
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The whole input; false (with errno set) when it cannot be read.
bool readInput(const std::string& name, InputBytes& bytes) {
    if (name == "-") return bytes.readAll(STDIN_FILENO, 0);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    const size_t size = ::fstat(fd, &info) == 0 && info.st_size > 0 ? info.st_size : 0;
    const bool read = bytes.readAll(fd, size);
    const int readError = errno;
    ::close(fd);
    errno = readError;
    return read;
}

// Why a page could not be written, as well as can be told afterwards.
std::string writeFailure(const std::string& name, int error) {
    const size_t base = baseStart(name);
    const std::string directory = base == 0 ? "." : name.substr(0, base);
    if (::access(directory.c_str(), W_OK) != 0) error = errno;
    return "cannot write " + name + (error != 0 ? std::string(": ") + std::strerror(error) : "");
}

struct JobOutcome {
    bool begun = false;
    int status = rendered;
    RenderCounts counts;
};

// Standard error, shared by the workers: failure lines, and on a terminal
// one progress line redrawn in place, at most ten times a second.
class Reporter {
  public:
    Reporter(size_t total, bool showProgress) : total_(total), showProgress_(showProgress) {}

    void finished(const std::string& failure) {
        const std::lock_guard lock(mutex_);
        ++done_;
        if (!failure.empty()) {
            ++failed_;
            clearProgress();
            std::fprintf(stderr, "%s: %s\n", programName, printable(failure).c_str());
            drawn_ = {};
        }
        const auto now = std::chrono::steady_clock::now();
        if (showProgress_ && (now - drawn_ >= std::chrono::milliseconds(100) || done_ == total_)) {
            std::fprintf(stderr, "\r%zu/%zu files, %zu failed\x1b[K", done_, total_, failed_);
            std::fflush(stderr);
            shown_ = true;
            drawn_ = now;
        }
    }
    // strerror is not safe between threads: failures are told under the lock.
    std::string describe(const std::string& what, int error) {
        const std::lock_guard lock(mutex_);
        return what + ": " + std::strerror(error);
    }
    std::string describeWrite(const std::string& name, int error) {
        const std::lock_guard lock(mutex_);
        return writeFailure(name, error);
    }
    void end() {
        const std::lock_guard lock(mutex_);
        clearProgress();
    }

  private:
    void clearProgress() {
        if (shown_) std::fputs("\r\x1b[K", stderr);
        shown_ = false;
    }

    std::mutex mutex_;
    const size_t total_;
    const bool showProgress_;
    size_t done_ = 0, failed_ = 0;
    bool shown_ = false;
    std::chrono::steady_clock::time_point drawn_{};
};

// Draws one input with the worker's renderer; its failure, if any, told.
JobOutcome renderJob(Renderer& renderer, const RenderJob& job, const BatchOptions& options,
                     Reporter& reporter) {
    InputBytes input(options.stopSignal);
    if (!readInput(job.input, input)) {
        const int error = errno;
        reporter.finished(reporter.describe(
            "cannot read " + (job.input == "-" ? std::string("standard input") : job.input),
            error));
        return {true, inputUnreadable, {}};
    }
    std::string failure;
    const bool written = renderer.render(input.view(), [&](const PageView& page, auto number) {
        const std::string name = number ? numberedName(job.output, *number) : job.output;
        errno = 0;
        std::string reason;
        if (options.writePage(page, name, reason)) return true;
        failure = reason.empty() ? reporter.describeWrite(name, errno)
                                 : "cannot write " + name + ": " + reason;
        return false;
    });
    reporter.finished(failure);
    return {true, written ? rendered : outputUnwritable, renderer.counts()};
}

void runWorker(const std::vector<RenderJob>& jobs, const BatchOptions& options,
               std::atomic<size_t>& next, std::vector<JobOutcome>& outcomes, Reporter& reporter) {
    Renderer renderer(options.setup);
    const bool prepared = renderer.prepare();
    for (size_t i = next++; i < jobs.size() && !stopAsked(options.stopSignal); i = next++) {
        if (prepared) {
            outcomes[i] = renderJob(renderer, jobs[i], options, reporter);
        } else {
            reporter.finished("cannot create the page image for " + jobs[i].input);
            outcomes[i] = {true, noPageImage, {}};
        }
    }
}

} // namespace

std::string withExtension(const std::string& path, const std::string& extension) {
    return path.substr(0, extensionStart(path)) + extension;
}

std::string numberedName(const std::string& output, int64_t pageNumber) {
    const size_t dot = extensionStart(output);
    return output.substr(0, dot) + "-" + fiveDigits(pageNumber) + output.substr(dot);
}

BatchResult renderAll(const std::vector<RenderJob>& jobs, const BatchOptions& options) {
    std::vector<JobOutcome> outcomes(jobs.size());
    Reporter reporter(jobs.size(), options.showProgress);
    std::atomic<size_t> next = 0;
    const auto work = [&] { runWorker(jobs, options, next, outcomes, reporter); };
    // The calling thread is one of the workers.
    const size_t workers = std::min<size_t>(std::max(options.workers, 1), jobs.size());
    std::vector<std::jthread> threads;
    for (size_t i = 1; i < workers; ++i)
        threads.emplace_back(work);
    work();
    threads.clear();
    reporter.end();

    BatchResult result;
    for (const JobOutcome& outcome : outcomes) {
        ++result.files;
        result.notBegun += outcome.begun ? 0 : 1;
        result.pages += outcome.counts.pages;
        result.instructions += outcome.counts.instructions;
        result.ignored += outcome.counts.ignored;
        if (!outcome.begun || outcome.status == rendered) continue;
        ++result.failed;
        if (result.status == rendered) result.status = outcome.status;
    }
    if (result.notBegun > 0) result.status = 128 + options.stopSignal->load();
    return result;
}

} // namespace plotanix
