// libFuzzer entry: any byte stream must run through either plotter model
// without a crash, a sanitizer report or a hang, and every byte must reach
// the transcript. PLOTANIX_FUZZ_MODEL (hp86b or 7470a) pins the model, for
// measuring one alone; at the end the executions per model are printed.

#include "fuzz/plot_one_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using plotanix::PlotterModel;

struct Executions {
    long hp86b = 0;
    long hp7470a = 0;
    ~Executions() {
        std::fprintf(stderr, "stat::executions_hp86b: %ld\nstat::executions_7470a: %ld\n", hp86b,
                     hp7470a);
    }
};

Executions executions;
int pinned = -1; // -1: the input picks; otherwise the PlotterModel

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* model = std::getenv("PLOTANIX_FUZZ_MODEL")) {
        if (std::strcmp(model, "hp86b") == 0) pinned = static_cast<int>(PlotterModel::hp86b);
        if (std::strcmp(model, "7470a") == 0) pinned = static_cast<int>(PlotterModel::hp7470a);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plotanix::testing::FuzzInput input = plotanix::testing::decodeFuzzInput(data, size);
    if (pinned >= 0) input.model = static_cast<PlotterModel>(pinned);
    ++(input.model == PlotterModel::hp7470a ? executions.hp7470a : executions.hp86b);
    const size_t written =
        plotanix::testing::plotOneInput(input.model, input.stream, input.chunkSize);
    // Records for unrecognised instructions come on top of the received bytes.
    if (written < input.stream.size()) std::abort();
    return 0;
}
