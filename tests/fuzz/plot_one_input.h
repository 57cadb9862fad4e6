#pragma once
// The whole in-process path for one input: the session's reader,
// interpreter, page and labels, and a transcript kept in memory. Shared by
// the fuzzer and by the replay of the inputs it once failed on.

#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include <cstdint>

namespace plotanix::testing {

// Runs the input as the computer's stream until the line falls silent.
// Returns the size of the transcript, never less than the input's.
inline size_t plotOneInput(const uint8_t* data, size_t size) {
    // One session and one page per model for the whole fuzzing run; an odd
    // first byte picks the HP-GL/2 model.
    static InProcessPlot hp86b, hpgl2(nullptr, PlotterModel::hpgl2);
    InProcessPlot& plot = size > 0 && data[0] % 2 != 0 ? hpgl2 : hp86b;
    // Each input is a drawing of its own, read from power-on.
    plot.session.startAfresh();
    std::string kept;
    plot.log.openMemory(kept);
    // Chunk sizes vary with the input, so that records land between chunks
    // in different places.
    plot.feed(std::string_view(reinterpret_cast<const char*>(data), size),
              size > 0 ? 1 + data[0] % 256 : 1);
    plot.run();
    plot.log.closeLog();
    return kept.size();
}

} // namespace plotanix::testing
