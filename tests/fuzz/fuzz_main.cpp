// libFuzzer entry: any byte stream must run through the plotter without a
// crash, a sanitizer report or a hang, and every byte must reach the
// transcript.

#include "fuzz/plot_one_input.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t written = plotanix::testing::plotOneInput(data, size);
    // Records for unrecognised instructions come on top of the received bytes.
    if (written < size) std::abort();
    return 0;
}
