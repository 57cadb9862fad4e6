#include "render_batch.h"

#include "common/printable.h"
#include "common/unique_fd.h"
#include "models/models.h"
#include "output/atomic_file.h"
#include "output/printed_copy.h"
#include "render_copies.h"
#include "render_renderer.h"
#include "session/page_store.h"
#include "shell/signal_watch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace plotanix {

namespace {

size_t baseStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

size_t extensionStart(const std::string& path) {
    const size_t dot = path.rfind('.');
    return dot == std::string::npos || dot <= baseStart(path) ? path.size() : dot;
}

bool stopAsked() {
    return SignalWatch::ending() != 0;
}

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// An input's bytes, read straight into memory that nothing fills first, and
// never more than maxInputBytes of them.
class InputBytes {
  public:
    std::string_view view() const { return {data_.get(), size_}; }
    bool tooLarge() const { return tooLarge_; }
    // Its memory back, once the input is drawn (a large file's copy needs it).
    void release() {
        data_.reset();
        size_ = capacity_ = 0;
    }

    // The whole of fd; false (with errno set, or tooLarge()) when it cannot be read.
    bool readAll(int fd, size_t expected) {
        size_ = 0;
        if (expected > maxInputBytes) return refuse();
        // One more byte than expected, so that the end is seen without growing.
        reserve(expected + 1);
        while (true) {
            if (size_ == capacity_) {
                if (capacity_ > maxInputBytes) return refuse();
                reserve(std::min(2 * capacity_, maxInputBytes + 1));
            }
            const ssize_t n = ::read(fd, data_.get() + size_, capacity_ - size_);
            // A read that waits (standard input) ends when the user asks to stop.
            if (n < 0 && errno == EINTR && !stopAsked()) continue;
            if (n <= 0) return n == 0;
            size_ += static_cast<size_t>(n);
        }
    }

  private:
    bool refuse() {
        tooLarge_ = true;
        data_.reset();
        size_ = capacity_ = 0;
        return false;
    }
    void reserve(size_t capacity) {
        capacity = std::max<size_t>(capacity, 65536);
        if (capacity <= capacity_) return;
        auto larger = std::make_unique_for_overwrite<char[]>(capacity);
        std::copy_n(data_.get(), size_, larger.get());
        data_ = std::move(larger);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool tooLarge_ = false;
};

// A regular file read a piece at a time, from its start on each pass: a
// plot of any size is drawn in the memory of one piece.
class FilePieces : public InputPieces {
  public:
    static constexpr size_t pieceBytes = size_t(1) << 18;
    explicit FilePieces(int fd) : fd_(fd) {}
    bool each(const std::function<bool(std::string_view)>& take) override {
        if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(pieceBytes);
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(fd_, buffer_.get(), pieceBytes, at);
            if (n < 0 && errno == EINTR && !stopAsked()) continue;
            if (n <= 0) return n == 0;
            at += n;
            if (!take({buffer_.get(), static_cast<size_t>(n)})) return true;
        }
    }

  private:
    int fd_;
    std::unique_ptr<char[]> buffer_;
};

// The whole input; false (with errno set, or bytes.tooLarge()) when it cannot be read.
bool readInput(const std::string& name, InputBytes& bytes) {
    if (name == "-") return bytes.readAll(STDIN_FILENO, 0);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const bool read = bytes.readAll(fd, regular && info.st_size > 0 ? info.st_size : 0);
    const int readError = errno;
    ::close(fd);
    errno = readError;
    return read;
}

std::string shownName(const std::string& name, const char* forDash) {
    return name == "-" ? std::string(forDash) : name;
}

// Why a page could not be written, as well as can be told afterwards.
std::string writeFailure(const std::string& name, int error) {
    const size_t base = baseStart(name);
    const std::string directory = base == 0 ? "." : name.substr(0, base);
    if (::access(directory.c_str(), W_OK) != 0) error = errno;
    return "cannot write " + name + (error != 0 ? std::string(": ") + std::strerror(error) : "");
}

// All of bytes into fd, waiting (in poll) while a pipe or device is full.
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && (errno != EINTR || stopAsked())) return false;
        } else if (n == 0 || errno != EINTR || stopAsked()) {
            return false;
        }
    }
    return true;
}

// Text for a terminal has no control bytes but tabs and line ends.
bool binary(std::string_view bytes) {
    return std::any_of(bytes.begin(), bytes.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F;
    });
}

struct JobOutcome {
    bool begun = false;
    int status = rendered;
    RenderCounts counts;
    std::optional<PlotterModel> model; // the model that drew it
};

// Standard error, shared by the workers: failure and warning lines, and on
// a terminal one progress line redrawn in place, at most ten times a second.
class Reporter {
  public:
    Reporter(size_t total, bool showProgress) : total_(total), showProgress_(showProgress) {}

    void say(const std::string& line) {
        const std::lock_guard lock(mutex_);
        sayLocked(line);
    }
    void finished(bool failed) {
        const std::lock_guard lock(mutex_);
        ++done_;
        failed_ += failed ? 1 : 0;
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
    void sayLocked(const std::string& line) {
        clearProgress();
        std::fprintf(stderr, "%s: %s\n", programName, printable(line).c_str());
        drawn_ = {};
    }
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

// What the workers share besides the jobs.
struct Shared {
    const BatchOptions& options;
    Reporter reporter;
    std::atomic<size_t> next = 0;
    std::atomic<bool> folderGone = false;
    bool stopped() const { return stopAsked() || folderGone; }
};

// One input's pages on their way out.
class JobWriter {
  public:
    JobWriter(const RenderJob& job, Shared& shared) : job_(job), shared_(shared) {}

    bool write(const PageView& page, std::optional<int64_t> number) {
        if (!page.nothingDrawn.empty()) blank(page, number);
        if (page.nothingDrawn.empty() && page.drawn)
            placement(*page.drawn, page.cutAtPaper, number);
        if (shared_.options.pdf) return gather(page, number);
        if (job_.inPlace) return hold(page);
        const std::string name = number ? numberedName(job_.output, *number) : job_.output;
        std::string reason;
        errno = 0;
        const bool written = writeFileAtomically(name, Durability::written, [&](FILE* file) {
            return shared_.options.encode(page, file, reason);
        });
        if (!written) fail(name, reason, errno);
        if (written) noted(page);
        return written;
    }
    // The held page into the target written in place.
    bool finish() {
        if (!gathered_.empty() && !failure_) writeGathered();
        if (!holdsPage_ || failure_) return !failure_;
        const std::string name = shownName(job_.output, "standard output");
        std::string reason;
        errno = 0;
        if (!writeInPlace(reason)) fail(name, reason, errno);
        return !failure_;
    }
    bool blank() const { return blank_; }
    // A page PG ended is dropped: nothing of its drawing shows. It has no
    // number of its own: it is named by the page written before it.
    void dropped(int64_t pagesBefore, const std::string& why) {
        blank_ = true;
        if (shared_.options.quiet && !shared_.options.strict) return;
        const std::string which =
            pagesBefore == 0 ? "the first page dropped: "
                             : "a page after page " + std::to_string(pagesBefore) + " dropped: ";
        shared_.reporter.say(shownName(job_.input, "standard input") + ": " + which + why);
    }

  private:
    void blank(const PageView& page, std::optional<int64_t> number) {
        blank_ = true;
        if (shared_.options.quiet && !shared_.options.strict) return;
        const std::string where = number ? ", page " + std::to_string(*number) : "";
        shared_.reporter.say(shownName(job_.input, "standard input") + where +
                             ": nothing drawn: " + page.nothingDrawn);
    }
    // A drawing that runs off the page (or off the plotter's paper, which
    // cut it), or is lost in a corner of it, is told with the remedy.
    void placement(const Drawing::Extent& drawn, bool cutAtPaper, std::optional<int64_t> number) {
        if (drawn.empty || shared_.options.quiet) return;
        const double width = PlotSession::pageWidth, height = PlotSession::pageHeight;
        std::string what;
        if (cutAtPaper || drawn.left < -1 || drawn.top < -1 || drawn.right > width ||
            drawn.bottom > height) {
            what = "the drawing runs off the page; --fit scales it onto the page";
        } else if (drawn.right - drawn.left < width / 10 &&
                   drawn.bottom - drawn.top < height / 10) {
            what = "the drawing covers under 1% of the page; --fit scales it up";
        } else {
            return;
        }
        const std::string where = number ? ", page " + std::to_string(*number) : "";
        shared_.reporter.say(shownName(job_.input, "standard input") + where + ": " + what);
    }
    struct Gathered {
        DisplayList list;
        std::optional<PaperPlacement> paper;
        std::optional<int64_t> number;
        std::optional<PageImage> printed; // a printer's page: its dots
    };
    bool gather(const PageView& page, std::optional<int64_t> number) {
        if (page.printed && printedPage(page.image)) {
            gathered_.push_back({DisplayList(), std::nullopt, number, page.image});
            return true;
        }
        if (page.list == nullptr) {
            fail(shownName(job_.output, "standard output"), "the drawing of the page was not kept",
                 0);
            return false;
        }
        gathered_.push_back({*page.list, trueSize(page), number, std::nullopt});
        return true;
    }
    // One page under its own name, as any format's; several as one document
    // under the output's.
    void writeGathered() {
        std::vector<PdfPage> pages;
        std::vector<const PageImage*> printed;
        for (const Gathered& page : gathered_) {
            pages.push_back({&page.list, page.paper});
            if (page.printed) printed.push_back(&*page.printed);
        }
        // One input is drawn by one model: its pages are printed or drawn
        // (a blank printed page among printed ones is left out).
        const auto writePdf = [&](FILE* file, std::string& reason) {
            return printed.empty() ? writePdfPages(file, pages, reason)
                                   : writePrintedPdfTo(file, printed, reason);
        };
        const bool numbered = gathered_.size() == 1 && gathered_[0].number.has_value();
        const int64_t number = numbered ? *gathered_[0].number : 0;
        std::string reason;
        errno = 0;
        if (job_.inPlace) {
            char* data = nullptr;
            size_t size = 0;
            FILE* memory = ::open_memstream(&data, &size);
            bool encoded = memory != nullptr && writePdf(memory, reason);
            const int error = errno;
            if (memory != nullptr) encoded = std::fclose(memory) == 0 && encoded;
            if (encoded) bytes_.assign(data, size);
            std::free(data);
            holdsPage_ = encoded;
            if (!encoded) fail(shownName(job_.output, "standard output"), reason, error);
            return;
        }
        const std::string name = numbered ? numberedName(job_.output, number) : job_.output;
        const bool written = writeFileAtomically(
            name, Durability::written, [&](FILE* file) { return writePdf(file, reason); });
        if (!written) fail(name, reason, errno);
    }
    // Once an input, however many of its pages it concerns.
    void noted(const PageView& page) {
        if (noted_ || shared_.options.quiet || !shared_.options.note) return;
        const std::string_view note = shared_.options.note(page);
        if (note.empty()) return;
        noted_ = true;
        shared_.reporter.say(shownName(job_.input, "standard input") + ": " + std::string(note));
    }
    bool hold(const PageView& page) {
        const std::string name = shownName(job_.output, "standard output");
        if (holdsPage_) {
            fail(name,
                 "it takes one page, and " + shownName(job_.input, "standard input") +
                     " gives more; name a file or folder",
                 0);
            return false;
        }
        char* data = nullptr;
        size_t size = 0;
        FILE* memory = ::open_memstream(&data, &size);
        std::string reason;
        errno = 0;
        bool encoded = memory != nullptr && shared_.options.encode(page, memory, reason);
        const int error = errno;
        if (memory != nullptr) encoded = std::fclose(memory) == 0 && encoded;
        if (encoded) bytes_.assign(data, size);
        std::free(data);
        holdsPage_ = encoded;
        if (!encoded) fail(name, reason, error);
        if (encoded) noted(page);
        return encoded;
    }
    bool writeInPlace(std::string& reason) {
        if (job_.output == "-") return put(STDOUT_FILENO, reason);
        const int fd = ::open(job_.output.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            // Made a plain file since the start: replaced whole, as files are.
            ::close(fd);
            return writeFileAtomically(job_.output, Durability::written, [&](FILE* file) {
                return std::fwrite(bytes_.data(), 1, bytes_.size(), file) == bytes_.size();
            });
        }
        const bool written = put(fd, reason);
        const int error = errno;
        ::close(fd);
        errno = error;
        return written;
    }
    bool put(int fd, std::string& reason) {
        if (::isatty(fd) == 1 && binary(bytes_)) {
            reason = "a terminal is no place for a PNG or PDF; redirect it to a file";
            return false;
        }
        return writeAll(fd, bytes_);
    }
    void fail(const std::string& name, const std::string& reason, int error) {
        failure_ = true;
        shared_.reporter.say(reason.empty() ? shared_.reporter.describeWrite(name, error)
                                            : "cannot write " + name + ": " + reason);
        const std::string& folder = shared_.options.outputFolder;
        if (!folder.empty() && !isFolder(folder) && !shared_.folderGone.exchange(true))
            shared_.reporter.say("the output folder " + folder + " is gone; stopping");
    }

    const RenderJob& job_;
    Shared& shared_;
    std::vector<Gathered> gathered_; // PDF pages, written together at the end
    std::string bytes_;              // the page held for a target written in place
    bool holdsPage_ = false;         // bytes_ holds an encoded page
    bool failure_ = false;
    bool blank_ = false;
    bool noted_ = false; // the note on its copies said
};

// Draws one input with the worker's renderer; its failure, if any, told.
JobOutcome renderJob(Renderer& renderer, const RenderJob& job, Shared& shared) {
    const BatchOptions& options = shared.options;
    const auto unreadable = [&](bool tooLarge) {
        const std::string what = "cannot read " + shownName(job.input, "standard input");
        shared.reporter.say(tooLarge ? what + ": larger than " +
                                           std::to_string(maxInputBytes >> 20) + " MB"
                                     : shared.reporter.describe(what, errno));
        shared.reporter.finished(true);
        return JobOutcome{true, inputUnreadable, {}, std::nullopt};
    };
    const bool namedAsTranscript = job.input != "-" && transcriptName(job.input);
    JobWriter writer(job, shared);
    const PageSink write = [&](const PageView& page, auto number) {
        return writer.write(page, number);
    };
    renderer.onDropped(
        [&](int64_t pagesBefore, const std::string& why) { writer.dropped(pagesBefore, why); });
    // A regular file is drawn in pieces where it can be; standard input and
    // a FIFO, read once (never opened twice), are held whole.
    Renderer::Outcome outcome = Renderer::Outcome::readWhole;
    struct stat info {};
    if (job.input != "-" && ::stat(job.input.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        const UniqueFd fd(::open(job.input.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) return unreadable(false);
        if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)) {
            FilePieces pieces(fd.get());
            outcome = renderer.render(pieces, namedAsTranscript, write);
            if (outcome == Renderer::Outcome::unreadable) return unreadable(false);
        }
    }
    InputBytes input;
    if (outcome == Renderer::Outcome::readWhole) {
        if (!readInput(job.input, input)) return unreadable(input.tooLarge());
        outcome = renderer.render(input.view(), namedAsTranscript, write, [&] { input.release(); });
    }
    if (outcome == Renderer::Outcome::stopped) {
        // Left undrawn at a signal, as the inputs not begun: no file of it.
        shared.reporter.finished(true);
        return {false, rendered, {}, std::nullopt};
    }
    if (outcome == Renderer::Outcome::noPageImage) {
        shared.reporter.say("cannot create the page image for " +
                            shownName(job.input, "standard input"));
        shared.reporter.finished(true);
        return {true, noPageImage, {}, std::nullopt};
    }
    const ModelChoice& chosen = renderer.chosen();
    if (options.verbose) {
        shared.reporter.say(shownName(job.input, "standard input") + ": drawn by " +
                            std::string(modelName(chosen.model)) + " (" + std::string(chosen.why) +
                            ")");
    }
    if (!renderer.hint().empty() && !options.quiet)
        shared.reporter.say(shownName(job.input, "standard input") + ": " + renderer.hint());
    const bool written = outcome == Renderer::Outcome::rendered && writer.finish();
    const int status = !written                           ? outputUnwritable
                       : options.strict && writer.blank() ? blankPage
                                                          : rendered;
    shared.reporter.finished(status != rendered);
    RenderCounts counts = renderer.counts();
    if (!written && job.inPlace) counts.pages = 0; // the page held was never written
    return {true, status, counts, chosen.model};
}

void runWorker(const std::vector<RenderJob>& jobs, Shared& shared,
               std::vector<JobOutcome>& outcomes) {
    Renderer renderer(shared.options.setup);
    for (size_t i = shared.next++; i < jobs.size() && !shared.stopped(); i = shared.next++)
        outcomes[i] = renderJob(renderer, jobs[i], shared);
}

} // namespace

std::string withExtension(const std::string& path, const std::string& extension) {
    return path.substr(0, extensionStart(path)) + extension;
}

std::string numberedName(const std::string& output, int64_t pageNumber) {
    const size_t dot = extensionStart(output);
    return output.substr(0, dot) + "-" + fiveDigits(pageNumber) + output.substr(dot);
}

std::string extensionOf(const std::string& path) {
    return path.substr(extensionStart(path));
}

BatchResult renderAll(const std::vector<RenderJob>& jobs, const BatchOptions& options) {
    std::vector<JobOutcome> outcomes(jobs.size());
    Shared shared{options, Reporter(jobs.size(), options.showProgress)};
    const auto work = [&] { runWorker(jobs, shared, outcomes); };
    // The calling thread is one of the workers.
    const size_t workers = std::min<size_t>(std::max(options.workers, 1), jobs.size());
    std::vector<std::jthread> threads;
    for (size_t i = 1; i < workers; ++i)
        threads.emplace_back(work);
    work();
    threads.clear();
    shared.reporter.end();

    BatchResult result;
    for (const JobOutcome& outcome : outcomes) {
        ++result.files;
        result.notBegun += outcome.begun ? 0 : 1;
        result.pages += outcome.counts.pages;
        result.instructions += outcome.counts.instructions;
        result.ignored += outcome.counts.ignored;
        if (outcome.model) ++result.drawnBy[static_cast<size_t>(*outcome.model)];
        if (!outcome.begun || outcome.status == rendered) continue;
        ++result.failed;
        if (result.status == rendered) result.status = outcome.status;
    }
    if (result.notBegun > 0 && stopAsked()) result.status = 128 + SignalWatch::ending();
    return result;
}

} // namespace plotanix
