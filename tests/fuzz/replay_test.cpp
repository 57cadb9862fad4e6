// Replays every input the fuzzer ever failed on, and the real streams it
// starts from, as ordinary tests, through the fuzzer's oracle: each through
// every model in runs of several lengths, and each as the fuzzer reads it
// (its first two bytes picking the model, the reads, the runs and whether
// pages are taken).

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
        for (PlotterModel model : plotanix::testing::fuzzedModels) {
            for (size_t runLength : {size_t{1}, size_t{7}, size_t{256}})
                for (bool takePages : {false, true})
                    EXPECT_EQ(plotOneInput(model, bytes, 256, runLength, takePages), "")
                        << static_cast<int>(model) << " in runs of " << runLength
                        << (takePages ? ", pages taken" : "");
        }
        const auto input = plotanix::testing::decodeFuzzInput(
            reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(plotOneInput(input.model, input.stream, input.chunkSize, input.runLength,
                               input.takePages),
                  "");
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
