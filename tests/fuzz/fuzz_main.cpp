// libFuzzer entry: any byte stream must run through every plotter model
// without a crash, a sanitizer report or a hang; every byte must reach the
// transcript; and the stream split into runs where the input says must give
// what it gives whole (the oracle in plot_one_input.h). PLOTANIX_FUZZ_MODEL (hp86b, 7470a or hpgl2)
// pins the model, for measuring one alone; at the end the executions per model are printed.

#include "fuzz/plot_one_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using plotanix::PlotterModel;

using plotanix::testing::fuzzedModelNames;

struct Executions {
    long count[std::size(fuzzedModelNames)] = {};
    ~Executions() {
        for (size_t i = 0; i < std::size(count); ++i)
            std::fprintf(stderr, "stat::executions_%s: %ld\n", fuzzedModelNames[i], count[i]);
    }
};

Executions executions;
int pinned = -1; // -1: the input picks; otherwise the PlotterModel

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* model = std::getenv("PLOTANIX_FUZZ_MODEL")) {
        for (size_t i = 0; i < std::size(fuzzedModelNames); ++i)
            if (std::strcmp(model, fuzzedModelNames[i]) == 0) pinned = static_cast<int>(i);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plotanix::testing::FuzzInput input = plotanix::testing::decodeFuzzInput(data, size);
    if (pinned >= 0) input.model = plotanix::testing::fuzzedModels[pinned];
    ++executions.count[static_cast<size_t>(input.model)];
    const std::string disagreement = plotanix::testing::plotOneInput(
        input.model, input.stream, input.chunkSize, input.runLength, input.takePages);
    if (!disagreement.empty()) {
        std::fprintf(stderr, "%s model: %s\n", fuzzedModelNames[static_cast<size_t>(input.model)],
                     disagreement.c_str());
        std::abort();
    }
    return 0;
}
