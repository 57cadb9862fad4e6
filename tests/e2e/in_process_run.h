#pragma once
// One plot run of a stream through the plotter's own reader and interpreter,
// in the test process (under its sanitizers): what the real program should
// count for the same stream.

#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "support/fake_link.h"

#include <algorithm>
#include <string>

namespace plotanix::testing {

struct RunCounts {
    int instructions = 0;
    int ignored = 0;
};

// The stream as the line hands it over, in chunks of at most 4096 bytes.
inline void feedInChunks(FakeLink& link, const std::string& stream) {
    constexpr std::size_t chunk = 4096;
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        link.add(stream.substr(at, std::min(chunk, stream.size() - at)));
}

// The stream as one run on a white page with the label font; the transcript
// goes to log when it is open.
inline RunCounts runInProcess(const std::string& stream, LogFile& log) {
    static const auto font = loadFont("Courier New", 12);
    auto page = createPageImage(800, 600, 24);
    Drawing drawing;
    drawing.beginDrawing(*page);
    drawing.selectFont(font.get());
    drawing.fillBox(0, 0, 800, 640, penColours[0]);
    FakeLink link;
    feedInChunks(link, stream);
    InstructionReader reader(link, log);
    Interpreter interpreter(reader, drawing, link, log, nullptr);
    interpreter.setDefaults();
    reader.startRun();
    interpreter.runInstructionLoop();
    drawing.endDrawing();
    return {interpreter.instructionCount, interpreter.ignoredCount};
}

inline RunCounts runInProcess(const std::string& stream) {
    LogFile log; // never opened: writes nothing
    return runInProcess(stream, log);
}

} // namespace plotanix::testing
