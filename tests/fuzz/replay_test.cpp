// Replays every input the fuzzer ever failed on, and the real streams it
// starts from, as ordinary tests: each whole through every model, and each
// as the fuzzer reads it (its first byte picking the model).

#include "fuzz/plot_one_input.h"
#include "support/real_streams.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using plotanix::PlotterModel;
using plotanix::testing::plotOneInput;

namespace {

void replayAll(const std::vector<fs::path>& files) {
    int replayed = 0;
    for (const fs::path& file : files) {
        const std::string bytes = plotanix::testing::readFile(file.string());
        SCOPED_TRACE(file.string());
        for (PlotterModel model : plotanix::testing::fuzzedModels)
            EXPECT_GE(plotOneInput(model, bytes, 256), bytes.size());
        const auto input = plotanix::testing::decodeFuzzInput(
            reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_GE(plotOneInput(input.model, input.stream, input.chunkSize), input.stream.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}

} // namespace

TEST(FuzzReplay, RegressionInputs) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(PLOTANIX_FUZZ_REGRESSIONS))
        if (entry.is_regular_file() && entry.path().extension() != ".md") files.push_back(entry);
    replayAll(files);
}

TEST(FuzzReplay, RealStreams) {
    replayAll(plotanix::testing::realStreamFiles());
}
