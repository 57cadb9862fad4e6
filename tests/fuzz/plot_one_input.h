#pragma once
// The whole in-process path for one input: reader, interpreter, page,
// labels and a transcript in a temporary file. Shared by the fuzzer and by
// the replay of the inputs it once failed on.

#include "support/in_process_plot.h"

#include <cstdint>

namespace plotanix::testing {

// Runs the input as the computer's stream until the line falls silent.
// Returns the size of the transcript, never less than the input's.
inline size_t plotOneInput(const uint8_t* data, size_t size) {
    // One page for the whole fuzzing run, whitened for each input: a fresh
    // 1.4 MB image per input would cost more than the plotting itself.
    static const std::unique_ptr<PageImage> page = createPageImage(800, 600, 24);
    InProcessPlot plot(page.get());
    plot.clearPage();
    plot.keepTranscript();
    // Chunk sizes vary with the input, so that records land between chunks
    // in different places.
    plot.feed(std::string_view(reinterpret_cast<const char*>(data), size),
              size > 0 ? 1 + data[0] % 256 : 1);
    plot.run();
    return plot.transcript().size();
}

} // namespace plotanix::testing
