// plotanix-render: draws an HP-GL file, or a plotter transcript, offline
// with the plotter's own reader, interpreter, page and PNG encoder, so the
// picture is the one the plotter would have shown.

#include "hpgl/byte_link.h"
#include "logfile/log_file.h"
#include "output/png_writer.h"
#include "page/label_font.h"
#include "page/page_image.h"
#include "session/page_store.h"
#include "session/plot_session.h"
#include "session/transcript_splitter.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plotanix {

namespace {

constexpr int exitNoPage = 1;
constexpr int exitBadUsage = 2;
constexpr int exitInputUnreadable = 3;
constexpr int exitOutputUnwritable = 4;

constexpr const char* programName = "plotanix-render";
constexpr const char* usageLine = "usage: plotanix-render INPUT [OUTPUT]\n";
constexpr const char* helpText =
    "Draws an HP-GL file, or a plotter transcript (PLOTTER.TXT), as the plotter\n"
    "would, and writes the page as an 800 x 600 PNG image.\n"
    "  INPUT   the file to draw, or - for standard input (OUTPUT must then be given)\n"
    "  OUTPUT  the PNG file; by default INPUT with .png in place of its extension\n"
    "In a transcript the plotter's own records are dropped, NEW PAGE clears the page\n"
    "for what follows, and each SAVE PAGE #n writes the page as it stands to OUTPUT\n"
    "with the number added (out.png -> out-00001.png). OUTPUT itself is written when\n"
    "there is no SAVE PAGE marker, or when something was drawn after the last one.\n"
    "Exit status: 0 done, 1 no page image, 2 bad usage, 3 input unreadable,\n"
    "4 output unwritable.\n";

void printError(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", programName, text.c_str());
}

int usageError(const std::string& text) {
    printError(text);
    std::fputs(usageLine, stderr);
    return exitBadUsage;
}

// ---------------------------------------------------------------- names

bool isStandardInput(const std::string& name) {
    return name == "-";
}

// Where the file name (after the last '/') begins.
size_t baseStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

// Where the extension's '.' is, or the end when there is none; a leading dot
// names a hidden file, not an extension.
size_t extensionStart(const std::string& path) {
    const size_t dot = path.rfind('.');
    return dot == std::string::npos || dot <= baseStart(path) ? path.size() : dot;
}

std::string defaultOutput(const std::string& input) {
    return input.substr(0, extensionStart(input)) + ".png";
}

// out.png -> out-00123.png: the last five digits, as the plotter names pages.
std::string numberedName(const std::string& output, int64_t pageNumber) {
    const size_t dot = extensionStart(output);
    return output.substr(0, dot) + "-" + fiveDigits(pageNumber) + output.substr(dot);
}

// ---------------------------------------------------------------- arguments

struct Arguments {
    bool help = false;
    std::string input;
    std::string output;
};

// Splits options from names; false (with error) on an unknown option.
bool collectArguments(int argc, char** argv, Arguments& arguments, std::vector<std::string>& names,
                      std::string& error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "--help" || argument == "-h")) {
            arguments.help = true;
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            error = "unknown option " + argument;
            return false;
        } else {
            names.push_back(argument);
        }
    }
    return true;
}

// Settles INPUT and OUTPUT; false (with error) when they cannot be used.
bool settleNames(const std::vector<std::string>& names, Arguments& arguments, std::string& error) {
    if (names.empty() || names.size() > 2) {
        error = names.empty() ? "no INPUT given" : "too many arguments";
        return false;
    }
    arguments.input = names[0];
    if (names.size() == 2) {
        arguments.output = names[1];
    } else if (isStandardInput(arguments.input)) {
        error = "reading standard input needs an OUTPUT name";
        return false;
    } else {
        arguments.output = defaultOutput(arguments.input);
    }
    if (isStandardInput(arguments.output) || arguments.output.empty()) {
        error = "OUTPUT must name a file";
        return false;
    }
    // A PNG given as INPUT would otherwise be overwritten by its own picture.
    if (names.size() == 1 && arguments.output == arguments.input) {
        error = "INPUT already ends in .png; name the OUTPUT";
        return false;
    }
    return true;
}

std::optional<Arguments> parseArguments(int argc, char** argv, std::string& error) {
    Arguments arguments;
    std::vector<std::string> names;
    if (!collectArguments(argc, argv, arguments, names, error)) return std::nullopt;
    if (arguments.help) return arguments;
    if (!settleNames(names, arguments, error)) return std::nullopt;
    return arguments;
}

// ---------------------------------------------------------------- input

bool readAll(int fd, std::string& bytes) {
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

// The whole input; false (with errno set) when it cannot be read.
bool readInput(const std::string& name, std::string& bytes) {
    if (isStandardInput(name)) return readAll(STDIN_FILENO, bytes);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        bytes.reserve(static_cast<size_t>(info.st_size));
    }
    const bool read = readAll(fd, bytes);
    const int readError = errno;
    ::close(fd);
    errno = readError;
    return read;
}

// ---------------------------------------------------------------- rendering

// On a virtual machine every first touch of a memory page traps, and the
// page image and the PNG encoder touch some 450 pages one by one: that is
// most of the time of a small file. Taking the memory from the kernel in one
// step costs a tenth of that. Where any of it is not available (another
// allocator, an older kernel) the pages are simply faulted in as they are used.
void prefaultWorkingMemory() {
#ifdef MADV_POPULATE_WRITE
    constexpr size_t workingBytes = 3 << 20;
    // The page's block is to come from the heap, and the heap is to keep it.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    const auto start = reinterpret_cast<uintptr_t>(::sbrk(0));
    void* volatile block = std::malloc(workingBytes);
    std::free(block);
    const auto end = reinterpret_cast<uintptr_t>(::sbrk(0));
    const auto pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t from = (start + pageSize - 1) & ~(pageSize - 1);
    if (end > from) ::madvise(reinterpret_cast<void*>(from), end - from, MADV_POPULATE_WRITE);
#endif
}

// The line as the plotter would see it: the input in reads of up to 256
// bytes, then silence. Replies go nowhere.
class InputLink : public ByteLink {
  public:
    void load(std::string_view bytes) {
        bytes_ = bytes;
        pos_ = 0;
    }
    int readSerial(std::span<uint8_t> buffer) override {
        const size_t count = std::min(buffer.size(), bytes_.size() - pos_);
        std::memcpy(buffer.data(), bytes_.data() + pos_, count);
        pos_ += count;
        return static_cast<int>(count);
    }
    int serialOutputWaiting() override { return 0; }
    int writeSerial(std::string_view bytes) override { return static_cast<int>(bytes.size()); }

  private:
    std::string_view bytes_;
    size_t pos_ = 0;
};

// One page and the plotter's core, driven through plot runs as a session
// would drive them. The log file is never opened, so it writes nothing.
class Renderer {
  public:
    // False when the page image cannot be made.
    bool prepare(bool withFont) {
        if (!session_.createPage()) return false;
        if (withFont) font_ = loadFont("Courier New", 12);
        session_.useFont(font_.get());
        return true;
    }

    void run(std::string_view bytes) {
        link_.load(bytes);
        const RunResult result = session_.run();
        instructions += result.instructions;
        ignored += result.ignored;
    }

    // As on the plotter, the page is cleared when the next run starts.
    void newPage() { session_.newPage(); }
    const PageImage& page() const { return session_.page(); }

    int64_t instructions = 0;
    int64_t ignored = 0;

  private:
    InputLink link_;
    LogFile log_;
    PlotSession session_{link_, log_};
    std::unique_ptr<PageFont> font_;
};

// The font takes longer to load than most files take to draw: only labels
// and character-cell moves need it.
bool needsFont(const std::vector<TranscriptStep>& steps) {
    return std::any_of(steps.begin(), steps.end(),
                       [](const TranscriptStep& step) { return step.usesFont; });
}

// Saves the page; on failure says why in one line.
bool writePage(const PageImage& page, const std::string& name) {
    // A render can be run again: no need to wait for the disk.
    if (savePng(page, name, Durability::written)) return true;
    const size_t base = baseStart(name);
    const std::string directory = base == 0 ? "." : name.substr(0, base);
    if (::access(directory.c_str(), W_OK) != 0) {
        printError("cannot write " + name + ": " + std::strerror(errno));
    } else {
        printError("cannot write " + name);
    }
    return false;
}

std::string counted(int64_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

int render(const Arguments& arguments, const std::string& input) {
    const std::vector<TranscriptStep> steps = splitTranscript(input);
    prefaultWorkingMemory();
    Renderer renderer;
    if (!renderer.prepare(needsFont(steps))) {
        printError("cannot create the page image");
        return exitNoPage;
    }
    int64_t pagesWritten = 0;
    bool unsaved = true; // drawing that no SAVE PAGE marker has written
    for (const TranscriptStep& step : steps) {
        if (step.kind == TranscriptStep::Kind::run) {
            renderer.run(step.bytes);
            unsaved = true;
        } else if (step.kind == TranscriptStep::Kind::newPage) {
            renderer.newPage();
        } else {
            const std::string name = numberedName(arguments.output, step.pageNumber);
            if (!writePage(renderer.page(), name)) return exitOutputUnwritable;
            ++pagesWritten;
            unsaved = false;
        }
    }
    if (unsaved) {
        if (!writePage(renderer.page(), arguments.output)) return exitOutputUnwritable;
        ++pagesWritten;
    }
    std::fprintf(stderr, "%s, %s ignored, %s written\n",
                 counted(renderer.instructions, "instruction").c_str(),
                 std::to_string(renderer.ignored).c_str(), counted(pagesWritten, "page").c_str());
    return 0;
}

int runProgram(int argc, char** argv) {
    std::string error;
    const std::optional<Arguments> arguments = parseArguments(argc, argv, error);
    if (!arguments) return usageError(error);
    if (arguments->help) {
        std::fputs(usageLine, stdout);
        std::fputs(helpText, stdout);
        return 0;
    }
    std::string input;
    if (!readInput(arguments->input, input)) {
        const std::string name =
            isStandardInput(arguments->input) ? "standard input" : arguments->input;
        printError("cannot read " + name + ": " + std::strerror(errno));
        return exitInputUnreadable;
    }
    return render(*arguments, input);
}

} // namespace

} // namespace plotanix

int main(int argc, char** argv) {
    return plotanix::runProgram(argc, argv);
}
