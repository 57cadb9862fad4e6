#include "fuzz/plot_one_input.h"

#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "support/fake_link.h"

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix::testing {

namespace {

// Kept for the whole fuzzing run: loading the font dominates otherwise.
PageFont* labelFont() {
    static std::unique_ptr<PageFont> font = loadFont("Courier New", 12);
    return font.get();
}

std::string transcriptPath() {
    static std::string path = [] {
        std::string p = "/tmp/plotanix-fuzz-" + std::to_string(::getpid()) + ".txt";
        return p;
    }();
    return path;
}

} // namespace

size_t plotOneInput(const uint8_t* data, size_t size) {
    FakeLink link;
    // Chunk sizes vary with the input so that records land between chunks
    // in different places.
    const size_t chunk = size > 0 ? 1 + data[0] % 256 : 1;
    for (size_t at = 0; at < size; at += chunk)
        link.add(std::string(reinterpret_cast<const char*>(data) + at, std::min(chunk, size - at)));

    LogFile log;
    log.openLog(transcriptPath());
    // One page for the whole run, cleared each time: a fresh 1.4 MB image
    // per input would cost more than the plotting itself.
    static std::unique_ptr<PageImage> page = createPageImage(800, 600, 24);
    Drawing drawing;
    drawing.beginDrawing(*page);
    drawing.selectFont(labelFont());
    drawing.fillBox(0, 0, 800, 640, penColours[0]);
    InstructionReader reader(link, log);
    Interpreter interpreter(reader, drawing, link, log, nullptr);
    interpreter.setDefaults();
    reader.startRun();
    interpreter.runInstructionLoop();
    drawing.endDrawing();
    log.closeLog();

    struct stat st {};
    const size_t written = ::stat(transcriptPath().c_str(), &st) == 0 ? st.st_size : 0;
    ::unlink(transcriptPath().c_str());
    return written;
}

} // namespace plotanix::testing
