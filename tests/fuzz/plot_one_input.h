#pragma once
// The whole in-process path for one input: a session's reader, plotter
// model, page and labels, and a transcript kept in memory. Shared by the
// fuzzer and by the replay of the inputs it once failed on.

#include "support/in_process_plot.h"

#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>

namespace plotanix::testing {

// The models, in the order of PlotterModel; the fuzzer's first byte picks one.
inline constexpr PlotterModel fuzzedModels[] = {PlotterModel::hp86b, PlotterModel::hp7470a,
                                                PlotterModel::hpgl2};
inline constexpr const char* fuzzedModelNames[] = {"hp86b", "7470a", "hpgl2"};

// Runs the stream through the model as at power-on, handed over in reads of
// chunkSize bytes, until the line falls silent. Returns the size of the
// transcript, never less than the stream's.
inline size_t plotOneInput(PlotterModel model, std::string_view stream, size_t chunkSize) {
    // One session and page per model for the whole fuzzing run, the model
    // restarted for each input: a new page costs more than most inputs'
    // plotting, and what is checked (no fault, every byte kept) does not
    // depend on the picture.
    static std::unique_ptr<InProcessPlot> plots[std::size(fuzzedModels)];
    std::unique_ptr<InProcessPlot>& plot = plots[static_cast<size_t>(model)];
    if (!plot) plot = std::make_unique<InProcessPlot>(nullptr, model);
    plot->session.restartPlotter();
    plot->link.written.clear();
    plot->link.writes.clear();
    plot->link.delays.clear();
    std::string kept;
    plot->log.openMemory(kept);
    plot->feed(stream, chunkSize);
    plot->run();
    plot->end(); // the instruction the input cuts is carried out as far as it goes
    plot->log.closeLog();
    return kept.size();
}

// A fuzzer's input: the first byte picks the model (its remainder by three)
// and the size of the line's reads, so that records land between chunks in
// different places; the rest is the stream.
struct FuzzInput {
    PlotterModel model;
    size_t chunkSize;
    std::string_view stream;
};

inline FuzzInput decodeFuzzInput(const uint8_t* data, size_t size) {
    const uint8_t first = size > 0 ? data[0] : 0;
    return {fuzzedModels[first % std::size(fuzzedModels)], size_t{1} + first / 3u,
            std::string_view(reinterpret_cast<const char*>(data), size).substr(size > 0 ? 1 : 0)};
}

} // namespace plotanix::testing
