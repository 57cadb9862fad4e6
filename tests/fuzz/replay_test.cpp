// Replays every input the fuzzer ever failed on, and the real streams it
// starts from, as ordinary tests: each whole through every model, and each
// as the fuzzer reads it (its first byte picking the model).

#include "fuzz/plot_one_input.h"
#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using plotanix::PlotterModel;
using plotanix::testing::plotOneInput;

namespace {

void replayAll(const fs::path& dir) {
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int replayed = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        const std::string bytes = plotanix::testing::readFile(entry.path().string());
        SCOPED_TRACE(entry.path().string());
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
    replayAll(PLOTANIX_FUZZ_REGRESSIONS);
}

TEST(FuzzReplay, RealStreams) {
    const char* dir = std::getenv("PLOTANIX_CORPUS_DIR");
    const fs::path corpus = dir ? dir : PLOTANIX_CORPUS_DIR;
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
    replayAll(corpus);
}
